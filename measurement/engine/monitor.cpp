#include "measurement/engine/monitor.h"

#include <algorithm>
#include <deque>

#include "measurement/engine/asl_logger.h"
#include "measurement/engine/measurement_errors.h"
#include "platform/error.h"
#include "platform/log.h"

namespace {

bool isRecordedLevel(long level) { return level == 1 || level == 2 || level == 4 || level == 5; }

std::string contextText(const platform::Object& context) {
  if (platform::ErrorRef error = context.error()) {
    std::string monitorContext = APMMonitorContextOfError(*error);
    return monitorContext.empty() ? error->description() : monitorContext;
  }
  return context.description();
}

// "<message>: <context>, <context>", cut to the limit of a log line. Texts
// are read in place: only what the line keeps is copied.
platform::LogText lineText(const std::string& message, const APMMonitor::Contexts& contexts) {
  platform::LogText text;
  text.append(message);
  for (size_t i = 0; i < contexts.size(); ++i) {
    text.append(i ? ", " : ": ");
    if (const std::string* string = contexts[i].string()) {
      text.append(*string);
    } else {
      text.append(contextText(contexts[i]));
    }
  }
  return text;
}

}  // namespace

struct APMMonitor::State {
  // The highest level printed. Verbose lines (8) need the verbose switch
  // whatever the log level says; debug mode lets debug lines (7) through.
  long printThresholdLocked() const {
    if (verbose) return 8;
    long threshold = std::min(logLevel, 7L);
    return debugMode ? std::max(threshold, 7L) : threshold;
  }

  mutable std::mutex mutex;
  long logLevel = 6;
  bool verbose = false;
  bool debugMode = false;
  std::string logTag = kGULAnalyticsLogTag;
  std::shared_ptr<APMLogging> logger = std::make_shared<APMASLLogger>();
  std::deque<APMMonitoringRecord> monitoringData;
  Observer observer;
};

APMMonitor::APMMonitor() : state_(std::make_unique<State>()) {}
APMMonitor::~APMMonitor() = default;

void APMMonitor::logWithLevel(long level, long code, const std::string& message) {
  logWithLevel(level, code, message, Contexts{});
}

void APMMonitor::logWithLevel(long level, long code, const std::string& message,
                              const platform::Object& context) {
  logWithLevel(level, code, message, Contexts{context});
}

void APMMonitor::logWithLevel(long level, long code, const std::string& message,
                              const platform::Object& context1, const platform::Object& context2) {
  logWithLevel(level, code, message, Contexts{context1, context2});
}

void APMMonitor::logWithLevel(long level, long code, const std::string& message,
                              const platform::Object& context1, const platform::Object& context2,
                              const platform::Object& context3) {
  logWithLevel(level, code, message, Contexts{context1, context2, context3});
}

void APMMonitor::logWithLevel(long level, long code, const std::string& message,
                              const Contexts& contexts) {
  const bool recorded = isRecordedLevel(level);
  Observer observer;
  std::shared_ptr<APMLogging> logger;
  std::string tag;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (level >= 0 && level <= state_->printThresholdLocked() && level != 2 && level != 5) {
      logger = state_->logger;
      tag = state_->logTag;
    }
    observer = state_->observer;
  }
  // Lines nobody keeps, prints or observes (most debug lines) skip the
  // formatting.
  if (!recorded && !logger && !observer) return;
  platform::LogText line = lineText(message, contexts);
  // The samples live as long as the process: a line past the limit is kept
  // as its cut text alone, so that none holds more than the limit, however
  // long what the caller passed.
  static const Contexts kNone;
  const bool cut = line.cut();
  const std::string text = std::move(line).take();
  const std::string& keptMessage = cut ? text : message;
  const Contexts& keptContexts = cut ? kNone : contexts;
  if (recorded) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    // A sample for diagnosis, not a log: keep the newest.
    if (state_->monitoringData.size() == kAPMMonitoringRecordsKept) {
      state_->monitoringData.pop_front();
    }
    state_->monitoringData.push_back({level, code, keptMessage, keptContexts});
  }
  // Print and notify outside the lock: a logger or observer may log again.
  if (logger) logger->logMessage(text, tag, code, level);
  if (observer) observer(level, code, keptMessage, keptContexts, text);
}

long APMMonitor::logLevel() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->logLevel;
}

void APMMonitor::setLogLevel(long level) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->logLevel = level;
}

bool APMMonitor::isVerboseLoggingEnabled() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->verbose;
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->verbose = enabled;
}

bool APMMonitor::isDebugModeEnabled() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->debugMode;
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->debugMode = enabled;
}

std::string APMMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->logTag;
}

void APMMonitor::setLogTag(std::string tag) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->logTag = std::move(tag);
}

void APMMonitor::setLogger(std::shared_ptr<APMLogging> logger) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->logger = std::move(logger);
}

std::vector<APMMonitoringRecord> APMMonitor::monitoringData() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->monitoringData.begin(), state_->monitoringData.end()};
}

void APMMonitor::clearMonitoringData() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->monitoringData.clear();
}

void APMMonitor::setObserver(Observer observer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->observer = std::move(observer);
}

void APMMonitor::flush() { GULLoggerFlush(); }

std::shared_ptr<APMMonitor> APMMeasurement::monitor() {
  // Never destroyed: threads still logging at exit must find it alive.
  static auto* instance = new std::shared_ptr<APMMonitor>(std::make_shared<APMMonitor>());
  return *instance;
}
