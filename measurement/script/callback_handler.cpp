#include "measurement/script/callback_handler.h"

#include <algorithm>

#include "measurement/script/editing_error.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/event_natives.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

// The result codes with which an edit callback discards its edit.
static constexpr int32_t kDiscardCode = 2;
static constexpr int32_t kNoCode = -1;

bool APMPEditingCallbackHandler::registerWithPriority(int64_t priority, const Value& callback,
                                                      std::u16string_view ruleType, ErrorRef& error) {
  if (callbackCount() >= kMaxCallbacks) {
    APMPSetEditingError(error, kAPMPEditingErrorTooManyCallbacks);
    return false;
  }
  CallbackList* list = ruleType == u"create" ? &creates_ : ruleType == u"edit" ? &edits_ : nullptr;
  if (!list) {
    APMPSetEditingError(error, kAPMPEditingErrorUnknownRuleType);
    return false;
  }
  if (triggering_) {
    pending_.push_back(Pending{list, Callback{priority, callback}});
  } else {
    addCallback(*list, Callback{priority, callback});
  }
  return true;
}

void APMPEditingCallbackHandler::addCallback(CallbackList& list, Callback callback) {
  auto at = std::lower_bound(list.begin(), list.end(), callback.priority,
                             [](const Callback& held, int64_t priority) { return held.priority < priority; });
  if (at != list.end() && at->priority == callback.priority) {
    callback.priority = list.back().priority + 1;
    at = list.end();
  }
  list.insert(at, std::move(callback));
}

std::vector<int64_t> APMPEditingCallbackHandler::priorities(const CallbackList& list) {
  std::vector<int64_t> answer;
  answer.reserve(list.size());
  for (const Callback& callback : list) answer.push_back(callback.priority);
  return answer;
}

int32_t APMPEditingCallbackHandler::invokeCallback(APMPScope& scope, const Value& callback, const Value& eventHandler,
                                                   ErrorRef& error) {
  APMPFunctionValue* function = callback.asFunction();
  if (!function) return kNoCode;
  const Value result = APMPRunWithinMemory(
      scope, error, [&] { return function->invokeWithArguments({&eventHandler, 1}, scope, error); });
  if (error) return kDiscardCode;
  if (result.isNumber()) return APMPToInt32(result.numberValue());
  return kNoCode;
}

bool APMPEditingCallbackHandler::triggerCallbacks(APMPScope& scope, const std::shared_ptr<APMPEventContext>& context,
                                                  ErrorRef& error) {
  struct Walk {
    APMPEditingCallbackHandler& handler;
    explicit Walk(APMPEditingCallbackHandler& h) : handler(h) { handler.triggering_ = true; }
    ~Walk() {
      handler.triggering_ = false;
      for (Pending& pending : handler.pending_) addCallback(*pending.list, std::move(pending.callback));
      handler.pending_.clear();
    }
  } walk(*this);

  const Value eventHandler(APMPEventNativeFunctions::make(context, scope));
  for (const Callback& callback : edits_) {
    context->beginEdit();
    const int32_t code = invokeCallback(scope, callback.function, eventHandler, error);
    if (error || code == kDiscardCode || code == kNoCode) context->discardEdit();
    if (error) return false;
  }
  for (const Callback& callback : creates_) {
    invokeCallback(scope, callback.function, eventHandler, error);
    if (error) return false;
  }
  return true;
}

void APMPEditingCallbackHandler::mark(APMPMarker& marker) {
  for (const CallbackList* list : {&edits_, &creates_}) {
    for (const Callback& callback : *list) marker.mark(callback.function);
  }
  for (const Pending& pending : pending_) marker.mark(pending.callback.function);
}
