// A bound on the work of each read of a file that may be damaged; used by
// the salvage, not part of the store's interface.
#pragma once

#include <sqlite3.h>

#include <cstdint>

namespace sqlite_internal {

// Interior pages that share a child make a scan visit the shared subtree
// once per path to it: a few kilobytes can hold billions of rows read in
// order, while the integrity check (which counts each page once) takes a
// millisecond. So each read of such a file runs under a budget of SQLite's
// virtual-machine steps, counted by its progress handler; a read that
// spends it ends as if SQLite had found the file damaged, and what it had
// not reached counts as unreadable.
//
// A statement takes a few steps per row it reads and one per column it
// answers, and each step moves at most one row on (SQLite takes an empty
// page below the root, and a path deeper than 20 pages, for damage), so a
// read that visits each page once fits in `stepsForRows(rows, columns)`.
//
// Installed on one connection for as long as it lives (it takes the
// connection's progress handler, which the store uses nowhere else, and
// clears it when it goes). Steps are counted only between `start` and
// `stop`, so that the connection's writes in between are never cut. Used
// on the thread that owns the connection.
class ReadBudget {
 public:
  explicit ReadBudget(sqlite3* handle);
  ~ReadBudget();
  ReadBudget(const ReadBudget&) = delete;
  ReadBudget& operator=(const ReadBudget&) = delete;

  // The steps of a read that visits each page at most once and reads at
  // most `rows` rows of `columns` columns.
  static int64_t stepsForRows(int64_t rows, int64_t columns);

  // Counts the steps from now: once more than `steps` are taken, the
  // statement running fails.
  void start(int64_t steps);
  void stop();

  // The result of a read run since the last `start`: SQLITE_CORRUPT when
  // the budget ran out (SQLite answers SQLITE_INTERRUPT, which would be
  // taken for a failure of the moment), else `damageOrFailure(result)`.
  int verdict(int result) const;
  bool spent() const { return spent_; }

 private:
  static int onProgress(void* budget);

  sqlite3* const handle_;
  bool counting_ = false;
  bool spent_ = false;
  int64_t left_ = 0;
};

// The result of a read of a file that may be damaged. A read that ran out
// of memory while 512 MiB can still be had asked for more than any row
// this store writes (bundles stop at 256 MiB): the size came from damaged
// bytes, and the answer is SQLITE_CORRUPT. Otherwise memory is short, a
// failure of the moment, and `result` stands, as does any other.
int damageOrFailure(int result);

// Meters one read: starts the budget when made, stops it when it goes.
class MeteredRead {
 public:
  MeteredRead(ReadBudget& budget, int64_t steps) : budget_(budget) { budget_.start(steps); }
  ~MeteredRead() { budget_.stop(); }
  MeteredRead(const MeteredRead&) = delete;
  MeteredRead& operator=(const MeteredRead&) = delete;

 private:
  ReadBudget& budget_;
};

}  // namespace sqlite_internal
