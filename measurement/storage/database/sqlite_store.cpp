#include "measurement/storage/database/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

#include "measurement/engine/measurement_errors.h"
#include "measurement/engine/monitor.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr long kSqlite = 3;

// Companion files SQLite may keep beside a database; a file deleted without
// them could meet a stale journal when it is created anew.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

void log(long level, long code, const std::string& message) {
  APMMeasurement::monitor()->logWithLevel(level, code, message);
}

void log(long level, long code, const std::string& message, const platform::Object& context) {
  APMMeasurement::monitor()->logWithLevel(level, code, message, context);
}

// One argument check of an operation: the refusal's text when `failed`.
struct ArgumentCheck {
  bool failed;
  const char* description;
};

// Answers true when no check failed; otherwise stores the first failed
// check's error (code 1) and answers false. Checks are plain tests without
// side effects, so evaluating them all up front changes nothing.
bool argumentsAccepted(platform::ErrorRef* error, std::initializer_list<ArgumentCheck> checks) {
  for (const ArgumentCheck& check : checks) {
    if (check.failed) {
      APMSetError(error, kArgument, check.description);
      return false;
    }
  }
  return true;
}

bool containsCaseInsensitive(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (strncasecmp(text.data() + i, word.data(), word.size()) == 0) return true;
  }
  return false;
}

bool isSupportedKind(const platform::Object& value) {
  switch (value.kind()) {
    case platform::Object::Kind::Null:
    case platform::Object::Kind::Bool:
    case platform::Object::Kind::Int:
    case platform::Object::Kind::UInt:
    case platform::Object::Kind::Double:
    case platform::Object::Kind::String:
    case platform::Object::Kind::Data:
      return true;
    default:
      return false;
  }
}

// Why a value of a storable kind cannot be stored as it is: an unsigned
// number beyond int64 would come back negative, and SQLite keeps NaN as
// NULL (or refuses it in a NOT NULL column with a puzzling error). Null
// when it can.
const char* unrepresentable(const platform::Object& value) {
  using Kind = platform::Object::Kind;
  if (value.kind() == Kind::UInt &&
      value.uint64Value() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return "Received unsigned number above the largest signed 64-bit integer";
  }
  if (value.kind() == Kind::Double && std::isnan(value.doubleValue())) {
    return "Received NaN, which cannot be stored";
  }
  return nullptr;
}

// Binds one value by its kind; SQLITE_MISMATCH for a kind that has no column
// type or a value that cannot be stored as it is.
int bindValue(sqlite3_stmt* statement, int index, const platform::Object& value) {
  using Kind = platform::Object::Kind;
  if (unrepresentable(value)) return SQLITE_MISMATCH;
  switch (value.kind()) {
    case Kind::Null:
      return sqlite3_bind_null(statement, index);
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
      return sqlite3_bind_int64(statement, index, value.int64Value());
    case Kind::Double:
      return sqlite3_bind_double(statement, index, value.doubleValue());
    case Kind::String: {
      const std::string& text = *value.string();
      return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    }
    case Kind::Data: {
      // An empty vector may have no buffer, and a null pointer would bind
      // NULL rather than an empty blob.
      const platform::Bytes& bytes = *value.data();
      if (bytes.empty()) return sqlite3_bind_zeroblob(statement, index, 0);
      return sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
    }
    default:
      return SQLITE_MISMATCH;
  }
}

// A column name as an SQL identifier: in double quotes, inner quotes doubled.
std::string quotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

// Takes the group's and others' access away from the file, if it exists.
void keepPrivate(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
    ::chmod(path.c_str(), status.st_mode & 07700);
  }
}

std::string firstWord(const std::string& text) {
  return text.substr(0, text.find(' '));
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

// --- Creation and lifecycle ------------------------------------------------

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
  int primary = std::atoi(context.c_str() + code + 1) & 0xff;
  switch (primary) {
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

bool APMSqliteStore::openAndValidateDatabase(platform::ErrorRef* error) {
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
  platform::ErrorRef backupError;
  if (!APMExcludeFromBackup(databasePath_, &backupError)) {
    log(4, 34017, "Failed to exclude database file from backup", backupError);
  }
  return validateDatabaseWithError(error);
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
  if (!valid) setDatabaseError(error, "validate database");
  sqlite3_finalize(statement);
  if (!valid) closeDatabase();
  return valid;
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

// --- Statements ------------------------------------------------------------

sqlite3_stmt* APMSqliteStore::prepareSQL(const std::string& sql, platform::ErrorRef* error) {
  if (sql.empty()) {
    APMSetError(error, kArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!checkOpen("Prepare SQL failed. Database not open.", error)) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int result = SQLITE_ERROR;
  if (sqlite3_libversion_number() >= 3020000) {
    result = sqlite3_prepare_v3(sqliteHandle_, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &statement, &tail);
  }
  if (result != SQLITE_OK) {
    statement = nullptr;
    result = sqlite3_prepare_v2(sqliteHandle_, sql.c_str(), static_cast<int>(sql.size()),
                                &statement, &tail);
  }
  if (result != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    return nullptr;
  }
  if (!statement) {
    // Only blanks or comments: nothing to run.
    APMSetError(error, kArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  // SQLite stops at a NUL byte; whatever the text holds after it is a tail
  // as well.
  if (tail != sql.data() + sql.size()) {
    sqlite3_finalize(statement);
    APMSetError(error, kArgument, "Query contained more than one SQL statement.");
    return nullptr;
  }
  return statement;
}

APMSqliteStore::CachedStatement* APMSqliteStore::cachedStatement(std::string_view query) {
  auto found = cacheIndex_.find(query);
  if (found == cacheIndex_.end()) return nullptr;
  statementCache_.splice(statementCache_.begin(), statementCache_, found->second);
  return &*found->second;
}

void APMSqliteStore::cacheStatement(const std::string& query, sqlite3_stmt* statement) {
  statementCache_.push_front(CachedStatement{query, statement, true});
  cacheIndex_.emplace(statementCache_.front().query, statementCache_.begin());
  // Evict from the least recently used end, sparing statements in use.
  auto candidate = statementCache_.end();
  while (statementCache_.size() > kStatementCacheCapacity && candidate != statementCache_.begin()) {
    --candidate;
    if (candidate->inUse) continue;
    sqlite3_finalize(candidate->statement);
    cacheIndex_.erase(candidate->query);
    candidate = statementCache_.erase(candidate);
  }
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query,
                                                platform::ErrorRef* error) {
  return statementForQuery(query, {}, error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query,
                                                const APMSqlParameters& parameterValues,
                                                platform::ErrorRef* error) {
  CachedStatement* cached = cachedStatement(query);
  // A cached statement still stepping for an outer caller (a query run from
  // a record filter) must not be reset under it; such a caller gets a
  // statement of its own, finalized at clean-up.
  if (cached && !cached->inUse) {
    if (!parameterValues.empty() && !bindValues(parameterValues, cached->statement, error)) {
      return nullptr;
    }
    cached->inUse = true;
    return cached->statement;
  }
  if (!checkOpen("Statement for query failed. Database not open.", error)) return nullptr;
  bool hasPlaceholder = query.find('?') != std::string::npos;
  if (hasPlaceholder && parameterValues.empty()) {
    APMSetError(error, kArgument, "Received empty parameters");
    return nullptr;
  }
  sqlite3_stmt* statement = prepareSQL(query, error);
  if (!statement) return nullptr;
  if (!cached && (hasPlaceholder || !containsCaseInsensitive(query, "WHERE"))) {
    cacheStatement(query, statement);
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    cleanUpStatement(statement, query);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::executeReusable(const std::string& sql,
                                     const std::function<bool(sqlite3_stmt*)>& bind,
                                     platform::ErrorRef* error) {
  CachedStatement* entry = cachedStatement(sql);
  sqlite3_stmt* statement = nullptr;
  if (entry && !entry->inUse) {
    statement = entry->statement;
  } else {
    statement = prepareSQL(sql, error);
    if (!statement) return false;
    if (!entry) {
      cacheStatement(sql, statement);
      entry = &statementCache_.front();
    } else {
      entry = nullptr;  // busy for an outer caller: this one is used once
    }
  }
  if (entry) entry->inUse = true;
  // Cached statements are given back unbound, so binding needs no clearing
  // first.
  bool done = bind(statement);
  if (done) {
    done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) setDatabaseError(error, "execute statement");
  }
  if (entry) {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    entry->inUse = false;
  } else {
    sqlite3_finalize(statement);
  }
  return done;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& query) {
  if (!statement) return;
  auto found = cacheIndex_.find(query);
  if (found != cacheIndex_.end()) {
    CachedStatement& entry = *found->second;
    if (entry.statement == statement) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
      entry.inUse = false;
      return;
    }
    // A nested use of a text whose cached statement was busy got a
    // statement of its own; anything else is a caller's mix-up.
    if (!entry.inUse) log(5, 34016, "Statement is not the same one in the cache");
  }
  sqlite3_finalize(statement);
}

void APMSqliteStore::reportBindFailure(const platform::Object& value,
                                       platform::ErrorRef* error) const {
  if (const char* reason = unrepresentable(value)) {
    APMSetErrorWithContext(error, kArgument, reason,
                           monitorContextForDatabaseOperation("bind values"));
  } else {
    setDatabaseError(error, "bind values");
  }
}

bool APMSqliteStore::bindValues(const APMSqlParameters& values, sqlite3_stmt* statement,
                                platform::ErrorRef* error) {
  return bindEach(values, statement, error);
}

template <typename Values>
bool APMSqliteStore::bindEach(const Values& values, sqlite3_stmt* statement,
                              platform::ErrorRef* error, bool clearFirst) {
  if (!statement) {
    APMSetError(error, kArgument, "Failed to bind to NULL statement");
    return false;
  }
  if (clearFirst) sqlite3_clear_bindings(statement);
  bool bound = true;
  int index = 0;
  auto bindOne = [&](const platform::Object& value) {
    ++index;
    if (bindValue(statement, index, value) != SQLITE_OK && bound) {
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

bool APMSqliteStore::executeSQL(const std::string& sql, platform::ErrorRef* error) {
  if (sql.empty()) {
    APMSetError(error, kArgument, "Received empty SQL string to execute");
    return false;
  }
  if (!checkOpen("Execute SQL failed. Database not open.", error)) return false;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, platform::ErrorRef* error) {
  if (!statement) {
    APMSetError(error, kArgument, "Execute SQL statement failed. Statement is NULL.");
    return false;
  }
  if (!checkOpen("Execute SQL statement failed. Database not open.", error)) {
    sqlite3_finalize(statement);
    return false;
  }
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

bool APMSqliteStore::stepToDone(sqlite3_stmt* statement, const std::string& query,
                                const std::string& operation, platform::ErrorRef* error) {
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  cleanUpStatement(statement, query);
  return done;
}

platform::Object APMSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) const {
  if (!statement) return {};
  // Holding the connection's mutex makes the column's value a protected
  // one, readable without a lock per call.
  sqlite3_mutex* mutex = sqlite3_db_mutex(sqlite3_db_handle(statement));
  sqlite3_mutex_enter(mutex);
  platform::Object value = objectOfValue(sqlite3_column_value(statement, column));
  sqlite3_mutex_leave(mutex);
  return value;
}

platform::Object APMSqliteStore::objectOfValue(sqlite3_value* value) {
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
      return static_cast<int64_t>(sqlite3_value_int64(value));
    case SQLITE_FLOAT:
      return sqlite3_value_double(value);
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_value_text(value);
      int size = sqlite3_value_bytes(value);
      if (!text) return std::string();
      return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_value_blob(value));
      int size = sqlite3_value_bytes(value);
      if (size <= 0 || !bytes) return {};
      return platform::Bytes(bytes, bytes + size);
    }
    case SQLITE_NULL:
      return platform::Object::null();
    default:
      return {};
  }
}

// --- Transactions ----------------------------------------------------------

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
  if (!rollbackTransaction()) log(1, 34011, "Failed to rollback transaction");
  return false;
}

// --- Schema ----------------------------------------------------------------

bool APMSqliteStore::ensureTableWithName(const std::string& table,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{table.empty(), "Received empty table name for ensure table"},
                                 {elementaryColumnInfo.empty(),
                                  "Received empty elementary column info for ensure table"}})) {
    return false;
  }
  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + table + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementaryColumnInfo) {
    if (name.empty() || type.empty()) {
      APMSetError(error, kState, "Failed to create statement for table");
      return false;
    }
    createSQL += name + " " + type + ", ";
    if (name != kPrimaryKey) required.push_back(name);
  }
  createSQL.replace(createSQL.size() - 2, 2, ");");
  APMColumnInfo addOnColumns;
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty()) continue;
    if (type.empty()) {
      APMSetError(error, kState, "Failed to create alter statement for table");
      return false;
    }
    addOnColumns.emplace_back(name, "ALTER TABLE " + table + " ADD COLUMN " + name + " " + type);
  }
  return ensureTableWithName(table, createSQL, required, addOnColumns, error);
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const APMColumnInfo& addOnColumns,
                                         platform::ErrorRef* error) {
  if (!argumentsAccepted(
          error, {{table.empty(), "Received empty table name for ensure table"},
                  {requiredColumnNames.empty(), "Received no table columns for ensure table"},
                  {createSQL.empty(), "Received empty create statement for ensure table"}})) {
    return false;
  }
  if (!checkOpen("Ensure table failed. Database not open.", error)) return false;
  std::optional<bool> exists = tableExists(table, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  platform::ErrorRef validateError;
  std::optional<bool> valid =
      validateTableWithName(table, requiredColumnNames, addOnColumns, &validateError);
  if (valid.value_or(false)) return true;
  // No answer and no error: the table has no columns, so the CREATE text
  // made some other table.
  if (!validateError) {
    validateError = apm_errorWithCode(kState, "Table does not exist after create for ensure table");
  }
  platform::setError(error, validateError);
  return false;
}

template <typename Visit>
bool APMSqliteStore::forEachColumn(const std::string& table, Visit&& visit,
                                   platform::ErrorRef* error) {
  std::string query = "PRAGMA table_info(" + table + ")";
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return false;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    const unsigned char* type = sqlite3_column_text(statement, 2);
    if (!name) continue;
    visit(reinterpret_cast<const char*>(name), type ? reinterpret_cast<const char*>(type) : "",
          sqlite3_column_int(statement, 3) != 0);
  }
  // A list cut short by a failed step would pass for a table that lacks
  // columns, or for no table at all.
  bool done = result == SQLITE_DONE;
  if (!done) setDatabaseError(error, "table info");
  cleanUpStatement(statement, query);
  return done;
}

std::optional<bool> APMSqliteStore::validateTableWithName(
    const std::string& table, const std::vector<std::string>& requiredColumnNames,
    const APMColumnInfo& addOnColumns, platform::ErrorRef* error) {
  if (!argumentsAccepted(
          error, {{table.empty(), "Received empty table name for validate table"},
                  {requiredColumnNames.empty(), "Received no table columns for validate table"}})) {
    return std::nullopt;
  }
  if (!checkOpen("Validate table failed. Database not open.", error)) return std::nullopt;
  std::vector<std::string> columns = columnsForTableWithName(table, error);
  if (columns.empty()) return std::nullopt;
  std::set<std::string, std::less<>> existing(columns.begin(), columns.end());
  for (const auto& name : requiredColumnNames) {
    if (!existing.count(name)) {
      APMSetError(error, kState, "Table is missing required columns");
      return false;
    }
  }
  for (const auto& name : requiredColumnNames) existing.erase(name);
  for (const auto& [name, alterSQL] : addOnColumns) {
    if (existing.erase(name)) continue;
    platform::ErrorRef alterError;
    if (executeSQL(alterSQL, &alterError)) continue;
    // Another connection (a second process opening the same file) may have
    // added the column since the list was read: its ALTER won the race, and
    // the column is there as wanted.
    platform::ErrorRef readError;
    std::vector<std::string> now = columnsForTableWithName(table, &readError);
    if (std::find(now.begin(), now.end(), name) != now.end()) continue;
    platform::setError(error, readError ? readError : alterError);
    return false;
  }
  if (!existing.empty()) {
    // Columns a newer version may have added are kept when nullable: rows
    // written here simply leave them NULL.
    bool unknownRequired = false;
    bool read = forEachColumn(
        table,
        [&](const char* name, const char*, bool notNull) {
          if (notNull && existing.count(name)) unknownRequired = true;
        },
        error);
    if (!read) return false;
    if (unknownRequired) {
      APMSetError(error, kState, "Table contains unknown non-optional columns");
      return false;
    }
  }
  return true;
}

std::optional<bool> APMSqliteStore::tableExists(const std::string& table,
                                                platform::ErrorRef* error) {
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for table exists");
    return std::nullopt;
  }
  if (!checkOpen("Table exists failed. Database not open.", error)) return std::nullopt;
  static const std::string query = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
  sqlite3_stmt* statement = prepareSQL(query, error);
  if (!statement) return std::nullopt;
  if (!bindValues({table}, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  int result = sqlite3_step(statement);
  if (result != SQLITE_ROW && result != SQLITE_DONE) {
    setDatabaseError(error, "table exists");
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  sqlite3_finalize(statement);
  return result == SQLITE_ROW;
}

std::vector<std::string> APMSqliteStore::columnsForTableWithName(const std::string& table,
                                                                 platform::ErrorRef* error) {
  std::vector<std::string> columns;
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for get columns");
    return columns;
  }
  if (!checkOpen("Get table columns failed. Database not open.", error)) return columns;
  bool read = forEachColumn(
      table, [&](const char* name, const char*, bool) { columns.emplace_back(name); }, error);
  if (!read) columns.clear();
  return columns;
}

APMColumnTextMap APMSqliteStore::columnInfoForTableWithName(const std::string& table,
                                                            platform::ErrorRef* error) {
  APMColumnTextMap info;
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for column info");
    return info;
  }
  if (!checkOpen("Get table column info failed. Database not open.", error)) return info;
  bool read = forEachColumn(
      table, [&](const char* name, const char* type, bool) { info[name] = type; }, error);
  if (!read) info.clear();
  return info;
}

bool APMSqliteStore::ensureTableWithName(const std::string& table,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         const APMColumnTextMap& modifyColumnInfo,
                                         platform::ErrorRef* error) {
  if (!ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;
  APMColumnInfo target;
  for (const auto& [name, type] : elementaryColumnInfo) {
    if (name == kPrimaryKey) continue;
    auto modified = modifyColumnInfo.find(name);
    target.emplace_back(name, modified == modifyColumnInfo.end() ? type : modified->second);
  }
  return ensureSchemaOfTableWithName(table, target, addOnColumnInfo, error);
}

bool APMSqliteStore::ensureSchemaOfTableWithName(const std::string& table,
                                                 const APMColumnInfo& elementaryColumnInfo,
                                                 const APMColumnInfo& addOnColumnInfo,
                                                 platform::ErrorRef* error) {
  if (!argumentsAccepted(
          error,
          {{table.empty(), "Received empty table name for ensure table schema"},
           {elementaryColumnInfo.empty(), "Received empty column info for ensure table schema"}})) {
    return false;
  }
  APMColumnTextMap expected;
  for (const auto& [name, type] : elementaryColumnInfo) expected[name] = firstWord(type);
  for (const auto& [name, type] : addOnColumnInfo) expected[name] = type;
  std::optional<bool> matches = tableHasTypes(table, expected, error);
  if (!matches) return false;
  if (*matches) return true;
  return rebuildTable(table, elementaryColumnInfo, addOnColumnInfo, error);
}

std::optional<bool> APMSqliteStore::tableHasTypes(const std::string& table,
                                                  const APMColumnTextMap& expected,
                                                  platform::ErrorRef* error) {
  platform::ErrorRef readError;
  APMColumnTextMap current = columnInfoForTableWithName(table, &readError);
  if (readError) {
    // A list that could not be read (the file busy) says nothing about
    // whether the table exists.
    platform::setError(error, readError);
    return std::nullopt;
  }
  if (current.empty()) {
    APMSetError(error, kState, "Table does not exist for ensure table schema");
    return std::nullopt;
  }
  // Only the columns this code knows are compared. A nullable column of a
  // later version, which validation keeps, would otherwise make the maps
  // differ at every start and rebuild the table each time.
  return std::all_of(expected.begin(), expected.end(), [&](const auto& column) {
    auto found = current.find(column.first);
    return found != current.end() && found->second == column.second;
  });
}

bool APMSqliteStore::rebuildTable(const std::string& table,
                                  const APMColumnInfo& elementaryColumnInfo,
                                  const APMColumnInfo& addOnColumnInfo, platform::ErrorRef* error) {
  const std::string oldTable = table + "_old";
  platform::ErrorRef stepError;
  platform::ErrorRef transactionError;
  bool rebuilt = performTransactionWithError(
      [&] {
        return renameTable(table, oldTable, &stepError) &&
               ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
               copyContentsFromTable(oldTable, table, &stepError) &&
               dropTableWithName(oldTable, &stepError);
      },
      &transactionError);
  // The failed step's error carries SQLite's reason; the transaction's
  // only says that the block gave up.
  if (!rebuilt) platform::setError(error, stepError ? stepError : transactionError);
  return rebuilt;
}

bool APMSqliteStore::dropTableWithName(const std::string& table, platform::ErrorRef* error) {
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for drop table");
    return false;
  }
  return executeSQL("DROP TABLE " + table, error);
}

bool APMSqliteStore::renameTable(const std::string& oldName, const std::string& newName,
                                 platform::ErrorRef* error) {
  if (!argumentsAccepted(error,
                         {{oldName.empty(), "Received empty old name for rename table"},
                          {newName.empty(), "Received empty new name for rename table"},
                          {oldName == newName, "Received duplicate name for rename table"}})) {
    return false;
  }
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool APMSqliteStore::copyContentsFromTable(const std::string& source,
                                           const std::string& destination,
                                           platform::ErrorRef* error) {
  if (!argumentsAccepted(error,
                         {{source.empty(), "Received empty source name for copy table"},
                          {destination.empty(), "Received empty destination name for copy table"},
                          {source == destination, "Received duplicate name for copy table"}})) {
    return false;
  }
  // By name, not by position: the two tables may list their columns in
  // another order, or one may hold a column the other lacks (a nullable
  // column of a later version). Names read from a file are quoted.
  platform::ErrorRef readError;
  std::vector<std::string> sourceColumns = columnsForTableWithName(source, &readError);
  std::vector<std::string> destinationColumns;
  if (!readError) destinationColumns = columnsForTableWithName(destination, &readError);
  if (readError) {
    platform::setError(error, readError);
    return false;
  }
  std::string columns;
  for (const std::string& column : destinationColumns) {
    if (std::find(sourceColumns.begin(), sourceColumns.end(), column) == sourceColumns.end()) {
      continue;
    }
    if (!columns.empty()) columns += ", ";
    columns += quotedIdentifier(column);
  }
  if (columns.empty()) {
    APMSetError(error, kState, "No common columns for copy table");
    return false;
  }
  return executeSQL("INSERT INTO " + destination + " (" + columns + ") SELECT " + columns +
                        " FROM " + source,
                    error);
}

bool APMSqliteStore::createEmptyTable(const std::string& destination, const std::string& source,
                                      platform::ErrorRef* error) {
  if (!argumentsAccepted(
          error, {{source.empty(), "Received empty source name for create empty copy"},
                  {destination.empty(), "Received empty destination name for create empty copy"},
                  {source == destination, "Received duplicate name for create empty copy"}})) {
    return false;
  }
  return executeSQL("CREATE TABLE IF NOT EXISTS " + destination + " AS SELECT * FROM " + source +
                        " WHERE false",
                    error);
}

// --- Records ---------------------------------------------------------------

std::optional<int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& table,
                                                                platform::ErrorRef* error) {
  return rowCountForTableWithName(table, std::string(), platform::Object(), error);
}

std::optional<int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& table,
                                                                const std::string& columnName,
                                                                const platform::Object& columnValue,
                                                                platform::ErrorRef* error) {
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!checkOpen("Row count failed. Database not open.", error)) return std::nullopt;
  std::string query = "SELECT count(1) FROM " + table;
  APMSqlParameters parameters;
  if (!columnName.empty() && !columnValue.isNil()) {
    query += " WHERE " + columnName + "=?";
    parameters.push_back(columnValue);
  }
  sqlite3_stmt* statement = statementForQuery(query, parameters, error);
  if (!statement) return std::nullopt;
  std::optional<int64_t> count;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    count = sqlite3_column_int64(statement, 0);
  } else {
    setDatabaseError(error, "row count");
  }
  cleanUpStatement(statement, query);
  return count;
}

const std::string* APMSqliteStore::findRecordText(const APMRecord& record, const std::string& table,
                                                  const std::string& keyColumn) {
  for (auto entry = recordTexts_.begin(); entry != recordTexts_.end(); ++entry) {
    if (entry->table != table || entry->keyColumn != keyColumn) continue;
    size_t index = 0;
    bool same = true;
    record.forEach([&](const std::string& column, const platform::Object&) {
      same = same && index < entry->columns.size() && entry->columns[index] == column;
      ++index;
    });
    if (!same || index != entry->columns.size()) continue;
    recordTexts_.splice(recordTexts_.begin(), recordTexts_, entry);
    return &recordTexts_.front().sql;
  }
  return nullptr;
}

const std::string& APMSqliteStore::keepRecordText(const APMRecord& record, const std::string& table,
                                                  const std::string& keyColumn, std::string sql) {
  RecordText entry{table, keyColumn, {}, std::move(sql)};
  record.forEach(
      [&](const std::string& column, const platform::Object&) { entry.columns.push_back(column); });
  recordTexts_.push_front(std::move(entry));
  if (recordTexts_.size() > kRecordTextCapacity) recordTexts_.pop_back();
  return recordTexts_.front().sql;
}

const std::string& APMSqliteStore::upsertText(const APMRecord& record, const std::string& table) {
  using namespace std::string_view_literals;
  static const std::string noKey;
  if (const std::string* known = findRecordText(record, table, noKey)) return *known;
  std::string text;
  text.append("INSERT OR REPLACE INTO "sv).append(table).append(" ("sv);
  size_t count = 0;
  record.forEach([&](const std::string& column, const platform::Object&) {
    if (count++) text.append(", "sv);
    text.append(column);
  });
  text.append(") VALUES ("sv);
  for (size_t i = 0; i < count; ++i) text.append(i ? ", ?"sv : "?"sv);
  text.append(");"sv);
  return keepRecordText(record, table, noKey, std::move(text));
}

const std::string& APMSqliteStore::updateText(const APMRecord& record, const std::string& table,
                                              const std::string& columnName) {
  using namespace std::string_view_literals;
  if (const std::string* known = findRecordText(record, table, columnName)) return *known;
  std::string text;
  text.append("UPDATE "sv).append(table).append(" SET "sv);
  size_t count = 0;
  record.forEach([&](const std::string& column, const platform::Object&) {
    if (count++) text.push_back(',');
    text.append(column).append("=?"sv);
  });
  text.append(" WHERE "sv).append(columnName).append("=?"sv);
  return keepRecordText(record, table, columnName, std::move(text));
}

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const APMRecord& record,
                                                       const std::string& table,
                                                       platform::ErrorRef* error) {
  sqlite3_stmt* statement = prepareSQL(upsertText(record, table), error);
  if (!statement) return nullptr;
  if (!bindEach(record, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::upsertRecord(const APMRecord& record, const std::string& table,
                                  platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{record.empty(), "Received empty record for upsert"},
                                 {table.empty(), "Received empty table name for upsert"}})) {
    return false;
  }
  if (!checkOpen("Upsert record failed. Database not open.", error)) return false;
  bool supported = true;
  record.forEach([&](const std::string&, const platform::Object& value) {
    supported = supported && isSupportedKind(value);
  });
  if (!supported) {
    log(4, 34020, "Record has value of unexpected type");
    return false;
  }
  // Records of one table come with the same columns again and again (every
  // stored event, every counter update); their statement is kept like any
  // other text with placeholders, rather than prepared anew each time.
  return executeReusable(
      upsertText(record, table),
      [&](sqlite3_stmt* statement) { return bindEach(record, statement, error, false); }, error);
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const APMRecord& record,
                                                       const std::string& table,
                                                       const std::string& columnName,
                                                       const platform::Object& columnValue,
                                                       platform::ErrorRef* error) {
  sqlite3_stmt* statement = prepareSQL(updateText(record, table, columnName), error);
  if (!statement) return nullptr;
  if (!bindUpdate(record, columnValue, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::bindUpdate(const APMRecord& record, const platform::Object& columnValue,
                                sqlite3_stmt* statement, platform::ErrorRef* error) {
  if (!bindEach(record, statement, error, false)) return false;
  if (bindValue(statement, static_cast<int>(record.size()) + 1, columnValue) != SQLITE_OK) {
    reportBindFailure(columnValue, error);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return false;
  }
  return true;
}

bool APMSqliteStore::updateRecord(const APMRecord& record, const std::string& table,
                                  const std::string& columnName,
                                  const platform::Object& columnValue, platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{record.empty(), "Empty record for update"},
                                 {table.empty(), "Empty table name for update"},
                                 {columnName.empty(), "Empty column name for update"},
                                 {columnValue.isNil(), "Nil column value for update"}})) {
    return false;
  }
  if (!checkOpen("Update record failed. Database not open.", error)) return false;
  bool supported = isSupportedKind(columnValue);
  record.forEach([&](const std::string&, const platform::Object& value) {
    supported = supported && isSupportedKind(value);
  });
  if (!supported) {
    log(4, 34021, "Record has value of unexpected type (update)");
    APMSetError(error, kArgument,
                "Failed to bind parameter of unexpected type to update statement");
    return false;
  }
  return executeReusable(
      updateText(record, table, columnName),
      [&](sqlite3_stmt* statement) { return bindUpdate(record, columnValue, statement, error); },
      error);
}

bool APMSqliteStore::updateAllRecordsInTableWithName(const std::string& table,
                                                     const std::string& columnName,
                                                     const platform::Object& columnValue,
                                                     platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{table.empty(), "Empty table name for update"},
                                 {columnName.empty(), "Empty column name for update"},
                                 {columnValue.isNil(), "Nil column value for update"}})) {
    return false;
  }
  if (!checkOpen("Update record failed. Database not open.", error)) return false;
  std::string query = "UPDATE " + table + " SET " + columnName + "=?";
  sqlite3_stmt* statement = statementForQuery(query, {columnValue}, error);
  if (!statement) return false;
  return stepToDone(statement, query, "update all records value", error);
}

bool APMSqliteStore::increaseColumn(const std::string& column, int64_t amount,
                                    const std::string& table, const std::string& condition,
                                    const APMSqlParameters& parameterValues,
                                    platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{table.empty(), "Empty table name for increase column"},
                                 {column.empty(), "Empty column name for increase column"},
                                 {condition.empty(), "Empty condition for increase column"}})) {
    return false;
  }
  if (!checkOpen("Increase column failed. Database not open.", error)) return false;
  APMColumnTextMap info = columnInfoForTableWithName(table, error);
  auto declared = info.find(column);
  if (declared == info.end()) {
    APMSetError(error, kState, "Invalid column or table name");
    return false;
  }
  if (upper(declared->second) != "INTEGER") {
    APMSetError(error, kArgument, "Column type is not integer.");
    return false;
  }
  std::string query = "UPDATE " + table + " SET " + column + " = " + column + " + " +
                      std::to_string(amount) + " WHERE " + condition;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return false;
  return stepToDone(statement, query, "increase records value", error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& table,
                                                   const std::string& columnName,
                                                   const platform::Object& columnValue,
                                                   platform::ErrorRef* error) {
  if (!argumentsAccepted(error, {{table.empty(), "Received empty table name for delete record"},
                                 {columnName.empty(), "Received empty column for delete record"},
                                 {columnValue.isNil(), "Received nil value for delete record"}})) {
    return false;
  }
  if (!checkOpen("Delete record failed. Database not open.", error)) return false;
  sqlite3_stmt* statement =
      prepareSQL("DELETE FROM " + table + " WHERE " + columnName + "=?", error);
  if (!statement) return false;
  if (!bindValues({columnValue}, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<int64_t> APMSqliteStore::deleteRecordsFromTableWithName(
    const std::string& table, const std::string& condition, const APMSqlParameters& parameterValues,
    platform::ErrorRef* error) {
  if (!argumentsAccepted(error,
                         {{table.empty(), "Received empty table name for delete record"},
                          {condition.empty(), "Received empty condition for delete record"}})) {
    return std::nullopt;
  }
  if (!checkOpen("Delete records with condition failed. Database not open.", error)) {
    return std::nullopt;
  }
  std::string query = "DELETE FROM " + table + " WHERE " + condition;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  if (!stepToDone(statement, query, "delete records with condition", error)) return std::nullopt;
  return sqlite3_changes64(sqliteHandle_);
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& table,
                                                       platform::ErrorRef* error) {
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for delete all records");
    return false;
  }
  if (!checkOpen("Delete all records failed. Database not open.", error)) return false;
  std::string query = "DELETE FROM " + table;
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return false;
  return stepToDone(statement, query, "delete all records", error);
}

std::optional<std::vector<APMRecord>>
APMSqliteStore::recordsForQuery(const std::string& query, const APMSqlParameters& parameterValues,
                                platform::ErrorRef* error) {
  return readRecords(query, parameterValues, error, nullptr);
}

std::optional<std::vector<APMRecord>>
APMSqliteStore::recordsForQuery(const std::string& query, const APMSqlParameters& parameterValues,
                                platform::ErrorRef* error, const APMRecordFilter& filter) {
  if (!query.empty() && !filter) {
    APMSetError(error, kArgument, "Received empty filter for selecting records");
    return std::nullopt;
  }
  return readRecords(query, parameterValues, error, &filter);
}

std::optional<std::vector<APMRecord>>
APMSqliteStore::readRecords(const std::string& query, const APMSqlParameters& parameterValues,
                            platform::ErrorRef* error, const APMRecordFilter* filter) {
  if (query.empty()) {
    APMSetError(error, kArgument, "Received empty query for records for query");
    return std::nullopt;
  }
  if (!checkOpen("Query records failed. Database not open.", error)) return std::nullopt;
  if (query.size() < 6 || strncasecmp(query.c_str(), "select", 6) != 0) {
    APMSetError(error, kArgument, "Received invalid select query");
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;

  std::vector<APMRecord> records;
  size_t rowsRead = 0;
  sqlite3_mutex* mutex = sqlite3_db_mutex(sqliteHandle_);
  int result;
  try {
    // The names are read once per query and shared by its rows, after the
    // first step: a cached statement meets a schema change (a column
    // added, a table made again in another order) by being prepared again
    // inside that step, and "*" may then stand for other columns.
    result = sqlite3_step(statement);
    int columnCount = sqlite3_column_count(statement);
    APMRecord::ColumnNames names;
    names.reserve(static_cast<size_t>(columnCount));
    std::vector<int> readable;
    for (int i = 0; i < columnCount; ++i) {
      const char* name = sqlite3_column_name(statement, i);
      if (!name) {
        log(4, 34003, "Failed to get column name");
        continue;
      }
      names.emplace_back(name);
      readable.push_back(i);
    }
    auto rows = std::make_shared<APMRecordRows>(std::move(names));

    for (; result == SQLITE_ROW; result = sqlite3_step(statement)) {
      ++rowsRead;
      platform::Object* values = rows->appendRow();
      // One hold of the connection's mutex for the whole row (see
      // valueAtColumn).
      sqlite3_mutex_enter(mutex);
      for (size_t slot = 0; slot < readable.size(); ++slot) {
        values[slot] = objectOfValue(sqlite3_column_value(statement, readable[slot]));
      }
      sqlite3_mutex_leave(mutex);
      for (size_t slot = 0; slot < readable.size(); ++slot) {
        if (values[slot].isNil()) log(4, 34004, "Value is nil for column", rows->columns()[slot]);
      }
      APMRecord record = rows->recordOfRow(values);
      if (filter && !(*filter)(records.size(), record)) break;
      records.push_back(std::move(record));
    }
  } catch (...) {
    // A filter that throws must still give the statement back: left
    // stepping, it would hold the file's read lock and its cache entry.
    cleanUpStatement(statement, query);
    throw;
  }
  if (result != SQLITE_ROW && result != SQLITE_DONE) {
    setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    return std::nullopt;
  }
  cleanUpStatement(statement, query);
  if (rowsRead > 0 && records.empty()) {
    log(4, 34005, "Database contains records that were all filtered out");
  }
  return records;
}

platform::Object APMSqliteStore::numberForQuery(const std::string& query,
                                                const APMSqlParameters& parameterValues,
                                                platform::ErrorRef* error) {
  if (query.empty()) {
    APMSetError(error, kArgument, "Received empty query to get numeric result");
    return {};
  }
  if (!checkOpen("Query numeric result failed. Database not open.", error)) return {};
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return {};
  platform::Object number;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else {
    switch (sqlite3_column_type(statement, 0)) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        number = valueAtColumn(0, statement);
        break;
      case SQLITE_NULL:
        break;
      default:
        APMSetError(error, kArgument, "Found result that was not numeric");
        break;
    }
  }
  cleanUpStatement(statement, query);
  return number;
}
