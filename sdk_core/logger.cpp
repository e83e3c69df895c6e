#include "sdk_core/logger.h"

#include <atomic>
#include <mutex>

#include "platform/log.h"

namespace {
std::atomic<int> currentLevel{GULLoggerLevelNotice};
std::atomic<bool> forcedDebugMode{false};
std::mutex writeMutex;
}  // namespace

void GULSetLoggerLevel(GULLoggerLevel level) {
  if (level < GULLoggerLevelError || level > GULLoggerLevelDebug) return;
  currentLevel.store(level);
}

bool GULIsLoggableLevel(GULLoggerLevel level) {
  return forcedDebugMode.load() || level <= currentLevel.load();
}

void GULSetForcedDebugMode(bool enabled) { forcedDebugMode.store(enabled); }

void GULLogBasic(GULLoggerLevel level, const std::string& /*subsystem*/,
                 const std::string& category, bool forceLog, const std::string& messageCode,
                 const std::string& message) {
  if (!forceLog && !GULIsLoggableLevel(level)) return;
  std::string line = std::string(kGULSDKVersion) + " - " + category + "[" + messageCode + "] " +
                     message;
  std::lock_guard<std::mutex> lock(writeMutex);
  platform::nslog(line);
}

#define APM_GUL_LEVEL_FUNCTION(name, level)                                                   \
  void name(const std::string& subsystem, const std::string& category, bool forceLog,         \
            const std::string& messageCode, const std::string& message) {                     \
    GULLogBasic(level, subsystem, category, forceLog, messageCode, message);                  \
  }
APM_GUL_LEVEL_FUNCTION(GULLogError, GULLoggerLevelError)
APM_GUL_LEVEL_FUNCTION(GULLogWarning, GULLoggerLevelWarning)
APM_GUL_LEVEL_FUNCTION(GULLogNotice, GULLoggerLevelNotice)
APM_GUL_LEVEL_FUNCTION(GULLogInfo, GULLoggerLevelInfo)
APM_GUL_LEVEL_FUNCTION(GULLogDebug, GULLoggerLevelDebug)
#undef APM_GUL_LEVEL_FUNCTION

void GULLoggerFlush() { std::lock_guard<std::mutex> lock(writeMutex); }
