// The two modules every event editor registers:
//
// - "internal.registerCallback" (`APMPRegisterCallbackNativeFunctionValue`):
//   called with a rule name (unused), a callback function and an options map
//   holding "type" ("edit" or "create") and optionally "priority" (a number,
//   converted to 32 bits; 1000 when absent). A missing "type" is editing
//   error 2; the handler's own errors (3, 4) pass up.
// - "internal.eventLogger" (`APMPEventLogger`): called with an event name, a
//   timestamp (a whole number) and a parameter map; appends a new event to
//   the context's created events. Null parameters are left out. The event
//   is paid for before it is made (`APMPKeptCopies`): error 18 past the
//   work budget or the memory bound.
//
// Both answer undefined; a wrong argument count is script error 9, a wrong
// argument kind error 10, and a failing conversion creates or registers
// nothing. The register function holds its handler weakly (the handler holds
// the callbacks, which can reach this function), the logger holds its
// context shared (the context holds no script values). The editor's thread
// only.
#pragma once

#include <memory>

#include "measurement/script/callback_handler.h"
#include "measurement/script/event_context.h"
#include "measurement/script/runtime_value.h"

class APMPRegisterCallbackNativeFunctionValue final : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(std::weak_ptr<APMPEditingCallbackHandler> callbackHandler)
      : APMPFunctionValue(u"internal.registerCallback"), callbackHandler_(std::move(callbackHandler)) {}

  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;

 private:
  const std::weak_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

class APMPEventLogger final : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext)
      : APMPFunctionValue(u"internal.eventLogger"), eventContext_(std::move(eventContext)) {}

  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
};
