#include "measurement/storage/database/sqlite_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "measurement/storage/database/sqlite_read_budget_internal.h"
#include "measurement/storage/database/sqlite_store_internal.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"

using namespace sqlite_internal;

namespace {

// Companion files SQLite may keep beside a database; a file deleted without
// them could meet a stale journal when it is created anew.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// Takes the group's and others' access away from the file, if it exists.
void keepPrivate(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
    ::chmod(path.c_str(), status.st_mode & 07700);
  }
}

}  // namespace

APMSqliteStore::APMSqliteStore(std::string path) : databasePath_(std::move(path)) {}

APMSqliteStore::~APMSqliteStore() {
  closeDatabase();
}

std::shared_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     platform::ErrorRef* error) {
  if (path.empty()) {
    APMSetError(error, kArgument, "Received empty database path on init");
    return nullptr;
  }
  std::shared_ptr<APMSqliteStore> store(new APMSqliteStore(path));
  platform::ErrorRef openError;
  if (store->openAndValidateDatabase(&openError)) return store;
  platform::setError(error, openError);
  // A file that could not be checked (another connection holds its lock,
  // the disk is full) is not known to be damaged, and deleting it would
  // lose every row in it.
  if (isTransientFailure(openError)) return nullptr;
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (store->openAndValidateDatabase(error)) return store;
  return nullptr;
}

bool APMSqliteStore::isTransientFailure(const platform::ErrorRef& error) {
  if (!error || error->domain() != kAPMMeasurementErrorDomain || error->code() != kSqlite) {
    return false;
  }
  // The context is "<operation>,<sqlite code>,<A or NA>" (see
  // monitorContextForDatabaseOperation); the operation comes from code and
  // holds no comma, but reading from the end does not rely on that.
  std::string context = APMMonitorContextOfError(*error);
  size_t mark = context.rfind(',');
  if (mark == std::string::npos || mark == 0) return false;
  size_t code = context.rfind(',', mark - 1);
  if (code == std::string::npos) return false;
  return isTransientResultCode(std::atoi(context.c_str() + code + 1));
}

bool APMSqliteStore::openAndValidateDatabase(platform::ErrorRef* error) {
  return openConnection(error) && validateDatabaseWithError(error);
}

bool APMSqliteStore::openConnection(platform::ErrorRef* error) {
  closeDatabase();
  // There is no immutable mark to clear on this system; the existence check
  // decides whether the folder must be made.
  if (!platform::fileExists(databasePath_)) {
    if (!platform::deletingLastPathComponent(databasePath_).empty() &&
        !APMCreateFolderForFile(databasePath_, error)) {
      return false;
    }
    // Made here rather than by SQLite, which would give it 0644; SQLite
    // then gives its journals the file's mode. An empty file is an empty
    // database.
    int fd = ::open(databasePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  // A file (or a journal left behind) made by an older version loses the
  // access it gave to others.
  keepPrivate(databasePath_);
  for (const char* suffix : kCompanionSuffixes) keepPrivate(databasePath_ + suffix);
  sqlite3* handle = nullptr;
  int result =
      sqlite3_open_v2(databasePath_.c_str(), &handle,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqliteHandle_ = handle;
  if (result != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle");
    closeDatabase();
    return false;
  }
  // Set before the integrity check, which already needs a read lock.
  sqlite3_busy_timeout(handle, kBusyTimeoutMilliseconds);
  platform::ErrorRef backupError;
  if (!APMExcludeFromBackup(databasePath_, &backupError)) {
    log(4, 34017, "Failed to exclude database file from backup", backupError);
  }
  return true;
}

bool APMSqliteStore::validateDatabaseWithError(platform::ErrorRef* error) {
  if (!checkOpen("Validate database failed. Database not open.", error)) return false;
  bool valid = false;
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  if (result == SQLITE_OK && statement) result = sqlite3_step(statement);
  if (result == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    valid = text && std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0;
  }
  if (!valid && damageOrFailure(result) != result) {
    // A size read from damaged bytes (in the schema, say) that no
    // allocation can hold: the file is damaged, not memory short.
    APMSetErrorWithContext(error, kSqlite,
                           errorDescriptionForDatabaseOperation("validate database").value_or(""),
                           "validate database," + std::to_string(SQLITE_CORRUPT) + ",A");
  } else if (!valid) {
    setDatabaseError(error, "validate database");
  }
  sqlite3_finalize(statement);
  if (valid && headerForbidsWriting()) {
    valid = false;
    APMSetErrorWithContext(error, kSqlite,
                           "Database operation \"validate database\" failed: the file's header "
                           "forbids writing it",
                           "validate database," + std::to_string(SQLITE_CORRUPT) + ",A");
  }
  if (!valid) closeDatabase();
  return valid;
}

bool APMSqliteStore::headerForbidsWriting() const {
  // A read-only connection is also what a file without write permission or
  // on a read-only mount gives: only the header's own byte tells damage.
  if (sqlite3_db_readonly(sqliteHandle_, "main") != 1) return false;
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(sqliteHandle_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      !file || !file->pMethods) {
    return false;
  }
  // Read through SQLite's own descriptor: closing one of ours would drop
  // the locks SQLite holds on the file in this process.
  unsigned char header[20] = {};
  return file->pMethods->xRead(file, header, sizeof header, 0) == SQLITE_OK && header[18] > 2;
}

void APMSqliteStore::closeDatabase() {
  if (!sqliteHandle_) return;
  finalizeAndClearStatements();
  int result = sqlite3_close(sqliteHandle_);
  if (result != SQLITE_OK) {
    log(1, 34018, "Failed to close database. Got error code", result);
    // Statements not given back keep the connection open; let SQLite close
    // it once they are finalized rather than leak it.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& entry : statementCache_) sqlite3_finalize(entry.statement);
  statementCache_.clear();
  cacheIndex_.clear();
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  bool deleted = true;
  auto remove = [&](const std::string& path) {
    if (!platform::fileExists(path)) return;
    platform::ErrorRef removeError;
    if (!platform::removeItem(path, &removeError)) {
      log(1, 34019, "Failed to delete database. Error", removeError);
      deleted = false;
    }
  };
  remove(databasePath_);
  for (const char* suffix : kCompanionSuffixes) remove(databasePath_ + suffix);
  removeLeftovers(true);
  return deleted;
}

bool APMSqliteStore::checkOpen(const char* message, platform::ErrorRef* error) const {
  if (sqliteHandle_) return true;
  APMSetError(error, kState, message);
  return false;
}

// --- Errors ----------------------------------------------------------------

std::optional<std::string> APMSqliteStore::lastErrorMessage() const {
  if (!sqliteHandle_) {
    log(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(sqliteHandle_));
}

std::optional<std::string>
APMSqliteStore::errorDescriptionForDatabaseOperation(const std::string& operation) const {
  if (!sqliteHandle_) return std::nullopt;
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(sqliteHandle_)) + " and error message \"" +
         sqlite3_errmsg(sqliteHandle_) + "\"";
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) const {
  int code = sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : 0;
  bool writable = access(databasePath_.c_str(), W_OK) == 0;
  return (operation.empty() ? std::string("Unknown operation") : operation) + "," +
         std::to_string(code) + "," + (writable ? "A" : "NA");
}

void APMSqliteStore::setDatabaseError(platform::ErrorRef* error,
                                      const std::string& operation) const {
  if (!error) return;
  APMSetErrorWithContext(error, kSqlite,
                         errorDescriptionForDatabaseOperation(operation).value_or(""),
                         monitorContextForDatabaseOperation(operation));
}
