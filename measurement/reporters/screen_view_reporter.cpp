#include "measurement/reporters/screen_view_reporter.h"

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  // Never destroyed: other threads may still ask while the process exits.
  static auto* shared =
      new std::shared_ptr<APMScreenViewReporter>(std::make_shared<APMScreenViewReporter>());
  return *shared;
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
