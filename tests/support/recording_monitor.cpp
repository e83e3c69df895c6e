#include "tests/support/recording_monitor.h"

RecordingMonitor::RecordingMonitor() {
  APMMeasurement::monitor()->setObserver(
      [this](long level, long code, const std::string& message,
             const APMMonitor::Contexts& contexts, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        logs_.push_back({level, code, message, contexts, text});
      });
}

RecordingMonitor::~RecordingMonitor() { APMMeasurement::monitor()->setObserver(nullptr); }

std::vector<RecordedLog> RecordingMonitor::logs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logs_;
}

std::vector<long> RecordingMonitor::codes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<long> codes;
  for (const RecordedLog& log : logs_) codes.push_back(log.code);
  return codes;
}

bool RecordingMonitor::contains(long code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const RecordedLog& log : logs_) {
    if (log.code == code) return true;
  }
  return false;
}

RecordedLog RecordingMonitor::first(long code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const RecordedLog& log : logs_) {
    if (log.code == code) return log;
  }
  return {};
}

void RecordingMonitor::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.clear();
}
