#include "measurement/storage/settings/stored_deep_link.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/storage/config/remote_config.h"
#include "measurement/storage/settings/user_defaults.h"
#include "platform/clock.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

constexpr double kStoredAt = 1'700'000'000.25;
constexpr double kWeek = 604'800;

class StoredDeepLinkTest : public ::testing::Test {
 protected:
  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ =
      std::make_shared<platform::ManualClock>(kStoredAt);
  platform::ScopedCurrentClock scopedClock_{clock_};
  APMUserDefaults& defaults_ = *APMUserDefaults::sharedUserDefaults();
};

TEST_F(StoredDeepLinkTest, StoresTheLinkWithItsTimeAndClearsBothKeys) {
  APMStoreDeepLink(defaults_, "https://example.com/open?utm_source=news");
  EXPECT_EQ(defaults_.objectForKey("/voraza/measurement/deep_link"),
            Object("https://example.com/open?utm_source=news"));
  EXPECT_EQ(defaults_.objectForKey("/voraza/measurement/deep_link_timestamp_seconds"),
            Object(kStoredAt));
  APMClearStoredDeepLink(defaults_);
  EXPECT_TRUE(defaults_.objectForKey("/voraza/measurement/deep_link").isNil());
  EXPECT_TRUE(defaults_.objectForKey("/voraza/measurement/deep_link_timestamp_seconds").isNil());
}

TEST_F(StoredDeepLinkTest, ExpiresOnlyBeyondTheIntervalEitherWay) {
  EXPECT_FALSE(APMIsStoredDeepLinkExpired(defaults_, kWeek));  // nothing stored
  APMStoreDeepLink(defaults_, "app://campaign");
  struct Case {
    double now;
    bool expired;
  } cases[] = {
      {kStoredAt, false},
      {kStoredAt + kWeek, false},
      {kStoredAt + kWeek + 1, true},
      {kStoredAt + kWeek + 0.001, true},
      // A clock set back ages the link as much.
      {kStoredAt - kWeek, false},
      {kStoredAt - kWeek - 1, true},
  };
  for (const Case& c : cases) {
    clock_->set(c.now);
    EXPECT_EQ(APMIsStoredDeepLinkExpired(defaults_, kWeek), c.expired) << c.now - kStoredAt;
  }
  // A link without a time never expires; a time that is no number always has.
  clock_->set(kStoredAt + 100 * kWeek);
  defaults_.removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
  EXPECT_FALSE(APMIsStoredDeepLinkExpired(defaults_, kWeek));
  defaults_.setObject(Object("1700000000"), kAPMStoredDeepLinkTimestampKey);
  clock_->set(kStoredAt);
  EXPECT_TRUE(APMIsStoredDeepLinkExpired(defaults_, kWeek));
}

TEST_F(StoredDeepLinkTest, ClearsTheSharedLinkOnceOlderThanTheAttributionCacheTime) {
  // Without a configuration the time is the setting's default, a week.
  const APMRemoteConfig& config = *APMRemoteConfig::defaultInstance();
  ASSERT_EQ(config.attributionCacheTTLInterval(), kWeek);
  APMStoreDeepLink(defaults_, "app://campaign");
  clock_->set(kStoredAt + kWeek);
  EXPECT_FALSE(APMClearStoredDeepLinkIfExpired(config));
  EXPECT_EQ(defaults_.objectForKey(kAPMStoredDeepLinkKey), Object("app://campaign"));
  clock_->set(kStoredAt + kWeek + 1);
  EXPECT_TRUE(APMClearStoredDeepLinkIfExpired(config));
  EXPECT_TRUE(defaults_.objectForKey(kAPMStoredDeepLinkKey).isNil());
  EXPECT_TRUE(defaults_.objectForKey(kAPMStoredDeepLinkTimestampKey).isNil());
  EXPECT_FALSE(APMClearStoredDeepLinkIfExpired(config));
}

TEST(PreviousHourStartMillisTest, CutsToTheHourTowardZeroThenStepsBackOne) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    int64_t millis, expected;
  } cases[] = {
      {7'200'000, 3'600'000},
      {7'199'999, 0},
      {0, -3'600'000},
      {-1, -3'600'000},
      {-3'600'001, -7'200'000},
      {1'700'000'123'456, 1'699'995'600'000},
      {kMax, kMax / 3'600'000 * 3'600'000 - 3'600'000},
      // The first hour of the range has no hour before it.
      {kMin, kMin},
      {kMin / 3'600'000 * 3'600'000, kMin},
      {kMin / 3'600'000 * 3'600'000 + 3'600'000, kMin / 3'600'000 * 3'600'000},
  };
  for (const Case& c : cases) EXPECT_EQ(APMPreviousHourStartMillis(c.millis), c.expected) << c.millis;
}

}  // namespace
