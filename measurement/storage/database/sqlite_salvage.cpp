// Replacing a damaged file by a fresh one that keeps what can still be read.
//
// A failed integrity or schema check says that the file cannot be used as
// it is, not that its rows are gone: one bad page of a table the engine
// never reads, or a column a newer version added, would otherwise cost
// every event and bundle stored. The old file is moved aside rather than
// deleted, the owner makes its tables in a fresh file, and the rows SQLite
// still reads are copied across before the old file goes.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>

#include "measurement/storage/database/sqlite_store.h"
#include "measurement/storage/database/sqlite_store_internal.h"
#include "platform/paths.h"

using namespace sqlite_internal;

namespace {

constexpr const char* kCompanions[] = {"-journal", "-wal", "-shm"};

// How a step on the old file ended.
enum class Outcome { kDone, kDamaged, kTransient };

Outcome outcomeOf(int result) {
  if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return Outcome::kDone;
  return isTransientResultCode(result) ? Outcome::kTransient : Outcome::kDamaged;
}

// Moves the file and those companions that exist (a journal must stay
// with its file, or it would be played back into the wrong one). False
// when the file itself could not be moved; companions then stay in place.
bool moveWithCompanions(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  for (const char* suffix : kCompanions) {
    const std::string companion = from + suffix;
    if (platform::fileExists(companion)) std::rename(companion.c_str(), (to + suffix).c_str());
  }
  return true;
}

void removeWithCompanions(const std::string& path) {
  ::unlink(path.c_str());
  for (const char* suffix : kCompanions) ::unlink((path + suffix).c_str());
}

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

// The names of the connection's tables, internal ones left out; the
// step's result in `result`.
std::vector<std::string> tablesOf(sqlite3* handle, int* result) {
  std::vector<std::string> tables;
  Statement list(handle,
                 "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
                 "ESCAPE '\\' ORDER BY name");
  *result = list.result();
  if (*result != SQLITE_OK) return tables;
  while ((*result = sqlite3_step(list.get())) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(list.get(), 0);
    if (name) tables.emplace_back(reinterpret_cast<const char*>(name));
  }
  return tables;
}

std::set<std::string> columnsOf(sqlite3* handle, const std::string& table, int* result) {
  std::set<std::string> columns;
  Statement info(handle, "PRAGMA table_info(" + quotedIdentifier(table) + ")");
  *result = info.result();
  if (*result != SQLITE_OK) return columns;
  while ((*result = sqlite3_step(info.get())) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(info.get(), 1);
    if (name) columns.emplace(reinterpret_cast<const char*>(name));
  }
  return columns;
}

// What became of one table's rows.
struct Tally {
  int64_t kept = 0;
  int64_t refused = 0;
  // Some rows could not be read (a damaged part, or no column the fresh
  // table has): they are lost, uncounted.
  bool unreadable = false;
};

// Copies one table's rows, in rowid order, through `insert`, which takes
// the shared columns in the order of `select`. The read goes forward until
// the end or the first damage; after damage, a read backwards from the end
// finds the first row past the damaged part, and the copy resumes there.
// Rows between two damaged parts are lost with them.
class TableCopy {
 public:
  // Reads through `source`, writes through `destination`.
  TableCopy(sqlite3* source, sqlite3* destination, const std::string& table,
            const std::vector<std::string>& columns)
      : source_(source), destination_(destination), count_(static_cast<int>(columns.size())) {
    std::string list;
    std::string values;
    for (const std::string& column : columns) {
      list += (list.empty() ? "" : ", ") + quotedIdentifier(column);
      values += values.empty() ? "?" : ", ?";
    }
    forwardSQL_ = "SELECT " + list + ", rowid FROM " + quotedIdentifier(table) + " WHERE rowid >= ? ORDER BY rowid";
    backwardSQL_ = "SELECT " + list + ", rowid FROM " + quotedIdentifier(table) + " WHERE rowid > ? ORDER BY rowid DESC";
    insertSQL_ = "INSERT INTO " + quotedIdentifier(table) + " (" + list + ") VALUES (" + values + ")";
  }

  // kTransient ends the whole salvage; the others end this table only.
  Outcome run(Tally& tally) {
    Statement insert(destination_, insertSQL_);
    if (insert.result() != SQLITE_OK) return outcomeOf(failure_ = insert.result());
    int64_t last = INT64_MIN;
    Outcome outcome = copyFrom(INT64_MIN, insert.get(), tally, &last);
    if (outcome != Outcome::kDamaged) return outcome;
    tally.unreadable = true;
    std::optional<int64_t> resume;
    outcome = firstAfterDamage(last, &resume);
    if (outcome == Outcome::kTransient || !resume) return outcome;
    return copyFrom(*resume, insert.get(), tally, &last);
  }

  // The result code of the last failed step.
  int failure() const { return failure_; }

 private:
  Outcome copyFrom(int64_t from, sqlite3_stmt* insert, Tally& tally, int64_t* last) {
    Statement select(source_, forwardSQL_);
    if (select.result() != SQLITE_OK) return outcomeOf(failure_ = select.result());
    sqlite3_bind_int64(select.get(), 1, from);
    int result;
    while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
      *last = sqlite3_column_int64(select.get(), count_);
      for (int column = 0; column < count_; ++column) {
        sqlite3_bind_value(insert, column + 1, sqlite3_column_value(select.get(), column));
      }
      const int inserted = sqlite3_step(insert);
      sqlite3_reset(insert);
      sqlite3_clear_bindings(insert);
      if (inserted == SQLITE_DONE) {
        ++tally.kept;
        continue;
      }
      // A row the fresh table refuses is lost; anything else (a full disk,
      // no memory) is no verdict on the row and stops the salvage.
      if (isTransientResultCode(inserted)) {
        failure_ = inserted;
        return Outcome::kTransient;
      }
      ++tally.refused;
    }
    return outcomeOf(failure_ = result);
  }

  // The lowest rowid past `after` whose row reads back when the table is
  // read from its end; none when the damage reaches to the end.
  Outcome firstAfterDamage(int64_t after, std::optional<int64_t>* first) {
    Statement select(source_, backwardSQL_);
    if (select.result() != SQLITE_OK) return outcomeOf(failure_ = select.result());
    sqlite3_bind_int64(select.get(), 1, after);
    int result;
    while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
      *first = sqlite3_column_int64(select.get(), count_);
    }
    failure_ = result;
    return outcomeOf(result) == Outcome::kTransient ? Outcome::kTransient : Outcome::kDamaged;
  }

  sqlite3* const source_;
  sqlite3* const destination_;
  const int count_;
  int failure_ = SQLITE_OK;
  std::string forwardSQL_;
  std::string backwardSQL_;
  std::string insertSQL_;
};

}  // namespace

std::shared_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     const TableCreator& createTables,
                                                                     platform::ErrorRef* error) {
  if (path.empty()) {
    APMSetError(error, kArgument, "Received empty database path on init");
    return nullptr;
  }
  if (!createTables) return initWithDatabasePath(path, error);
  std::shared_ptr<APMSqliteStore> store(new APMSqliteStore(path));
  platform::ErrorRef openError;
  if (store->openAndValidateDatabase(&openError)) return store;
  platform::setError(error, openError);
  // A check that could not run says nothing of the file.
  if (isTransientFailure(openError)) return nullptr;
  if (store->replaceDamagedFile(createTables, error)) return store;
  return nullptr;
}

bool APMSqliteStore::replaceDamagedFile(const TableCreator& createTables, platform::ErrorRef* error) {
  closeDatabase();
  if (!platform::fileExists(databasePath_)) {
    // Nothing to keep: a file that could not be made is made again.
    if (openAndValidateDatabase(error) && createTables(*this, error)) return true;
    closeDatabase();
    return false;
  }
  // A name of its own, so that two processes replacing the same file at
  // once never move one aside onto the other.
  std::string aside = databasePath_ + "-damaged-XXXXXX";
  const int reserved = ::mkstemp(aside.data());
  if (reserved < 0) {
    APMSetError(error, kState, "Failed to move the damaged database file aside");
    return false;
  }
  ::close(reserved);
  if (!moveWithCompanions(databasePath_, aside)) {
    ::unlink(aside.c_str());
    APMSetError(error, kState, "Failed to move the damaged database file aside");
    return false;
  }
  platform::ErrorRef stepError;
  if (openAndValidateDatabase(&stepError) && createTables(*this, &stepError) &&
      copyReadableRows(aside, &stepError)) {
    removeWithCompanions(aside);
    return true;
  }
  // Nothing is known to be lost yet: the old file goes back where it was,
  // to be tried again, and the fresh one (empty, or its copy rolled back)
  // goes.
  closeDatabase();
  removeWithCompanions(databasePath_);
  moveWithCompanions(aside, databasePath_);
  platform::setError(error, stepError);
  if (!stepError) APMSetError(error, kState, "Failed to replace the damaged database file");
  return false;
}

bool APMSqliteStore::copyReadableRows(const std::string& source, platform::ErrorRef* error) {
  // The old file is read through a connection of its own, outside any
  // transaction: a connection that met damage inside a transaction fails
  // every later statement of it, which would end the copy at the first
  // damaged table.
  sqlite3* old = nullptr;
  const int opened = sqlite3_open_v2(source.c_str(), &old, SQLITE_OPEN_READWRITE, nullptr);
  struct Closer {
    sqlite3* handle;
    ~Closer() { sqlite3_close_v2(handle); }
  } closer{old};
  // The error of a transient failure, made from its own result code: the
  // connection's last code may by now be that of a later call.
  auto failTransient = [&](int code) {
    APMSetErrorWithContext(error, kSqlite,
                           std::string("Failed to copy the damaged database file: ") +
                               sqlite3_errstr(code),
                           "copy damaged database," + std::to_string(code) + ",A");
    return false;
  };
  if (opened != SQLITE_OK) return failTransient(opened);
  sqlite3_busy_timeout(old, kBusyTimeoutMilliseconds);
  int transient = SQLITE_OK;
  auto noteTransient = [&](int result) {
    if (transient == SQLITE_OK && outcomeOf(result) == Outcome::kTransient) transient = result;
    return transient != SQLITE_OK;
  };
  int result = SQLITE_OK;
  std::vector<std::string> oldTables = tablesOf(old, &result);
  if (noteTransient(result)) return failTransient(transient);
  if (outcomeOf(result) == Outcome::kDamaged) {
    log(1, 34024, "Damaged database file cannot be read; its rows are lost",
        std::string(sqlite3_errstr(result)));
    oldTables.clear();
  }
  if (!beginTransaction()) {
    setTransactionError(error, "Failed to begin transaction", "begin transaction");
    return false;
  }
  struct Copied {
    std::string table;
    Tally tally;
  };
  std::vector<Copied> copied;
  std::vector<std::string> left;
  const std::vector<std::string> fresh = tablesOf(sqliteHandle_, &result);
  noteTransient(result);
  const std::set<std::string> freshTables(fresh.begin(), fresh.end());
  for (const std::string& table : oldTables) {
    if (transient != SQLITE_OK) break;
    if (!freshTables.count(table)) {
      left.push_back(table);
      continue;
    }
    int freshResult = SQLITE_OK;
    int oldResult = SQLITE_OK;
    const std::set<std::string> freshColumns = columnsOf(sqliteHandle_, table, &freshResult);
    const std::set<std::string> oldColumns = columnsOf(old, table, &oldResult);
    if (noteTransient(freshResult) || noteTransient(oldResult)) break;
    std::vector<std::string> shared;
    for (const std::string& column : oldColumns) {
      if (freshColumns.count(column)) shared.push_back(column);
    }
    Copied entry{table, {}};
    if (shared.empty() || outcomeOf(oldResult) == Outcome::kDamaged) {
      entry.tally.unreadable = true;
    } else {
      TableCopy copy(old, sqliteHandle_, table, shared);
      if (copy.run(entry.tally) == Outcome::kTransient && noteTransient(copy.failure())) break;
    }
    copied.push_back(std::move(entry));
  }
  bool committed = false;
  if (transient == SQLITE_OK) {
    committed = endTransaction();
    if (!committed) setTransactionError(error, "Failed to end transaction", "end transaction");
  } else {
    failTransient(transient);
  }
  if (!committed && sqlite3_get_autocommit(sqliteHandle_) == 0 && !rollbackTransaction()) {
    log(1, 34011, "Failed to rollback transaction");
  }
  if (!committed) return false;
  for (const Copied& entry : copied) {
    log(entry.tally.refused || entry.tally.unreadable ? 1 : 4, 34023,
        "Copied the readable rows of a damaged database file. Table, rows kept, rows refused, "
        "rows unreadable",
        APMMonitor::Contexts{entry.table, entry.tally.kept, entry.tally.refused,
                             entry.tally.unreadable});
  }
  for (const std::string& table : left) {
    log(1, 34025, "Table of a damaged database file has no place in the fresh one. Table", table);
  }
  return true;
}
