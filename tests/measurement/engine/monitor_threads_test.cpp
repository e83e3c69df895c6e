#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "measurement/engine/asl_logger.h"
#include "measurement/engine/monitor.h"
#include "tests/support/recording_monitor.h"

namespace {

// Holds the first line it is given until released; later lines pass.
class GateLogger : public APMLogging {
 public:
  void logMessage(const std::string&, const std::string&, long, long) override {
    if (entered_) return;
    entered_ = true;
    reached_.set_value();
    released_.get_future().wait();
  }
  std::promise<void> reached_, released_;
  bool entered_ = false;
};

// Puts the default logger back however the test ends.
struct LoggerRestorer {
  ~LoggerRestorer() { APMMeasurement::monitor()->setLogger(std::make_shared<APMASLLogger>()); }
};

TEST(MonitorThreadsTest, LinesFromManyThreadsAreRecordedWhole) {
  auto monitor = APMMeasurement::monitor();
  RecordingMonitor recorder;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([monitor, t] {
      for (int i = 0; i < 200; ++i) {
        monitor->logWithLevel(7, 100 + t, "Thread", platform::Object(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto logs = recorder.logs();
  ASSERT_EQ(logs.size(), 800u);
  for (const RecordedLog& log : logs) {
    ASSERT_EQ(log.contexts.size(), 1u);
    EXPECT_EQ(log.text, "Thread: " + log.contexts[0].description());
  }
}

TEST(MonitorThreadsTest, ACallInFlightOutlivesTheRecorderSafely) {
  auto monitor = APMMeasurement::monitor();
  LoggerRestorer restorer;
  auto gate = std::make_shared<GateLogger>();
  monitor->setLogger(gate);
  auto recorder = std::make_unique<RecordingMonitor>();
  // Level 1 is always printed, so the call stops in the logger after it has
  // taken the recorder's observer, and notifies it only once released.
  std::thread caller([monitor] { monitor->logWithLevel(1, 42, "In flight"); });
  gate->reached_.get_future().wait();
  recorder.reset();
  gate->released_.set_value();
  caller.join();
}

}  // namespace
