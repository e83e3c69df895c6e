// APMAlarm: a named one-shot timer on a dispatch queue.
//
// Arming the alarm cancels the pending arming, so at most one is ever
// pending. When it fires, the alarm first becomes idle and then runs the
// block on its queue; the block may arm the alarm again. Every step is
// logged to the measurement monitor with the alarm's name as prefix
// (codes 2000-2004). Timers run on the wall clock, so time spent asleep
// counts towards the delay; the scheduled timestamp is read from
// `platform::Clock::current()`.
//
// Thread-safety: arming, cancelling and firing may happen on any threads;
// the state is guarded inside, and the guard is never held while logging or
// running a block. The alarm holds its queue. Destroying the alarm cancels
// it: a pending firing is dropped, and a block already running finishes
// without touching the destroyed alarm's memory.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"

class APMAlarm {
 public:
  using Block = std::function<void()>;

  // An idle alarm firing on `queue`; an empty name becomes "Timer". A null
  // queue gives an alarm whose armings never fire.
  APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, const std::string& name);
  // Cancels the pending arming (logging as `cancel` does).
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Arms the alarm to run `block` after `delay` seconds, replacing the
  // pending arming. A delay that is NaN or not above zero fires as soon as
  // the queue runs it; a delay too large for the wall clock never fires. An
  // empty block logs 2000 and changes nothing. When no timer can be made,
  // the alarm counts as armed but never fires.
  void runAfterDelay(double delay, Block block);

  // Disarms the pending arming; an idle alarm stays silent.
  void cancel();

  // Whether the latest arming has a timer that is not cancelled.
  bool hasActiveTimer() const;
  // When the pending arming fires (seconds since 1970); none when idle.
  std::optional<double> scheduledTimestamp() const;

  const std::string& name() const;
  std::shared_ptr<platform::DispatchQueue> queue() const;

 private:
  struct State;
  const std::shared_ptr<State> state_;
};
