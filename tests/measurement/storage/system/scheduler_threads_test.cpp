#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "measurement/storage/system/scheduler.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "tests/support/recording_monitor.h"

namespace {

TEST(APMSchedulerTest, BackgroundThreadCheckComplainsOnlyOnTheMainThread) {
  RecordingMonitor monitor;
  EXPECT_TRUE(APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
  EXPECT_TRUE(monitor.logs().empty());

  bool named = true, unnamed = true;
  platform::DispatchQueue::main()->sync([&] {
    named = APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    unnamed = APMScheduler::checkOnBackgroundThreadWithMethodName("");
  });
  EXPECT_FALSE(named);
  EXPECT_FALSE(unnamed);
  auto logs = monitor.logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].level, 1);
  EXPECT_EQ(logs[0].code, 30001);
  EXPECT_EQ(logs[0].text, "Method updateMeasurementConfig: should execute on background thread");
  EXPECT_EQ(logs[1].text, "Method <empty method name> should execute on background thread");
}

TEST(APMSchedulerTest, AsynchronousBlocksRunInOrderAndExceptionsAreLogged) {
  RecordingMonitor monitor;
  APMScheduler scheduler("com.voraza.zuro.worker");
  auto queue = scheduler.workerQueue();
  EXPECT_EQ(queue->label(), "com.voraza.zuro.worker");
  EXPECT_TRUE(queue->isSerial());
  EXPECT_EQ(queue->target(), platform::DispatchQueue::globalBackground());

  std::vector<std::string> ran;
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:1", [&] {
    EXPECT_EQ(platform::DispatchQueue::current(), queue);
    ran.push_back("first");
  });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:2", nullptr);
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:627",
                                         [] { throw std::runtime_error("disk on fire"); });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:628", [] { throw 42; });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:3", [&] { ran.push_back("after"); });
  queue->sync([] {});

  EXPECT_EQ(ran, (std::vector<std::string>{"first", "after"}));
  auto logs = monitor.logs();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0].level, 1);
  EXPECT_EQ(logs[0].code, 30005);
  EXPECT_EQ(logs[0].text, "Nil block dispatched asynchronously on worker queue. Block ID=APMMeasurement:2.");
  EXPECT_EQ(logs[1].level, 1);
  EXPECT_EQ(logs[1].code, 30000);
  EXPECT_EQ(logs[1].message, "Exception on worker queue. Block ID=APMMeasurement:627. Exception");
  EXPECT_EQ(logs[1].text,
            "Exception on worker queue. Block ID=APMMeasurement:627. Exception: disk on fire");
  EXPECT_EQ(logs[2].code, 30000);
  EXPECT_EQ(logs[2].contexts.size(), 1u);
}

TEST(APMSchedulerTest, SynchronousBlocksWaitAndReportFailures) {
  RecordingMonitor monitor;
  APMScheduler scheduler("sync.worker");

  int value = 0;
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:10", [&] {
    EXPECT_TRUE(scheduler.workerQueue()->isCurrent());
    value = 7;
  });
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(monitor.logs().empty());

  scheduler.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:11", nullptr);
  scheduler.dispatchSyncOnWorkerQueueBlockID(
      "APMConditionalUserPropertyController:88", [] { throw std::logic_error("bad row"); });
  auto logs = monitor.logs();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0].level, 1);
  EXPECT_EQ(logs[0].code, 30002);
  EXPECT_EQ(logs[0].text, "Nil block dispatched synchronously on worker queue. Block ID=APMMeasurement:11.");
  EXPECT_EQ(logs[1].level, 1);
  EXPECT_EQ(logs[1].code, 30003);
  EXPECT_EQ(logs[1].text,
            "Exception on worker queue when processing sync block. "
            "Block ID=APMConditionalUserPropertyController:88. Exception: bad row");
  EXPECT_EQ(logs[2].level, 4);
  EXPECT_EQ(logs[2].code, 30004);
  EXPECT_EQ(logs[2].text, "Synchronous task failed. Block ID=APMConditionalUserPropertyController:88");
}

TEST(APMSchedulerTest, SynchronousBlockFromTheWorkerQueueRunsInline) {
  RecordingMonitor monitor;
  platform::LogCapture capture;
  APMScheduler scheduler("reentrant.worker");
  std::vector<std::string> ran;
  scheduler.dispatchSyncOnWorkerQueueBlockID("outer", [&] {
    scheduler.dispatchSyncOnWorkerQueueBlockID("inner", [&] { ran.push_back("inner"); });
    ran.push_back("outer");
  });
  EXPECT_EQ(ran, (std::vector<std::string>{"inner", "outer"}));
  EXPECT_TRUE(monitor.logs().empty());
  // Other components' lines may reach the capture too.
  int inlineLines = 0;
  for (const std::string& line : capture.nslogLines()) {
    inlineLines += line.find("\"reentrant.worker\"") != std::string::npos;
  }
  EXPECT_EQ(inlineLines, 1);
}

TEST(APMSchedulerTest, SubmittedBlocksOutliveTheScheduler) {
  std::promise<void> gate, finished;
  auto gateOpen = gate.get_future().share();
  std::vector<int> ran;
  std::weak_ptr<platform::DispatchQueue> weak;
  {
    APMScheduler scheduler("short.lived");
    weak = scheduler.workerQueue();
    scheduler.scheduleOnWorkerQueueBlockID("a", [gateOpen, &ran] {
      gateOpen.wait();
      ran.push_back(1);
    });
    scheduler.scheduleOnWorkerQueueBlockID("b", [&] {
      ran.push_back(2);
      finished.set_value();
    });
  }
  EXPECT_FALSE(weak.expired());
  gate.set_value();
  auto done = finished.get_future();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

}  // namespace
