// `APMEMonitor`: the monitor the experiment framework logs through (codes
// 800000 to 880000). It holds the engine's `APMMonitor` and forwards every
// call to it unchanged; `monitor()` answers the process-wide instance, made
// over `APMMeasurement::monitor()` on first use.
//
// Only the forwarding the flag functions need lives here so far.
// Logging never fails; any thread may call it.
#pragma once

#include "platform/object.h"

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
  void clearMonitoringData();

 private:
  std::shared_ptr<APMMonitor> monitor_;
};
