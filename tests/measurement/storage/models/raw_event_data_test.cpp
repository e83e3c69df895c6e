#include "measurement/storage/models/raw_event_data.h"

#include <gtest/gtest.h>

#include "tests/support/recording_monitor.h"

TEST(RawEventDataTest, RefusesAMissingEventAndANegativeRowID) {
  RecordingMonitor monitor;
  auto event = APMEvent::initWithOrigin("app", false, "_e", 1, 0, {});
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(nullptr, 1, 2));
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(event, -1, 2));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{28000, 28001}));
  EXPECT_EQ(monitor.first(28001).contexts.at(0), platform::Object(-1));
  EXPECT_EQ(monitor.first(28001).level, 4);

  auto data = APMRawEventData::initWithRawEvent(event, 0, -9);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->rawEvent(), event);
  EXPECT_EQ(data->metadataFingerprint(), -9);
}
