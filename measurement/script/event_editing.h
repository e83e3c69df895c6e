// `APMPEventEditing`: how the measurement engine edits its events with the
// program of its measurement configuration.
//
// An editor owns one runtime. It registers the modules
// "internal.registerCallback" and "internal.eventLogger" in it, loads one
// program (its instructions, then its activities, each rule of an activity
// a call of the script function the activity names with the rule's map),
// and then handles events: the registered edit callbacks change a copy of
// the event, the create callbacks log new events. The engine reads the
// context after each event: it replaces its event by `outputEvent` when
// `hasEdits`, and logs `eventsToLog` when `hasCreatedEvents`.
//
// Each event gets the full instruction budget, a new run scope and a new
// event object, and one collection after it. While its callbacks run, what
// they have put into the context counts against the runtime's memory bound
// with its values; once they are done the context is the engine's. A loaded program's callbacks
// and everything they reach survive every collection.
//
// Not thread-safe: created and loaded on one queue, then driven on one
// queue at a time (the measurement worker queue).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_wrappers.h"
#include "measurement/script/callback_handler.h"
#include "measurement/script/event.h"
#include "measurement/script/event_context.h"
#include "measurement/script/program_entity.h"
#include "measurement/script/runtime.h"

// A program in memory, field for field the Program message: instructions,
// and activities, each a function name and its rules.
struct APMPEditingActivity {
  std::string name;
  std::vector<APMPProgramEntity> data;
};
struct APMPEditingProgram {
  std::vector<APMPProgramEntity> instructions;
  std::vector<APMPEditingActivity> activities;
};

class APMPEventEditing {
 public:
  // `init`: over a new runtime.
  APMPEventEditing();
  // `initWithRuntime:`.
  explicit APMPEventEditing(std::shared_ptr<APMPRuntime> runtime);
  ~APMPEventEditing();
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  // Registers (or replaces) the creator of a module of the runtime.
  void setModuleCreator(APMPModuleCreator creator, std::string_view name);

  // Runs the instructions in the global scope, then loads each activity in
  // order; collects garbage after a successful load. The first error ends
  // loading: a script error, editing error 5 when the last instruction
  // answered a control value (no activity is loaded then), or an activity's
  // error. Callbacks registered before an error stay registered.
  void loadProgram(const APMPBProgram& program, platform::ErrorRef* error = nullptr);
  void loadProgram(const APMPEditingProgram& program, platform::ErrorRef* error = nullptr);
  // Evaluates each rule of the activity; a rule that is not a map is
  // editing error 6; each map is registered under the activity's name.
  bool loadActivityData(const APMPBOgtActivity& activity, platform::ErrorRef* error = nullptr);
  bool loadActivityData(const APMPEditingActivity& activity, platform::ErrorRef* error = nullptr);
  // Calls the function bound to `name` with `rule` in a run scope; editing
  // error 7 when `name` is not bound to a function.
  bool registerRuleWithName(std::u16string_view name, const APMPRuntimeValue& rule,
                            platform::ErrorRef* error = nullptr);

  // Handles one event: the callbacks run over it, then the runtime collects
  // garbage. True when the output event differs from the input or events
  // were created; false with the error when a callback failed.
  bool handleEvent(APMPEvent event, platform::ErrorRef* error = nullptr);
  // The output event differs from the input event.
  bool hasEdits() const noexcept { return edited_; }
  bool hasCreatedEvents() const { return !eventContext_->eventsToLog().empty(); }
  // The context of the last handled event.
  const APMPEventContext& eventContext() const noexcept { return *eventContext_; }

  APMPRuntime& runtime() const noexcept { return *runtime_; }
  const APMPEditingCallbackHandler& callbackHandler() const noexcept { return *callbackHandler_; }

 private:
  template <class Program>
  void load(const Program& program, platform::ErrorRef* error);
  // `loadActivityData` for either form of activity.
  template <class Activity>
  bool loadActivity(const Activity& activity, platform::ErrorRef* error);

  // Declared before the runtime, so they outlive it: its teardown releases
  // the inner references of the callbacks the handler still holds.
  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
  std::shared_ptr<APMPRuntime> runtime_;
  // Whether the last handled event's output differs from its input; the
  // context cannot change until the next event.
  bool edited_ = false;
};
