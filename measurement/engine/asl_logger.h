// The bridge from the measurement logger to the SDK logger.
//
// `APMLogging` is what `APMMonitor` prints through; `APMASLLogger`, the
// default, writes each line through the SDK logger under the subsystem
// "com.voraza.vudaziru.analytics" with the message code "I-ACS" + six digits.
// Thread-safe.
#pragma once

#include <string>

#include "sdk_core/logger.h"

class APMLogging {
 public:
  virtual ~APMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag, long messageCode,
                          long logLevel) = 0;
};

class APMASLLogger : public APMLogging {
 public:
  // Level 7 lines are forced out whatever the SDK logger's level.
  void logMessage(const std::string& message, const std::string& logTag, long messageCode,
                  long logLevel) override;

  // Measurement level to SDK level: 0-2 error, 3-5 warning, 6 notice,
  // 7-8 debug, anything else warning.
  static GULLoggerLevel GULLoggerLevelFromLogLevel(long logLevel);
};
