#include "measurement/storage/system/alarm.h"

#include <cmath>
#include <mutex>
#include <utility>

#include "measurement/engine/monitor.h"
#include "platform/clock.h"

// Shared with the timer handlers (weakly), so that a handler outliving the
// alarm finds nothing rather than freed memory.
struct APMAlarm::State {
  State(std::shared_ptr<platform::DispatchQueue> queue, std::string name)
      : queue(std::move(queue)), name(std::move(name)) {}

  void log(long level, long code, const char* suffix) const {
    APMMeasurement::monitor()->logWithLevel(level, code, name + suffix);
  }

  // Ends the pending arming under the lock; answers whether there was one
  // and, through the arguments, whether its timer was live and the timer to
  // cancel once the lock is released. A pending firing of the ended arming
  // finds its generation gone and does nothing.
  bool disarmLocked(bool& wasActive, std::shared_ptr<platform::DispatchTimer>& toCancel) {
    if (!scheduledTimestamp) return false;
    wasActive = timer && timerActive;
    if (wasActive) toCancel = timer;
    timerActive = false;
    scheduledTimestamp.reset();
    ++generation;
    return true;
  }

  void logCancelled(bool wasActive) const {
    log(7, 2003, " canceled");
    if (!wasActive) log(4, 2004, " is not active");
  }

  void cancel() {
    bool wasActive = false;
    std::shared_ptr<platform::DispatchTimer> toCancel;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!disarmLocked(wasActive, toCancel)) return;
    }
    // The cancelled timer releases its handler (and the block it holds)
    // here, outside the lock: what the block captured may call back.
    if (toCancel) toCancel->cancel();
    logCancelled(wasActive);
  }

  void fire(std::uint64_t firing, const Block& block) {
    bool wasActive = false;
    std::shared_ptr<platform::DispatchTimer> toCancel;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (firing != generation || !disarmLocked(wasActive, toCancel)) return;
    }
    if (toCancel) toCancel->cancel();
    log(7, 2001, " fired");
    logCancelled(wasActive);
    block();
  }

  const std::shared_ptr<platform::DispatchQueue> queue;
  const std::string name;
  mutable std::mutex mutex;
  // The timer of the latest arming; kept, cancelled, until the next arming.
  std::shared_ptr<platform::DispatchTimer> timer;
  bool timerActive = false;
  std::optional<double> scheduledTimestamp;
  // Names the current arming.
  std::uint64_t generation = 0;
};

APMAlarm::APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, const std::string& name)
    : state_(std::make_shared<State>(std::move(queue), name.empty() ? "Timer" : name)) {}

APMAlarm::~APMAlarm() { state_->cancel(); }

void APMAlarm::runAfterDelay(double delay, Block block) {
  if (!block) {
    state_->log(1, 2000, " tried to schedule an empty block");
    return;
  }
  // A NaN delay fires at once, so it is scheduled for now.
  double now = platform::Clock::current()->now();
  double fireAt = std::isnan(delay) ? now : now + delay;
  platform::WallTime start = platform::wallTimeAfter(platform::nanosecondsFromSeconds(delay));
  std::shared_ptr<platform::DispatchTimer> timer = platform::DispatchTimer::create(state_->queue);

  bool replaced, wasActive = false;
  std::shared_ptr<platform::DispatchTimer> toCancel;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    replaced = state_->disarmLocked(wasActive, toCancel);
    std::uint64_t firing = ++state_->generation;
    state_->scheduledTimestamp = fireAt;
    if (timer) {
      timer->setStart(start);
      timer->setHandler([weak = std::weak_ptr<State>(state_), firing, block = std::move(block)] {
        if (auto state = weak.lock()) state->fire(firing, block);
      });
    }
    state_->timer = timer;
    state_->timerActive = timer != nullptr;
  }
  if (toCancel) toCancel->cancel();
  if (replaced) state_->logCancelled(wasActive);
  APMMeasurement::monitor()->logWithLevel(7, 2002, state_->name + " scheduled to fire in approx. (s)",
                                          platform::Object(delay));
  // Resumed only now, so that 2002 is logged before the firing can start.
  // If another thread has replaced this arming meanwhile, the timer is
  // cancelled and stays silent.
  if (timer) timer->resume();
}

void APMAlarm::cancel() { state_->cancel(); }

bool APMAlarm::hasActiveTimer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timer && state_->timerActive;
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->scheduledTimestamp;
}

const std::string& APMAlarm::name() const { return state_->name; }

std::shared_ptr<platform::DispatchQueue> APMAlarm::queue() const { return state_->queue; }
