// `APMScreenViewReporter`: the process-wide screen tracker. So far it keeps
// one fact, whether the app is active: from the moment the app becomes
// active until it resigns active or enters the background. Session handling
// and the exposure reporters read it (through `APMIsAppActive`) to decide
// whether time spent now counts as engagement.
//
// The application's life-cycle notifications arrive through the three entry
// points below, on the main thread; `isAppActive` may be read from any
// thread and answers the latest transition.
#pragma once

#include <atomic>
#include <memory>

class APMScreenViewReporter {
 public:
  // The shared tracker, created on first use and kept for the life of the
  // process (never destroyed at exit); never null.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();

  // NO until the app first becomes active.
  bool isAppActive() const { return appActive_.load(std::memory_order_acquire); }

  // The app became active (it is in the foreground and receives events).
  void applicationDidBecomeActive();
  // The app is about to stop being active (an interruption, the app
  // switcher, the way into the background).
  void applicationWillResignActive();
  // The app entered the background. It resigned active first on the usual
  // way; this covers a missed or reordered resign.
  void applicationDidEnterBackground();

 private:
  std::atomic<bool> appActive_{false};
};
