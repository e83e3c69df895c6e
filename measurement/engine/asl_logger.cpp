#include "measurement/engine/asl_logger.h"

#include <iterator>

GULLoggerLevel APMASLLogger::GULLoggerLevelFromLogLevel(long logLevel) {
  // Measurement levels 0-8 in order; any other value is a warning.
  static constexpr GULLoggerLevel kLevels[] = {
      GULLoggerLevelError,   GULLoggerLevelError,   GULLoggerLevelError,
      GULLoggerLevelWarning, GULLoggerLevelWarning, GULLoggerLevelWarning,
      GULLoggerLevelNotice,  GULLoggerLevelDebug,   GULLoggerLevelDebug};
  if (logLevel < 0 || logLevel >= static_cast<long>(std::size(kLevels))) {
    return GULLoggerLevelWarning;
  }
  return kLevels[logLevel];
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              long messageCode, long logLevel) {
  // The message reaches the SDK logger as finished text, so no "%" doubling
  // is needed: nothing formats it again.
  GULLogBasic(GULLoggerLevelFromLogLevel(logLevel), kGULAnalyticsSubsystem, logTag,
              logLevel == 7, GULAnalyticsMessageCode(messageCode), message);
}
