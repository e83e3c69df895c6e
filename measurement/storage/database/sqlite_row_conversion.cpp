#include "measurement/storage/database/sqlite_store.h"

#include <strings.h>

#include "measurement/storage/database/sqlite_store_internal.h"

using namespace sqlite_internal;

namespace {

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

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

// --- Values ----------------------------------------------------------------

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
