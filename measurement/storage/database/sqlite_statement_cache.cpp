#include "measurement/storage/database/sqlite_store.h"

#include <strings.h>

#include <cmath>
#include <limits>

#include "measurement/storage/database/sqlite_store_internal.h"

using namespace sqlite_internal;

namespace {

bool containsCaseInsensitive(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (strncasecmp(text.data() + i, word.data(), word.size()) == 0) return true;
  }
  return false;
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

}  // namespace

int sqlite_internal::bindValue(sqlite3_stmt* statement, int index, const platform::Object& value) {
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
