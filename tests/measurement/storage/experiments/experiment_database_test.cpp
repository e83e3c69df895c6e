// The experiment snapshot database: activation into the launched and
// activated tables, automatic activation at start, stale deletion, reads
// of damaged rows and the life of the file.
#include "measurement/storage/experiments/experiment_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

using namespace experiments_testing;
using platform::Object;

class ExperimentDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = APMEDatabase::initWithPath(APMApplicationSupportFilePath(kAPMEDatabaseName));
    ASSERT_NE(database_, nullptr);
  }

  std::vector<APMRecord> rows(const char* table) {
    return database_->allDataTypesFromTableWithName(table, kAPMESnapshotTableLimit)
        .value_or(std::vector<APMRecord>{});
  }
  // The experiment IDs of the SDK's row of a table; nullopt without a row.
  std::optional<std::vector<int64_t>> idsIn(const char* table, const std::string& sdk) {
    for (const APMRecord& record : rows(table)) {
      if (record["sdk_name"] != Object(sdk)) continue;
      auto message = APMPBSnapshot::initWithBuffer(*record["snapshotProto"].data());
      return APMESnapshot::initWithProtobuf(message.get())->experimentIDs();
    }
    return std::nullopt;
  }
  bool activate(const APMESnapshotRef& snapshot, double t) {
    return database_->performTransaction([&] { return database_->activateSnapshot(snapshot, t); });
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(1e6);
  platform::ScopedCurrentClock scopedClock_{clock_};
  std::shared_ptr<APMEDatabase> database_;
};

TEST_F(ExperimentDatabaseTest, ActivationSplitsLaunchedFromActivatedAndClearsPending) {
  auto pending = snapshot("sdk", {experiment(0, {{"l", 1}}), experiment(5), experiment(9)});
  pending->setTimestamp(900);
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({pending}));
  ASSERT_TRUE(activate(pending, 1000));

  EXPECT_EQ(idsIn(kAPMELaunchedSnapshotTable, "sdk"), (std::vector<int64_t>{0}));
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "sdk"), (std::vector<int64_t>{5, 9}));
  for (const char* table : {kAPMELaunchedSnapshotTable, kAPMEActivatedSnapshotTable}) {
    ASSERT_EQ(rows(table).size(), 1u);
    EXPECT_EQ(rows(table)[0]["timestamp"], Object(1000.0));
    EXPECT_TRUE(rows(table)[0]["manually_activated"].isNull());
  }
  EXPECT_TRUE(rows(kAPMEPendingSnapshotTable).empty());

  // A pending row newer than the activation time stays.
  auto newer = snapshot("sdk", {experiment(7)});
  newer->setTimestamp(2000);
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({newer}));
  ASSERT_TRUE(activate(newer, 1500));
  EXPECT_EQ(rows(kAPMEPendingSnapshotTable).size(), 1u);
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "sdk"), (std::vector<int64_t>{7}));
  EXPECT_EQ(idsIn(kAPMELaunchedSnapshotTable, "sdk"), (std::vector<int64_t>{0}));
}

TEST_F(ExperimentDatabaseTest, OnlyLaunchedExperimentReplacesLaunchedAndDropsActivated) {
  ASSERT_TRUE(activate(snapshot("sdk", {experiment(0, {{"a", 1}}), experiment(4)}), 100));
  ASSERT_TRUE(activate(snapshot("other", {experiment(6)}), 100));
  ASSERT_TRUE(activate(snapshot("sdk", {experiment(0, {{"b", 2}})}), 200));
  // A restart must not bring experiment 4 back: the row went with the
  // activation that left the SDK without activated experiments.
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "sdk"), std::nullopt);
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "other"), (std::vector<int64_t>{6}));
  auto launched = database_->fetchAllLaunchedSnapshots();
  ASSERT_TRUE(launched);
  ASSERT_EQ(launched->size(), 1u);
  EXPECT_EQ(launched->front()->timestamp(), 200);
  EXPECT_NE(launched->front()->flagByName("b"), nullptr);
  EXPECT_EQ(launched->front()->flagByName("a"), nullptr);

  platform::ErrorRef error;
  EXPECT_FALSE(database_->activateSnapshot(nullptr, 1, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received nil pending snapshot");
}

TEST_F(ExperimentDatabaseTest, StartActivatesUnmarkedRowsWithTheirOwnTime) {
  auto manual = snapshot("manual", {experiment(1)});
  manual->setManuallyActivated(true);
  manual->setTimestamp(500);
  auto automatic = snapshot("auto", {experiment(2), experiment(0)});
  automatic->setTimestamp(600);
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({manual, automatic}));
  ASSERT_TRUE(database_->performTransaction(
      [&] { return database_->activatePendingSnapshotsAutomatically(); }));

  auto pending = database_->fetchAllPendingSnapshots();
  ASSERT_TRUE(pending);
  ASSERT_EQ(pending->size(), 1u);
  EXPECT_EQ(pending->front()->SDKName(), "manual");
  EXPECT_TRUE(pending->front()->manuallyActivated());
  EXPECT_EQ(pending->front()->timestamp(), 500);
  auto activated = database_->fetchAllActivatedSnapshots();
  ASSERT_TRUE(activated);
  ASSERT_EQ(activated->size(), 1u);
  EXPECT_EQ(activated->front()->timestamp(), 600);
  EXPECT_EQ(idsIn(kAPMELaunchedSnapshotTable, "auto"), (std::vector<int64_t>{0}));
}

TEST_F(ExperimentDatabaseTest, StaleActivatedRowsGoAtExactlyThreeDays) {
  const double now = clock_->now();
  ASSERT_TRUE(activate(snapshot("old", {experiment(1)}), now - 259'200));
  ASSERT_TRUE(activate(snapshot("young", {experiment(0), experiment(1)}), now - 259'199));
  ASSERT_TRUE(activate(snapshot("launched", {experiment(0)}), now - 1e6));
  ASSERT_TRUE(database_->deleteStaleActivatedSnapshots());
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "old"), std::nullopt);
  EXPECT_EQ(idsIn(kAPMEActivatedSnapshotTable, "young"), (std::vector<int64_t>{1}));
  // Launched rows are not aged.
  EXPECT_EQ(idsIn(kAPMELaunchedSnapshotTable, "launched"), (std::vector<int64_t>{0}));
}

TEST_F(ExperimentDatabaseTest, ARowThatCannotBeReadIsDeletedAndTheOthersRead) {
  ASSERT_TRUE(activate(snapshot("good", {experiment(3)}), 1));
  const platform::Bytes damaged[] = {{0x0a, 0xff}, {0x12, 0x00}};  // truncated; no SDK name
  for (const platform::Bytes& blob : damaged) {
    SCOPED_TRACE(blob.size());
    APMRecord bad{{"sdk_name", "bad"}, {"snapshotProto", blob}, {"timestamp", 1.0}};
    ASSERT_TRUE(database_->sqliteStore()->upsertRecord(bad, kAPMEActivatedSnapshotTable));
    RecordingMonitor monitor;
    platform::ErrorRef error;
    auto activated = database_->fetchAllActivatedSnapshots(&error);
    ASSERT_TRUE(activated);
    EXPECT_FALSE(error);
    ASSERT_EQ(activated->size(), 1u);
    EXPECT_EQ(activated->front()->SDKName(), "good");
    EXPECT_EQ(monitor.first(810008).level, 4);
    EXPECT_EQ(monitor.first(810008).contexts.front(), Object(kAPMEActivatedSnapshotTable));
    EXPECT_EQ(monitor.first(810008).contexts.back(), Object(true));
    EXPECT_EQ(rows(kAPMEActivatedSnapshotTable).size(), 1u);
  }
}

TEST_F(ExperimentDatabaseTest, FileLifecycle) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMEDatabase::initWithPath(""), nullptr);
  EXPECT_EQ(monitor.first(810000).level, 1);
  EXPECT_EQ(monitor.first(810000).message, "Cannot initialize the database with invalid path");

  platform::ErrorRef error;
  EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty SDK Name");

  ASSERT_TRUE(activate(snapshot("sdk", {experiment(1)}), 1));
  const std::string path = database_->sqliteStore()->databasePath();
  ASSERT_TRUE(database_->reset());
  EXPECT_TRUE(rows(kAPMEActivatedSnapshotTable).empty());
  EXPECT_TRUE(platform::fileExists(path));

  ASSERT_TRUE(database_->closeAndDelete());
  EXPECT_FALSE(platform::fileExists(path));
  error.reset();
  EXPECT_FALSE(database_->fetchAllPendingSnapshots(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_FALSE(database_->performTransaction([] { return true; }));
  EXPECT_TRUE(monitor.contains(810007));
  EXPECT_FALSE(database_->reset());
}

TEST_F(ExperimentDatabaseTest, TablesThatCannotBeMadeDeleteTheFile) {
  // A table of the same name with another shape cannot be brought up to
  // date: the file is replaced, so the next start begins afresh (the table
  // shares no column with the fresh one, and nothing of it is kept).
  const std::string path = APMApplicationSupportFilePath("broken.sql");
  {
    auto store = APMSqliteStore::initWithDatabasePath(path);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE launched_snapshot_table (other INTEGER NOT NULL)"));
  }
  RecordingMonitor monitor;
  EXPECT_EQ(APMEDatabase::initWithPath(path), nullptr);
  EXPECT_EQ(monitor.first(810004).contexts.front(), Object("launched_snapshot_table"));
  EXPECT_EQ(monitor.first(810002).message,
            "Failed to create or validate required database tables (Init)");
  auto database = APMEDatabase::initWithPath(path);
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(database->sqliteStore()->columnsForTableWithName("launched_snapshot_table").front(), "sdk_name");
}

TEST_F(ExperimentDatabaseTest, FileLockedByAnotherWriterIsKept) {
  // A file that lacks a table (an older one, or one whose first start was
  // cut short), while another process holds its write lock past the busy
  // timeout: the table cannot be made now, but the file is not broken.
  const std::string path = APMApplicationSupportFilePath("locked.sql");
  {
    auto written = APMEDatabase::initWithPath(path);
    ASSERT_TRUE(written);
    ASSERT_TRUE(written->upsertPendingExperimentSnapshots({snapshot("kept", {experiment(3)})}));
    ASSERT_TRUE(written->sqliteStore()->executeSQL("DROP TABLE launched_snapshot_table"));
  }
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closeOther(other, sqlite3_close);
  ASSERT_EQ(sqlite3_exec(other,
                         "BEGIN IMMEDIATE; UPDATE pending_snapshot_table SET timestamp = 5;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  RecordingMonitor monitor;
  EXPECT_EQ(APMEDatabase::initWithPath(path), nullptr);
  EXPECT_EQ(monitor.first(810001).message, "Failed to open database (Init)");
  const std::vector<Object> contexts = monitor.first(810001).contexts;
  EXPECT_TRUE(contexts.size() == 1 && APMSqliteStore::isTransientFailure(contexts[0].error()));
  EXPECT_FALSE(monitor.contains(810002));
  EXPECT_TRUE(platform::fileExists(path));
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);

  auto database = APMEDatabase::initWithPath(path);
  ASSERT_TRUE(database);
  auto pending = database->fetchAllPendingSnapshots();
  ASSERT_TRUE(pending);
  ASSERT_EQ(pending->size(), 1u);
  EXPECT_EQ(pending->front()->SDKName(), "kept");
  EXPECT_EQ(pending->front()->timestamp(), 5);
}

}  // namespace
