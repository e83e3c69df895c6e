// `APMPEditingCallbackHandler`: the callbacks an editing program registered,
// "edit" and "create", each kind ordered by ascending priority, and how they
// run for one event.
//
// Priorities are unique per kind: a callback registered with a priority its
// kind already holds gets the largest priority of that kind plus one, so it
// runs after every callback of its kind registered so far. Priorities are
// held as 64-bit values, so that step never overflows. At most 1000
// callbacks exist, both kinds together.
//
// A callback registered while callbacks are running (a callback calling the
// function of "internal.registerCallback") is refused or accepted at once by
// the same rules, but joins its list only when the run ends, so it takes
// effect from the next event and the lists never change under the walk.
//
// The handler is a collection root of its runtime: it marks every
// registered callback, and through them everything they close over. The
// editor's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "measurement/script/event_context.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"

class APMPEditingCallbackHandler final : public APMPMarkable {
 public:
  static constexpr size_t kMaxCallbacks = 1000;
  static constexpr int64_t kDefaultPriority = 1000;

  // Registers `callback` (a function value) under `priority` for the rule
  // type "edit" or "create". Error 4 (editing domain) when 1000 callbacks
  // exist, 3 for any other rule type; nothing is registered then.
  bool registerWithPriority(int64_t priority, const APMPRuntimeValue& callback, std::u16string_view ruleType,
                            platform::ErrorRef& error);

  // Runs the callbacks for the event of `context` in `scope`, each with a
  // new event object as its only argument: first the edit callbacks in
  // ascending priority, each edit discarded when its callback answers a
  // result code of 2 or -1; then the create callbacks, whose codes are
  // ignored. An error of an edit callback discards that callback's edit and
  // stops the run before any other callback; an error of a create callback
  // stops the run. False with the error then.
  bool triggerCallbacks(APMPScope& scope, const std::shared_ptr<APMPEventContext>& context,
                        platform::ErrorRef& error);

  // Invokes `callback` with `eventHandler` in `scope`. The result code: 2 on
  // an error; a number answer's 32-bit conversion; -1 for any other answer.
  static int32_t invokeCallback(APMPScope& scope, const APMPRuntimeValue& callback,
                                const APMPRuntimeValue& eventHandler, platform::ErrorRef& error);

  std::vector<int64_t> sortedEditPriorities() const { return priorities(edits_); }
  std::vector<int64_t> sortedCreatePriorities() const { return priorities(creates_); }
  size_t callbackCount() const noexcept { return edits_.size() + creates_.size() + pending_.size(); }

  void mark(APMPMarker& marker) override;

 private:
  struct Callback {
    int64_t priority;
    APMPRuntimeValue function;
  };
  // Ascending by priority, priorities unique.
  using CallbackList = std::vector<Callback>;
  struct Pending {
    CallbackList* list;
    Callback callback;
  };

  static std::vector<int64_t> priorities(const CallbackList& list);
  // `addCallback:toDictionary:keyArray:priority:`.
  static void addCallback(CallbackList& list, Callback callback);

  CallbackList edits_;
  CallbackList creates_;
  // Registered during a run, in order; joined when it ends.
  std::vector<Pending> pending_;
  bool triggering_ = false;
};
