#include "measurement/storage/experiments/experiment_database.h"

#include "measurement/engine/measurement_errors.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/table_rows.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr long kStoredData = 3;

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";

constexpr const char* kSnapshotTables[] = {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable,
                                           kAPMELaunchedSnapshotTable};

const APMColumnInfo& snapshotColumns() {
  static const APMColumnInfo columns = {{kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
                                        {kSnapshotColumn, "BLOB NOT NULL"},
                                        {kTimestampColumn, "REAL NOT NULL"},
                                        {kManuallyActivatedColumn, "INTEGER"}};
  return columns;
}

std::shared_ptr<APMEMonitor> monitor() { return APMEMonitor::monitor(); }

// The three tables in `store`; the first that fails is logged (810004) and
// its error kept.
bool ensureSnapshotTables(APMSqliteStore& store, platform::ErrorRef* error) {
  for (const char* table : kSnapshotTables) {
    if (store.ensureTableWithName(table, snapshotColumns(), {}, {}, error)) continue;
    monitor()->logWithLevel(1, 810004, "Failed to ensure table. Table, error", table,
                            error ? *error : platform::ErrorRef());
    return false;
  }
  return true;
}

// The snapshot of a stored row, stamped and marked as stored; null when the
// row holds no decodable snapshot.
APMESnapshotRef snapshotOfRecord(const APMRecord& record) {
  platform::Bytes text;
  const platform::Bytes* bytes = APMBytesColumn(record, kSnapshotColumn, text);
  if (!bytes) return nullptr;
  auto message = APMPBSnapshot::initWithBuffer(*bytes);
  APMESnapshotRef snapshot = APMESnapshot::initWithProtobuf(message.get());
  if (!snapshot) return nullptr;
  snapshot->setTimestamp(record[kTimestampColumn].doubleValue());
  const platform::Object manual = record[kManuallyActivatedColumn];
  if (manual.isNumber()) snapshot->setManuallyActivated(manual.boolValue());
  return snapshot;
}

APMRowReading readSnapshotRecord(const APMRecord& record, APMESnapshotRef& snapshot) {
  return APMReadRow([&] { return (snapshot = snapshotOfRecord(record)) != nullptr; });
}

// The snapshots of rows read from `table`. A row that holds none (its blob
// damaged, or not a snapshot) is deleted and logged, so that one damaged row
// cannot keep the others from being read or activated at every start; it
// is read again inside the deleting transaction, so that a row another
// process wrote since stays. Nullopt, with nothing deleted, when memory ran
// out while reading a row.
std::optional<APMESnapshots> snapshotsOfRecords(APMSqliteStore& store, const char* table,
                                                const std::vector<APMRecord>& records,
                                                platform::ErrorRef* error) {
  APMESnapshots snapshots;
  snapshots.reserve(records.size());
  std::vector<int64_t> damaged;
  for (const APMRecord& record : records) {
    APMESnapshotRef snapshot;
    const APMRowReading reading = readSnapshotRecord(record, snapshot);
    if (reading == APMRowReading::kRead) {
      snapshots.push_back(std::move(snapshot));
      continue;
    }
    if (reading == APMRowReading::kNotNow) {
      APMSetError(error, kState, "Not enough memory to read snapshots");
      return std::nullopt;
    }
    const platform::Object rowID = record["rowid"];
    if (rowID.isNumber()) damaged.push_back(rowID.int64Value());
  }
  if (damaged.empty()) return snapshots;
  auto deleted = APMDeleteDamagedRows(store, table, "*", damaged, [](const APMRecord& record) {
    APMESnapshotRef again;
    return readSnapshotRecord(record, again);
  });
  // The rows deleted are in the order of `damaged`.
  size_t next = 0;
  for (int64_t rowID : damaged) {
    const bool gone = deleted && next < deleted->size() && (*deleted)[next] == rowID;
    if (gone) ++next;
    monitor()->logWithLevel(4, 810008, "Deleted a row that cannot be read. Table, row ID, deleted",
                            std::string(table), rowID, gone);
  }
  return snapshots;
}

}  // namespace

std::shared_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::string& path) {
  if (path.empty()) {
    monitor()->logWithLevel(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::shared_ptr<APMEDatabase> database(new APMEDatabase());
  if (!database->initializeResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeResourcesWithContext(const std::string& context,
                                                  const std::string& path) {
  platform::ErrorRef error;
  sqliteStore_ = APMSqliteStore::initWithDatabasePath(path, ensureSnapshotTables, &error);
  if (!sqliteStore_) {
    monitor()->logWithLevel(1, 810001, "Failed to open database (" + context + ")", error);
    return false;
  }
  if (!ensureSnapshotTables(*sqliteStore_, &error)) {
    if (APMSqliteStore::isTransientFailure(error)) {
      // Another process holding the file's lock past the busy timeout, or a
      // full disk, stopped the table: that says nothing of what the file
      // holds, and deleting it would lose every stored snapshot. It fails
      // as an open that could not be done now.
      monitor()->logWithLevel(1, 810001, "Failed to open database (" + context + ")", error);
      sqliteStore_.reset();
      return false;
    }
    monitor()->logWithLevel(1, 810002,
                            "Failed to create or validate required database tables (" + context + ")");
    // The file is replaced, and this opening fails; the fresh file keeps
    // the snapshots that could be read, for the next one. A transient
    // failure puts the old file back unchanged.
    platform::ErrorRef replaceError;
    if (sqliteStore_->replaceDamagedFile(ensureSnapshotTables, &replaceError) ||
        APMSqliteStore::isTransientFailure(replaceError)) {
      sqliteStore_.reset();
      return false;
    }
    platform::ErrorRef deleteError;
    if (!APMDeleteDatabaseFiles(path, &deleteError) && deleteError) {
      monitor()->logWithLevel(
          4, 810003, "Failed to delete old database file after failed validation. Error (" + context + ")",
          deleteError);
    }
    sqliteStore_.reset();
    return false;
  }
  return true;
}

APMSqliteStore* APMEDatabase::openStore(platform::ErrorRef* error) const {
  if (!sqliteStore_) APMSetError(error, kState, "Experiment database is not open");
  return sqliteStore_.get();
}

bool APMEDatabase::reset() {
  // Without an open store the path is unknown, so no new file can be made.
  const std::string path = sqliteStore_ ? sqliteStore_->databasePath() : std::string();
  if (sqliteStore_ && !closeAndDelete()) {
    monitor()->logWithLevel(4, 810005, "Failed to delete database data");
  }
  if (path.empty() || !initializeResourcesWithContext("Reset", path)) {
    monitor()->logWithLevel(1, 810006, "Cannot re-initialize the database");
    return false;
  }
  return true;
}

bool APMEDatabase::closeAndDelete() {
  if (!sqliteStore_) return false;
  bool deleted = sqliteStore_->closeAndDeleteDatabase();
  sqliteStore_.reset();
  return deleted;
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  platform::ErrorRef error;
  APMSqliteStore* store = openStore(&error);
  if (store && store->performTransactionWithError(block, &error)) return true;
  monitor()->logWithLevel(1, 810007, "Transaction failed. " +
                                         (error ? error->localizedDescription() : "(null)"));
  return false;
}

// --- Reading -----------------------------------------------------------------

std::optional<std::vector<APMRecord>> APMEDatabase::allDataTypesFromTableWithName(
    const std::string& table, long tableLimit, platform::ErrorRef* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  return APMRecordsOfAllRows(*store, table, tableLimit, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllSnapshots(const char* table,
                                                             platform::ErrorRef* error) {
  auto records = allDataTypesFromTableWithName(table, kAPMESnapshotTableLimit, error);
  if (!records) return std::nullopt;
  return snapshotsOfRecords(*sqliteStore_, table, *records, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllActivatedSnapshots(platform::ErrorRef* error) {
  return fetchAllSnapshots(kAPMEActivatedSnapshotTable, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllPendingSnapshots(platform::ErrorRef* error) {
  return fetchAllSnapshots(kAPMEPendingSnapshotTable, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllLaunchedSnapshots(platform::ErrorRef* error) {
  return fetchAllSnapshots(kAPMELaunchedSnapshotTable, error);
}

// --- Writing -----------------------------------------------------------------

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& table,
                                  double timestamp, std::optional<int64_t> manuallyActivated,
                                  platform::ErrorRef* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  std::optional<platform::Bytes> bytes = snapshot.protoBuffer();
  if (!bytes) {
    APMSetError(error, kStoredData, "Cannot encode the snapshot");
    return false;
  }
  APMRecord record{{kSDKNameColumn, APMNanoGetString(snapshot, SnapshotField::sdk_name).value_or("")},
                   {kTimestampColumn, timestamp},
                   {kSnapshotColumn, std::move(*bytes)}};
  if (manuallyActivated) record.set(kManuallyActivatedColumn, *manuallyActivated);
  return store->upsertRecord(record, table, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const APMESnapshots& snapshots,
                                                    platform::ErrorRef* error) {
  for (const APMESnapshotRef& snapshot : snapshots) {
    auto message = snapshot ? snapshot->proto() : nullptr;
    if (!message) {
      APMSetError(error, kArgument, "Received an invalid pending snapshot");
      return false;
    }
    if (!upsertSnapshot(*message, kAPMEPendingSnapshotTable, snapshot->timestamp(),
                        snapshot->manuallyActivated() ? 1 : 0, error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const APMESnapshotRef& snapshot, double timestamp,
                                    platform::ErrorRef* error) {
  if (!snapshot) {
    APMSetError(error, kArgument, "Received nil pending snapshot");
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  APMEExperiments launched;
  APMEExperiments activated;
  for (const auto& experiment : snapshot->experiments()) {
    (experiment->experimentID() == 0 ? launched : activated).push_back(experiment);
  }
  // Both parts are written the same way; an empty launched part leaves the
  // stored launched row alone, an empty activated part removes the stored
  // one (the manager now holds an activated snapshot without experiments).
  struct Part {
    const APMEExperiments& experiments;
    const char* table;
    bool deleteWhenEmpty;
  };
  for (const Part& part : {Part{launched, kAPMELaunchedSnapshotTable, false},
                           Part{activated, kAPMEActivatedSnapshotTable, true}}) {
    if (part.experiments.empty()) {
      if (part.deleteWhenEmpty &&
          !deleteExperimentsOfSDKName(snapshot->SDKName(), part.table, error)) {
        return false;
      }
      continue;
    }
    APMESnapshotRef written = APMESnapshot::initWithSDKName(snapshot->SDKName(), part.experiments);
    auto message = written ? written->proto() : nullptr;
    if (!message) {
      APMSetError(error, kArgument, "Received an invalid pending snapshot");
      return false;
    }
    if (!upsertSnapshot(*message, part.table, timestamp, std::nullopt, error)) return false;
  }
  return store
      ->deleteRecordsFromTableWithName(
          kAPMEPendingSnapshotTable,
          std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?",
          {snapshot->SDKName(), timestamp}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(platform::ErrorRef* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  auto records = store->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {1}, error);
  if (!records) return false;
  auto snapshots = snapshotsOfRecords(*store, kAPMEPendingSnapshotTable, *records, error);
  if (!snapshots) return false;
  for (const APMESnapshotRef& snapshot : *snapshots) {
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error) ||
        !deletePendingExperimentsOfSDKName(snapshot->SDKName(), error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(platform::ErrorRef* error) {
  APMSqliteStore* store = openStore(error);
  if (!store) return false;
  const double limit = platform::Clock::current()->now() - kAPMEStaleSnapshotAge;
  return store
      ->deleteRecordsFromTableWithName(kAPMEActivatedSnapshotTable,
                                       std::string(kTimestampColumn) + " <= ?", {limit}, error)
      .has_value();
}

// --- Deleting by SDK ---------------------------------------------------------

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& SDKName,
                                                       platform::ErrorRef* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMEActivatedSnapshotTable, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& SDKName,
                                                     platform::ErrorRef* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMEPendingSnapshotTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& SDKName,
                                                   platform::ErrorRef* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table,
                                              platform::ErrorRef* error) {
  if (SDKName.empty()) {
    APMSetError(error, kArgument, "Received empty SDK Name");
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store && store->deleteRecordFromTableWithName(table, kSDKNameColumn, SDKName, error);
}
