#include "measurement/reporters/screen_view_reporter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

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

// Threads may still ask whether the app is active while the process exits:
// the shared tracker must outlive every static destructor. An exit handler
// registered before the tracker is made runs after the destructors of
// everything made later; it must still find the tracker whole.
TEST(ScreenViewReporterDeathTest, SharedTrackerOutlivesExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no tracker yet
  EXPECT_EXIT(
      {
        std::atexit([] {
          std::shared_ptr<APMScreenViewReporter> shared = APMScreenViewReporter::sharedInstance();
          std::_Exit(shared && shared->isAppActive() ? 0 : 1);
        });
        APMScreenViewReporter::sharedInstance()->applicationDidBecomeActive();
        std::exit(2);
      },
      ::testing::ExitedWithCode(0), "");
}
