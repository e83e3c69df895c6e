#include "measurement/reporters/screen_view_reporter.h"

#include <gtest/gtest.h>

TEST(ScreenViewReporterTest, ActiveBetweenBecomingActiveAndLeaving) {
  APMScreenViewReporter tracker;
  EXPECT_FALSE(tracker.isAppActive());
  tracker.applicationDidBecomeActive();
  EXPECT_TRUE(tracker.isAppActive());
  tracker.applicationWillResignActive();
  EXPECT_FALSE(tracker.isAppActive());
  // Entering the background ends activity even without a resign first.
  tracker.applicationDidBecomeActive();
  tracker.applicationDidEnterBackground();
  EXPECT_FALSE(tracker.isAppActive());
}
