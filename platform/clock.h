// Clocks: where the system reads the time of day.
//
// Times are `double` seconds since 1970. Code that stamps or compares times
// asks `Clock::current()`, which is the system clock unless a test installs
// a `ManualClock` with `Clock::setCurrent`. Timers do not read this clock:
// they run on the real wall clock (platform/dispatch.h).
//
// All clocks and the current-clock switch may be used from any thread.
#pragma once

#include <memory>
#include <mutex>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970.
  virtual double now() const = 0;

  // The process-wide clock; never null.
  static std::shared_ptr<Clock> current();
  // Installs `clock` as the current clock; null restores the system clock.
  static void setCurrent(std::shared_ptr<Clock> clock);
  // The real time of day.
  static std::shared_ptr<Clock> system();
};

class SystemClock final : public Clock {
 public:
  double now() const override;
};

// A clock that moves only when told; for tests.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(double now = 0) : now_(now) {}
  double now() const override;
  void set(double now);
  void advance(double seconds);

 private:
  mutable std::mutex mutex_;
  double now_;
};

// Installs a clock as the current one for as long as it lives and then
// puts back the one it replaced; for tests.
class ScopedCurrentClock {
 public:
  explicit ScopedCurrentClock(std::shared_ptr<Clock> clock);
  ~ScopedCurrentClock();
  ScopedCurrentClock(const ScopedCurrentClock&) = delete;
  ScopedCurrentClock& operator=(const ScopedCurrentClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace platform
