// Damaged files and files of another schema, on real files: the file is
// replaced, and the fresh one keeps every row SQLite can still read.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>

#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

constexpr int kRawEvents = 800;
constexpr int kBundles = 3;
constexpr int kAggregates = 30;
constexpr int kSnapshots = 20;

// Runs `sql` on the file through a connection of its own.
void execute(const std::string& path, const std::string& sql) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(handle);
  sqlite3_close(handle);
}

int64_t integer(const std::string& path, const std::string& query) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(handle, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return value;
}

// Writes garbage over the root page of `table`'s b-tree.
void damageRootPage(const std::string& path, const std::string& table) {
  const int64_t pageSize = integer(path, "PRAGMA page_size");
  const int64_t rootPage =
      integer(path, "SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = '" + table + "'");
  ASSERT_GT(pageSize, 0);
  ASSERT_GT(rootPage, 1);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp((rootPage - 1) * pageSize);
  const std::string garbage(static_cast<size_t>(pageSize), '\xa5');
  file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

std::string integrityOf(const std::string& path) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  std::string answer;
  if (sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return answer;
}

// 800 raw events numbered 0 to 799, three queued bundles, 30 event
// aggregates and 40 subscriptions.
void fillMeasurementDatabase() {
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  const double now = platform::Clock::current()->now();
  ASSERT_TRUE(database->performTransaction([&] {
    for (int sequence = 0; sequence < kRawEvents; ++sequence) {
      if (!database->storeRawEvent(road::event(sequence, now), road::bundle(1 + sequence % 2), false)) {
        return false;
      }
    }
    for (int bundle = 0; bundle < kBundles; ++bundle) {
      if (!database->insertBundle(road::bundle(static_cast<int64_t>(now * 1000) + bundle), false)) {
        return false;
      }
    }
    for (int i = 0; i < kAggregates; ++i) {
      if (!database->sqliteStore()->executeSQL(
              "INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
              "VALUES ('e" + std::to_string(i) + "', 3, 1, 5.0)")) {
        return false;
      }
    }
    for (int i = 0; i < 40; ++i) {
      if (!database->sqliteStore()->executeSQL("INSERT INTO subscriptions VALUES ('s" +
                                               std::to_string(i) + "')")) {
        return false;
      }
    }
    return true;
  }));
}

// The numbers of the raw events that read back as events.
std::set<int64_t> readableRawEvents(APMDatabase& database) {
  std::set<int64_t> sequences;
  auto rows = database.sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events", {});
  EXPECT_TRUE(rows);
  for (const APMRecord& row : rows.value_or(std::vector<APMRecord>{})) {
    if (auto event = database.rawEventDataFromDictionary(row)) {
      sequences.insert(road::sequenceOf(*event->rawEvent()));
    }
  }
  return sequences;
}

// The engine tries a failed creation once more; a file that failed its
// schema check is replaced by the first attempt.
std::shared_ptr<APMDatabase> openAsTheEngine() {
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  return database ? database : APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
}

TEST(DatabaseSalvageTest, ReplacedMeasurementFileKeepsEveryRowThatReads) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> damage;
    int64_t aggregatesKept;
    int64_t subscriptionsKept;
  };
  const Case cases[] = {
      {"a damaged page of a table the road never reads",
       [](const std::string& path) {
         damageRootPage(path, "subscriptions");
         ASSERT_NE(integrityOf(path), "ok");
       },
       kAggregates, 0},
      {"a newer schema: a NOT NULL column with a default",
       [](const std::string& path) {
         execute(path, "ALTER TABLE raw_events ADD COLUMN priority INTEGER NOT NULL DEFAULT 3");
       },
       kAggregates, 40},
      {"a column of events renamed: those rows no longer fit",
       [](const std::string& path) {
         execute(path, "ALTER TABLE events RENAME COLUMN lifetime_count TO lifetime_total");
       },
       0, 40},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempContainer container;
    const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
    fillMeasurementDatabase();
    test.damage(path);

    RecordingMonitor monitor;
    auto database = openAsTheEngine();
    ASSERT_TRUE(database);
    APMSqliteStore& store = *database->sqliteStore();
    EXPECT_TRUE(store.validateDatabaseWithError());
    std::set<int64_t> expected;
    for (int64_t sequence = 0; sequence < kRawEvents; ++sequence) expected.insert(sequence);
    EXPECT_EQ(readableRawEvents(*database), expected);
    auto bundles = database->queryBundlesWithCountLimit(100, int64_t{1} << 30);
    EXPECT_EQ(bundles.value_or(std::vector<APMQueuedBundle>{}).size(), static_cast<size_t>(kBundles));
    EXPECT_EQ(store.rowCountForTableWithName("raw_events_metadata"), 2);
    EXPECT_EQ(store.rowCountForTableWithName("events"), test.aggregatesKept);
    EXPECT_EQ(store.rowCountForTableWithName("subscriptions"), test.subscriptionsKept);
    // The bookkeeping row came across, not a second one.
    EXPECT_EQ(store.rowCountForTableWithName("app_metadata"), 1);
    EXPECT_TRUE(monitor.contains(34023));
    // Nothing of the old file is left beside the fresh one.
    for (const auto& entry : std::filesystem::directory_iterator(platform::deletingLastPathComponent(path))) {
      EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos) << entry.path();
    }
    if (test.aggregatesKept == 0) {
      bool counted = false;
      for (const RecordedLog& line : monitor.logs()) {
        if (line.code == 34023 && line.contexts.at(0).isString() && *line.contexts.at(0).string() == "events") {
          counted = line.contexts.at(2).int64Value() == kAggregates;
        }
      }
      EXPECT_TRUE(counted) << "the refused aggregates are counted as lost";
    }
  }
}

TEST(DatabaseSalvageTest, ADamagedPageInTheMiddleOfATableLosesOnlyItsRows) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  fillMeasurementDatabase();
  // The middle leaf of raw_events, in key order, and the rows it holds.
  const std::string leaves =
      "FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY path LIMIT 1 OFFSET "
      "(SELECT count(*) / 2 FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf')";
  const int64_t page = integer(path, "SELECT pageno " + leaves);
  const int64_t rowsOnPage = integer(path, "SELECT ncell " + leaves);
  ASSERT_GT(page, 1);
  ASSERT_GT(rowsOnPage, 0);
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const int64_t pageSize = integer(path, "PRAGMA page_size");
    file.seekp((page - 1) * pageSize);
    const std::string garbage(static_cast<size_t>(pageSize), '\x5a');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  ASSERT_NE(integrityOf(path), "ok");

  auto database = openAsTheEngine();
  ASSERT_TRUE(database);
  const std::set<int64_t> kept = readableRawEvents(*database);
  EXPECT_EQ(static_cast<int64_t>(kept.size()), kRawEvents - rowsOnPage);
  EXPECT_TRUE(kept.count(0));
  EXPECT_TRUE(kept.count(kRawEvents - 1)) << "the rows after the damaged page are kept";
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName("queue"), kBundles);
}

// 20 pending and 20 activated snapshots, one launched.
void fillExperimentDatabase(const std::string& path) {
  using namespace experiments_testing;
  auto database = APMEDatabase::initWithPath(path);
  ASSERT_TRUE(database);
  APMESnapshots pending;
  for (int i = 0; i < kSnapshots; ++i) {
    pending.push_back(snapshot("sdk" + std::to_string(i), {experiment(i + 1, {{"flag", platform::Object(i)}})}));
  }
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots(pending));
  for (int i = 0; i < kSnapshots; ++i) {
    ASSERT_TRUE(database->upsertSnapshot(*pending[static_cast<size_t>(i)]->proto(),
                                         kAPMEActivatedSnapshotTable, 100.0 + i, std::nullopt));
  }
  ASSERT_TRUE(database->upsertSnapshot(*snapshot("launched", {experiment(0)})->proto(),
                                       kAPMELaunchedSnapshotTable, 7.0, std::nullopt));
}

TEST(DatabaseSalvageTest, ReplacedExperimentFileKeepsItsSnapshots) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> damage;
    size_t launchedKept;
  };
  const Case cases[] = {
      {"a damaged page of the launched table",
       [](const std::string& path) {
         damageRootPage(path, kAPMELaunchedSnapshotTable);
         ASSERT_NE(integrityOf(path), "ok");
       },
       0},
      {"a newer schema: a NOT NULL column with a default",
       [](const std::string& path) {
         execute(path, std::string("ALTER TABLE ") + kAPMEPendingSnapshotTable +
                           " ADD COLUMN origin TEXT NOT NULL DEFAULT 'x'");
       },
       1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempContainer container;
    const std::string path = platform::appendingPathComponent(container.path(), "experiments.sql");
    fillExperimentDatabase(path);
    test.damage(path);

    auto database = APMEDatabase::initWithPath(path);
    if (!database) database = APMEDatabase::initWithPath(path);
    ASSERT_TRUE(database);
    auto pending = database->fetchAllPendingSnapshots();
    auto activated = database->fetchAllActivatedSnapshots();
    auto launched = database->fetchAllLaunchedSnapshots();
    ASSERT_TRUE(pending && activated && launched);
    EXPECT_EQ(pending->size(), static_cast<size_t>(kSnapshots));
    EXPECT_EQ(activated->size(), static_cast<size_t>(kSnapshots));
    EXPECT_EQ(launched->size(), test.launchedKept);
    if (activated->empty()) continue;
    EXPECT_EQ(activated->back()->timestamp(), 100.0 + kSnapshots - 1);
    EXPECT_EQ(activated->back()->SDKName(), "sdk" + std::to_string(kSnapshots - 1));
  }
}

TEST(DatabaseSalvageTest, ACopyCutShortByAFullDiskPutsTheOldFileBack) {
  TempContainer container;
  const std::string path = platform::appendingPathComponent(container.path(), "full.sql");
  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)"));
  ASSERT_TRUE(store->performTransactionWithError([&] {
    for (int i = 0; i < 400; ++i) {
      if (!store->upsertRecord({{"id", i}, {"data", platform::Bytes(100, 7)}}, "rows")) return false;
    }
    return true;
  }));
  // The fresh file has room for its table and little more, as on a full
  // disk: the copy cannot finish, which says nothing of the old file.
  auto makeTables = [](APMSqliteStore& fresh, platform::ErrorRef* error) {
    return fresh.executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)", error) &&
           fresh.numberForQuery("PRAGMA max_page_count = 4", {}, error).int64Value() == 4;
  };
  platform::ErrorRef error;
  EXPECT_FALSE(store->replaceDamagedFile(makeTables, &error));
  EXPECT_TRUE(APMSqliteStore::isTransientFailure(error)) << (error ? error->description() : "");
  EXPECT_EQ(integer(path, "SELECT count(*) FROM rows"), 400);
  EXPECT_EQ(integrityOf(path), "ok");
  for (const auto& entry : std::filesystem::directory_iterator(container.path())) {
    EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos) << entry.path();
  }
}

}  // namespace
