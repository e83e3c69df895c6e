#include "measurement/script/event_editing.h"

#include "measurement/script/editing_error.h"
#include "measurement/script/editing_modules.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

// The two program forms, read alike; messages are read in place.
APMPRuntimeEntityRecords instructionsOf(const APMPBProgram& program) { return APMPProgramInstructions(program); }
const std::vector<APMPProgramEntity>& instructionsOf(const APMPEditingProgram& program) {
  return program.instructions;
}
std::vector<APMPActivityRecord> activitiesOf(const APMPBProgram& program) { return APMPProgramActivities(program); }
const std::vector<APMPEditingActivity>& activitiesOf(const APMPEditingProgram& program) {
  return program.activities;
}
std::span<const APMPProgramEntity> activityRules(const APMPEditingActivity& activity) { return activity.data; }
const APMPRuntimeEntityRecords& activityRules(const APMPActivityRecord& activity) { return activity.data; }

}  // namespace

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_shared<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::shared_ptr<APMPRuntime> runtime)
    : eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()),
      runtime_(std::move(runtime)) {
  runtime_->addGarbageCollectionRoot(callbackHandler_.get());
  std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
  runtime_->setModuleCreator(
      [handler] { return std::optional<Value>(Value(APMPMake<APMPRegisterCallbackNativeFunctionValue>(handler))); },
      "internal.registerCallback");
  // The context holds no script values, so the runtime may hold it shared.
  runtime_->setModuleCreator(
      [context = eventContext_] { return std::optional<Value>(Value(APMPMake<APMPEventLogger>(context))); },
      "internal.eventLogger");
}

APMPEventEditing::~APMPEventEditing() {
  // The callbacks are the runtime's values: their frees count against no
  // other runtime that may be running on this thread.
  const APMPCellMemory::Counting uncounted(nullptr);
  runtime_.reset();
  callbackHandler_.reset();
  eventContext_.reset();
}

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, std::string_view name) {
  runtime_->setModuleCreator(std::move(creator), name);
}

template <class Program>
void APMPEventEditing::load(const Program& program, ErrorRef* error) {
  const APMPCellMemory::Counting counting(&runtime_->objectManager().memoryAccount());
  ErrorRef failure;
  const auto& instructions = instructionsOf(program);
  const Value last = runtime_->executeStatements(instructions, &failure);
  if (!failure && last.isControl()) APMPSetEditingError(failure, kAPMPEditingErrorControlAtTopLevel);
  if (!failure) {
    for (const auto& activity : activitiesOf(program)) {
      if (!loadActivity(activity, &failure)) break;
    }
  }
  if (failure) {
    platform::setError(error, failure);
    return;
  }
  runtime_->collectGarbage();
}

void APMPEventEditing::loadProgram(const APMPBProgram& program, ErrorRef* error) { load(program, error); }

void APMPEventEditing::loadProgram(const APMPEditingProgram& program, ErrorRef* error) { load(program, error); }

template <class Activity>
bool APMPEventEditing::loadActivity(const Activity& activity, ErrorRef* error) {
  const std::u16string name = script_text::toUtf16(activity.name);
  const auto& rules = activityRules(activity);
  for (size_t i = 0; i < rules.size(); ++i) {
    ErrorRef failure;
    const Value rule = runtime_->executeStatements(rules.subspan(i, 1), &failure);
    if (!failure && !rule.asMap()) APMPSetEditingError(failure, kAPMPEditingErrorRuleNotMap);
    if (failure) {
      platform::setError(error, failure);
      return false;
    }
    if (!registerRuleWithName(name, rule, error)) return false;
  }
  return true;
}

bool APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity, ErrorRef* error) {
  return loadActivity(APMPActivityRecordOf(activity.messageInfo()), error);
}

bool APMPEventEditing::loadActivityData(const APMPEditingActivity& activity, ErrorRef* error) {
  return loadActivity(activity, error);
}

bool APMPEventEditing::registerRuleWithName(std::u16string_view name, const Value& rule, ErrorRef* error) {
  const APMPCellMemory::Counting counting(&runtime_->objectManager().memoryAccount());
  const APMPRef<APMPScope> scope = runtime_->getRunScope();
  const Value bound = scope->valueForName(name);
  ErrorRef failure;
  if (APMPFunctionValue* function = bound.asFunction()) {
    APMPRunWithinMemory(*scope, failure, [&] { return function->invokeWithArguments({&rule, 1}, *scope, failure); });
  } else {
    APMPSetEditingError(failure, kAPMPEditingErrorActivityNotFunction);
  }
  if (failure) platform::setError(error, failure);
  return !failure;
}

bool APMPEventEditing::handleEvent(APMPEvent event, ErrorRef* error) {
  // Everything the event makes and frees, the run scope and the event
  // object included, counts against the runtime, on whichever thread.
  const APMPCellMemory::Counting counting(&runtime_->objectManager().memoryAccount());
  eventContext_->setInputEvent(std::move(event));
  runtime_->resetInstructionCount();
  ErrorRef failure;
  {
    // What the callbacks make of the event counts against the runtime
    // while they run; the engine takes it over when they are done.
    struct CountedEvent {
      APMPEventContext& context;
      CountedEvent(APMPEventContext& c, APMPMemoryAccount& account) : context(c) { context.countAgainst(&account); }
      ~CountedEvent() { context.countAgainst(nullptr); }
    } counted(*eventContext_, runtime_->objectManager().memoryAccount());
    const APMPRef<APMPScope> scope = runtime_->getRunScope();
    callbackHandler_->triggerCallbacks(*scope, eventContext_, failure);
  }
  runtime_->collectGarbage();
  edited_ = eventContext_->outputDiffersFromInput();
  if (failure) {
    platform::setError(error, failure);
    return false;
  }
  return edited_ || hasCreatedEvents();
}
