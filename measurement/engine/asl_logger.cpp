#include "measurement/engine/asl_logger.h"

#include <cstdio>

namespace {
constexpr const char* kAnalyticsSubsystem = "com.voraza.vudaziru.analytics";
}

std::string APMMessageCodeText(long code) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-ACS%06ld", code);
  return buffer;
}

GULLoggerLevel APMASLLogger::GULLoggerLevelFromLogLevel(long logLevel) {
  switch (logLevel) {
    case 0: case 1: case 2: return GULLoggerLevelError;
    case 3: case 4: case 5: return GULLoggerLevelWarning;
    case 6: return GULLoggerLevelNotice;
    case 7: case 8: return GULLoggerLevelDebug;
    default: return GULLoggerLevelWarning;
  }
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              long messageCode, long logLevel) {
  // The message reaches the SDK logger as finished text, so no "%" doubling
  // is needed: nothing formats it again.
  GULLogBasic(GULLoggerLevelFromLogLevel(logLevel), kAnalyticsSubsystem, logTag, logLevel == 7,
              APMMessageCodeText(messageCode), message);
}
