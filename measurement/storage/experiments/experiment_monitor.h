// `APMEMonitor`: the monitor the experiment framework logs through (codes
// 800000 to 880000). It holds the engine's `APMMonitor` and forwards every
// call to it unchanged; `monitor()` answers the process-wide instance, made
// over `APMMeasurement::monitor()` on first use.
//
// Levels are those of `APMMonitor`: 0 to 2 error, 3 to 5 warning, 6 notice,
// 7 debug, 8 verbose. Logging never fails; any thread may call it.
#pragma once

#include "platform/object.h"

#include <functional>
#include <memory>
#include <string>

class APMMonitor;

class APMEMonitor {
 public:
  explicit APMEMonitor(std::shared_ptr<APMMonitor> monitor);

  // The process-wide instance; never null.
  static std::shared_ptr<APMEMonitor> monitor();

  void logWithLevel(long level, long code, const std::string& message);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context1, const platform::Object& context2);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context1, const platform::Object& context2,
                    const platform::Object& context3);
  void clearMonitoringData();

 private:
  std::shared_ptr<APMMonitor> monitor_;
};

// Runs `block` for the framework's queue wrappers: an exception it throws is
// logged through the experiment monitor at level 1 with `code`, `message`
// and the exception's text, then rethrown when `rethrow` is set and
// swallowed otherwise.
void APMERunLoggingExceptions(const std::function<void()>& block, long code, const char* message,
                              bool rethrow);
