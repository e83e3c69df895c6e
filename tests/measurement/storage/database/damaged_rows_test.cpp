// Rows that cannot be read are deleted, and only they: a read that fails
// for lack of memory deletes nothing, a row another process made good (or
// whose rowid it took) after the read stays, several damaged rows go in
// one transaction, message bytes kept as TEXT are read, and nothing the
// reader would refuse is stored in the first place.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <new>
#include <string_view>

#include "measurement/storage/database/database.h"
#include "measurement/storage/system/data_additions.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/database/between_read_and_delete.h"
#include "tests/support/failing_allocation.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Bytes;
using platform::ErrorRef;

constexpr double kNow = 1'700'000'000;
constexpr int64_t kNowMillis = static_cast<int64_t>(kNow) * 1000;
constexpr double kDay = 86400;
// Bytes that begin a string field and end before it does.
const Bytes kTruncated = {0x0a, 0xff};

std::shared_ptr<APMDatabase> openDatabase() {
  return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
}

class DamagedRowsTest : public ::testing::Test {
 protected:
  void open() {
    database_ = openDatabase();
    ASSERT_TRUE(database_);
  }
  APMSqliteStore& store() { return *database_->sqliteStore(); }
  int64_t rowCount(const std::string& table) {
    return store().rowCountForTableWithName(table).value_or(-1);
  }
  void exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(store().sqliteHandle(), sql.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(store().sqliteHandle());
  }
  // The "seq" of every stored event that reads, in row order.
  std::vector<int64_t> storedSequences() {
    std::vector<int64_t> sequences;
    auto records = store().recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid", {});
    for (const APMRecord& record : records.value_or(std::vector<APMRecord>{})) {
      auto event = database_->rawEventDataFromDictionary(record);
      if (event) sequences.push_back(road::sequenceOf(*event->rawEvent()));
    }
    return sequences;
  }
  int64_t fingerprintOf(const APMPBMeasurementBundle& metadata) {
    return apm_64LSBMD5(*metadata.protoBuffer());
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(kNow);
  platform::ScopedCurrentClock scopedClock_{clock_};
  std::shared_ptr<APMDatabase> database_;
};

// Fails, one after the other, each allocation of 4 KiB or more that a read
// makes; a read that meets one may fail, and never deletes a good row.
TEST_F(DamagedRowsTest, RunningOutOfMemoryWhileReadingDeletesNothing) {
  open();
  auto metadata = road::bundle(1, 6000);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) {
    auto event = APMEvent::initWithOrigin("app", false, "_e", kNow, 0,
                                          {{"seq", APMValue(sequence)},
                                           {"text", APMValue(std::string(5000, 't'))}});
    ASSERT_TRUE(database_->storeRawEvent(event, metadata, false));
    ASSERT_TRUE(database_->insertBundle(road::bundle(kNowMillis, 20000 * sequence), false));
  }
  const int64_t fingerprint = fingerprintOf(*metadata);
  struct Read {
    const char* name;
    const char* table;
    std::function<bool()> read;  // true when it answered
  } reads[] = {
      {"queue", kAPMQueueTable,
       [&] { return database_->queryBundlesWithCountLimit(100, 1 << 20).has_value(); }},
      {"raw events", kAPMRawEventsTable,
       [&] { return database_->rawEventsWithMetadataFingerprint(fingerprint).has_value(); }},
      {"metadata", kAPMRawEventsMetadataTable,
       [&] { return database_->queryRawEventsMetadataWithFingerprint(fingerprint) != nullptr; }},
  };
  for (const Read& read : reads) {
    SCOPED_TRACE(read.name);
    const int64_t rows = rowCount(read.table);
    long points = 0;
    for (long nth = 1; nth < 1000; ++nth) {
      bool failed = false;
      {
        FailingAllocation failing(nth, 4096);
        try {
          read.read();
        } catch (const std::bad_alloc&) {
        }
        failed = failing.failed();
      }
      if (!failed) break;
      ++points;
      ASSERT_EQ(rowCount(read.table), rows) << "allocation " << nth;
      ASSERT_EQ(rowCount(kAPMRawEventsTable), 3) << "allocation " << nth;
    }
    EXPECT_GT(points, 0);
    EXPECT_TRUE(read.read());
  }
}

// The other process stores between this one's read and its delete; what
// it stored, and was told was stored, stays.
TEST_F(DamagedRowsTest, ARowAnotherProcessMadeGoodAfterTheReadStays) {
  auto metadata = road::bundle(1);
  struct Case {
    const char* name;
    // Makes the damage this process will read.
    std::function<void()> damage;
    // This process's read, which meets the damage.
    std::function<void()> read;
    // The other process, after the read: its store replaces the damaged
    // row, or takes its rowid.
    std::function<bool(APMDatabase&)> store;
    // What must be there afterwards.
    std::function<void()> check;
  } cases[] = {
      {"metadata",
       [&] {
         ASSERT_TRUE(database_->storeRawEvent(road::event(1, kNow), metadata, false));
         exec("UPDATE raw_events_metadata SET metadata = x'0aff'");
       },
       [&] { database_->queryRawEventsMetadataWithFingerprint(fingerprintOf(*metadata)); },
       [&](APMDatabase& other) {
         return other.storeRawEvent(road::event(7, kNow), metadata, false);
       },
       [&] {
         EXPECT_EQ(storedSequences(), (std::vector<int64_t>{1, 7}));
         EXPECT_TRUE(database_->queryRawEventsMetadataWithFingerprint(fingerprintOf(*metadata)));
       }},
      {"queue",
       [&] {
         ASSERT_TRUE(store().upsertRecord({{"data", *gul_dataByGzippingData(kTruncated)},
                                           {"bundle_end_timestamp", kNow - 60 * kDay},
                                           {"is_realtime", 0},
                                           {"retry_count", 0}},
                                          kAPMQueueTable));
       },
       [&] { database_->queryBundlesWithCountLimit(100, 1 << 20); },
       [&](APMDatabase& other) {
         // Its purge before the insert removes the old damaged row, and the
         // new bundle takes its rowid.
         return other.insertBundle(road::bundle(kNowMillis, 0, "1:other"), false);
       },
       [&] {
         auto bundles = database_->queryBundlesWithCountLimit(100, 1 << 20);
         ASSERT_TRUE(bundles);
         ASSERT_EQ(bundles->size(), 1u);
         EXPECT_EQ(APMNanoGetString(bundles->front().bundle, MeasurementBundleField::app_id),
                   "1:other");
       }},
      {"raw events",
       [&] {
         ASSERT_TRUE(database_->storeRawEvent(road::event(1, kNow - 60 * kDay), metadata, false));
         exec("UPDATE raw_events SET data = x'0aff'");
       },
       [&] { database_->rawEventsWithMetadataFingerprint(fingerprintOf(*metadata)); },
       [&](APMDatabase& other) {
         // The purge removes the old damaged event; the new one takes its
         // rowid.
         return other.deleteStaleRawEventsDataOlderThanMaxAge(28 * kDay) &&
                other.storeRawEvent(road::event(7, kNow), metadata, false);
       },
       [&] { EXPECT_EQ(storedSequences(), (std::vector<int64_t>{7})); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      OtherProcess other([&] {
        std::shared_ptr<APMDatabase> database = openDatabase();
        return database && c.store(*database);
      });
      open();
      c.damage();
      {
        BeforeFirstWrite hook(store().sqliteHandle(), [&] { other.actNow(); });
        c.read();
        EXPECT_TRUE(hook.fired());
      }
      EXPECT_EQ(other.exitCode(), 0);
      c.check();
    }
    // The next case forks before this process opens the file again.
    const std::string path = store().databasePath();
    database_.reset();
    for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
  }
}

// Eight damaged events while another connection holds the write lock: the
// read waits for the lock once, not once per row, and deletes nothing;
// the next read deletes them.
TEST_F(DamagedRowsTest, DamagedRowsGoInOneTransaction) {
  open();
  auto metadata = road::bundle(1);
  for (int64_t sequence = 1; sequence <= 10; ++sequence) {
    ASSERT_TRUE(database_->storeRawEvent(road::event(sequence, kNow), metadata, false));
  }
  exec("UPDATE raw_events SET data = x'0aff' WHERE rowid > 2");
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(store().databasePath().c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  // Each wait for the lock gives up at once and is counted.
  int waits = 0;
  sqlite3_busy_handler(
      store().sqliteHandle(),
      [](void* context, int) {
        ++*static_cast<int*>(context);
        return 0;
      },
      &waits);
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprintOf(*metadata));
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 2u);
  EXPECT_EQ(waits, 1);
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 10);

  ASSERT_EQ(sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(writer);
  sqlite3_busy_timeout(store().sqliteHandle(), 5000);
  events = database_->rawEventsWithMetadataFingerprint(fingerprintOf(*metadata));
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 2u);
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 2);
}

// Message bytes kept with TEXT storage class, intact, are read as bytes.
TEST_F(DamagedRowsTest, MessageBytesStoredAsTextAreRead) {
  open();
  auto metadata = road::bundle(1);
  for (int64_t sequence = 1; sequence <= 4; ++sequence) {
    ASSERT_TRUE(database_->storeRawEvent(road::event(sequence, kNow), metadata, false));
    ASSERT_TRUE(database_->insertBundle(road::bundle(kNowMillis + sequence), false));
  }
  exec("UPDATE raw_events SET data = CAST(data AS TEXT) WHERE rowid % 2 = 0");
  exec("UPDATE queue SET data = CAST(data AS TEXT) WHERE rowid % 2 = 0");
  exec("UPDATE raw_events_metadata SET metadata = CAST(metadata AS TEXT)");
  ASSERT_EQ(store().numberForQuery("SELECT count(1) FROM raw_events WHERE typeof(data) = 'text'", {})
                .int64Value(),
            2);
  const int64_t fingerprint = fingerprintOf(*metadata);
  EXPECT_TRUE(database_->queryRawEventsMetadataWithFingerprint(fingerprint));
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint);
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 4u);
  auto bundles = database_->queryBundlesWithCountLimit(100, 1 << 20);
  ASSERT_TRUE(bundles);
  EXPECT_EQ(bundles->size(), 4u);
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 4);
  EXPECT_EQ(rowCount(kAPMQueueTable), 4);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 1);
}

// Empty user attributes take two bytes each on the wire and far more once
// decoded: past the decoder's memory bound, the reader refuses the bytes,
// so the writer refuses them too.
TEST_F(DamagedRowsTest, BytesPastTheDecodersMemoryBoundAreNotStored) {
  open();
  auto crowded = road::bundle(kNowMillis);
  std::vector<APMNanoValue> attributes;
  for (int i = 0; i < 20000; ++i) {
    attributes.emplace_back(std::shared_ptr<NANOMessageBase>(APMPBUserAttribute::initWithMessageInfo(nullptr)));
  }
  APMNanoSetRepeated(crowded, MeasurementBundleField::user_attributes, &attributes);
  ASSERT_LT(crowded->protoBuffer()->size(), 50'000u);
  ErrorRef error;
  EXPECT_FALSE(database_->storeRawEvent(road::event(1, kNow), crowded, false, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  error.reset();
  EXPECT_FALSE(database_->insertBundle(crowded, false, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 0);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 0);
  EXPECT_EQ(rowCount(kAPMQueueTable), 0);
}

}  // namespace
