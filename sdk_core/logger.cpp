#include "sdk_core/logger.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace {

std::atomic<int> currentLevel{GULLoggerLevelNotice};
std::atomic<bool> forcedDebugMode{false};

void writeAtExit();
void prepareFork();
void resumeAfterFork();
void resumeInForkedChild();

// Lines logged and not yet written. The logging queue writes them in the
// background; anyone who must see them written (a flush, the exit, a
// caller finding the queue full) writes what is left on their own thread,
// so that no line depends on a pool thread running again. Never destroyed:
// threads may still log while the process exits.
struct PendingLines {
  PendingLines() {
    std::atexit(writeAtExit);
    pthread_atfork(prepareFork, resumeAfterFork, resumeInForkedChild);
  }

  // Guards `lines`, `bytes`, `drainScheduled` and `direct`; held only for
  // moments.
  std::mutex mutex;
  std::vector<std::string> lines;
  // What `lines` holds, their texts and their places in the list.
  size_t bytes = 0;
  bool drainScheduled = false;
  // Set once the process exits (or in a forked child, which has no pool
  // threads): each caller writes its own line.
  bool direct = false;
  // Held while lines are written, so that lines taken by two writers keep
  // their order; taken before `mutex` when both are held.
  std::mutex writing;
  std::shared_ptr<platform::DispatchQueue> queue =
      platform::DispatchQueue::create("GULLoggingClientQueue");
};

PendingLines& pending() {
  static auto* lines = new PendingLines();
  return *lines;
}

// Writes every line pending, in order; answers once none is left.
void writePending(bool fromDrain) {
  PendingLines& state = pending();
  std::lock_guard<std::mutex> writing(state.writing);
  std::vector<std::string> batch;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (state.lines.empty()) {
        if (fromDrain) state.drainScheduled = false;
        return;
      }
      batch.swap(state.lines);
      state.bytes = 0;
    }
    for (const std::string& line : batch) platform::nslog(line);
    batch.clear();
  }
}

// Registered with atexit at the logger's first use, so it runs before the
// static objects made earlier are destroyed, and after those made later,
// whose destructors may log (lines logged after it are written at once).
void writeAtExit() {
  PendingLines& state = pending();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.direct = true;
  }
  writePending(false);
}

// A fork copies the locks as they are: none may be held by a thread that
// does not exist in the child.
void prepareFork() {
  pending().writing.lock();
  pending().mutex.lock();
}

void resumeAfterFork() {
  pending().mutex.unlock();
  pending().writing.unlock();
}

// The parent writes the lines it had pending; the child has no pool
// threads to write its own.
void resumeInForkedChild() {
  PendingLines& state = pending();
  state.lines.clear();
  state.bytes = 0;
  state.direct = true;
  resumeAfterFork();
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
  // The category and code come from code; the message may come from data.
  const std::string text = platform::logText(message);
  std::string line;
  line.reserve(32 + category.size() + messageCode.size() + text.size());
  line.append(kGULSDKVersion).append(" - ").append(category);
  line.append("[").append(messageCode).append("] ").append(text);
  const size_t bytes = line.size() + sizeof(std::string);
  PendingLines& state = pending();
  bool direct = false, schedule = false;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lines.push_back(std::move(line));
    state.bytes += bytes;
    direct = state.direct || state.bytes > kGULMaxPendingLogBytes;
    schedule = !direct && !state.drainScheduled;
    if (schedule) state.drainScheduled = true;
  }
  if (direct) {
    writePending(false);
  } else if (schedule) {
    state.queue->async([] { writePending(true); });
  }
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

void GULLoggerFlush() { writePending(false); }
