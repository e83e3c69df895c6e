#include "measurement/storage/database/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include "measurement/engine/measurement_errors.h"
#include "measurement/storage/models/app_metadata.h"
#include "measurement/storage/models/daily_counts.h"
#include "measurement/storage/settings/persisted_config.h"
#include "measurement/storage/settings/persistent_dictionary.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/database/bundling_support.h"
#include "tests/measurement/storage/database/small_disk_support.h"
#include "tests/support/expect_refused.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"
#include "tests/support/text_concat.h"

namespace {

using platform::Bytes;
using platform::ErrorRef;
using platform::Object;

// "name TYPE [NN] [PK<n>]" per column, as PRAGMA table_info reports them.
using Columns = std::vector<std::string>;

Columns describeColumns(APMSqliteStore& store, const std::string& table) {
  Columns columns;
  sqlite3_stmt* statement = store.prepareSQL("PRAGMA table_info(" + table + ")");
  while (statement && sqlite3_step(statement) == SQLITE_ROW) {
    std::string text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    text += std::string(" ") + reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    if (sqlite3_column_int(statement, 3)) text += " NN";
    if (int pk = sqlite3_column_int(statement, 5)) text += " PK" + std::to_string(pk);
    columns.push_back(text);
  }
  store.cleanUpStatement(statement, "");
  return columns;
}

// Written out again from the table of the schema, not from the code.
const std::map<std::string, Columns>& expectedSchema() {
  static const std::map<std::string, Columns> schema = {
      {"app_metadata",
       {"last_bundle_index INTEGER NN", "last_bundle_end_timestamp REAL NN",
        "last_bundle_start_timestamp REAL", "day INTEGER", "daily_conversions_count INTEGER",
        "daily_events_count INTEGER", "daily_public_events_count INTEGER",
        "daily_error_events_count INTEGER", "remote_config_data BLOB",
        "remote_config_timestamp REAL", "daily_real_time_conversion_events_count INTEGER",
        "daily_real_time_dcu_events_count INTEGER"}},
      {"raw_events_metadata", {"metadata_fingerprint INTEGER NN PK1", "metadata BLOB NN"}},
      {"raw_events",
       {"rowid INTEGER PK1", "name TEXT NN", "timestamp REAL NN", "metadata_fingerprint INTEGER NN", "data BLOB NN",
        "is_realtime INTEGER"}},
      {"events",
       {"name TEXT NN PK1", "lifetime_count INTEGER NN", "current_bundle_count INTEGER NN",
        "last_fire_timestamp REAL NN", "last_bundled_timestamp REAL",
        "last_sampled_complex_event_id INTEGER", "last_sampling_rate INTEGER",
        "last_exempt_from_sampling INTEGER", "last_bundled_day INTEGER",
        "current_session_count INTEGER"}},
      {"user_attributes",
       {"name TEXT NN PK1", "set_timestamp REAL NN", "value BLOB NN", "origin TEXT"}},
      {"queue",
       {"rowid INTEGER PK1", "data BLOB NN", "bundle_end_timestamp REAL NN", "is_realtime INTEGER",
        "retry_count INTEGER"}},
      {"event_filters",
       {"audience_id INTEGER NN PK1", "filter_id INTEGER NN PK2", "event_name TEXT NN",
        "data BLOB NN", "session_scoped INTEGER"}},
      {"property_filters",
       {"audience_id INTEGER NN PK1", "filter_id INTEGER NN PK2", "property_name TEXT NN",
        "data BLOB NN", "session_scoped INTEGER"}},
      {"audience_filter_values",
       {"audience_id INTEGER NN PK1", "current_results BLOB", "previous_results BLOB"}},
      {"purchase_transactions", {"fingerprint TEXT NN PK1"}},
      {"subscriptions", {"subscription_id TEXT NN PK1"}},
      {"conditional_properties",
       {"name TEXT NN PK1", "origin TEXT NN", "value BLOB NN", "creation_timestamp REAL NN",
        "active INTEGER NN", "trigger_timeout REAL NN", "triggered_timestamp REAL NN",
        "time_to_live REAL NN", "trigger_event_name TEXT", "timed_out_event BLOB",
        "triggered_event BLOB", "expired_event BLOB"}},
      {"main_event_params",
       {"event_id INTEGER NN PK1", "children_to_process INTEGER NN", "main_event BLOB NN"}},
  };
  return schema;
}

std::vector<std::string> tableNames(APMSqliteStore& store) {
  std::vector<std::string> names;
  auto rows = store.recordsForQuery(
      "SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite!_%' ESCAPE '!' ORDER BY name",
      {"table"});
  for (const auto& row : rows.value_or(std::vector<APMRecord>{})) names.push_back(*row["name"].string());
  return names;
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<platform::ManualClock>(1'700'000'000);
    scopedClock_ = std::make_unique<platform::ScopedCurrentClock>(clock_);
    store_ = APMPersistentDictionary::initWithFileName("com.voraza.vuv.measurement",
                                                       [](double, platform::DispatchBlock) {});
    config_ = APMPersistedConfig::initWithSuiteName("com.voraza.vuv.measurement", store_);
    path_ = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  }

  std::shared_ptr<APMDatabase> open(ErrorRef* error = nullptr) {
    return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, config_, error);
  }

  // A connection of its own to the database file (as an older version or a
  // second process has), after running `sql` on it; the caller closes it.
  sqlite3* connectAndRun(const char* sql) {
    EXPECT_TRUE(platform::createDirectories(platform::deletingLastPathComponent(path_)));
    sqlite3* handle = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &handle), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(handle);
    return handle;
  }
  // Writes the file as an older version left it.
  void writeOldFile(const char* sql) { sqlite3_close(connectAndRun(sql)); }

  // The file as the version before the rowid columns leaves it, holding
  // `events` raw events of sequences 0 and up (padded so that the file
  // takes a few megabytes) and a queued bundle.
  void writePreviousVersionFile(int events) {
    {
      auto database = open();
      ASSERT_TRUE(database);
      const double now = clock_->now();
      ASSERT_TRUE(database->performTransaction([&] {
        for (int sequence = 0; sequence < events; ++sequence) {
          auto event = APMEvent::initWithOrigin(
              "app", false, "_e", now, 0,
              {{"seq", APMValue(int64_t{sequence})}, {"text", APMValue(std::string(400, 't'))}});
          if (!database->storeRawEvent(event, road::bundle(1), false)) return false;
        }
        return database->insertBundle(road::bundle(static_cast<int64_t>(now * 1000), 4000), false);
      }));
    }
    const std::string current = path_ + "-current";
    ASSERT_EQ(std::rename(path_.c_str(), current.c_str()), 0);
    const std::string previous =
        "CREATE TABLE raw_events_metadata (metadata_fingerprint INTEGER NOT NULL PRIMARY KEY, "
        "metadata BLOB NOT NULL);"
        "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
        "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER);"
        "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
        "is_realtime INTEGER, retry_count INTEGER);"
        "ATTACH '" + current + "' AS current;"
        "INSERT INTO raw_events_metadata SELECT * FROM current.raw_events_metadata;"
        "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, is_realtime) "
        "SELECT rowid, name, timestamp, metadata_fingerprint, data, is_realtime "
        "FROM current.raw_events;"
        "INSERT INTO queue (rowid, data, bundle_end_timestamp, is_realtime, retry_count) "
        "SELECT rowid, data, bundle_end_timestamp, is_realtime, retry_count FROM current.queue;"
        "DETACH current;";
    writeOldFile(previous.c_str());
    ASSERT_EQ(std::remove(current.c_str()), 0);
  }
  int64_t fileSize() const {
    struct stat status {};
    EXPECT_EQ(::stat(path_.c_str(), &status), 0);
    return status.st_size;
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedCurrentClock> scopedClock_;
  std::shared_ptr<APMPersistentDictionary> store_;
  std::shared_ptr<APMPersistedConfig> config_;
  std::string path_;
};

TEST_F(DatabaseTest, FreshFileHasTheWholeSchemaAndOneMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(path_, container_.applicationSupport() + "/Voraza/Measurement/voraza-app-measurement.sql");
  EXPECT_TRUE(platform::fileExists(path_));
  APMSqliteStore& store = *database->sqliteStore();
  std::vector<std::string> expectedNames;
  for (const auto& [table, columns] : expectedSchema()) {
    expectedNames.push_back(table);
    EXPECT_EQ(describeColumns(store, table), columns) << table;
  }
  EXPECT_EQ(tableNames(store), expectedNames);

  auto metadata = database->queryAppMetadata();
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 0.0);
  auto counts = database->dailyCounts();
  ASSERT_TRUE(counts);
  EXPECT_EQ(*counts, APMDailyCounts(database->currentDayNumber(), 0, 0, 0, 0, 0, 0));

  metadata->incrementLastBundleIndex();
  metadata->setLastBundleEndTimestamp(42.5);
  ASSERT_TRUE(database->updateAppMetadata(metadata));
  EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 1);
  EXPECT_EQ(database->queryAppMetadata()->lastBundleEndTimestamp(), 42.5);
  ErrorRef error;
  expectRefused(database->updateAppMetadata(nullptr, &error), error, 3,
                "Received empty app metadata for getting dictionary representation");
  EXPECT_EQ(store.rowCountForTableWithName("app_metadata"), 1);
}

TEST_F(DatabaseTest, NonFiniteBundleTimesAreRefused) {
  auto database = open();
  ASSERT_TRUE(database);
  auto stored = database->queryAppMetadata();
  stored->setLastBundleStartTimestamp(10.5);
  stored->setLastBundleEndTimestamp(20.5);
  ASSERT_TRUE(database->updateAppMetadata(stored));
  const double kInfinity = std::numeric_limits<double>::infinity();
  for (auto [start, end] : {std::pair{std::nan(""), 1.0}, std::pair{1.0, std::nan("")},
                            std::pair{kInfinity, 1.0}, std::pair{1.0, -kInfinity}}) {
    auto metadata = APMAppMetadata::initWithLastBundleIndex(3, start, end);
    ErrorRef error;
    SCOPED_TRACE(testing::Message() << start << " " << end);
    expectRefused(database->updateAppMetadata(metadata, &error), error, 1,
                  "Received non-finite timestamp in app metadata");
  }
  auto kept = database->queryAppMetadata();
  EXPECT_EQ(kept->lastBundleIndex(), 0);
  EXPECT_EQ(kept->lastBundleStartTimestamp(), 10.5);
  EXPECT_EQ(kept->lastBundleEndTimestamp(), 20.5);
}

TEST_F(DatabaseTest, OldFileIsMigratedKeepingRows) {
  const char* old =
      "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp "
      "REAL NOT NULL);"
      "INSERT INTO app_metadata VALUES (7, 99.5);"
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
      "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events VALUES ('_s', 1700000000, 5, x'0102');"
      "INSERT INTO raw_events VALUES ('_e', 1700000001, 5, x'03');"
      "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
      "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, "
      "future_note TEXT);"
      "INSERT INTO events VALUES ('_s', 3, 1, 5.0, 'kept');";
  writeOldFile(old);

  auto database = open();
  ASSERT_TRUE(database);
  APMSqliteStore& store = *database->sqliteStore();
  EXPECT_EQ(describeColumns(store, "raw_events"), expectedSchema().at("raw_events"));
  auto rows = store.recordsForQuery(
      "SELECT name, typeof(timestamp) AS kind, timestamp, data FROM raw_events ORDER BY rowid", {});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0]["kind"], Object("real"));
  EXPECT_EQ((*rows)[0]["timestamp"], Object(1700000000.0));
  EXPECT_EQ(*(*rows)[0]["data"].data(), (Bytes{1, 2}));
  EXPECT_EQ((*rows)[1]["name"], Object("_e"));
  // A column of a later version stays when nullable; add-on columns arrive.
  Columns events = describeColumns(store, "events");
  EXPECT_EQ(events.size(), 11u);
  EXPECT_EQ(store.numberForQuery("SELECT lifetime_count FROM events WHERE future_note = ?", {"kept"}),
            Object(3));

  // The old metadata row reads with its add-on columns empty.
  auto metadata = database->queryAppMetadata();
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 7);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 99.5);
  EXPECT_EQ(*database->dailyCounts(), APMDailyCounts(database->currentDayNumber(), 0, 0, 0, 0, 0, 0));
}

TEST_F(DatabaseTest, OlderTablesKeepTheirRowidsAndNeverGiveADeletedOneAgain) {
  // Rows 2, 5 and 9 of each, as an older version left them (raw_events
  // with its column still to retype).
  writeOldFile("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
               "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER);"
               "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data) VALUES "
               "(2, '_e', 1, 5, x'02'), (5, '_e', 1, 5, x'05'), (9, '_e', 1, 5, x'09');"
               "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
               "INSERT INTO queue (rowid, data, bundle_end_timestamp) VALUES "
               "(2, x'02', 1.0), (5, x'05', 1.0), (9, x'09', 1.0);");
  const std::pair<const char*, APMRecord> tables[] = {
      {kAPMRawEventsTable, {{"name", "_e"}, {"timestamp", 1.0}, {"metadata_fingerprint", 5}, {"data", Bytes{1}}}},
      {kAPMQueueTable, {{"data", Bytes{1}}, {"bundle_end_timestamp", 1.0}}},
  };
  auto rows = [](APMSqliteStore& store, const std::string& table) {
    std::map<int64_t, Bytes> byRowID;
    auto records = store.recordsForQuery("SELECT rowid, data FROM " + table, {});
    EXPECT_TRUE(records);
    for (const APMRecord& row : records.value_or(std::vector<APMRecord>{})) {
      byRowID.emplace(row["rowid"].int64Value(), *row["data"].data());
    }
    return byRowID;
  };
  const std::map<int64_t, Bytes> older = {{2, {2}}, {5, {5}}, {9, {9}}};
  for (int opening = 0; opening < 2; ++opening) {
    auto database = open();
    ASSERT_TRUE(database);
    APMSqliteStore& store = *database->sqliteStore();
    for (const auto& [table, row] : tables) {
      SCOPED_TRACE(testing::Message() << table << ", opening " << opening);
      EXPECT_EQ(describeColumns(store, table), expectedSchema().at(table));
      if (opening == 0) {
        EXPECT_EQ(rows(store, table), older);
        // The last row goes: the next insert takes the rowid after it.
        ASSERT_EQ(store.deleteRecordsFromTableWithName(table, "rowid = ?", {9}), 1);
      }
      ASSERT_TRUE(database->insertDataType(row, table));
      EXPECT_EQ(store.numberForQuery("SELECT max(rowid) FROM " + std::string(table), {}).int64Value(), 10 + opening);
    }
  }
}

TEST_F(DatabaseTest, ColumnOfALaterVersionIsKeptByTheRetypedTable) {
  // A file a later version wrote (and then downgraded): raw_events already
  // has its rowid column and REAL timestamp, plus a nullable column this
  // code does not know.
  writeOldFile("CREATE TABLE raw_events (rowid INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL, "
               "timestamp REAL NOT NULL, "
               "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, "
               "is_realtime INTEGER, priority INTEGER);"
               "INSERT INTO raw_events VALUES (1, '_s', 1.5, 5, x'01', 0, 9);");

  auto database = open();
  ASSERT_TRUE(database);
  APMSqliteStore& store = *database->sqliteStore();
  EXPECT_EQ(store.numberForQuery("SELECT priority FROM raw_events WHERE name = ?", {"_s"}),
            Object(9));
}

TEST_F(DatabaseTest, OlderRawEventsWithAColumnOfALaterVersionAreRetypedKeepingRows) {
  writeOldFile("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
               "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, "
               "is_realtime INTEGER, priority INTEGER);"
               "INSERT INTO raw_events VALUES ('_s', 7, 5, x'01', 1, 9);"
               "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
               "INSERT INTO queue VALUES (x'02', 3.0);");

  auto database = open();
  ASSERT_TRUE(database);
  APMSqliteStore& store = *database->sqliteStore();
  EXPECT_EQ(describeColumns(store, "raw_events"), expectedSchema().at("raw_events"));
  auto rows = store.recordsForQuery("SELECT name, timestamp, is_realtime FROM raw_events", {});
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_EQ(rows->front(), (APMRecord{{"name", "_s"}, {"timestamp", 7.0}, {"is_realtime", 1}}));
  EXPECT_EQ(store.rowCountForTableWithName(kAPMQueueTable), 1);
}

TEST_F(DatabaseTest, RetypingThatCannotKeepTheRowsLogsSqliteReason) {
  writeOldFile("CREATE TABLE raw_events (name TEXT, timestamp INTEGER NOT NULL, "
               "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
               "INSERT INTO raw_events VALUES (NULL, 7, 5, x'01');");
  RecordingMonitor monitor;
  EXPECT_FALSE(open());
  RecordedLog failed = monitor.first(12047);
  ASSERT_EQ(failed.contexts.size(), 2u);
  EXPECT_EQ(failed.contexts[0], Object("raw_events"));
  ASSERT_TRUE(failed.contexts[1].error());
  EXPECT_NE(failed.contexts[1].error()->localizedDescription().find(
                "NOT NULL constraint failed: raw_events.name"),
            std::string::npos)
      << failed.contexts[1].error()->localizedDescription();
}

TEST_F(DatabaseTest, FileWithBrokenTableIsDeletedAndStartsOver) {
  writeOldFile("CREATE TABLE queue (data BLOB NOT NULL)");

  RecordingMonitor monitor;
  ErrorRef error;
  EXPECT_FALSE(open(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(),
            "Failed to create or validate required database tables (Init)");
  EXPECT_EQ(monitor.first(12047).contexts.at(0), Object("queue"));
  EXPECT_EQ(monitor.first(12002).message,
            "Failed to create or validate required database tables (Init)");
  // Replaced by a fresh file holding what could be copied; the broken
  // table had no row to keep.
  EXPECT_TRUE(monitor.contains(34023));
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(describeColumns(*database->sqliteStore(), "queue"), expectedSchema().at("queue"));
}

TEST_F(DatabaseTest, FileWrittenByAnotherConnectionIsKept) {
  // An older file, with rows, whose migration needs to write while another
  // connection (a second process) holds the write lock.
  sqlite3* other =
      connectAndRun("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
                    "INSERT INTO queue VALUES (x'01', 1.0);"
                    "BEGIN IMMEDIATE; INSERT INTO queue VALUES (x'02', 2.0);");
  RecordingMonitor monitor;
  ErrorRef error;
  EXPECT_FALSE(open(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(APMMonitorContextOfError(*error).find(",5,"), std::string::npos)
      << error->description();
  EXPECT_TRUE(monitor.contains(12047));
  EXPECT_TRUE(monitor.contains(12002));
  EXPECT_TRUE(platform::fileExists(path_));
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kAPMQueueTable), 2);
  EXPECT_EQ(describeColumns(*database->sqliteStore(), "queue"), expectedSchema().at("queue"));
}

TEST_F(DatabaseTest, TableLimitsRefuseNewKeysOnly) {
  auto database = open();
  ASSERT_TRUE(database);
  auto event = [](int i) {
    return APMRecord{{"name", concat({"e", std::to_string(i)})},
                     {"lifetime_count", 1},
                     {"current_bundle_count", 1},
                     {"last_fire_timestamp", 1.0}};
  };
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < kAPMEventsTableLimit; ++i) {
      if (!database->upsertDataType(event(i), kAPMEventsTable, "name", concat({"e", std::to_string(i)}),
                                    kAPMEventsTableLimit)) {
        return false;
      }
    }
    return true;
  }));
  ErrorRef error;
  EXPECT_FALSE(database->upsertDataType(event(5000), kAPMEventsTable, "name", "e5000",
                                        kAPMEventsTableLimit, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_EQ(error->code(), 2);
  // An upsert without a key value adds a row, so the limit holds for it too.
  EXPECT_FALSE(database->upsertDataType(event(5001), kAPMEventsTable, "name", Object(),
                                        kAPMEventsTableLimit, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  APMRecord replaced = event(7);
  replaced.set("lifetime_count", 8);
  EXPECT_TRUE(database->upsertDataType(replaced, kAPMEventsTable, "name", "e7", kAPMEventsTableLimit));
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kAPMEventsTable), kAPMEventsTableLimit);

  // Reads of all rows: rowid order, the limit, rows the block refuses left out.
  using Name = std::optional<std::string>;
  APMDatabase::CreateDataTypeBlock<Name> names = [](const APMRecord& record, ErrorRef*) -> Name {
    return record["lifetime_count"].int64Value() == 8 ? std::nullopt : Name(*record["name"].string());
  };
  auto firstTen = database->allDataTypesFromTableWithName<Name>(kAPMEventsTable, 10, nullptr, names);
  ASSERT_TRUE(firstTen);
  // Replacing a row gives it a new rowid at the end.
  ASSERT_EQ(firstTen->size(), 10u);
  EXPECT_EQ(firstTen->front(), Name("e0"));
  EXPECT_EQ(firstTen->back(), Name("e10"));
  auto all = database->allDataTypesFromTableWithName<Name>(kAPMEventsTable, kAPMNoReadLimit, nullptr,
                                                           names);
  EXPECT_EQ(all->size(), 999u);

  auto none = database->dataTypesFromTableWithName<Name>(kAPMEventsTable, "name", "missing", &error,
                                                         names);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_FALSE(database->dataTypesFromTableWithName<Name>(kAPMEventsTable, "name", "e7", &error, names));
  EXPECT_EQ(error->localizedDescription(), "Failed to initialize data types from dictionaries");
  EXPECT_FALSE(database->updateDataType(event(6000), kAPMEventsTable, "name", "e6000", &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to update record. Item doesn't exist");
  EXPECT_FALSE(database->insertDataType(std::nullopt, kAPMEventsTable, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to insert empty record");
}

TEST_F(DatabaseTest, ResetLeavesEmptySchemaAndFreshMetadata) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->insertDataType(APMRecord{{"data", Bytes{1}}, {"bundle_end_timestamp", 1.0}},
                                       kAPMQueueTable));
  auto metadata = database->queryAppMetadata();
  metadata->incrementLastBundleIndex();
  ASSERT_TRUE(database->updateAppMetadata(metadata));
  ASSERT_TRUE(database->reset());
  APMSqliteStore& store = *database->sqliteStore();
  EXPECT_EQ(store.rowCountForTableWithName(kAPMQueueTable), 0);
  EXPECT_EQ(tableNames(store).size(), expectedSchema().size());
  EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 0);
}

constexpr const char* kNumberingRestarts =
    "Bundle numbering restarts: indexes given before may be given again. Reason, last index: ";

TEST_F(DatabaseTest, NewFileTellsTheNumberingStartsAndAnOpenFileGoesOn) {
  {
    RecordingMonitor monitor;
    auto database = open();
    ASSERT_TRUE(database);
    // A first start cannot be told from a file deleted and made again.
    EXPECT_EQ(monitor.first(12067).text,
              concat({kNumberingRestarts, "no app metadata row: a new database file, or one deleted or "
                                          "reset, none known"}));
    EXPECT_EQ(monitor.first(12067).level, 6);
    auto metadata = database->queryAppMetadata();
    metadata->incrementLastBundleIndex();
    ASSERT_TRUE(database->updateAppMetadata(metadata));
  }
  RecordingMonitor monitor;
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_FALSE(monitor.contains(12067));
  EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 1);
}

TEST_F(DatabaseTest, UnreadableIndexRestartsTheNumberingSaysSoAndKeepsConfiguration) {
  // Each would otherwise read as some index, or stop every start.
  const std::pair<Object, const char*> cases[] = {
      {Object(-5), "-5"},
      {Object(int64_t{3'000'000'000}), "3000000000"},
      {Object("x"), "text"},
      {Object(2.5), "2.5"},
      {Object(Bytes{1}), "bytes"},
  };
  for (const auto& [stored, told] : cases) {
    SCOPED_TRACE(told);
    {
      auto database = open();
      ASSERT_TRUE(database);
      ASSERT_TRUE(database->sqliteStore()->updateRecord(
          {{"last_bundle_index", stored}, {"remote_config_data", Bytes{7, 7}}, {"daily_events_count", 3}},
          kAPMAppMetadataTable, "rowid", "1"));
    }
    RecordingMonitor monitor;
    auto database = open();
    ASSERT_TRUE(database);
    EXPECT_TRUE(monitor.contains(12005));
    EXPECT_EQ(monitor.first(12067).text,
              concat({kNumberingRestarts, "last_bundle_index holds ", told, ", not an index, none known"}));
    ASSERT_TRUE(database->queryAppMetadata());
    EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 0);
    auto row = database->sqliteStore()->recordsForQuery(
        "SELECT remote_config_data, daily_events_count FROM app_metadata", {});
    EXPECT_EQ(*(*row)[0]["remote_config_data"].data(), (Bytes{7, 7}));
    EXPECT_EQ((*row)[0]["daily_events_count"], Object(3));
  }
}

TEST_F(DatabaseTest, DailyCountersFollowTheShiftedDayBoundary) {
  config_->setDouble(3600, APMPersistedConfig::kMidnightOffsetKey);
  // One second before 01:00 UTC of day 19700 since 1970.
  clock_->set(19700 * 86400.0 + 3600 - 1);
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(database->currentDayNumber(), 19699);
  auto counts = database->dailyCounts();
  ASSERT_TRUE(counts);
  counts->incrementCountsForCurrentDay(database->currentDayNumber(), true, false, 3);
  ASSERT_TRUE(database->updateDailyCounts(counts));

  clock_->advance(2);
  int32_t today = database->currentDayNumber();
  EXPECT_EQ(today, 19700);
  // The stored day is answered as it is until the next increment.
  counts = database->dailyCounts();
  EXPECT_EQ(*counts, APMDailyCounts(19699, 0, 3, 3, 0, 0, 0));
  counts->incrementErrorEventsCountForCurrentDay(today);
  ASSERT_TRUE(database->updateDailyCounts(counts));
  EXPECT_EQ(*database->dailyCounts(), APMDailyCounts(19700, 0, 1, 0, 1, 0, 0));
}

TEST_F(DatabaseTest, ContainerThatCannotBeMadeIsNamedInTheError) {
  const std::string file = container_.path() + "/not-a-folder";
  ASSERT_TRUE(platform::writeFileAtomically(file, "x"));
  platform::setContainerDirectory(file);
  ErrorRef error;
  EXPECT_FALSE(open(&error));
  platform::setContainerDirectory(container_.path());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(),
            "Cannot create the folder " + file + ": a file that is not a folder is in its place");
}

TEST_F(DatabaseTest, FailedTransactionIsLoggedAndValuesConvert) {
  auto database = open();
  ASSERT_TRUE(database);
  RecordingMonitor monitor;
  EXPECT_FALSE(database->performTransaction([] { return false; }));
  EXPECT_EQ(monitor.first(12056).message, "Transaction failed. Transaction failed");

  EXPECT_EQ(APMDatabaseObjectFromValue(APMValue(std::string("a"))), Object("a"));
  EXPECT_EQ(APMDatabaseObjectFromValue(APMValue(2.5)).kind(), Object::Kind::Double);
  EXPECT_EQ(APMDatabaseObjectFromValue(APMValue(int64_t{7})), Object(7));
  EXPECT_EQ(APMDatabaseObjectFromValue(APMValue(Object::Array{Object(1)})), Object(0));
  ErrorRef error;
  EXPECT_FALSE(APMDatabase::initWithDatabaseName("", config_, &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty database name in init");
}

TEST_F(DatabaseTest, PreviousVersionFileServesWhileTheDiskIsTooFullToUpgradeItAndUpgradesLater) {
  constexpr int kEvents = 6000;
  writePreviousVersionFile(kEvents);
  const int64_t size = fileSize();
  // Half the file's size free: too little to rebuild raw_events.
  SmallDisk disk(size + size / 2);
  RecordingMonitor monitor;
  std::set<int64_t> uploaded;
  {
    auto database = open();
    ASSERT_TRUE(database);
    APMSqliteStore& store = *database->sqliteStore();
    // The previous version's file has no app_metadata row: the numbering starts.
    EXPECT_EQ(monitor.codes(), (std::vector<long>{34027, 12067}));
    RecordedLog waits = monitor.first(34027);
    ASSERT_EQ(waits.contexts.size(), 2u);
    EXPECT_EQ(waits.contexts[0], Object("raw_events"));
    ASSERT_TRUE(waits.contexts[1].error());
    EXPECT_NE(waits.contexts[1].error()->localizedDescription().find("database or disk is full"),
              std::string::npos);
    EXPECT_EQ(describeColumns(store, "raw_events").front(), "name TEXT NN");
    // The small queue was rebuilt.
    EXPECT_EQ(describeColumns(store, "queue"), expectedSchema().at("queue"));

    ASSERT_TRUE(
        database->storeRawEvent(road::event(kEvents, clock_->now()), road::bundle(1), false));
    ASSERT_TRUE(road::bundleOldest(*database));
    auto queued = database->queryBundlesWithCountLimit(100, int64_t{1} << 30);
    ASSERT_TRUE(queued);
    ASSERT_EQ(queued->size(), 2u);
    std::vector<int64_t> sent;
    for (const APMQueuedBundle& bundle : *queued) {
      sent.push_back(bundle.rowID);
      for (int64_t sequence : road::sequencesIn(*bundle.bundle)) uploaded.insert(sequence);
    }
    ASSERT_TRUE(database->deleteBundlesWithRowIDs(sent));
    EXPECT_EQ(uploaded.size(), static_cast<size_t>(kAPMRawEventsReadLimit));
  }

  disk.setCapacity(std::numeric_limits<int64_t>::max());
  monitor.clear();
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(monitor.codes(), std::vector<long>{});
  EXPECT_EQ(describeColumns(*database->sqliteStore(), "raw_events"),
            expectedSchema().at("raw_events"));
  std::map<int64_t, int> stored = road::storedSequences(*database);
  for (int64_t sequence = 0; sequence <= kEvents; ++sequence) {
    EXPECT_EQ(stored[sequence] + static_cast<int>(uploaded.count(sequence)), 1) << sequence;
  }
}

TEST_F(DatabaseTest, UpgradeNeedsAboutTheFilesSizeFreeAndLeavesTheFileAboutItsSize) {
  writePreviousVersionFile(6000);
  const int64_t size = fileSize();
  auto rows = [](APMSqliteStore& store) {
    auto records =
        store.recordsForQuery("SELECT rowid AS id, data FROM raw_events ORDER BY rowid", {});
    EXPECT_TRUE(records);
    return records.value_or(std::vector<APMRecord>{});
  };
  std::vector<APMRecord> before;
  {
    auto store = APMSqliteStore::initWithDatabasePath(path_);
    ASSERT_TRUE(store);
    before = rows(*store);
  }
  // The file's size and a tenth free: the rebuild's journal takes about
  // the file's size, its runs a little more.
  SmallDisk disk(2 * size + size / 10);
  RecordingMonitor monitor;
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_FALSE(monitor.contains(34027));
  EXPECT_EQ(describeColumns(*database->sqliteStore(), "raw_events"),
            expectedSchema().at("raw_events"));
  EXPECT_EQ(rows(*database->sqliteStore()), before);
  EXPECT_LT(fileSize(), size + size / 20);
}

}  // namespace
