// Helpers shared by the store's source files; not part of its interface.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "measurement/engine/measurement_errors.h"
#include "measurement/engine/monitor.h"
#include "measurement/storage/database/sqlite_store.h"

namespace sqlite_internal {

class ReadBudget;

// How long a statement waits for a lock another connection (a second
// process on the file) holds, before it fails busy: long enough for that
// connection's transaction to end, short enough that a holder that never
// lets go does not stall the caller's queue for long.
inline constexpr int kBusyTimeoutMilliseconds = 5000;

// Codes of the store's errors.
inline constexpr long kArgument = 1;
inline constexpr long kState = 2;
inline constexpr long kSqlite = 3;

inline void log(long level, long code, const std::string& message) {
  APMMeasurement::monitor()->logWithLevel(level, code, message);
}

inline void log(long level, long code, const std::string& message,
                const platform::Object& context) {
  APMMeasurement::monitor()->logWithLevel(level, code, message, context);
}

inline void log(long level, long code, const std::string& message,
                const APMMonitor::Contexts& contexts) {
  APMMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

// True for a result whose cause lies outside the file's bytes: another
// connection holding its lock, a full disk, an I/O or memory failure, a
// file that cannot be written or opened. A later attempt may succeed.
inline bool isTransientResultCode(int result) {
  switch (result & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
      return true;
    default:
      return false;
  }
}

// One argument check of an operation: the refusal's text when `failed`.
struct ArgumentCheck {
  bool failed;
  const char* description;
};

// Answers true when no check failed; otherwise stores the first failed
// check's error (code 1) and answers false. Checks are plain tests without
// side effects, so evaluating them all up front changes nothing.
inline bool argumentsAccepted(platform::ErrorRef* error,
                              std::initializer_list<ArgumentCheck> checks) {
  for (const ArgumentCheck& check : checks) {
    if (check.failed) {
      APMSetError(error, kArgument, check.description);
      return false;
    }
  }
  return true;
}

// Binds one value by its kind; SQLITE_MISMATCH for a kind that has no column
// type or a value that cannot be stored as it is.
int bindValue(sqlite3_stmt* statement, int index, const platform::Object& value);

// A table or column name as an SQL identifier: in double quotes, inner
// quotes doubled.
std::string quotedIdentifier(const std::string& name);
// Names as identifiers, joined with ", ".
std::string quotedList(const std::vector<std::string>& names);

// A statement prepared on the connection and finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* handle, const std::string& sql) {
    result_ = sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement_, nullptr);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  // SQLITE_OK when prepared.
  int result() const { return result_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int result_ = SQLITE_OK;
};

// The sequences SQLite keeps in sqlite_sequence for the tables whose
// rowids are never given twice (`APMSqliteStore::kUniqueRowIDType`): the
// highest rowid each table ever gave, which may be above every row left.
//
// A sequence above this, or not an integer, or negative, is damage: no
// real use reaches it (a million rows a second for 146,000 years), and
// near the top SQLite refuses every insert for good.
inline constexpr int64_t kSequenceCeiling = int64_t{1} << 62;
// The sequence of `table`; nullopt when none is kept, when the one kept is
// damage, or when it cannot be read (`*result` then holds SQLite's code,
// else SQLITE_OK).
std::optional<int64_t> sequenceOf(sqlite3* handle, const std::string& table, int* result);
// Where the sequence of `table` (made with the sequence type) is damage or
// a rowid lies above the ceiling, moves those rows to rowids above every
// one given (at least `floor`) and sets the sequence to the highest rowid
// given, logging what it found and set (34026). One query when there is
// nothing to repair. SQLite's code.
int repairSequence(sqlite3* handle, const std::string& table, int64_t floor = 0);
// Raises the sequence of `table` to `floor` when it is lower or missing, so
// that the next rowid given is above `floor`. Requires a table of the
// connection to have been made with the sequence type. SQLite's code.
int raiseSequence(sqlite3* handle, const std::string& table, int64_t floor);
// Raises the sequence of each table of `destination` to that of the table
// of the same name in `source` (a copy of its rows would otherwise give the
// rowids of its deleted last rows again). SQLITE_OK, or the code of a
// failure that is not the source's damage: sequences that `source` lacks
// (an older file) or cannot read (a damaged one, or a read that spends
// `sourceBudget`, installed on `source`) leave those of `destination` as
// they are, and damaged ones are logged and left too.
int carrySequences(sqlite3* source, ReadBudget& sourceBudget, sqlite3* destination);

}  // namespace sqlite_internal

// Here rather than in one source file: the statement cache binds parameter
// lists through it, the record operations records.
template <typename Values>
bool APMSqliteStore::bindEach(const Values& values, sqlite3_stmt* statement,
                              platform::ErrorRef* error, bool clearFirst) {
  if (!statement) {
    APMSetError(error, sqlite_internal::kArgument, "Failed to bind to NULL statement");
    return false;
  }
  if (clearFirst) sqlite3_clear_bindings(statement);
  bool bound = true;
  int index = 0;
  auto bindOne = [&](const platform::Object& value) {
    ++index;
    if (sqlite_internal::bindValue(statement, index, value) != SQLITE_OK && bound) {
      reportBindFailure(value, error);
      bound = false;
    }
  };
  if constexpr (std::is_same_v<Values, APMRecord>) {
    values.forEach([&](const std::string&, const platform::Object& value) { bindOne(value); });
  } else {
    for (const auto& value : values) bindOne(value);
  }
  if (!bound) {
    // A half-bound statement must not run, nor keep pointers into values
    // its caller is about to free.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  return bound;
}
