#include "measurement/storage/models/sequence_timestamps_cache.h"

#include <gtest/gtest.h>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "tests/support/recording_monitor.h"

namespace {

std::vector<int64_t> evalTimestamps(const std::shared_ptr<APMPBSequenceFilterResultTimestamp>& message) {
  std::vector<int64_t> times;
  auto items = APMNanoGetRepeated(message, SequenceFilterResultTimestampField::eval_timestamps);
  for (const APMNanoValue& item : items.value_or(std::vector<APMNanoValue>{})) {
    times.push_back(std::get<platform::Object>(item).int64Value());
  }
  return times;
}

}  // namespace

TEST(SequenceTimestampsCacheTest, AddingDropsRepeatsWithinAWholeUnitAndKeepsEarlierTimes) {
  RecordingMonitor monitor;
  APMSequenceTimestampsCache cache(4);
  EXPECT_FALSE(cache.sequenceTimestampsForFilterID(1));
  cache.addEventFilterTimestamp(1000.2, 1);
  cache.addEventFilterTimestamp(1000.7, 1);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(1), std::vector<double>{1000.2});
  EXPECT_TRUE(monitor.logs().empty());
  cache.addEventFilterTimestamp(999.0, 1);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(1), (std::vector<double>{1000.2, 999.0}));
  EXPECT_EQ(monitor.codes(), std::vector<long>{42000});
  EXPECT_EQ(monitor.first(42000).level, 5);

  cache.setUserPropertyTimestamp(50, 2);
  cache.setUserPropertyTimestamp(40, 2);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(2), std::vector<double>{40});
  EXPECT_EQ(monitor.first(42001).text,
            "Setting a sequence timestamp less than the last set timestamp");
}

TEST(SequenceTimestampsCacheTest, MessagesInFilterOrderWithSortedWholeTimes) {
  APMSequenceTimestampsCache cache(4);
  EXPECT_TRUE(cache.sequenceFilterResultTimestamps().empty());
  cache.addEventFilterTimestamp(30.9, 10);
  cache.addEventFilterTimestamp(10.5, 10);
  cache.addEventFilterTimestamp(5, 2);
  cache.setUserPropertyTimestamp(7, 7);
  auto messages = cache.sequenceFilterResultTimestamps();
  ASSERT_EQ(messages.size(), 3u);
  std::vector<int32_t> order;
  for (const auto& message : messages) {
    order.push_back(APMNanoGetInt32(message, SequenceFilterResultTimestampField::filter_id));
  }
  EXPECT_EQ(order, (std::vector<int32_t>{2, 7, 10}));
  EXPECT_EQ(evalTimestamps(messages[2]), (std::vector<int64_t>{10, 30}));
}
