// `APMConditionalUserProperty`: one conditional user property as the
// controller evaluates it and the database stores it: a user property
// (`name`, `origin`, `value`) that becomes active when its trigger event is
// logged within `triggerTimeout` of its creation, and then lives for
// `timeToLive`; the three events are logged when it triggers, times out or
// expires.
//
// A plain record: made empty, filled through its setters, copied by value
// (the copy shares the immutable events and the value's boxed object). It
// takes no lock; one thread at a time may change a given record, any number
// may read an unchanging one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "measurement/engine/event.h"
#include "measurement/engine/value.h"

class APMConditionalUserProperty {
 public:
  APMConditionalUserProperty() = default;

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }

  // Who set the property ("app", "auto" and the like).
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }

  // nullopt until set.
  const std::optional<APMValue>& value() const { return value_; }
  void setValue(std::optional<APMValue> value) { value_ = std::move(value); }

  // Empty when the property has no trigger event.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }

  // Seconds after creation within which the trigger event must be logged.
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }

  // Seconds the property stays active once triggered.
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }

  // The events to log on triggering, time-out and expiry; null when none.
  const std::shared_ptr<APMEvent>& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(std::shared_ptr<APMEvent> event) { triggeredEvent_ = std::move(event); }
  const std::shared_ptr<APMEvent>& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(std::shared_ptr<APMEvent> event) { timedOutEvent_ = std::move(event); }
  const std::shared_ptr<APMEvent>& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(std::shared_ptr<APMEvent> event) { expiredEvent_ = std::move(event); }

  // Seconds since 1970.
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

  // YES once triggered, until it expires.
  bool isActive() const { return active_; }
  void setActive(bool active) { active_ = active; }

 private:
  std::string name_;
  std::string origin_;
  std::optional<APMValue> value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  std::shared_ptr<APMEvent> triggeredEvent_;
  std::shared_ptr<APMEvent> timedOutEvent_;
  std::shared_ptr<APMEvent> expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
  bool active_ = false;
};
