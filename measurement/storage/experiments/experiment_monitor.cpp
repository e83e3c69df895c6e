#include "measurement/storage/experiments/experiment_monitor.h"

#include "measurement/engine/monitor.h"

#include <exception>
#include <utility>

APMEMonitor::APMEMonitor(std::shared_ptr<APMMonitor> monitor) : monitor_(std::move(monitor)) {}

std::shared_ptr<APMEMonitor> APMEMonitor::monitor() {
  static const auto shared = std::make_shared<APMEMonitor>(APMMeasurement::monitor());
  return shared;
}

void APMEMonitor::logWithLevel(long level, long code, const std::string& message) {
  monitor_->logWithLevel(level, code, message);
}

void APMEMonitor::logWithLevel(long level, long code, const std::string& message,
                               const platform::Object& context) {
  monitor_->logWithLevel(level, code, message, context);
}

void APMEMonitor::logWithLevel(long level, long code, const std::string& message,
                               const platform::Object& context1,
                               const platform::Object& context2) {
  monitor_->logWithLevel(level, code, message, context1, context2);
}

void APMEMonitor::logWithLevel(long level, long code, const std::string& message,
                               const platform::Object& context1, const platform::Object& context2,
                               const platform::Object& context3) {
  monitor_->logWithLevel(level, code, message, context1, context2, context3);
}

void APMEMonitor::clearMonitoringData() {
  monitor_->clearMonitoringData();
}

void APMERunLoggingExceptions(const std::function<void()>& block, long code, const char* message,
                              bool rethrow) {
  try {
    block();
  } catch (...) {
    std::string text = "unknown exception";
    try {
      throw;
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
    }
    APMEMonitor::monitor()->logWithLevel(1, code, message, text);
    if (rethrow) throw;
  }
}
