// Dispatch queues and timers: the system's stand-in for the platform's
// queue library.
//
// A `DispatchQueue` is either serial (blocks run one at a time, in
// submission order) or the concurrent global background queue (a pool of
// at most 64 threads for its own blocks). A serial queue runs its blocks by
// draining them on its target: another serial queue (so that several queues
// share one order) or, by default, the global background queue. The main
// queue is a serial queue with a thread of its own; `isMainThread()` is true
// on that thread only (the process's first thread is not the "main thread"
// here).
//
// A serial queue never waits for a free pool thread: its turns on the pool
// go ahead of the pool's own blocks and get a thread beyond the limit when
// none is idle. So the pool's threads may all wait in `sync` for one queue,
// or sit in long network transfers, and the queue still runs. Such extra
// threads are few (a queue has at most one turn pending) and leave when idle.
//
// Ownership: queues are held by `std::shared_ptr`. Work that is pending on a
// queue keeps the queue alive, so dropping the last outside reference never
// frees a queue under its own blocks: blocks already submitted still run.
// The main and global queues live for the whole process; work still pending
// on them when the process exits is abandoned.
//
// Every operation may be called from any thread. A block that throws is
// caught at the queue: `async` and timer blocks log the exception through
// `platform::nslog` and the queue goes on; `sync` rethrows it in the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

using DispatchBlock = std::function<void()>;

// True only on the main queue's thread.
bool isMainThread();

// Wall-clock instants in nanoseconds since 1970. Time spent with the machine
// asleep counts, as with the platform's wall-clock timers.
using WallTime = std::int64_t;
// An instant that never comes: timers set to it never fire.
inline constexpr WallTime kWallTimeForever = INT64_MAX;
WallTime wallTimeNow();
// Now plus the delay; `kWallTimeForever` when the sum does not fit, now when
// the delay is not above zero.
WallTime wallTimeAfter(std::int64_t delayNanoseconds);
// Seconds to nanoseconds, saturating (NaN gives 0, huge values INT64_MAX).
std::int64_t nanosecondsFromSeconds(double seconds);

// Handle on one piece of delayed work (`DispatchQueue::asyncAfter`).
// Copies share the work. A default-constructed handle refers to nothing.
class DelayedWork {
 public:
  DelayedWork() = default;
  // Prevents the block from running if it has not started yet. The block
  // and what it captured are released at once while it waits for its time,
  // or when the queue reaches it if it was already handed to the queue. No
  // effect once the block runs.
  void cancel();
  bool isCancelled() const;

 private:
  friend class DispatchQueue;
  struct State;
  std::shared_ptr<State> state_;
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  // A new serial queue targeting the global background queue. Never null.
  static std::shared_ptr<DispatchQueue> create(std::string label);
  // The concurrent global queue of background priority.
  static std::shared_ptr<DispatchQueue> globalBackground();
  // The serial main queue, running on its own thread.
  static std::shared_ptr<DispatchQueue> main();
  // The queue whose block the calling thread is running (the innermost one
  // when queues target each other); null outside any queue.
  static std::shared_ptr<DispatchQueue> current();

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  bool isSerial() const;
  // True when the calling thread runs a block of this queue, directly or
  // through a queue that targets it.
  bool isCurrent() const;

  // Submits the block and returns at once. An empty block is ignored.
  void async(DispatchBlock block);

  // Runs the block on the queue and returns when it has run; its exception,
  // if any, is rethrown here. When the queue and the serial queues it
  // targets are idle and the chain ends at the global queue, the calling
  // thread takes them and runs the block itself (as their current queue;
  // what is submitted meanwhile waits for it), except on the main thread:
  // blocks of a queue on the pool never run there. Otherwise the caller
  // waits for the queue's turn. When the calling thread already runs on this
  // queue, or on a serial queue this one targets, waiting would never end:
  // the block then runs at once on the calling thread and one line is
  // logged through `platform::nslog`. On the global queue the block runs on
  // the calling thread. An empty block is ignored.
  void sync(const DispatchBlock& block);

  // Submits the block once `delaySeconds` have passed on the wall clock. A
  // delay that is NaN or not above zero submits it at once; a delay too
  // large for the clock never fires (the block is released at once). Work
  // pending here keeps the queue alive until it runs or is cancelled.
  DelayedWork asyncAfter(double delaySeconds, DispatchBlock block);

  // Makes `target` run this serial queue's blocks (null: the global
  // background queue). Refused, with a line through `platform::nslog`, on
  // the main and global queues and when it would close a cycle.
  void setTarget(std::shared_ptr<DispatchQueue> target);
  std::shared_ptr<DispatchQueue> target() const;

 private:
  enum class Kind { serial, concurrent };
  // A serial queue's turn on the pool goes in a lane of its own (see top).
  enum class Lane { plain, turn };
  class Executor;
  struct Frame;
  struct Claim;
  DispatchQueue(std::string label, Kind kind, std::shared_ptr<Executor> executor);

  // On the global queue: runs the block on a pool thread.
  void submitToPool(DispatchBlock block, Lane lane);
  void scheduleDrainLocked(std::unique_lock<std::mutex>& lock);
  // `runningOn` is the target the drain was handed to (null on an executor).
  void drain(const DispatchQueue* runningOn);
  // Ends a turn: work submitted meanwhile gets the next one.
  void release();
  // Takes this queue and the serial queues it targets for the calling
  // thread when all are idle and the chain ends at the global queue;
  // answers false otherwise. The claim gives back what it took when it goes.
  bool claimChain(Claim& claim);
  void runBlock(const DispatchBlock& block);
  bool wouldWaitOnItself() const;

  const std::string label_;
  const Kind kind_;
  // Root queues (main, global) run on an executor of their own; every
  // other queue drains on its target.
  const std::shared_ptr<Executor> executor_;
  mutable std::mutex mutex_;
  std::shared_ptr<DispatchQueue> target_;
  struct Pending;
  std::unique_ptr<Pending> pending_;
  // A turn is pending or running: a drain, or a `sync` caller running its
  // block on its own thread. Pending blocks imply a turn.
  bool busy_ = false;
};

// A one-shot timer firing on a queue at a wall-clock instant, with no
// repeat and no leeway. Created suspended: set the instant and the handler,
// then `resume`. After firing it stays live (not cancelled) but never fires
// again unless given a new start. Dropping the last reference before the
// timer fires cancels it; a handler already submitted keeps the timer alive
// until it has run. Thread-safe.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
 public:
  // Null when the queue is null or the timer service cannot run.
  static std::shared_ptr<DispatchTimer> create(std::shared_ptr<DispatchQueue> queue);

  ~DispatchTimer();
  DispatchTimer(const DispatchTimer&) = delete;
  DispatchTimer& operator=(const DispatchTimer&) = delete;

  // The instant of firing; `kWallTimeForever` (the initial value) never
  // fires. Taking a new start re-arms a resumed timer.
  void setStart(WallTime start);
  void setHandler(DispatchBlock handler);
  // Starts the timer; a second call, or a call after `cancel`, does nothing.
  void resume();
  // Stops the timer for good: a handler that has not started will not run.
  void cancel();
  bool isCancelled() const;

 private:
  explicit DispatchTimer(std::shared_ptr<DispatchQueue> queue);
  void armLocked();
  void disarmLocked();
  void fire(std::uint64_t generation);

  const std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
  DispatchBlock handler_;
  WallTime start_ = kWallTimeForever;
  bool resumed_ = false;
  bool cancelled_ = false;
  // Entry in the timer service of the pending arming (0: none).
  std::uint64_t serviceKey_ = 0;
  // Bumped at every arming and disarming, so that a firing already handed
  // to the queue for an older arming is recognised and dropped.
  std::uint64_t generation_ = 0;
};

}  // namespace platform
