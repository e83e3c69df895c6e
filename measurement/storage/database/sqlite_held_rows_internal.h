// The rows a table already holds, told apart by their content; used when
// the rows of a leftover file are added to a table, not part of the
// store's interface.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "measurement/storage/database/sqlite_read_budget_internal.h"
#include "measurement/storage/database/sqlite_store_internal.h"

namespace sqlite_internal {

// A file an earlier version moved aside may hold rows the open file got
// from it already (that version copied them, with new rowids, and was
// killed before it removed the file), and rows it lacks. Raw events and
// bundles have no key of their own, so a row counts as held when the
// table holds a row equal to it on every copied column, as the table
// stores them; each held row answers for one added row only, so that two
// equal rows in the leftover against one in the table bring one back.
//
// Built inside the transaction that adds the rows, before the first: the
// rows it indexes are those the table held then. The index keeps a hash
// and a rowid per row (16 bytes); equal hashes are confirmed by comparing
// the rows themselves. Each read runs under `budget` (installed on
// `handle`), within the steps of one that reads every row the file can
// hold once; a read that spends it answers SQLITE_CORRUPT.
class HeldRows {
 public:
  // Indexes the rows of `table` in `handle` on `columns`; `*result` is the
  // last step's result (SQLITE_DONE when every row was read).
  HeldRows(sqlite3* handle, ReadBudget& budget, const std::string& table, const std::vector<std::string>& columns,
           int* result);

  // Called with the rowid of a row just added: when the table held a row
  // equal to it that no earlier call matched, that row is taken, the added
  // one is deleted, and the answer is true. `*result` is SQLITE_OK, or the
  // code of a step that failed.
  bool dropIfHeld(int64_t added, int* result);

 private:
  // The content of row `rowid` into `out`; false when it is not there or
  // cannot be read (`*result` then set for a failure).
  bool contentOf(int64_t rowid, std::string& out, int* result);

  ReadBudget& budget_;
  const int64_t steps_;
  Statement read_;
  Statement remove_;
  const int count_;
  // (hash of the content, rowid), sorted; a taken row's rowid is reset.
  std::vector<std::pair<uint64_t, int64_t>> index_;
  std::vector<bool> taken_;
  std::string added_;
  std::string held_;
};

}  // namespace sqlite_internal
