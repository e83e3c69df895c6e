#include "platform/dispatch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/log.h"
#include "platform/numbers.h"

namespace platform {

namespace {

thread_local bool onMainThread = false;

// Target chains are short; the bound only stops a walk over a chain that a
// concurrent setTarget is rewiring.
constexpr int kMaxTargetDepth = 64;

// A serial queue hands its drain back to the target after this many blocks,
// so that queues sharing one target take turns.
constexpr int kDrainBatch = 16;

// Serial levels that a `sync` caller may take to run its block itself;
// deeper chains wait for their turn like any other caller.
constexpr int kMaxClaimDepth = 8;

void logUncaught(const std::string& label, const char* what) {
  nslog("Uncaught exception in a block on dispatch queue \"" + label + "\": " + what);
}

// One thread waiting on the earliest wall-clock deadline of every delayed
// block and timer; at a deadline it only submits work to a queue, so a slow
// block never delays another queue's timer.
class TimerService {
 public:
  static TimerService& instance() {
    // Never destroyed: its thread may outlive every static destructor.
    static TimerService* service = new TimerService();
    return *service;
  }

  bool available() {
    std::lock_guard<std::mutex> lock(mutex_);
    return startLocked();
  }

  // The key of the new entry; 0 when the service thread cannot run.
  std::uint64_t add(WallTime at, DispatchBlock fire) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!startLocked()) return 0;
    std::uint64_t key = nextKey_++;
    bool earliest = entries_.empty() || at < entries_.begin()->first.first;
    entries_.emplace(std::make_pair(at, key), std::move(fire));
    deadlines_.emplace(key, at);
    if (earliest) wake_.notify_one();
    return key;
  }

  void remove(std::uint64_t key) {
    DispatchBlock dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = deadlines_.find(key);
    if (found == deadlines_.end()) return;
    auto entry = entries_.find(std::make_pair(found->second, key));
    dropped = std::move(entry->second);
    entries_.erase(entry);
    deadlines_.erase(found);
    // `dropped`, declared before the lock, dies after its release: what it
    // captured may hold the last reference to something that calls back.
  }

 private:
  bool startLocked() {
    if (started_) return true;
    try {
      std::thread([this] { run(); }).detach();
      started_ = true;
    } catch (const std::exception& e) {
      nslog(std::string("Dispatch timer thread could not start: ") + e.what());
    }
    return started_;
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (entries_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = entries_.begin();
      WallTime now = wallTimeNow();
      if (first->first.first <= now) {
        DispatchBlock fire = std::move(first->second);
        deadlines_.erase(first->first.second);
        entries_.erase(first);
        lock.unlock();
        try {
          fire();
        } catch (const std::exception& e) {
          logUncaught("timer service", e.what());
        }
        fire = nullptr;
        lock.lock();
        continue;
      }
      // Waits are cut into short slices because the wait itself runs on a
      // monotonic clock: a change of the wall clock (or a sleep) is noticed
      // at the next slice.
      std::int64_t wait = std::min<std::int64_t>(first->first.first - now, 1'000'000'000);
      wake_.wait_for(lock, std::chrono::nanoseconds(wait));
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::pair<WallTime, std::uint64_t>, DispatchBlock> entries_;
  std::unordered_map<std::uint64_t, WallTime> deadlines_;
  std::uint64_t nextKey_ = 1;
  bool started_ = false;
};

}  // namespace

bool isMainThread() { return onMainThread; }

WallTime wallTimeNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

WallTime wallTimeAfter(std::int64_t delayNanoseconds) {
  WallTime now = wallTimeNow();
  if (delayNanoseconds <= 0) return now;
  if (now > 0 && delayNanoseconds >= kWallTimeForever - now) return kWallTimeForever;
  return now + delayNanoseconds;
}

std::int64_t nanosecondsFromSeconds(double seconds) {
  return saturatingCast<std::int64_t>(seconds * 1e9);
}

// ---------------------------------------------------------------------------
// Threads of the root queues.

// A pool of threads that grows when work finds no idle thread; threads above
// `keepThreads` leave after a while without work. At most `maxThreads` plain
// jobs run at once. Turns of serial queues go in a lane of their own that
// idle threads serve first and that starts a thread beyond the limit when
// none is idle: the plain jobs may all be waiting for such a turn (in
// `sync`), and a turn queued behind them would never come. A queue has at
// most one turn pending, so those extra threads stay few.
class DispatchQueue::Executor {
 public:
  Executor(unsigned maxThreads, unsigned keepThreads, bool mainThread)
      : maxThreads_(maxThreads), keepThreads_(keepThreads), mainThread_(mainThread) {}

  void submit(DispatchBlock job, Lane lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool turn = lane == Lane::turn;
    (turn ? turns_ : jobs_).push_back(std::move(job));
    std::size_t plainSlots = maxThreads_ - plainRunning_;
    // Beyond the limit a plain job waits for a running one to hand over.
    if (!turn && jobs_.size() > plainSlots) return;
    // Every queued job that may start now needs a thread of its own: an
    // idle one (already woken or not) or a new one.
    if (idle_ >= turns_.size() + std::min(jobs_.size(), plainSlots)) {
      wake_.notify_one();
      return;
    }
    try {
      std::thread([this] { work(); }).detach();
      ++threads_;
    } catch (const std::exception& e) {
      // The job stays queued for the threads there are (or the next start).
      nslog(std::string("Dispatch worker thread could not start: ") + e.what());
    }
  }

 private:
  // A thread that has just run a plain job hands its slot to the next one
  // (which may have been queued while every slot was taken); any other
  // thread serves turns first.
  std::deque<DispatchBlock>* nextLaneLocked(bool afterPlain) {
    bool plainReady = !jobs_.empty() && plainRunning_ < maxThreads_;
    if (afterPlain && plainReady) return &jobs_;
    if (!turns_.empty()) return &turns_;
    return plainReady ? &jobs_ : nullptr;
  }

  void work() {
    onMainThread = mainThread_;
    std::unique_lock<std::mutex> lock(mutex_);
    bool ranPlain = false;
    for (;;) {
      std::deque<DispatchBlock>* lane = nextLaneLocked(ranPlain);
      if (!lane) {
        ++idle_;
        bool timedOut = wake_.wait_for(lock, std::chrono::seconds(10)) == std::cv_status::timeout;
        --idle_;
        ranPlain = false;
        if (timedOut && threads_ > keepThreads_ && !nextLaneLocked(false)) {
          --threads_;
          return;
        }
        continue;
      }
      ranPlain = lane == &jobs_;
      DispatchBlock job = std::move(lane->front());
      lane->pop_front();
      plainRunning_ += ranPlain;
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      plainRunning_ -= ranPlain;
    }
  }

  const unsigned maxThreads_;
  const unsigned keepThreads_;
  const bool mainThread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<DispatchBlock> turns_;
  std::deque<DispatchBlock> jobs_;
  unsigned threads_ = 0;
  unsigned idle_ = 0;
  unsigned plainRunning_ = 0;
};

// ---------------------------------------------------------------------------
// Which queues the calling thread runs on: one frame per queue, innermost
// last, kept on the stack of the code that runs the queue's blocks.

struct DispatchQueue::Frame {
  explicit Frame(DispatchQueue* queue) : queue(queue), outer(innermost) { innermost = this; }
  ~Frame() { innermost = outer; }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  static bool contains(const DispatchQueue* queue) {
    for (const Frame* frame = innermost; frame; frame = frame->outer) {
      if (frame->queue == queue) return true;
    }
    return false;
  }

  DispatchQueue* const queue;
  Frame* const outer;
  static thread_local Frame* innermost;
};

thread_local DispatchQueue::Frame* DispatchQueue::Frame::innermost = nullptr;

struct DispatchQueue::Pending {
  std::deque<DispatchBlock> blocks;
};

// The queues a `sync` caller took, innermost first, and the pool queue that
// ends their chain. Gives them up when it goes, innermost first, so that a
// turn an inner queue hands to an outer one is seen when the outer is
// given up.
struct DispatchQueue::Claim {
  Claim() = default;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim() {
    for (int level = 0; level < count; ++level) queues[level]->release();
  }

  // Runs the block with a frame for each queue, outermost first, as a
  // drain would.
  void run(const DispatchBlock& block, int level) const {
    if (level < 0) {
      block();
      return;
    }
    Frame frame(queues[level].get());
    run(block, level - 1);
  }

  std::array<std::shared_ptr<DispatchQueue>, kMaxClaimDepth> queues;
  int count = 0;
  std::shared_ptr<DispatchQueue> pool;
};

struct DelayedWork::State {
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::uint64_t serviceKey = 0;
};

// ---------------------------------------------------------------------------
// Queues.

DispatchQueue::DispatchQueue(std::string label, Kind kind, std::shared_ptr<Executor> executor)
    : label_(std::move(label)),
      kind_(kind),
      executor_(std::move(executor)),
      pending_(std::make_unique<Pending>()) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label) {
  std::shared_ptr<DispatchQueue> queue(new DispatchQueue(std::move(label), Kind::serial, nullptr));
  queue->target_ = globalBackground();
  return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::globalBackground() {
  // Never destroyed, like its threads (see the header).
  static auto* queue = new std::shared_ptr<DispatchQueue>(new DispatchQueue(
      "global.background", Kind::concurrent, std::make_shared<Executor>(64, 2, false)));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(
      new DispatchQueue("main", Kind::serial, std::make_shared<Executor>(1, 1, true)));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
  Frame* frame = Frame::innermost;
  return frame ? frame->queue->weak_from_this().lock() : nullptr;
}

bool DispatchQueue::isSerial() const { return kind_ == Kind::serial; }

bool DispatchQueue::isCurrent() const { return Frame::contains(this); }

void DispatchQueue::runBlock(const DispatchBlock& block) {
  try {
    block();
  } catch (const std::exception& e) {
    logUncaught(label_, e.what());
  } catch (...) {
    logUncaught(label_, "unknown exception");
  }
}

void DispatchQueue::async(DispatchBlock block) {
  if (!block) return;
  if (kind_ == Kind::concurrent) {
    submitToPool(std::move(block), Lane::plain);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  pending_->blocks.push_back(std::move(block));
  if (!busy_) {
    busy_ = true;
    scheduleDrainLocked(lock);
  }
}

void DispatchQueue::submitToPool(DispatchBlock block, Lane lane) {
  executor_->submit(
      [self = shared_from_this(), block = std::move(block)] {
        Frame frame(self.get());
        self->runBlock(block);
      },
      lane);
}

void DispatchQueue::scheduleDrainLocked(std::unique_lock<std::mutex>& lock) {
  // The drain job holds the queue: pending blocks keep it alive.
  if (executor_) {
    lock.unlock();
    // The main queue's one thread: never more threads, so a plain job.
    executor_->submit([self = shared_from_this()] { self->drain(nullptr); }, Lane::plain);
    return;
  }
  std::shared_ptr<DispatchQueue> target = target_;
  lock.unlock();
  DispatchBlock turn = [self = shared_from_this(), on = target.get()] { self->drain(on); };
  if (target->kind_ == Kind::concurrent) {
    target->submitToPool(std::move(turn), Lane::turn);
  } else {
    target->async(std::move(turn));
  }
}

void DispatchQueue::release() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pending_->blocks.empty()) {
    busy_ = false;
    return;
  }
  scheduleDrainLocked(lock);
}

bool DispatchQueue::claimChain(Claim& claim) {
  std::shared_ptr<DispatchQueue> queue = shared_from_this();
  while (queue->kind_ == Kind::serial) {
    // The main queue runs its blocks on its own thread only.
    if (queue->executor_ || claim.count == kMaxClaimDepth) return false;
    std::shared_ptr<DispatchQueue> next;
    {
      std::lock_guard<std::mutex> lock(queue->mutex_);
      if (queue->busy_) return false;
      queue->busy_ = true;
      next = queue->target_;
    }
    claim.queues[claim.count++] = std::move(queue);
    queue = std::move(next);
  }
  claim.pool = std::move(queue);
  return true;
}

void DispatchQueue::drain(const DispatchQueue* runningOn) {
  Frame frame(this);
  for (int ran = 0; ran < kDrainBatch; ++ran) {
    DispatchBlock block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (pending_->blocks.empty()) {
        busy_ = false;
        return;
      }
      // A new target takes over at the next block: blocks submitted after
      // setTarget returns never run on the old one.
      if (runningOn && target_.get() != runningOn) {
        scheduleDrainLocked(lock);
        return;
      }
      block = std::move(pending_->blocks.front());
      pending_->blocks.pop_front();
    }
    runBlock(block);
  }
  release();
}

bool DispatchQueue::wouldWaitOnItself() const {
  std::shared_ptr<const DispatchQueue> queue = shared_from_this();
  for (int depth = 0; queue && depth < kMaxTargetDepth; ++depth) {
    if (queue->kind_ == Kind::serial && Frame::contains(queue.get())) return true;
    std::lock_guard<std::mutex> lock(queue->mutex_);
    queue = queue->target_;
  }
  return false;
}

void DispatchQueue::sync(const DispatchBlock& block) {
  if (!block) return;
  if (kind_ == Kind::concurrent) {
    Frame frame(this);
    block();
    return;
  }
  if (wouldWaitOnItself()) {
    nslog("Dispatch sync onto queue \"" + label_ +
          "\" from a block already running on it: the block runs inline instead of deadlocking");
    Frame frame(this);
    block();
    return;
  }
  if (!isMainThread()) {
    Claim claim;
    if (claimChain(claim)) {
      Frame poolFrame(claim.pool.get());
      claim.run(block, claim.count - 1);
      return;
    }
  }
  struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;
  } waiter;
  // The caller waits below until `finished`, so the references stay valid.
  async([&waiter, &block] {
    try {
      block();
    } catch (...) {
      waiter.error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.finished = true;
    waiter.done.notify_one();
  });
  std::unique_lock<std::mutex> lock(waiter.mutex);
  waiter.done.wait(lock, [&waiter] { return waiter.finished; });
  if (waiter.error) std::rethrow_exception(waiter.error);
}

DelayedWork DispatchQueue::asyncAfter(double delaySeconds, DispatchBlock block) {
  DelayedWork handle;
  if (!block) return handle;
  auto state = std::make_shared<DelayedWork::State>();
  handle.state_ = state;
  auto guarded = [state, block = std::move(block)] {
    if (!state->cancelled.load()) block();
  };
  std::int64_t delay = nanosecondsFromSeconds(delaySeconds);
  if (delay <= 0) {
    async(std::move(guarded));
    return handle;
  }
  WallTime at = wallTimeAfter(delay);
  if (at == kWallTimeForever) return handle;
  std::uint64_t key = TimerService::instance().add(
      at, [self = shared_from_this(), guarded = std::move(guarded)]() mutable {
        self->async(std::move(guarded));
      });
  if (key == 0) return handle;
  bool cancelledMeanwhile;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    cancelledMeanwhile = state->cancelled.load();
    if (!cancelledMeanwhile) state->serviceKey = key;
  }
  if (cancelledMeanwhile) TimerService::instance().remove(key);
  return handle;
}

void DispatchQueue::setTarget(std::shared_ptr<DispatchQueue> target) {
  if (executor_ || kind_ == Kind::concurrent) {
    nslog("Dispatch queue \"" + label_ + "\" runs on its own threads and takes no target");
    return;
  }
  if (!target) target = globalBackground();
  std::shared_ptr<DispatchQueue> queue = target;
  for (int depth = 0; queue; ++depth) {
    if (queue.get() == this || depth >= kMaxTargetDepth) {
      nslog("Dispatch queue \"" + label_ + "\" cannot target \"" + target->label_ +
            "\": the targets would form a cycle");
      return;
    }
    queue = queue->target();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = std::move(target);
}

std::shared_ptr<DispatchQueue> DispatchQueue::target() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return target_;
}

void DelayedWork::cancel() {
  if (!state_) return;
  std::uint64_t key;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->cancelled.store(true);
    key = std::exchange(state_->serviceKey, 0);
  }
  if (key != 0) TimerService::instance().remove(key);
}

bool DelayedWork::isCancelled() const { return state_ && state_->cancelled.load(); }

// ---------------------------------------------------------------------------
// Timers.

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

std::shared_ptr<DispatchTimer> DispatchTimer::create(std::shared_ptr<DispatchQueue> queue) {
  if (!queue || !TimerService::instance().available()) return nullptr;
  return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue)));
}

DispatchTimer::~DispatchTimer() {
  std::lock_guard<std::mutex> lock(mutex_);
  disarmLocked();
}

void DispatchTimer::armLocked() {
  if (start_ == kWallTimeForever) return;
  std::uint64_t generation = ++generation_;
  // The service holds the timer weakly: a timer nobody holds any more
  // simply never fires. The firing holds it strongly until it has run.
  serviceKey_ = TimerService::instance().add(
      start_, [weak = weak_from_this(), generation] {
        if (auto timer = weak.lock()) {
          timer->queue_->async([timer, generation] { timer->fire(generation); });
        }
      });
}

void DispatchTimer::disarmLocked() {
  ++generation_;
  if (serviceKey_ != 0) TimerService::instance().remove(std::exchange(serviceKey_, 0));
}

void DispatchTimer::fire(std::uint64_t generation) {
  DispatchBlock handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || generation != generation_) return;
    serviceKey_ = 0;
    handler = handler_;
  }
  if (handler) handler();
}

void DispatchTimer::setStart(WallTime start) {
  std::lock_guard<std::mutex> lock(mutex_);
  start_ = start;
  if (resumed_ && !cancelled_) {
    disarmLocked();
    armLocked();
  }
}

void DispatchTimer::setHandler(DispatchBlock handler) {
  // The old handler dies with the parameter, after the lock is released.
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(handler_, handler);
}

void DispatchTimer::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (resumed_ || cancelled_) return;
  resumed_ = true;
  armLocked();
}

void DispatchTimer::cancel() {
  DispatchBlock dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    disarmLocked();
    dropped = std::move(handler_);
  }
}

bool DispatchTimer::isCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

}  // namespace platform
