// Rows that cannot be read (measurement and experiment databases) are
// deleted, and only they; nothing the reader would refuse is stored.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <new>
#include <string_view>

#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/data_additions.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/failing_allocation.h"
#include "tests/support/temp_container.h"

namespace {

constexpr double kNow = 1'700'000'000;
constexpr int64_t kNowMillis = static_cast<int64_t>(kNow) * 1000;
constexpr double kDay = 86400;

std::shared_ptr<APMDatabase> openDatabase() {
  return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
}
std::shared_ptr<APMEDatabase> openExperiments() {
  return APMEDatabase::initWithPath(APMApplicationSupportFilePath(kAPMEDatabaseName));
}
void run(sqlite3* handle, const std::string& sql) {
  ASSERT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}
bool activate(APMEDatabase& database, const std::string& sdk) {
  return database.performTransaction([&] {
    return database.activateSnapshot(
        experiments_testing::snapshot(sdk, {experiments_testing::experiment(1)}), kNow);
  });
}

// Another process that acts between a read that met a damaged row and the
// delete that follows: forked before this process opens the file (a child
// must not meet its parent's connection), it waits on a pipe, then acts.
class OtherProcess {
 public:
  explicit OtherProcess(const std::function<bool()>& act) {
    APMMeasurement::monitor()->flush();
    EXPECT_EQ(pipe(go_), 0);
    if ((child_ = fork()) == 0) {
      silenceMonitorInForkedChild();
      close(go_[1]);
      char signal = 0;
      _exit(read(go_[0], &signal, 1) != 1 ? 2 : act() ? 0 : 1);
    }
    close(go_[0]);
  }
  ~OtherProcess() {
    close(go_[1]);
    if (!acted_) waitpid(child_, nullptr, 0);
  }

  // Runs `read` on `handle`; the other process acts, and ends, as the
  // connection starts its first statement that may write (BEGIN, SAVEPOINT
  // or DELETE), after the read decided what it found. Answers its exit code.
  int actBeforeFirstWriteOf(sqlite3* handle, const std::function<void()>& read) {
    sqlite3_trace_v2(handle, SQLITE_TRACE_STMT, &OtherProcess::traced, this);
    read();
    sqlite3_trace_v2(handle, 0, nullptr, nullptr);
    EXPECT_TRUE(acted_);
    return exitCode_;
  }

 private:
  static int traced(unsigned, void* context, void*, void* text) {
    auto* self = static_cast<OtherProcess*>(context);
    const std::string_view sql(static_cast<const char*>(text));
    if (!self->acted_ &&
        (sql.starts_with("BEGIN") || sql.starts_with("SAVEPOINT") || sql.starts_with("DELETE"))) {
      self->acted_ = true;
      int status = 0;
      EXPECT_EQ(write(self->go_[1], "g", 1), 1);
      EXPECT_EQ(waitpid(self->child_, &status, 0), self->child_);
      self->exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return 0;
  }

  int go_[2] = {-1, -1};
  pid_t child_ = -1;
  bool acted_ = false;
  int exitCode_ = -1;
};

class DamagedRowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(database_ = openDatabase()); }
  APMSqliteStore& store() { return *database_->sqliteStore(); }
  int64_t rowCount(const std::string& table) {
    return store().rowCountForTableWithName(table).value_or(-1);
  }
  void exec(const std::string& sql) { run(store().sqliteHandle(), sql); }
  int64_t fingerprint() { return apm_64LSBMD5(*metadata_->protoBuffer()); }
  // Stored when the clock read `time`.
  void storeEvents(int64_t count, double time = kNow) {
    clock_->set(time);
    for (int64_t sequence = 1; sequence <= count; ++sequence)
      EXPECT_TRUE(database_->storeRawEvent(road::event(sequence, time), metadata_, false));
    clock_->set(kNow);
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(kNow);
  platform::ScopedCurrentClock scopedClock_{clock_};
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMPBMeasurementBundle> metadata_ = road::bundle(1);
};

// Fails, one after the other, each allocation of 4 KiB or more that a read
// makes; a read that meets one may fail, and never deletes a good row.
TEST_F(DamagedRowsTest, RunningOutOfMemoryWhileReadingDeletesNothing) {
  metadata_ = road::bundle(1, 6000);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) {
    auto event = APMEvent::initWithOrigin(
        "app", false, "_e", kNow, 0,
        {{"seq", APMValue(sequence)}, {"text", APMValue(std::string(5000, 't'))}});
    ASSERT_TRUE(database_->storeRawEvent(event, metadata_, false));
    ASSERT_TRUE(database_->insertBundle(road::bundle(kNowMillis, 20000 * sequence), false));
  }
  const struct {
    const char* table;
    std::function<bool()> read;  // true when it answered
  } reads[] = {
      {kAPMQueueTable, [&] { return !!database_->queryBundlesWithCountLimit(100, 1 << 20); }},
      {kAPMRawEventsTable,
       [&] { return !!database_->rawEventsWithMetadataFingerprint(fingerprint()); }},
      {kAPMRawEventsMetadataTable,
       [&] { return !!database_->queryRawEventsMetadataWithFingerprint(fingerprint()); }},
  };
  for (const auto& read : reads) {
    SCOPED_TRACE(read.table);
    const int64_t rows = rowCount(read.table);
    long nth = 1;
    for (;; ++nth) {
      FailingAllocation failing(nth, 4096);
      try {
        read.read();
      } catch (const std::bad_alloc&) {
      }
      if (!failing.failed()) break;
      ASSERT_EQ(rowCount(read.table), rows) << "allocation " << nth;
      ASSERT_EQ(rowCount(kAPMRawEventsTable), 3) << "allocation " << nth;
    }
    EXPECT_GT(nth, 1);
    EXPECT_TRUE(read.read());
  }
}

// The other process stores between this one's read and its delete; what
// it stored, and was told was stored, stays.
TEST_F(DamagedRowsTest, ARowAnotherProcessMadeGoodAfterTheReadStays) {
  std::shared_ptr<APMEDatabase> experiments;
  const struct {
    const char* name;
    // Damages a row; answers the connection of the read that meets it.
    std::function<sqlite3*()> damage;
    std::function<void()> read;
    // Its store replaces the damaged row, or takes its rowid.
    std::function<bool()> store;
    std::vector<std::pair<const char*, int64_t>> rowsAfter;
  } cases[] = {
      {"metadata",
       [&] {
         storeEvents(1), exec("UPDATE raw_events_metadata SET metadata = x'0aff'");
         return store().sqliteHandle();
       },
       [&] { database_->queryRawEventsMetadataWithFingerprint(fingerprint()); },
       [&] { return openDatabase()->storeRawEvent(road::event(7, kNow), metadata_, false); },
       {{kAPMRawEventsTable, 2}, {kAPMRawEventsMetadataTable, 1}}},
      {"queue",
       [&] {
         EXPECT_TRUE(store().upsertRecord({{"data", *gul_dataByGzippingData({0x0a, 0xff})},
                                           {"bundle_end_timestamp", kNow - 60 * kDay},
                                           {"is_realtime", 0},
                                           {"retry_count", 0}},
                                          kAPMQueueTable));
         return store().sqliteHandle();
       },
       [&] { database_->queryBundlesWithCountLimit(100, 1 << 20); },
       // Its purge before the insert removes the old row; the new one takes its rowid.
       [&] { return openDatabase()->insertBundle(road::bundle(kNowMillis, 0, "1:other"), false); },
       {{kAPMQueueTable, 1}}},
      {"raw events",
       [&] {
         storeEvents(1, kNow - 60 * kDay), exec("UPDATE raw_events SET data = x'0aff'");
         return store().sqliteHandle();
       },
       [&] { database_->rawEventsWithMetadataFingerprint(fingerprint()); },
       [&] {
         auto other = openDatabase();
         return other->deleteStaleRawEventsDataOlderThanMaxAge(28 * kDay) &&
                other->storeRawEvent(road::event(7, kNow), metadata_, false);
       },
       {{kAPMRawEventsTable, 1}}},
      {"snapshots",
       [&] {
         experiments = openExperiments();
         EXPECT_TRUE(experiments->sqliteStore()->upsertRecord(
             {{"sdk_name", "damaged"},
              {"snapshotProto", platform::Bytes{0x0a, 0xff}},
              {"timestamp", 1.0}},
             kAPMEActivatedSnapshotTable));
         return experiments->sqliteStore()->sqliteHandle();
       },
       [&] { experiments->fetchAllActivatedSnapshots(); },
       // It resets the damaged SDK and activates another, whose row takes the freed rowid.
       [&] {
         auto other = openExperiments();
         return other->deleteActivatedExperimentsOfSDKName("damaged") && activate(*other, "other");
       },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The other process forks before this one opens the files.
    const std::string path = store().databasePath();
    database_.reset();
    experiments.reset();
    for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
    OtherProcess other(c.store);
    ASSERT_TRUE(database_ = openDatabase());
    EXPECT_EQ(other.actBeforeFirstWriteOf(c.damage(), c.read), 0);
    for (const auto& [table, rows] : c.rowsAfter) EXPECT_EQ(rowCount(table), rows) << table;
  }
  // The snapshot made good by the last case stays.
  EXPECT_EQ(experiments->sqliteStore()->rowCountForTableWithName(kAPMEActivatedSnapshotTable), 1);
}

// Eight damaged events while another connection holds the write lock: the
// read waits for the lock once, not once per row, and deletes nothing;
// the next read deletes them.
TEST_F(DamagedRowsTest, DamagedRowsGoInOneTransaction) {
  storeEvents(10);
  exec("UPDATE raw_events SET data = x'0aff' WHERE rowid > 2");
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(store().databasePath().c_str(), &writer), SQLITE_OK);
  run(writer, "BEGIN IMMEDIATE");
  // Each wait for the lock gives up at once and is counted.
  int waits = 0;
  sqlite3_busy_handler(
      store().sqliteHandle(), [](void* waits, int) { return ++*static_cast<int*>(waits), 0; },
      &waits);
  auto readAndCount = [&](int64_t rowsLeft) {
    auto events = database_->rawEventsWithMetadataFingerprint(fingerprint());
    ASSERT_TRUE(events);
    EXPECT_EQ(events->size(), 2u);
    EXPECT_EQ(rowCount(kAPMRawEventsTable), rowsLeft);
  };
  readAndCount(10);
  EXPECT_EQ(waits, 1);
  run(writer, "COMMIT");
  sqlite3_close(writer);
  sqlite3_busy_timeout(store().sqliteHandle(), 5000);
  readAndCount(2);
}

// Message bytes kept with TEXT storage class, intact, are read as bytes.
TEST_F(DamagedRowsTest, MessageBytesStoredAsTextAreRead) {
  storeEvents(4);
  for (int i = 1; i <= 4; ++i)
    ASSERT_TRUE(database_->insertBundle(road::bundle(kNowMillis + i), false));
  exec("UPDATE raw_events SET data = CAST(data AS TEXT) WHERE rowid % 2 = 0");
  exec("UPDATE queue SET data = CAST(data AS TEXT) WHERE rowid % 2 = 0");
  exec("UPDATE raw_events_metadata SET metadata = CAST(metadata AS TEXT)");
  EXPECT_TRUE(database_->queryRawEventsMetadataWithFingerprint(fingerprint()));
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint());
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 4u);
  auto bundles = database_->queryBundlesWithCountLimit(100, 1 << 20);
  ASSERT_TRUE(bundles);
  EXPECT_EQ(bundles->size(), 4u);
  auto experiments = openExperiments();
  for (const char* sdk : {"a", "b", "c", "d"}) ASSERT_TRUE(activate(*experiments, sdk));
  run(experiments->sqliteStore()->sqliteHandle(),
      "UPDATE activated_snapshot_table SET snapshotProto = CAST(snapshotProto AS TEXT) WHERE rowid "
      "% 2 = 0");
  auto snapshots = experiments->fetchAllActivatedSnapshots();
  ASSERT_TRUE(snapshots);
  EXPECT_EQ(snapshots->size(), 4u);
}

// Empty user attributes take two bytes each on the wire and far more once
// decoded: past the decoder's memory bound, the reader refuses the bytes,
// so the writer refuses them too.
TEST_F(DamagedRowsTest, BytesPastTheDecodersMemoryBoundAreNotStored) {
  auto crowded = road::bundle(kNowMillis);
  std::vector<APMNanoValue> attributes(
      20000, std::shared_ptr<NANOMessageBase>(APMPBUserAttribute::initWithMessageInfo(nullptr)));
  APMNanoSetRepeated(crowded, MeasurementBundleField::user_attributes, &attributes);
  ASSERT_LT(crowded->protoBuffer()->size(), 50'000u);
  for (bool queue : {false, true}) {
    platform::ErrorRef error;
    EXPECT_FALSE(queue ? database_->insertBundle(crowded, false, &error)
                       : database_->storeRawEvent(road::event(1, kNow), crowded, false, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
  }
  for (const char* table : {kAPMRawEventsTable, kAPMRawEventsMetadataTable, kAPMQueueTable})
    EXPECT_EQ(rowCount(table), 0) << table;
}

}  // namespace
