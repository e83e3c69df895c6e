#include "measurement/storage/system/numeric_util.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"
#include "tests/support/recording_monitor.h"

namespace {

TEST(NumericUtilTest, RandomIntegersAndAFailingGenerator) {
  RecordingMonitor monitor;
  const int64_t first = APMNumericUtil::randomInt64();
  const int64_t second = APMNumericUtil::randomInt64();
  EXPECT_NE(first, second);
  EXPECT_TRUE(monitor.logs().empty());

  platform::setRandomSource([](uint8_t*, size_t, std::string& failure) {
    failure = "no entropy";
    return false;
  });
  EXPECT_EQ(APMNumericUtil::randomInt64(), 0);
  platform::setRandomSource(nullptr);
  ASSERT_TRUE(monitor.contains(26004));
  const RecordedLog log = monitor.first(26004);
  EXPECT_EQ(log.level, 5);
  EXPECT_EQ(log.text, "Unable to generate random integer: no entropy");
}

}  // namespace
