#include "sdk_core/logger.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace {

std::atomic<int> currentLevel{GULLoggerLevelNotice};
std::atomic<bool> forcedDebugMode{false};

// Never destroyed: threads may still log while the process exits.
platform::DispatchQueue& loggingQueue() {
  static auto* queue =
      new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::create("GULLoggingClientQueue"));
  return **queue;
}

}  // namespace

std::string GULAnalyticsMessageCode(long code) {
  char text[32];
  std::snprintf(text, sizeof text, "I-ACS%06ld", code);
  return text;
}

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
  std::string line;
  line.reserve(32 + category.size() + messageCode.size() + message.size());
  line.append(kGULSDKVersion).append(" - ").append(category);
  line.append("[").append(messageCode).append("] ").append(message);
  loggingQueue().async([line = std::move(line)] { platform::nslog(line); });
}

// The named entry points differ only in their level.
#define GUL_LOG_AT_LEVEL(name, level)                                                   \
  void name(const std::string& subsystem, const std::string& category, bool forceLog,   \
            const std::string& messageCode, const std::string& message) {               \
    GULLogBasic(level, subsystem, category, forceLog, messageCode, message);            \
  }
GUL_LOG_AT_LEVEL(GULLogError, GULLoggerLevelError)
GUL_LOG_AT_LEVEL(GULLogWarning, GULLoggerLevelWarning)
GUL_LOG_AT_LEVEL(GULLogNotice, GULLoggerLevelNotice)
GUL_LOG_AT_LEVEL(GULLogInfo, GULLoggerLevelInfo)
GUL_LOG_AT_LEVEL(GULLogDebug, GULLoggerLevelDebug)
#undef GUL_LOG_AT_LEVEL

void GULLoggerFlush() {
  loggingQueue().sync([] {});
}
