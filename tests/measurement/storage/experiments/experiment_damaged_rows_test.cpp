// Snapshot rows that cannot be read are deleted, and only they: a row
// another process wrote after the read under the damaged row's rowid
// stays, and snapshot bytes kept as TEXT are read.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "tests/measurement/storage/database/between_read_and_delete.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/temp_container.h"

namespace {

using namespace experiments_testing;

std::shared_ptr<APMEDatabase> openDatabase() {
  return APMEDatabase::initWithPath(APMApplicationSupportFilePath(kAPMEDatabaseName));
}

class ExperimentDamagedRowsTest : public ::testing::Test {
 protected:
  void open() {
    database_ = openDatabase();
    ASSERT_TRUE(database_);
  }
  bool activate(APMEDatabase& database, const std::string& sdk, int64_t id) {
    return database.performTransaction([&] {
      return database.activateSnapshot(
          snapshot(sdk, {experiment(id, {{"flag", platform::Object(std::string("v"))}})}),
          clock_->now());
    });
  }
  void exec(const std::string& sql) {
    sqlite3* handle = database_->sqliteStore()->sqliteHandle();
    ASSERT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  std::vector<std::string> activatedNames() {
    std::vector<std::string> names;
    auto snapshots = database_->fetchAllActivatedSnapshots();
    for (const APMESnapshotRef& snapshot : snapshots.value_or(APMESnapshots{})) {
      names.push_back(snapshot->SDKName());
    }
    return names;
  }
  int64_t activatedRows() {
    return database_->sqliteStore()
        ->rowCountForTableWithName(kAPMEActivatedSnapshotTable)
        .value_or(-1);
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(1e6);
  platform::ScopedCurrentClock scopedClock_{clock_};
  std::shared_ptr<APMEDatabase> database_;
};

TEST_F(ExperimentDamagedRowsTest, ASnapshotAnotherProcessWroteAfterTheReadStays) {
  // The other process resets the damaged SDK and activates another, whose
  // row takes the freed rowid.
  OtherProcess other([this] {
    std::shared_ptr<APMEDatabase> database = openDatabase();
    return database && database->deleteActivatedExperimentsOfSDKName("damaged") &&
           activate(*database, "other", 3);
  });
  open();
  APMRecord damaged{{"sdk_name", "damaged"}, {"snapshotProto", platform::Bytes{0x0a, 0xff}},
                    {"timestamp", 1.0}};
  ASSERT_TRUE(database_->sqliteStore()->upsertRecord(damaged, kAPMEActivatedSnapshotTable));
  {
    BeforeFirstWrite hook(database_->sqliteStore()->sqliteHandle(), [&] { other.actNow(); });
    database_->fetchAllActivatedSnapshots();
    EXPECT_TRUE(hook.fired());
  }
  EXPECT_EQ(other.exitCode(), 0);
  EXPECT_EQ(activatedNames(), (std::vector<std::string>{"other"}));
}

TEST_F(ExperimentDamagedRowsTest, SnapshotBytesStoredAsTextAreRead) {
  open();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(activate(*database_, "sdk" + std::to_string(i), i + 1));
  exec("UPDATE activated_snapshot_table SET snapshotProto = CAST(snapshotProto AS TEXT) "
       "WHERE rowid % 2 = 0");
  EXPECT_EQ(activatedNames().size(), 20u);
  EXPECT_EQ(activatedRows(), 20);
}

}  // namespace
