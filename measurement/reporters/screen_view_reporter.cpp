#include "measurement/reporters/screen_view_reporter.h"

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  static const std::shared_ptr<APMScreenViewReporter> shared =
      std::make_shared<APMScreenViewReporter>();
  return shared;
}

void APMScreenViewReporter::applicationDidBecomeActive() {
  appActive_.store(true, std::memory_order_release);
}

void APMScreenViewReporter::applicationWillResignActive() {
  appActive_.store(false, std::memory_order_release);
}

void APMScreenViewReporter::applicationDidEnterBackground() {
  appActive_.store(false, std::memory_order_release);
}
