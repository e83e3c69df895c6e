#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace platform {
namespace {

// Generous: only a hang (a real fault) ever reaches it.
constexpr auto kPatience = std::chrono::seconds(10);

bool ready(std::future<void>& future) {
  return future.wait_for(kPatience) == std::future_status::ready;
}

// Lines of the capture naming `what` (other threads may log meanwhile).
int linesAbout(const LogCapture& capture, const std::string& what) {
  int count = 0;
  for (const std::string& line : capture.nslogLines()) count += line.find(what) != std::string::npos;
  return count;
}

// Runs an empty block through the queue and waits for it: everything
// submitted before has run.
void flush(const std::shared_ptr<DispatchQueue>& queue) { queue->sync([] {}); }

TEST(DispatchQueueTest, SerialQueueRunsBlocksOneAtATimeInSubmissionOrder) {
  auto queue = DispatchQueue::create("test.serial");
  EXPECT_EQ(queue->label(), "test.serial");
  EXPECT_TRUE(queue->isSerial());
  EXPECT_EQ(queue->target(), DispatchQueue::globalBackground());

  // Unguarded on purpose: a second block running at the same time would be
  // a data race (ThreadSanitizer) or lose an entry.
  std::vector<int> order;
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) queue->async([&order, t, i] { order.push_back(t * 1000 + i); });
    });
  }
  for (auto& thread : submitters) thread.join();
  flush(queue);

  ASSERT_EQ(order.size(), 400u);
  std::vector<int> last(4, -1);
  for (int entry : order) {
    int t = entry / 1000, i = entry % 1000;
    EXPECT_EQ(i, last[t] + 1) << "blocks of one submitter ran out of order";
    last[t] = i;
  }
  queue->async(nullptr);  // ignored
  flush(queue);
}

TEST(DispatchQueueTest, CurrentQueueAndTargetChains) {
  EXPECT_EQ(DispatchQueue::current(), nullptr);
  auto outer = DispatchQueue::create("test.outer");
  auto inner = DispatchQueue::create("test.inner");
  inner->setTarget(outer);
  EXPECT_EQ(inner->target(), outer);

  std::shared_ptr<DispatchQueue> seen;
  bool outerIsCurrent = false, innerIsCurrentOnOuter = true;
  inner->sync([&] {
    seen = DispatchQueue::current();
    outerIsCurrent = outer->isCurrent();
  });
  outer->sync([&] { innerIsCurrentOnOuter = inner->isCurrent(); });
  EXPECT_EQ(seen, inner);
  EXPECT_TRUE(outerIsCurrent);
  EXPECT_FALSE(innerIsCurrentOnOuter);

  // Blocks of queues sharing one serial target never overlap.
  int unguarded = 0;
  auto sibling = DispatchQueue::create("test.sibling");
  sibling->setTarget(outer);
  for (int i = 0; i < 200; ++i) {
    inner->async([&] { ++unguarded; });
    sibling->async([&] { ++unguarded; });
  }
  flush(inner);
  flush(sibling);
  EXPECT_EQ(unguarded, 400);

  LogCapture capture;
  outer->setTarget(inner);  // would close a cycle
  EXPECT_EQ(outer->target(), DispatchQueue::globalBackground());
  DispatchQueue::main()->setTarget(outer);
  EXPECT_EQ(DispatchQueue::main()->target(), nullptr);
  EXPECT_EQ(linesAbout(capture, "\"test.outer\" cannot target \"test.inner\""), 1);
  EXPECT_EQ(linesAbout(capture, "\"main\" runs on its own threads"), 1);
  inner->setTarget(nullptr);
  EXPECT_EQ(inner->target(), DispatchQueue::globalBackground());
}

TEST(DispatchQueueTest, SyncOntoTheRunningQueueRunsInlineAndLogsOnce) {
  auto outer = DispatchQueue::create("test.sync.outer");
  auto inner = DispatchQueue::create("test.sync.inner");
  inner->setTarget(outer);
  LogCapture capture;

  std::vector<std::string> ran;
  outer->sync([&] {
    outer->sync([&] { ran.push_back("outer in outer"); });
    inner->sync([&] {  // inner would wait for outer, which waits here
      ran.push_back("inner in outer");
      EXPECT_EQ(DispatchQueue::current(), inner);
    });
  });
  inner->sync([&] { outer->sync([&] { ran.push_back("outer in inner"); }); });
  EXPECT_EQ(ran, (std::vector<std::string>{"outer in outer", "inner in outer", "outer in inner"}));
  EXPECT_EQ(linesAbout(capture, "\"test.sync.outer\""), 2);
  EXPECT_EQ(linesAbout(capture, "\"test.sync.inner\""), 1);

  // A sync from elsewhere waits, with no line.
  capture.clear();
  auto other = DispatchQueue::create("test.sync.other");
  outer->sync([&] { other->sync([&] { ran.push_back("other"); }); });
  EXPECT_EQ(linesAbout(capture, "\"test.sync."), 0);
}

TEST(DispatchQueueTest, ExceptionsAreCaughtAtTheQueue) {
  auto queue = DispatchQueue::create("test.throwing");
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("sync failure"); }), std::runtime_error);

  LogCapture capture;
  bool after = false;
  queue->async([] { throw std::runtime_error("async failure"); });
  queue->async([] { throw 7; });
  queue->async([&] { after = true; });
  flush(queue);
  EXPECT_TRUE(after);
  EXPECT_EQ(linesAbout(capture, "\"test.throwing\""), 2);
  EXPECT_EQ(linesAbout(capture, "\"test.throwing\": async failure"), 1);
}

TEST(DispatchQueueTest, MainQueueHasItsOwnThread) {
  EXPECT_FALSE(isMainThread());
  auto main = DispatchQueue::main();
  EXPECT_TRUE(main->isSerial());
  bool onMain = false;
  std::shared_ptr<DispatchQueue> current;
  main->sync([&] {
    onMain = isMainThread();
    current = DispatchQueue::current();
  });
  EXPECT_TRUE(onMain);
  EXPECT_EQ(current, main);

  bool onMainViaGlobal = true;
  DispatchQueue::globalBackground()->sync([&] { onMainViaGlobal = isMainThread(); });
  EXPECT_FALSE(onMainViaGlobal);
  auto worker = DispatchQueue::create("test.worker");
  bool onMainViaWorker = true;
  worker->sync([&] { onMainViaWorker = isMainThread(); });
  EXPECT_FALSE(onMainViaWorker);

  // A queue targeting the main queue runs there; a sync back onto main from
  // it must not wait on itself.
  worker->setTarget(main);
  LogCapture capture;
  bool nested = false;
  worker->sync([&] { main->sync([&] { nested = isMainThread(); }); });
  EXPECT_TRUE(nested);
  EXPECT_EQ(linesAbout(capture, "\"main\""), 1);
}

TEST(DispatchQueueTest, GlobalQueueRunsBlocksConcurrently) {
  auto global = DispatchQueue::globalBackground();
  EXPECT_FALSE(global->isSerial());
  // Two blocks that each wait for the other can only finish side by side.
  std::promise<void> firstStarted, secondStarted, bothDone;
  std::atomic<int> done{0};
  auto finish = [&] {
    if (++done == 2) bothDone.set_value();
  };
  auto firstSeen = firstStarted.get_future().share();
  auto secondSeen = secondStarted.get_future().share();
  global->async([&, secondSeen] {
    firstStarted.set_value();
    secondSeen.wait_for(kPatience);
    finish();
  });
  global->async([&, firstSeen] {
    secondStarted.set_value();
    firstSeen.wait_for(kPatience);
    finish();
  });
  auto all = bothDone.get_future();
  ASSERT_TRUE(ready(all));
}

// Far more pool blocks than the pool has threads, each doing `sync` onto
// one of two chained serial queues. In the first round the queues are held
// until every caller is submitted, so the callers fill the pool and wait:
// the queues' own turns must not need a free pool thread. In the second the
// callers mostly find the queues idle and run their blocks themselves.
// Threads started for the queues' turns must not swell the pool beyond its
// limit of 64 blocks at once.
TEST(DispatchQueueTest, SyncCallersFillingThePoolNeverStallTheQueue) {
  constexpr int kCallers = 400;
  constexpr int kPoolLimit = 64;
  struct Round {
    std::shared_ptr<DispatchQueue> outer = DispatchQueue::create("test.crowded.outer");
    std::shared_ptr<DispatchQueue> inner = DispatchQueue::create("test.crowded.inner");
    std::promise<void> gate, allDone;
    std::shared_future<void> gateOpen = gate.get_future().share();
    std::atomic<int> done{0}, overlaps{0}, misplaced{0}, overtaken{0};
    std::atomic<int> callersRunning{0}, mostCallersRunning{0};
    std::atomic<bool> inside{false};
    // Touched only by blocks of the two queues, which never overlap.
    int ran = 0;
    std::vector<bool> marked = std::vector<bool>(kCallers, false);
  };
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "queues held" : "queues idle");
    // Shared with the pool blocks: on a lock-up they outlive this test.
    auto round = std::make_shared<Round>();
    round->inner->setTarget(round->outer);
    if (held) round->outer->async([round] { round->gateOpen.wait_for(kPatience); });
    for (int i = 0; i < kCallers; ++i) {
      DispatchQueue::globalBackground()->async([round, i] {
        Round& r = *round;
        int running = ++r.callersRunning;
        for (int most = r.mostCallersRunning; running > most;) {
          if (r.mostCallersRunning.compare_exchange_weak(most, running)) break;
        }
        const auto& queue = i % 2 ? r.outer : r.inner;
        // Work submitted first runs first, even when the sync is served
        // on this thread.
        queue->async([&r, i] { r.marked[i] = true; });
        queue->sync([&r, &queue, i] {
          if (r.inside.exchange(true)) ++r.overlaps;
          if (DispatchQueue::current() != queue || !r.outer->isCurrent()) ++r.misplaced;
          if (!r.marked[i]) ++r.overtaken;
          ++r.ran;
          r.inside = false;
        });
        --r.callersRunning;
        if (++r.done == kCallers) r.allDone.set_value();
      });
    }
    round->gate.set_value();
    auto allDone = round->allDone.get_future();
    ASSERT_TRUE(ready(allDone)) << round->done << " of " << kCallers << " callers returned";
    flush(round->outer);
    EXPECT_EQ(round->ran, kCallers);
    EXPECT_EQ(round->overlaps.load(), 0);
    EXPECT_EQ(round->misplaced.load(), 0);
    EXPECT_EQ(round->overtaken.load(), 0);
    EXPECT_LE(round->mostCallersRunning.load(), kPoolLimit);
  }
}

// Pool blocks that hold their threads for long (network transfers do, for
// up to a minute) must not hold back the blocks of serial queues.
TEST(DispatchQueueTest, SerialQueueRunsWhileEveryPoolThreadIsHeld) {
  constexpr int kHolders = 100;
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> gateOpen = gate->get_future().share();
  for (int i = 0; i < kHolders; ++i) {
    DispatchQueue::globalBackground()->async([gateOpen] { gateOpen.wait_for(kPatience); });
  }
  auto queue = DispatchQueue::create("test.starved");
  std::promise<void> ran;
  queue->async([&] { ran.set_value(); });
  auto ranFuture = ran.get_future();
  bool served = ready(ranFuture);
  gate->set_value();
  EXPECT_TRUE(served);
  // Whatever the outcome, the block must have run before `ran` goes away.
  flush(queue);
}

// Sync callers on the main thread wait for the queue: blocks of a queue on
// the pool never run on the main thread.
TEST(DispatchQueueTest, SyncFromTheMainThreadRunsOffIt) {
  auto worker = DispatchQueue::create("test.from.main");
  bool onMain = true;
  std::shared_ptr<DispatchQueue> current;
  DispatchQueue::main()->sync([&] {
    worker->sync([&] {
      onMain = isMainThread();
      current = DispatchQueue::current();
    });
  });
  EXPECT_FALSE(onMain);
  EXPECT_EQ(current, worker);
}

TEST(DispatchQueueTest, QueueDroppedWithWorkPendingStillRunsIt) {
  auto queue = DispatchQueue::create("test.dropped");
  std::weak_ptr<DispatchQueue> weak = queue;
  std::promise<void> gate, finished;
  auto gateOpen = gate.get_future().share();
  std::vector<int> ran;
  queue->async([gateOpen, &ran] {
    gateOpen.wait_for(kPatience);
    ran.push_back(1);
  });
  queue->async([&ran, &finished] {
    ran.push_back(2);
    EXPECT_NE(DispatchQueue::current(), nullptr);
    finished.set_value();
  });
  queue.reset();
  EXPECT_FALSE(weak.expired());
  gate.set_value();
  auto done = finished.get_future();
  ASSERT_TRUE(ready(done));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(DispatchQueueTest, DelaysOfEveryKind) {
  EXPECT_EQ(nanosecondsFromSeconds(std::nan("")), 0);
  EXPECT_EQ(nanosecondsFromSeconds(1.5), 1'500'000'000);
  EXPECT_EQ(nanosecondsFromSeconds(1e300), INT64_MAX);
  EXPECT_EQ(nanosecondsFromSeconds(-INFINITY), INT64_MIN);
  EXPECT_EQ(wallTimeAfter(INT64_MAX), kWallTimeForever);
  EXPECT_LT(wallTimeAfter(INT64_MIN), kWallTimeForever);
  WallTime past = wallTimeAfter(-5);
  EXPECT_LE(past, wallTimeNow());

  auto queue = DispatchQueue::create("test.after");
  // NaN, zero and negative delays run at once, in order with async work.
  std::vector<int> ran;
  queue->asyncAfter(std::nan(""), [&] { ran.push_back(1); });
  queue->asyncAfter(0, [&] { ran.push_back(2); });
  queue->asyncAfter(-1e308, [&] { ran.push_back(3); });
  queue->asyncAfter(-INFINITY, [&] { ran.push_back(4); });
  flush(queue);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));

  // Delays beyond the clock never fire: the block is released at once.
  for (double huge : {1e300, std::numeric_limits<double>::infinity(), 9.3e9}) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    DelayedWork work = queue->asyncAfter(huge, [token] { ++*token; });
    token.reset();
    EXPECT_TRUE(watch.expired()) << huge;
    work.cancel();
  }

  // A cancelled delay releases its block; a short one fires.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  DelayedWork pending = queue->asyncAfter(3600, [token] { ++*token; });
  token.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_FALSE(pending.isCancelled());
  pending.cancel();
  EXPECT_TRUE(pending.isCancelled());
  EXPECT_TRUE(watch.expired());
  DelayedWork().cancel();  // an empty handle is harmless

  std::promise<void> fired;
  std::weak_ptr<DispatchQueue> weakQueue = queue;
  queue->asyncAfter(0.002, [&] {
    EXPECT_EQ(DispatchQueue::current(), weakQueue.lock());
    fired.set_value();
  });
  queue.reset();  // the pending delay keeps the queue alive
  auto firedFuture = fired.get_future();
  ASSERT_TRUE(ready(firedFuture));
}

TEST(DispatchTimerTest, OneShotTimerFiresOnItsQueueUnlessCancelledOrDropped) {
  EXPECT_EQ(DispatchTimer::create(nullptr), nullptr);
  auto queue = DispatchQueue::create("test.timer");

  auto timer = DispatchTimer::create(queue);
  ASSERT_NE(timer, nullptr);
  std::promise<void> fired;
  std::atomic<int> fires{0};
  timer->setHandler([&] {
    EXPECT_EQ(DispatchQueue::current(), queue);
    if (++fires == 1) fired.set_value();
  });
  timer->setStart(wallTimeAfter(1'000'000));
  timer->resume();
  timer->resume();
  auto firedFuture = fired.get_future();
  ASSERT_TRUE(ready(firedFuture));
  EXPECT_FALSE(timer->isCancelled());

  // Timers are served in deadline order onto the same queue, so once the
  // later probe has run, an earlier firing would have run before it.
  std::atomic<int> strayFires{0};
  auto cancelled = DispatchTimer::create(queue);
  cancelled->setHandler([&] { ++strayFires; });
  cancelled->setStart(wallTimeAfter(1'000'000));
  cancelled->resume();
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  cancelled->resume();

  auto dropped = DispatchTimer::create(queue);
  dropped->setHandler([&] { ++strayFires; });
  dropped->setStart(wallTimeAfter(1'000'000));
  dropped->resume();
  dropped.reset();

  auto never = DispatchTimer::create(queue);
  never->setHandler([&] { ++strayFires; });
  never->setStart(kWallTimeForever);
  never->resume();

  auto rearmed = DispatchTimer::create(queue);
  rearmed->setHandler([&] { ++strayFires; });
  rearmed->setStart(wallTimeAfter(1'000'000));
  rearmed->resume();
  rearmed->setStart(kWallTimeForever);

  std::promise<void> probe;
  queue->asyncAfter(0.004, [&] { probe.set_value(); });
  auto probeFuture = probe.get_future();
  ASSERT_TRUE(ready(probeFuture));
  flush(queue);
  EXPECT_EQ(strayFires.load(), 0);
  EXPECT_EQ(fires.load(), 1);
}

TEST(DispatchTimerTest, TimerCancelledFromAnotherThreadWhileFiring) {
  // Arming, cancelling and firing race freely; none may touch freed memory
  // or fire after a completed cancel has been observed by the handler.
  auto queue = DispatchQueue::create("test.timer.race");
  std::atomic<int> fires{0};
  for (int round = 0; round < 200; ++round) {
    auto timer = DispatchTimer::create(queue);
    timer->setHandler([&] { ++fires; });
    timer->setStart(wallTimeAfter(round % 3 == 0 ? 0 : 20'000));
    timer->resume();
    std::thread canceller([timer] { timer->cancel(); });
    canceller.join();
    EXPECT_TRUE(timer->isCancelled());
  }
  flush(queue);
  EXPECT_LE(fires.load(), 200);
}

}  // namespace
}  // namespace platform
