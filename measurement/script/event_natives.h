// `APMPEventNativeFunctions`: the object an editing callback receives as its
// only argument, one per handled event. It is a map (scripts may set
// properties on it) whose methods read and write the output event of the
// editor's context:
//
//   getEventName()            the name
//   getParamValue(name)       the parameter's value, null when absent
//   getParams()               a new map of every parameter
//   getTimestamp()            the timestamp
//   setEventName(name)        renames (null and undefined: error 10)
//   setParamValue(name, v)    stores v normalised by the current value's
//                             kind; null removes, undefined stores ""
//
// Any other method name is handled as for a map. Arguments are evaluated in
// the caller's scope; a wrong count is error 9. What the setters copy into
// the event is paid for before it is made (`APMPKeptCopies`): error 18, the
// event unchanged, past the work budget or the memory bound.
//
// It is tracked by the object manager of the scope it is made in, so a
// script that keeps it (in a global, or in a cycle through its own
// properties) cannot make it outlive its reachability. It holds the context
// shared, which holds no script values. The editor's thread only.
#pragma once

#include <memory>

#include "measurement/script/event_context.h"
#include "measurement/script/runtime_value.h"

class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext)
      : eventContext_(std::move(eventContext)) {}
  // A new object over `eventContext`, tracked in `scope`'s chain.
  static APMPRef<APMPEventNativeFunctions> make(std::shared_ptr<APMPEventContext> eventContext, APMPScope& scope);

  APMPEventContext& eventContext() const noexcept { return *eventContext_; }

  APMPRuntimeValue applyWithName(std::u16string_view name, std::span<const APMPRuntimeValue> arguments,
                                 APMPScope& scope, platform::ErrorRef& error) override;

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
};
