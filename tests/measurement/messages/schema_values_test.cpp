#include "measurement/messages/message_values.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace messages {
namespace {

TEST(MessageValues, ConsentTextsCoverExactlyTheKnownValues) {
  EXPECT_STREQ(consentTypeText(1), "ad_storage");
  EXPECT_STREQ(consentTypeText(2), "analytics_storage");
  EXPECT_STREQ(consentTypeText(3), "ad_user_data");
  EXPECT_STREQ(consentTypeText(4), "ad_personalization");
  for (int32_t outside : {0, 5, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(consentTypeText(outside), nullptr) << outside;
  }
  EXPECT_STREQ(consentStatusText(1), "granted");
  EXPECT_STREQ(consentStatusText(2), "denied");
  EXPECT_EQ(consentStatusText(0), nullptr);
  EXPECT_EQ(consentStatusText(3), nullptr);
}

TEST(MessageValues, ResultBitsNeedBothWordsAndStayInsideStatus) {
  const std::vector<uint64_t> status{uint64_t{1} << 3};
  const std::vector<uint64_t> results{0};
  EXPECT_TRUE(resultDataBitIsSet(status, 3));
  EXPECT_FALSE(resultDataFilterIsTrue(status, results, 3));  // evaluated, false
  EXPECT_FALSE(resultDataFilterIsTrue(status, results, 64)); // word beyond status
  EXPECT_FALSE(resultDataFilterIsTrue({}, results, 3));
  EXPECT_FALSE(resultDataFilterIsTrue(status, {}, 3));
  EXPECT_FALSE(resultDataBitIsSet(status, -61));

  const std::vector<uint64_t> both{0, uint64_t{1} << 63};
  EXPECT_TRUE(resultDataFilterIsTrue(both, both, 127));
  EXPECT_FALSE(resultDataFilterIsTrue(both, both, 63));
  EXPECT_FALSE(resultDataFilterIsTrue(both, both, 128));
}

TEST(MessageValues, ExperimentStatusCodes) {
  EXPECT_EQ(experimentErrorCodeForStatus(0), 0);
  EXPECT_EQ(experimentErrorCodeForStatus(1), -2);
  EXPECT_EQ(experimentErrorCodeForStatus(2), -3);
  EXPECT_EQ(experimentErrorCodeForStatus(3), -4);
  EXPECT_EQ(experimentErrorCodeForStatus(4), -1);
  EXPECT_EQ(experimentErrorCodeForStatus(std::numeric_limits<int32_t>::max()), -1);
  EXPECT_EQ(experimentErrorCodeForStatus(-1), -1);
}

TEST(MessageValues, RuntimeEntityTypes) {
  EXPECT_FALSE(isKnownRuntimeEntityType(0));
  for (int32_t type = 1; type <= 4; ++type) EXPECT_TRUE(isKnownRuntimeEntityType(type));
  EXPECT_FALSE(isKnownRuntimeEntityType(5));
}

TEST(MessageValues, MillisecondsTruncateAndSaturate) {
  EXPECT_EQ(millisecondsFromSeconds(1.2345678), 1234);
  EXPECT_EQ(millisecondsFromSeconds(-1.2345678), -1234); // toward zero
  EXPECT_EQ(millisecondsFromSeconds(1.7e9), 1'700'000'000'000);
  EXPECT_EQ(millisecondsFromSeconds(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(millisecondsFromSeconds(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(millisecondsFromSeconds(INFINITY), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(millisecondsFromSeconds(NAN), 0);
}

} // namespace
} // namespace messages
