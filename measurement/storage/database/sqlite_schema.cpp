#include "measurement/storage/database/sqlite_store.h"

#include <algorithm>
#include <set>

#include "measurement/storage/database/sqlite_store_internal.h"

using namespace sqlite_internal;

namespace {

std::string firstWord(const std::string& text) {
  return text.substr(0, text.find(' '));
}

// Whether the columns give the table rowids that are never given twice.
bool declaresRowIDColumn(const APMColumnInfo& columns) {
  return std::any_of(columns.begin(), columns.end(), [](const auto& column) {
    return column.first == APMSqliteStore::kRowIDColumn;
  });
}

}  // namespace

std::string sqlite_internal::quotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string sqlite_internal::quotedList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + quotedIdentifier(name);
  return list;
}

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
  APMColumnInfo target;
  for (const auto& [name, type] : elementaryColumnInfo) {
    if (name == kPrimaryKey) continue;
    auto modified = modifyColumnInfo.find(name);
    target.emplace_back(name, modified == modifyColumnInfo.end() ? type : modified->second);
  }
  // A rebuild is a one-time change to a table that serves as it is: one
  // that cannot be done now (the disk too full for it, a lock held past the
  // timeout) waits for a later open rather than stop this one.
  platform::ErrorRef waitReason;
  if (!ensureRowIDColumn(table, target, addOnColumnInfo, &waitReason) &&
      !rebuildWaits(table, waitReason, error)) {
    return false;
  }
  if (waitReason) {
    // Validated as it is: without the rowid column it waits for.
    APMColumnInfo present;
    for (const auto& column : elementaryColumnInfo) {
      if (column.first != kRowIDColumn) present.push_back(column);
    }
    return ensureTableWithName(table, present, addOnColumnInfo, error);
  }
  if (!ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  // At every open, before a retyping copy would carry a damaged sequence.
  if (declaresRowIDColumn(target) && repairSequence(sqliteHandle_, table) != SQLITE_OK) {
    setDatabaseError(error, "repair sequence");
    return false;
  }
  if (modifyColumnInfo.empty()) return true;
  return ensureSchemaOfTableWithName(table, target, addOnColumnInfo, &waitReason) ||
         rebuildWaits(table, waitReason, error);
}

bool APMSqliteStore::rebuildWaits(const std::string& table, const platform::ErrorRef& reason,
                                  platform::ErrorRef* error) {
  if (!isTransientFailure(reason)) {
    platform::setError(error, reason);
    return false;
  }
  log(4, 34027, "Table upgrade waits for a later open; the table is used as it is. Table, reason",
      APMMonitor::Contexts{table, reason});
  return true;
}

bool APMSqliteStore::ensureRowIDColumn(const std::string& table, const APMColumnInfo& columns,
                                       const APMColumnInfo& addOnColumnInfo,
                                       platform::ErrorRef* error) {
  if (!declaresRowIDColumn(columns)) return true;
  // Only a table that would pass validation but for the column: an absent
  // one is made with it, and one lacking other columns fails as before.
  auto lacking = [&](platform::ErrorRef* checkError) -> std::optional<bool> {
    platform::ErrorRef readError;
    std::vector<std::string> present = columnsForTableWithName(table, &readError);
    if (readError) {
      platform::setError(checkError, readError);
      return std::nullopt;
    }
    auto has = [&](const std::string& name) {
      return std::find(present.begin(), present.end(), name) != present.end();
    };
    if (present.empty() || has(kRowIDColumn)) return false;
    return std::all_of(columns.begin(), columns.end(), [&](const auto& column) {
      return column.first == kRowIDColumn || has(column.first);
    });
  };
  std::optional<bool> needed = lacking(error);
  if (!needed) return false;
  return !*needed || rebuildTable(table, columns, addOnColumnInfo, lacking, error);
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
  auto differs = [&](platform::ErrorRef* checkError) -> std::optional<bool> {
    std::optional<bool> matches = tableHasTypes(table, expected, checkError);
    if (!matches) return std::nullopt;
    return !*matches;
  };
  std::optional<bool> needed = differs(error);
  if (!needed) return false;
  return !*needed || rebuildTable(table, elementaryColumnInfo, addOnColumnInfo, differs, error);
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
                                  const APMColumnInfo& addOnColumnInfo, const RebuildCheck& needed,
                                  platform::ErrorRef* error) {
  const std::string oldTable = table + "_old";
  platform::ErrorRef stepError;
  platform::ErrorRef transactionError;
  const bool sequenced = declaresRowIDColumn(elementaryColumnInfo);
  // The rename took the sequence along to the old name: the copy sets the
  // new table's from the rows left, below a deleted last row's rowid.
  auto carrySequence = [&] {
    int result = SQLITE_OK;
    std::optional<int64_t> sequence = sequenceOf(sqliteHandle_, oldTable, &result);
    if (result == SQLITE_OK && sequence) result = raiseSequence(sqliteHandle_, table, *sequence);
    if (result == SQLITE_OK) return true;
    setDatabaseError(&stepError, "carry sequence");
    return false;
  };
  bool rebuilt = performTransactionWithError(
      [&] {
        // Another process may have rebuilt the table since it was checked.
        std::optional<bool> still = needed(&stepError);
        if (!still) return false;
        return !*still ||
               (renameTable(table, oldTable, &stepError) &&
                ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
                moveContentsFromTable(oldTable, table, &stepError) &&
                (!sequenced || carrySequence()) && dropTableWithName(oldTable, &stepError));
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

std::optional<std::vector<std::string>>
APMSqliteStore::sharedColumns(const std::string& source, const std::string& destination,
                              platform::ErrorRef* error) {
  if (!argumentsAccepted(error,
                         {{source.empty(), "Received empty source name for copy table"},
                          {destination.empty(), "Received empty destination name for copy table"},
                          {source == destination, "Received duplicate name for copy table"}})) {
    return std::nullopt;
  }
  // By name, not by position: the two tables may list their columns in
  // another order, or one may hold a column the other lacks (a nullable
  // column of a later version).
  platform::ErrorRef readError;
  std::vector<std::string> sourceColumns = columnsForTableWithName(source, &readError);
  std::vector<std::string> destinationColumns;
  if (!readError) destinationColumns = columnsForTableWithName(destination, &readError);
  if (readError) {
    platform::setError(error, readError);
    return std::nullopt;
  }
  std::vector<std::string> shared;
  for (const std::string& column : destinationColumns) {
    if (column == kRowIDColumn ||
        std::find(sourceColumns.begin(), sourceColumns.end(), column) != sourceColumns.end()) {
      shared.push_back(column);
    }
  }
  if (shared.empty()) {
    APMSetError(error, kState, "No common columns for copy table");
    return std::nullopt;
  }
  return shared;
}

bool APMSqliteStore::copyContentsFromTable(const std::string& source,
                                           const std::string& destination,
                                           platform::ErrorRef* error) {
  std::optional<std::vector<std::string>> columns = sharedColumns(source, destination, error);
  if (!columns) return false;
  // Names read from a file are quoted.
  const std::string list = quotedList(*columns);
  return executeSQL(
      "INSERT INTO " + destination + " (" + list + ") SELECT " + list + " FROM " + source, error);
}

bool APMSqliteStore::moveContentsFromTable(const std::string& source,
                                           const std::string& destination,
                                           platform::ErrorRef* error) {
  std::optional<std::vector<std::string>> columns = sharedColumns(source, destination, error);
  if (!columns) return false;
  const std::string list = quotedList(*columns);
  std::string rowBytes;
  for (const std::string& column : *columns) {
    rowBytes +=
        (rowBytes.empty() ? "" : " + ") + ("coalesce(length(" + quotedIdentifier(column) + "), 0)");
  }
  // Rows move a bounded run at a time, each run deleted from the source
  // as soon as it is copied, so that the next run fills the pages the last
  // one freed: the file grows by about one run instead of by the whole
  // table. The rollback journal still takes each source page once (the
  // transaction must be able to put the table back), so a rebuild needs
  // about the table's size free, where a copy followed by a drop needed
  // twice that (a second copy in the file, and with secure delete every
  // dropped page zeroed through the journal). A run ends at a count of
  // rows or of bytes, and holds at least one row.
  const std::string lastOfRun =
      "SELECT max(rowid) FROM (SELECT rowid, sum(bytes) OVER (ORDER BY rowid) - bytes AS before "
      "FROM (SELECT rowid, " +
      rowBytes + " AS bytes FROM " + source + " ORDER BY rowid LIMIT ?)) WHERE before < ?";
  const std::string copy = "INSERT INTO " + destination + " (" + list + ") SELECT " + list +
                           " FROM " + source + " WHERE rowid <= ? ORDER BY rowid";
  for (;;) {
    platform::ErrorRef readError;
    platform::Object last =
        numberForQuery(lastOfRun, {kRebuildRunRows, kRebuildRunBytes}, &readError);
    if (readError) {
      platform::setError(error, readError);
      return false;
    }
    if (last.isNil()) return true;
    sqlite3_stmt* statement = statementForQuery(copy, {last}, error);
    if (!statement || !stepToDone(statement, copy, "move rows", error) ||
        !deleteRecordsFromTableWithName(source, "rowid <= ?", {last}, error)) {
      return false;
    }
  }
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
