#include "measurement/messages/nano_callbacks.h"
#include "measurement/storage/settings/persisted_config.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::ErrorRef;

constexpr double kHour = 3600;
constexpr double kDay = 86400;
constexpr int64_t kNowMillis = static_cast<int64_t>(TableTest::kNow) * 1000;

class QueueTableTest : public TableTest {
 protected:
  // Bundles whose encodings are `sizes` bytes long, oldest first.
  std::vector<int64_t> queue(const std::vector<size_t>& sizes) {
    std::vector<int64_t> rowIDs;
    for (size_t size : sizes) {
      // The padding field's tag and length take a few bytes of their own.
      size_t padding = size - std::min<size_t>(size, road::bundle(kNowMillis)->protoBuffer()->size() + 6);
      auto bundle = road::bundle(kNowMillis, padding);
      while (bundle->protoBuffer()->size() < size) bundle = road::bundle(kNowMillis, ++padding);
      EXPECT_EQ(bundle->protoBuffer()->size(), size);
      EXPECT_TRUE(database_->insertBundle(bundle, false));
      rowIDs.push_back(store().numberForQuery("SELECT max(rowid) FROM queue", {}).int64Value());
    }
    return rowIDs;
  }

  std::vector<int64_t> rowIDsOf(const std::optional<std::vector<APMQueuedBundle>>& bundles) {
    std::vector<int64_t> rowIDs;
    for (const APMQueuedBundle& bundle : bundles.value_or(std::vector<APMQueuedBundle>{})) {
      rowIDs.push_back(bundle.rowID);
    }
    return rowIDs;
  }

  int64_t batchSize(const std::vector<APMQueuedBundle>& bundles) {
    auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
    std::vector<APMNanoValue> items;
    for (const APMQueuedBundle& bundle : bundles) items.emplace_back(bundle.bundle);
    APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &items);
    return static_cast<int64_t>(batch->protoBuffer()->size());
  }
};

TEST_F(QueueTableTest, RefusedBundlesWriteNothingAndPurgeNothing) {
  ASSERT_TRUE(writtenAt(kNow - 60 * kDay, [&] {
    return database_->storeRawEvent(road::event(1, kNow - 60 * kDay), road::bundle(1), false);
  }));
  struct Case {
    std::shared_ptr<APMPBMeasurementBundle> bundle;
    const char* text;
  } cases[] = {
      {nullptr, "Failed to insert nil bundle"},
      {road::bundle(kNowMillis, 0, ""), "Failed to insert bundle without App ID"},
      {road::bundle(0), "Failed to insert bundle without valid timestamp"},
      {road::bundle(kNowMillis, kNanoMaxStringLength + 1),
       "MeasurementBundle holds a value the reader cannot take back: text or bytes over 1048576 "
       "bytes, or messages nested too deep"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->insertBundle(c.bundle, false, &error), error, 1, c.text);
  }
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(), true);
  EXPECT_EQ(database_->isRawEventsTableEmpty(), false);
}

TEST_F(QueueTableTest, StoredCompressedAndReadBackWithTheirRetryCount) {
  RecordingMonitor monitor;
  auto bundle = road::bundle(kNowMillis - 40 * static_cast<int64_t>(kDay) * 1000, 5000);
  APMNanoSetInt32(bundle, MeasurementBundleField::retry_count, 2);
  ASSERT_TRUE(database_->insertBundle(bundle, true));
  EXPECT_TRUE(monitor.contains(12016));
  EXPECT_LT(std::stoi(*monitor.first(12018).contexts[0].string()), 1000);
  EXPECT_EQ(database_->queryLatestBundleTime(), kNow - 40 * kDay);
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(), true);

  auto read = database_->queryBundlesWithCountLimit(10, 1 << 20);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 1u);
  EXPECT_EQ((*read)[0].bundle->protoBuffer(), bundle->protoBuffer());
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({(*read)[0].rowID}));
  read = database_->queryBundlesWithRowIDs({(*read)[0].rowID});
  ASSERT_TRUE(read);
  EXPECT_EQ(APMNanoGetInt32((*read)[0].bundle, MeasurementBundleField::retry_count), 3);
}

TEST_F(QueueTableTest, CountAndSizeBudgets) {
  struct Case {
    std::vector<size_t> sizes;
    int64_t countLimit;
    int64_t sizeLimit;
    size_t taken;
  } cases[] = {
      {{100'000, 100}, 100, 65'536, 1},   // a first bundle past the budget goes alone
      {{40'000, 30'000}, 100, 65'536, 1},
      {{300, 300, 300}, 100, 0, 1},       // no budget: only the oldest
      {{300, 300, 300}, 2, 65'536, 2},
      {{300, 300, 300}, 100, 65'536, 3},
      // Each bundle takes its size plus 3 framing bytes in the batch.
      {{1000, 1000, 1000}, 100, 3009, 3},
      {{1000, 1000, 1000}, 100, 3008, 2},
  };
  for (const Case& c : cases) {
    fill("DELETE FROM queue WHERE ? = 0", 1);
    std::vector<int64_t> rowIDs = queue(c.sizes);
    auto read = database_->queryBundlesWithCountLimit(c.countLimit, c.sizeLimit);
    ASSERT_TRUE(read);
    EXPECT_EQ(rowIDsOf(read), std::vector<int64_t>(rowIDs.begin(), rowIDs.begin() + c.taken))
        << c.sizes[0] << " bytes, limit " << c.sizeLimit;
    if (c.taken > 1) {
      EXPECT_LE(batchSize(*read), c.sizeLimit);
    }
  }
}

TEST_F(QueueTableTest, RetryCountsCountInTheSizeBudget) {
  std::vector<int64_t> rowIDs = queue({1000, 1000, 1000});
  // Exactly the batch of three as stored, before their retry counts.
  const int64_t limit = batchSize(*database_->queryBundlesWithCountLimit(3, 1 << 20));
  fill("UPDATE queue SET retry_count = 300 WHERE ? = 0", 1);
  auto read = database_->queryBundlesWithCountLimit(3, limit);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), 2u);
  EXPECT_LE(batchSize(*read), limit);
}

TEST_F(QueueTableTest, RetryCountStopsAtItsCap) {
  std::vector<int64_t> rowIDs = queue({200, 200, 200});
  fill("UPDATE queue SET retry_count = 2147483647 WHERE rowid = 1 AND ? = 0", 1);
  fill("UPDATE queue SET retry_count = NULL WHERE rowid = 2 AND ? = 0", 1);
  RecordingMonitor monitor;
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs(rowIDs));
  EXPECT_TRUE(monitor.contains(12054));
  auto counts = store().recordsForQuery("SELECT retry_count FROM queue ORDER BY rowid", {});
  ASSERT_TRUE(counts);
  EXPECT_EQ((*counts)[0]["retry_count"].int64Value(), 2147483647);
  EXPECT_TRUE((*counts)[1]["retry_count"].isNull());
  EXPECT_EQ((*counts)[2]["retry_count"].int64Value(), 1);

  ErrorRef error;
  EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to increment retry counter");
  EXPECT_FALSE(database_->deleteBundlesWithRowIDs({}, &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty row IDs to process");
  ASSERT_TRUE(database_->deleteBundlesWithRowIDs({rowIDs[0], rowIDs[2]}));
  EXPECT_EQ(rowIDsOf(database_->queryBundlesWithCountLimit(10, 1 << 20)),
            std::vector<int64_t>{rowIDs[1]});
}

TEST_F(QueueTableTest, DamagedBundlesAreDeletedNotReadForever) {
  std::vector<int64_t> rowIDs = queue({200, 200});
  fill("UPDATE queue SET data = x'0102' WHERE rowid = 1 AND ? = 0", 1);
  RecordingMonitor monitor;
  EXPECT_EQ(rowIDsOf(database_->queryBundlesWithCountLimit(1, 1 << 20)), std::vector<int64_t>{});
  EXPECT_TRUE(monitor.contains(12062));
  EXPECT_EQ(rowIDsOf(database_->queryBundlesWithCountLimit(1, 1 << 20)),
            std::vector<int64_t>{rowIDs[1]});
  EXPECT_EQ(rowCount(kAPMQueueTable), 1);
}

TEST_F(QueueTableTest, StalePurgeRunsOncePerIntervalAndTakesBothEnds) {
  auto settings = APMPersistedConfig::initWithSuiteName("queue_test");
  database_ = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, settings);
  ASSERT_TRUE(database_);
  const int64_t day = static_cast<int64_t>(kDay) * 1000;
  // Stored while the purge is not due.
  settings->setLastDeleteStaleBundlesTimestamp(kNow);
  for (int64_t end : {kNowMillis - 28 * day, kNowMillis - 28 * day - 1, kNowMillis + 29 * day}) {
    ASSERT_TRUE(database_->insertBundle(road::bundle(end), false));
  }
  ASSERT_TRUE(writtenAt(kNow - 29 * kDay, [&] {
    return database_->storeRawEvent(road::event(1, kNow - 29 * kDay), road::bundle(1), false);
  }));

  struct Step {
    double lastPurge;
    std::optional<bool> purged;
  } steps[] = {
      {kNow - 2 * kHour, false},
      {kNow - kDay, false},  // exactly the interval is not past it
      {kNow + 2 * kHour, false},
      {kNow - 25 * kHour, true},
  };
  RecordingMonitor monitor;
  for (const Step& step : steps) {
    settings->setLastDeleteStaleBundlesTimestamp(step.lastPurge);
    EXPECT_EQ(database_->maybeDeleteStaleData(), step.purged) << step.lastPurge - kNow;
  }
  // The purge says what it deleted: one raw event, two bundles.
  EXPECT_EQ(monitor.codes(), std::vector<long>{12065});
  EXPECT_EQ(monitor.first(12065).level, 4);
  EXPECT_EQ(monitor.first(12065).text,
            "Data loss. Deleted raw events and bundles stamped further from now than the max "
            "queue time, in the past or the future. Raw events, bundles, max queue time (s): "
            "1, 2, 2419200");
  monitor.clear();
  settings->setLastDeleteStaleBundlesTimestamp(kNow - 25 * kHour);
  EXPECT_EQ(database_->maybeDeleteStaleData(), true);
  EXPECT_EQ(monitor.codes(), std::vector<long>{});  // nothing left to delete
  EXPECT_EQ(settings->lastDeleteStaleBundlesTimestamp(), kNow);
  EXPECT_EQ(rowCount(kAPMQueueTable), 1);
  EXPECT_EQ(database_->queryLatestBundleTime(), kNow - 28 * kDay);
  EXPECT_EQ(database_->isRawEventsTableEmpty(), true);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 0);
}

}  // namespace
