#include "platform/clock.h"

#include <chrono>
#include <utility>

namespace platform {

namespace {
std::mutex currentMutex;

std::shared_ptr<Clock>& currentSlot() {
  // Never destroyed: clocks may be read by threads that outlive statics.
  static auto* slot = new std::shared_ptr<Clock>(Clock::system());
  return *slot;
}
}  // namespace

std::shared_ptr<Clock> Clock::system() {
  static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *clock;
}

std::shared_ptr<Clock> Clock::current() {
  std::lock_guard<std::mutex> lock(currentMutex);
  return currentSlot();
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
  if (!clock) clock = system();
  std::lock_guard<std::mutex> lock(currentMutex);
  // The replaced clock is released after the lock, with the parameter.
  std::swap(currentSlot(), clock);
}

double SystemClock::now() const {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

double ManualClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void ManualClock::set(double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = now;
}

void ManualClock::advance(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += seconds;
}

ScopedCurrentClock::ScopedCurrentClock(std::shared_ptr<Clock> clock) : previous_(Clock::current()) {
  Clock::setCurrent(std::move(clock));
}

ScopedCurrentClock::~ScopedCurrentClock() { Clock::setCurrent(std::move(previous_)); }

}  // namespace platform
