#include "measurement/reporters/app_active.h"

#include <gtest/gtest.h>

#include "measurement/reporters/screen_view_reporter.h"

namespace {

TEST(AppActiveTest, FollowsTheScreenTracker) {
  auto tracker = APMScreenViewReporter::sharedInstance();
  tracker->applicationDidBecomeActive();
  EXPECT_TRUE(APMIsAppActive());
  tracker->applicationWillResignActive();
  EXPECT_FALSE(APMIsAppActive());
}

}  // namespace
