#include "measurement/storage/models/app_metadata.h"

#include <gtest/gtest.h>

#include <limits>

#include "measurement/storage/models/daily_counts.h"
#include "tests/support/recording_monitor.h"

namespace {

TEST(AppMetadataTest, IndexWrapsToZeroAndNegativeIsRefused) {
  RecordingMonitor monitor;
  EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
  EXPECT_EQ(monitor.first(4000).message,
            "Failed to create app metadata object. Received negative last bundle index.");
  EXPECT_EQ(monitor.first(4000).level, 2);

  auto metadata = APMAppMetadata::initWithLastBundleIndex(0, 1.5, 2.5);
  ASSERT_TRUE(metadata);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 1);
  EXPECT_FALSE(monitor.contains(4001));

  auto last = APMAppMetadata::initWithLastBundleIndex(std::numeric_limits<int32_t>::max(), 0, 0);
  last->incrementLastBundleIndex();
  EXPECT_EQ(last->lastBundleIndex(), 0);
  EXPECT_EQ(monitor.codes(), (std::vector<long>{4000, 4001, 12067}));
  EXPECT_EQ(monitor.first(4001).message, "Bundle index overflow. Bundle index reset to 0.");
  // 4001 is never printed: the line that is names the index reached.
  EXPECT_EQ(monitor.first(12067).text,
            "Bundle numbering restarts: indexes given before may be given again. Reason, last index: the "
            "index passed its maximum, 2147483647");
}

TEST(DailyCountsTest, CountsRollOverAndNeverGoNegative) {
  APMDailyCounts counts(10, 0, 0, 0, 0, 0, 0);
  counts.incrementCountsForCurrentDay(10, true, true, 5);
  EXPECT_EQ(counts, APMDailyCounts(10, 1, 5, 5, 0, 0, 0));
  counts.incrementCountsForCurrentDay(10, false, false);
  counts.incrementErrorEventsCountForCurrentDay(10);
  counts.incrementRealtimeCountsForCurrentDay(10);
  counts.incrementDCURealtimeCountsForCurrentDay(10);
  EXPECT_EQ(counts, APMDailyCounts(10, 1, 7, 5, 1, 1, 1));

  // A new day zeroes all six counters before counting.
  counts.incrementRealtimeCountsForCurrentDay(11);
  EXPECT_EQ(counts, APMDailyCounts(11, 0, 0, 0, 0, 1, 0));
  counts.decrementAllEventsCount();
  EXPECT_EQ(counts.allEventsCount(), 0);

  constexpr int32_t max = std::numeric_limits<int32_t>::max();
  APMDailyCounts full(1, max, max - 1, max, 0, 0, 0);
  full.incrementCountsForCurrentDay(1, true, true, 5);
  EXPECT_EQ(full, APMDailyCounts(1, max, max, max, 0, 0, 0));
}

}  // namespace
