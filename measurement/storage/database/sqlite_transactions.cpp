#include "measurement/storage/database/sqlite_store.h"

#include "measurement/storage/database/sqlite_store_internal.h"

using namespace sqlite_internal;

bool APMSqliteStore::executeDirect(const char* sql) {
  return sqliteHandle_ && sqlite3_exec(sqliteHandle_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool APMSqliteStore::beginTransaction() {
  return executeDirect("BEGIN EXCLUSIVE TRANSACTION");
}

bool APMSqliteStore::endTransaction() {
  return executeDirect("END TRANSACTION");
}

bool APMSqliteStore::rollbackTransaction() {
  return executeDirect("ROLLBACK");
}

void APMSqliteStore::setTransactionError(platform::ErrorRef* error, const std::string& text,
                                         const std::string& operation) const {
  // SQLite's reason (a full disk, a lock, a deferred constraint) follows
  // the text, which callers and logs know.
  std::optional<std::string> reason = errorDescriptionForDatabaseOperation(operation);
  APMSetErrorWithContext(error, kSqlite, reason ? text + ". " + *reason : text,
                         monitorContextForDatabaseOperation(operation));
}

bool APMSqliteStore::performTransactionWithError(const std::function<bool()>& block,
                                                 platform::ErrorRef* error) {
  if (!block) {
    APMSetError(error, kArgument, "Received nil transaction block");
    return false;
  }
  if (!checkOpen("Database not open", error)) return false;
  if (!beginTransaction()) {
    setTransactionError(error, "Failed to begin transaction", "begin transaction");
    return false;
  }
  bool committed = false;
  try {
    committed = block();
  } catch (...) {
    if (!rollbackTransaction()) log(1, 34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (committed) {
    if (endTransaction()) return true;
    setTransactionError(error, "Failed to end transaction", "end transaction");
    // A failed commit (the file busy or full) leaves the transaction open;
    // every later BEGIN would fail with it.
    // The block may have closed the connection; there is nothing to roll
    // back then.
    if (sqliteHandle_ && sqlite3_get_autocommit(sqliteHandle_) == 0 && !rollbackTransaction()) {
      log(1, 34011, "Failed to rollback transaction");
    }
    return false;
  }
  APMSetErrorWithContext(error, kSqlite, "Transaction failed",
                         monitorContextForDatabaseOperation("transaction"));
  // A full disk, an I/O error or running out of memory may have rolled the
  // transaction back already, as the statement failed.
  if (sqliteHandle_ && sqlite3_get_autocommit(sqliteHandle_) == 0 && !rollbackTransaction()) {
    log(1, 34011, "Failed to rollback transaction");
  }
  return false;
}
