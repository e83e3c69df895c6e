#include "tests/support/recording_monitor.h"

RecordingMonitor::RecordingMonitor() {
  APMMeasurement::monitor()->setObserver(
      [log = log_](long level, long code, const std::string& message,
                   const APMMonitor::Contexts& contexts, const std::string& text) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->entries.push_back({level, code, message, contexts, text});
      });
}

RecordingMonitor::~RecordingMonitor() { APMMeasurement::monitor()->setObserver(nullptr); }

std::vector<RecordedLog> RecordingMonitor::logs() const {
  std::lock_guard<std::mutex> lock(log_->mutex);
  return log_->entries;
}

std::vector<long> RecordingMonitor::codes() const {
  std::vector<long> codes;
  for (const RecordedLog& entry : logs()) codes.push_back(entry.code);
  return codes;
}

bool RecordingMonitor::contains(long code) const {
  for (const RecordedLog& entry : logs()) {
    if (entry.code == code) return true;
  }
  return false;
}

RecordedLog RecordingMonitor::first(long code) const {
  for (const RecordedLog& entry : logs()) {
    if (entry.code == code) return entry;
  }
  return {};
}

void RecordingMonitor::clear() {
  std::lock_guard<std::mutex> lock(log_->mutex);
  log_->entries.clear();
}
