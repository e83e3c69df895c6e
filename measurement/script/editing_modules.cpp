#include "measurement/script/editing_modules.h"

#include "measurement/script/charged_conversions.h"
#include "measurement/script/editing_error.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"
#include "platform/numbers.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

// Evaluates exactly three arguments into `values`.
bool threeArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error, APMPValueList& values) {
  return APMPCheckArgumentCount(arguments, 3, error) && APMPEvaluateArguments(arguments, scope, error, values);
}

}  // namespace

Value APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(std::span<const Value> arguments,
                                                                   APMPScope& scope, ErrorRef& error) {
  APMPValueList values;
  if (!threeArguments(arguments, scope, error, values)) return {};
  const APMPMapValue* options = values[2].asMap();
  if (!values[1].asFunction() || !options) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  const APMPPropertyMap& properties = options->propertyMap();
  const Value* type = properties.find(u"type");
  if (!type) {
    APMPSetEditingError(error, kAPMPEditingErrorMissingRuleType);
    return {};
  }
  const APMPTextForm ruleType = APMPChargedText(*type, scope, error);
  if (error) return {};
  int64_t priority = APMPEditingCallbackHandler::kDefaultPriority;
  if (const Value* given = properties.find(u"priority")) {
    const double number = APMPChargedNumber(*given, scope, error);
    if (error) return {};
    priority = APMPToInt32(number);
  }
  if (const std::shared_ptr<APMPEditingCallbackHandler> handler = callbackHandler_.lock()) {
    handler->registerWithPriority(priority, values[1], ruleType.text(), error);
  }
  return {};
}

Value APMPEventLogger::invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  APMPValueList values;
  if (!threeArguments(arguments, scope, error, values)) return {};
  APMPTextForm form;
  const std::u16string* name = APMPChargedTextView(values[0], form, scope, error);
  if (!name) return {};
  const double timestamp = APMPChargedNumber(values[1], scope, error);
  if (error) return {};
  if (!values[2].asMap()) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  // The created event is kept: its object, name and parameters are paid
  // for before they are made.
  APMPKeptCopies copies(scope);
  const size_t bytes = script_text::utf8Length(*name);
  if (!copies.take(kAPMPValueWork + APMPUtf8CopyWork(name->size(), bytes), sizeof(APMPEvent) + bytes, error)) {
    return {};
  }
  // Null properties are left out by the conversion itself.
  APMPEvent::Parameters parameters = APMPRuntimeEntityConverter::dictionaryFromMapValue(values[2], copies, &error);
  if (error) return {};
  eventContext_->logEventWithName(script_text::toUtf8(*name),
                                  static_cast<double>(platform::saturatingCast<int64_t>(APMPToInteger(timestamp))),
                                  std::move(parameters));
  return {};
}
