#include "measurement/storage/database/database.h"

#include "measurement/engine/monitor.h"
#include "measurement/storage/database/table_rows.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;

std::shared_ptr<APMMonitor> monitor() { return APMMeasurement::monitor(); }

// The schema's tables in `store`; the first that fails is logged (12047)
// and its error kept.
bool ensureTablesIn(APMSqliteStore& store, platform::ErrorRef* error) {
  for (const APMTableSchema& table : APMDatabaseSchema()) {
    platform::ErrorRef tableError;
    if (!store.ensureTableWithName(table.name, table.elementaryColumnInfo, table.addOnColumnInfo,
                                   table.modifyColumnInfo, &tableError)) {
      monitor()->logWithLevel(1, 12047, "Failed to ensure table. Table, error", table.name,
                              tableError);
      platform::setError(error, tableError);
      return false;
    }
  }
  return true;
}

}  // namespace

const std::vector<APMTableSchema>& APMDatabaseSchema() {
  static const std::vector<APMTableSchema> schema = {
      {kAPMAppMetadataTable,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}},
       {}},
      {kAPMRawEventsMetadataTable,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      // Bundling deletes raw events, and uploading bundles, by the rowids
      // read before: rowids of these two are never given twice. An older
      // file's table keeps SQLite's plain rowids while its rebuild waits
      // (the disk too full for it): bundling still deletes only what it
      // read, in the transaction that read it; an upload's late delete
      // relies on the queue's rebuild, which needs only the queue's size.
      {kAPMRawEventsTable,
       {{APMSqliteStore::kRowIDColumn, APMSqliteStore::kUniqueRowIDType},
        {"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kAPMEventsTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kAPMUserAttributesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kAPMQueueTable,
       {{APMSqliteStore::kRowIDColumn, APMSqliteStore::kUniqueRowIDType},
        {"data", "BLOB NOT NULL"},
        {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {kAPMEventFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {APMSqliteStore::kPrimaryKey, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kAPMPropertyFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {APMSqliteStore::kPrimaryKey, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kAPMAudienceFilterValuesTable,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kAPMPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kAPMSubscriptionsTable, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kAPMConditionalPropertiesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kAPMMainEventParamsTable,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return schema;
}

platform::Object APMDatabaseObjectFromValue(const APMValue& value) {
  if (const std::string* string = value.stringValue()) return *string;
  if (value.isDouble()) return value.doubleValue();
  return value.int64Value();
}

// --- Lifecycle ---------------------------------------------------------------

APMDatabase::APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

APMDatabase::~APMDatabase() = default;

std::shared_ptr<APMDatabase> APMDatabase::initWithDatabaseName(
    const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig,
    platform::ErrorRef* error) {
  if (name.empty()) {
    APMSetError(error, kArgument, "Received empty database name in init");
    return nullptr;
  }
  std::shared_ptr<APMDatabase> database(new APMDatabase(std::move(persistedConfig)));
  if (!database->initializeDatabaseResourcesWithContext("Init", APMApplicationSupportFilePath(name),
                                                        error)) {
    return nullptr;
  }
  return database;
}

bool APMDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                         const std::string& path,
                                                         platform::ErrorRef* error) {
  // On failure the previous store, closed, stays: operations then fail with
  // "Database not open." rather than meet a missing store.
  std::shared_ptr<APMSqliteStore> store =
      APMSqliteStore::initWithDatabasePath(path, ensureTablesIn, error);
  if (!store) return false;
  sqliteStore_ = std::move(store);
  platform::ErrorRef ensureError;
  if (!ensureAllTables(&ensureError)) {
    const std::string message =
        "Failed to create or validate required database tables (" + context + ")";
    monitor()->logWithLevel(1, 12002, message);
    if (APMSqliteStore::isTransientFailure(ensureError)) {
      // Another process holding the file, or a full disk, stopped the
      // check: the file is not known to be broken and keeps its rows for
      // the next attempt.
      sqliteStore_->closeDatabase();
      platform::setError(error, ensureError);
      return false;
    }
    APMSetError(error, kState, message);
    // The file is replaced, and this creation fails; the fresh file keeps
    // the rows that could be read, for the next one.
    platform::ErrorRef replaceError;
    if (sqliteStore_->replaceDamagedFile(ensureTablesIn, &replaceError)) {
      sqliteStore_->closeDatabase();
      return false;
    }
    // Put back unchanged, to be tried again.
    if (APMSqliteStore::isTransientFailure(replaceError)) return false;
    platform::ErrorRef deleteError;
    if (!deleteDatabaseFiles(path, &deleteError) && deleteError) {
      monitor()->logWithLevel(
          4, 12003, "Failed to delete old database file after failed validation. Error (" + context + ")",
          deleteError);
    }
    return false;
  }
  if (!initializeAppMetadata()) {
    const std::string message = "Failed to initialize App Metadata table (" + context + ")";
    monitor()->logWithLevel(1, 12004, message);
    APMSetError(error, kState, message);
    return false;
  }
  return true;
}

bool APMDatabase::deleteDatabaseFiles(const std::string& path, platform::ErrorRef* error) {
  // The connection goes first: a file removed under an open connection
  // keeps receiving its writes.
  sqliteStore_->closeDatabase();
  return APMDeleteDatabaseFiles(path, error);
}

bool APMDatabase::ensureAllTables(platform::ErrorRef* error) {
  return ensureTablesIn(*sqliteStore_, error);
}

bool APMDatabase::reset(platform::ErrorRef* error) {
  std::string path = sqliteStore_->databasePath();
  if (!sqliteStore_->closeAndDeleteDatabase()) {
    APMSetError(error, kState, "Failed to delete database data");
    return false;
  }
  return initializeDatabaseResourcesWithContext("Reset", path, error);
}

bool APMDatabase::performTransaction(const std::function<bool()>& block) {
  platform::ErrorRef error;
  bool committed = sqliteStore_->performTransactionWithError(block, &error);
  if (!committed) {
    monitor()->logWithLevel(1, 12056, "Transaction failed. " +
                                          (error ? error->localizedDescription() : "(null)"));
  }
  return committed;
}

// --- Generic record helpers --------------------------------------------------

std::optional<std::vector<APMRecord>> APMDatabase::recordsOfAllRows(const std::string& table,
                                                                    long tableLimit,
                                                                    platform::ErrorRef* error) {
  return APMRecordsOfAllRows(*sqliteStore_, table, tableLimit, error);
}

std::optional<std::vector<APMRecord>> APMDatabase::recordsWithKey(
    const std::string& table, const std::string& columnName, const platform::Object& columnValue,
    platform::ErrorRef* error) {
  return sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM " + table + " WHERE " + columnName + " = ?", {columnValue}, error);
}

bool APMDatabase::insertDataType(const std::optional<APMRecord>& record, const std::string& table,
                                 platform::ErrorRef* error) {
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for inserting");
    return false;
  }
  if (!record) {
    APMSetError(error, kState, "Failed to insert empty record");
    return false;
  }
  return sqliteStore_->upsertRecord(*record, table, error);
}

bool APMDatabase::upsertDataType(const std::optional<APMRecord>& record, const std::string& table,
                                 const std::string& columnName,
                                 const platform::Object& columnValue, long tableLimit,
                                 platform::ErrorRef* error) {
  if (!record) {
    APMSetError(error, kArgument, "Received empty data type to upsert");
    return false;
  }
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for checking upsert");
    return false;
  }
  // Without a key the row is a new one. Counting "the rows with the key"
  // would then count the whole table and let a full table grow.
  std::optional<int64_t> withKey = 0;
  if (!columnName.empty() && !columnValue.isNil()) {
    withKey = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
    if (!withKey) return false;
  }
  std::optional<int64_t> all = sqliteStore_->rowCountForTableWithName(table, error);
  if (!all) return false;
  if (*withKey == 0 && *all >= tableLimit) {
    APMSetError(error, kState, "Failed to insert data type. Table is full");
    return false;
  }
  return sqliteStore_->upsertRecord(*record, table, error);
}

bool APMDatabase::updateDataType(const std::optional<APMRecord>& record, const std::string& table,
                                 const std::string& columnName,
                                 const platform::Object& columnValue, platform::ErrorRef* error) {
  if (!record) {
    APMSetError(error, kArgument, "Received empty data type to update");
    return false;
  }
  if (table.empty()) {
    APMSetError(error, kArgument, "Received empty table name for updating");
    return false;
  }
  std::optional<int64_t> withKey =
      sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
  if (!withKey) return false;
  if (*withKey == 0) {
    APMSetError(error, kState, "Failed to update record. Item doesn't exist");
    return false;
  }
  return sqliteStore_->updateRecord(*record, table, columnName, columnValue, error);
}
