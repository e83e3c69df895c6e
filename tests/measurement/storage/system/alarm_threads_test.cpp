#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "measurement/storage/system/alarm.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/recording_monitor.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
constexpr double kForever = std::numeric_limits<double>::infinity();

// The alarm codes only: other components may log meanwhile.
std::vector<RecordedLog> alarmLogs(const RecordingMonitor& monitor) {
  std::vector<RecordedLog> logs;
  for (const RecordedLog& log : monitor.logs()) {
    if (log.code >= 2000 && log.code <= 2004) logs.push_back(log);
  }
  return logs;
}

std::vector<long> alarmCodes(const RecordingMonitor& monitor) {
  std::vector<long> codes;
  for (const RecordedLog& log : alarmLogs(monitor)) codes.push_back(log.code);
  return codes;
}

class APMAlarmTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(1000);
  platform::ScopedCurrentClock scopedClock_{clock_};
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::create("alarm.queue");
  RecordingMonitor monitor_;

  void flush() { queue_->sync([] {}); }

  // Arms the alarm with a block that reports its run; answers the future.
  static std::future<void> armReporting(APMAlarm& alarm, double delay,
                                        std::function<void()> inside = nullptr) {
    auto fired = std::make_shared<std::promise<void>>();
    alarm.runAfterDelay(delay, [fired, inside] {
      if (inside) inside();
      fired->set_value();
    });
    return fired->get_future();
  }
};

TEST_F(APMAlarmTest, ArmingFiringAndTheirLogLines) {
  APMAlarm alarm(queue_, "Measurement timer");
  EXPECT_EQ(alarm.name(), "Measurement timer");
  EXPECT_EQ(alarm.queue(), queue_);
  EXPECT_FALSE(alarm.hasActiveTimer());
  EXPECT_FALSE(alarm.scheduledTimestamp());

  alarm.runAfterDelay(3600, [] {});
  EXPECT_EQ(alarm.scheduledTimestamp(), 4600.0);
  EXPECT_TRUE(alarm.hasActiveTimer());

  // Arming again replaces the pending arming; the block sees an idle alarm.
  std::optional<double> insideTimestamp = 1;
  bool insideActive = true;
  std::shared_ptr<platform::DispatchQueue> insideQueue;
  auto fired = armReporting(alarm, 0.001, [&] {
    insideTimestamp = alarm.scheduledTimestamp();
    insideActive = alarm.hasActiveTimer();
    insideQueue = platform::DispatchQueue::current();
  });
  ASSERT_EQ(fired.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(insideTimestamp);
  EXPECT_FALSE(insideActive);
  EXPECT_EQ(insideQueue, queue_);

  auto logs = alarmLogs(monitor_);
  ASSERT_EQ(logs.size(), 5u);
  EXPECT_EQ(logs[0].level, 7);
  EXPECT_EQ(logs[0].code, 2002);
  EXPECT_EQ(logs[0].message, "Measurement timer scheduled to fire in approx. (s)");
  ASSERT_EQ(logs[0].contexts.size(), 1u);
  EXPECT_EQ(logs[0].contexts[0].kind(), platform::Object::Kind::Double);
  EXPECT_EQ(logs[0].contexts[0].doubleValue(), 3600.0);
  EXPECT_EQ(logs[1].level, 7);
  EXPECT_EQ(logs[1].code, 2003);
  EXPECT_EQ(logs[1].text, "Measurement timer canceled");
  EXPECT_EQ(logs[2].code, 2002);
  EXPECT_EQ(logs[3].level, 7);
  EXPECT_EQ(logs[3].code, 2001);
  EXPECT_EQ(logs[3].text, "Measurement timer fired");
  EXPECT_EQ(logs[4].code, 2003);

  // Cancelling an idle alarm is silent.
  monitor_.clear();
  alarm.cancel();
  EXPECT_TRUE(alarmLogs(monitor_).empty());
}

TEST_F(APMAlarmTest, EmptyNamesAndEmptyBlocks) {
  APMAlarm alarm(queue_, "");
  EXPECT_EQ(alarm.name(), "Timer");
  alarm.runAfterDelay(60, [] {});
  alarm.runAfterDelay(1, nullptr);
  // The pending arming stays.
  EXPECT_EQ(alarm.scheduledTimestamp(), 1060.0);
  EXPECT_TRUE(alarm.hasActiveTimer());
  alarm.cancel();
  alarm.cancel();
  EXPECT_FALSE(alarm.scheduledTimestamp());
  EXPECT_FALSE(alarm.hasActiveTimer());

  auto logs = alarmLogs(monitor_);
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0].code, 2002);
  EXPECT_EQ(logs[0].text, "Timer scheduled to fire in approx. (s): 60");
  EXPECT_EQ(logs[1].level, 1);
  EXPECT_EQ(logs[1].code, 2000);
  EXPECT_EQ(logs[1].text, "Timer tried to schedule an empty block");
  EXPECT_EQ(logs[2].code, 2003);
  EXPECT_EQ(logs[2].text, "Timer canceled");
}

TEST_F(APMAlarmTest, OnlyTheLatestArmingRunsEvenWhenTheOlderOneIsDue) {
  APMAlarm alarm(queue_, "Engagement timer");
  std::atomic<int> older{0};
  std::future<void> fired;
  // Both armings happen on the alarm's queue, so the older firing can only
  // be handed to the queue, never run, before it is replaced.
  queue_->sync([&] {
    alarm.runAfterDelay(0, [&] { ++older; });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    fired = armReporting(alarm, 0);
  });
  ASSERT_EQ(fired.wait_for(kPatience), std::future_status::ready);
  flush();
  EXPECT_EQ(older.load(), 0);
  EXPECT_EQ(alarmCodes(monitor_), (std::vector<long>{2002, 2003, 2002, 2001, 2003}));
}

TEST_F(APMAlarmTest, BlockThatArmsItsOwnAlarmLeavesExactlyOneArming) {
  APMAlarm alarm(queue_, "APMExperimentAlarm");
  auto fired = armReporting(alarm, -5, [&] { alarm.runAfterDelay(7200, [] {}); });
  ASSERT_EQ(fired.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(alarm.scheduledTimestamp(), 8200.0);
  EXPECT_TRUE(alarm.hasActiveTimer());
  EXPECT_EQ(alarmCodes(monitor_), (std::vector<long>{2002, 2001, 2003, 2002}));
  monitor_.clear();
  alarm.cancel();
  EXPECT_EQ(alarmCodes(monitor_), (std::vector<long>{2003}));
}

TEST_F(APMAlarmTest, OddDelays) {
  APMAlarm alarm(queue_, "Odd");
  // NaN and non-positive delays fire at once; NaN is scheduled for now.
  for (double delay : {std::nan(""), 0.0, -1.0, -kForever, -1e308}) {
    std::future<void> fired;
    // Armed from the alarm's queue, so the firing cannot start before the
    // timestamp is read.
    queue_->sync([&] {
      fired = armReporting(alarm, delay);
      EXPECT_EQ(alarm.scheduledTimestamp(), std::isnan(delay) ? 1000.0 : 1000.0 + delay);
    });
    ASSERT_EQ(fired.wait_for(kPatience), std::future_status::ready) << delay;
  }
  // Huge delays stay armed and never fire (no undefined conversion on the
  // way); a short arming of another alarm on the same queue runs first.
  std::atomic<int> hugeFires{0};
  APMAlarm probe(queue_, "Probe");
  for (double delay : {1e300, kForever, 9.3e9, 1e18}) {
    alarm.runAfterDelay(delay, [&] { ++hugeFires; });
    EXPECT_TRUE(alarm.hasActiveTimer());
    ASSERT_TRUE(alarm.scheduledTimestamp());
    EXPECT_EQ(*alarm.scheduledTimestamp(), 1000.0 + delay);
    auto probed = armReporting(probe, 0.002);
    ASSERT_EQ(probed.wait_for(kPatience), std::future_status::ready);
  }
  flush();
  EXPECT_EQ(hugeFires.load(), 0);
}

TEST_F(APMAlarmTest, AlarmWithoutTimerCountsAsArmedButNeverFires) {
  APMAlarm alarm(nullptr, "SKAN conversion value fetch timer");
  alarm.runAfterDelay(0, [] { FAIL() << "an alarm without a timer fired"; });
  EXPECT_EQ(alarm.scheduledTimestamp(), 1000.0);
  EXPECT_FALSE(alarm.hasActiveTimer());
  alarm.cancel();
  auto logs = alarmLogs(monitor_);
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0].code, 2002);
  EXPECT_EQ(logs[1].code, 2003);
  EXPECT_EQ(logs[2].level, 4);
  EXPECT_EQ(logs[2].code, 2004);
  EXPECT_EQ(logs[2].text, "SKAN conversion value fetch timer is not active");
}

TEST_F(APMAlarmTest, DestroyingAnAlarmWhilePendingOrRunningIsSafe) {
  // Pending: the firing is already waiting behind a blocked queue.
  std::atomic<int> ran{0};
  std::promise<void> gate;
  auto gateOpen = gate.get_future().share();
  queue_->async([gateOpen] { gateOpen.wait(); });
  auto pending = std::make_unique<APMAlarm>(queue_, "Doomed");
  pending->runAfterDelay(0, [&] { ++ran; });
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  pending.reset();
  gate.set_value();
  flush();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(alarmCodes(monitor_), (std::vector<long>{2002, 2003}));

  // Running: the block destroys its own alarm and goes on with its captures.
  auto owner = std::make_shared<std::unique_ptr<APMAlarm>>(std::make_unique<APMAlarm>(queue_, "Self"));
  auto token = std::make_shared<int>(5);
  std::promise<void> done;
  (*owner)->runAfterDelay(0, [owner, token, &done] {
    owner->reset();
    *token += 1;
    done.set_value();
  });
  auto finished = done.get_future();
  ASSERT_EQ(finished.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(*token, 6);
  EXPECT_EQ(owner->get(), nullptr);
}

TEST_F(APMAlarmTest, ArmingAndCancellingFromManyThreads) {
  APMAlarm alarm(queue_, "Contended");
  std::atomic<int> fires{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if ((i + t) % 3 == 0) {
          alarm.cancel();
        } else {
          alarm.runAfterDelay(i % 2 ? 0 : 0.0005, [&] { ++fires; });
        }
        (void)alarm.hasActiveTimer();
        (void)alarm.scheduledTimestamp();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  alarm.cancel();
  flush();
  EXPECT_FALSE(alarm.scheduledTimestamp());
  EXPECT_FALSE(alarm.hasActiveTimer());
  // Every firing logged 2001; each came from a distinct arming.
  long armings = 0, firings = 0;
  for (long code : alarmCodes(monitor_)) {
    armings += code == 2002;
    firings += code == 2001;
  }
  EXPECT_EQ(firings, fires.load());
  EXPECT_LE(firings, armings);
}

}  // namespace
