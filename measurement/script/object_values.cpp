// Maps and functions: their method calls, invocation and collection.
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

constexpr size_t kLocalBindingsReserved = 4;

// Method calls on maps and functions: an own property of the name answers
// when it holds a function, then "hasOwnProperty", then "toString".
Value applyObjectMethod(const APMPPropertyMap& properties, std::u16string_view textForm, std::u16string_view name,
                        std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (const Value* property = properties.find(name)) {
    // Held for the call: the function may drop the property.
    const Value function = *property;
    if (APMPFunctionValue* callee = function.asFunction()) {
      const APMPActiveValues active(callee);
      return callee->invokeWithArguments(arguments, scope, error);
    }
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return {};
  }
  if (name == u"hasOwnProperty") {
    APMPValueList values;
    if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
    if (values.size() != 1) {
      APMPSetError(error, kAPMPErrorArgumentCount);
      return {};
    }
    // A key's text form is made (an array's can be millions of units
    // long) and hashed: both are charged first.
    const std::u16string* text = values[0].text();
    APMPTextForm form;
    if (!text) {
      text = APMPChargedTextForm(values[0], form, scope, error);
      if (!text) return {};
    }
    if (!APMPChargeNameLookup(*text, scope, error)) return {};
    return Value::boolean(properties.hasName(*text));
  }
  if (name == u"toString") {
    if (!APMPChargeWork(scope, textForm.size(), error)) return {};
    return Value::string(std::u16string(textForm));
  }
  APMPSetError(error, kAPMPErrorUnknownMethod);
  return {};
}

}  // namespace

Value APMPMapValue::applyWithName(std::u16string_view name, std::span<const Value> arguments, APMPScope& scope,
                                  ErrorRef& error) {
  return applyObjectMethod(propertyMap(), u"[object Object]", name, arguments, scope, error);
}

void APMPMapValue::markChildren(APMPMarker& marker) { propertyMap().markValues(marker); }

void APMPMapValue::sweep() { propertyMap().removeAll(); }

APMPFunctionValue::APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                                     std::vector<Value> statements, APMPRef<APMPScope> definingScope)
    : functionName_(std::move(functionName)),
      parameters_(parameterNames.begin(), parameterNames.end()),
      statements_(std::make_move_iterator(statements.begin()), std::make_move_iterator(statements.end())),
      definingScope_(std::move(definingScope)) {}

APMPFunctionValue::APMPFunctionValue(std::u16string functionName)
    : functionName_(std::move(functionName)), definingScope_(APMPScope::make()) {}

APMPFunctionValue::~APMPFunctionValue() = default;

Value APMPFunctionValue::invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  APMPValueList values;
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  return invokeWithEvaluatedArguments(values, error);
}

Value APMPFunctionValue::invokeWithEvaluatedArguments(std::span<const Value> arguments, ErrorRef& error) {
  // A swept function has lost its scope and body: a call of it is a
  // failure, not a silent run of nothing.
  if (!definingScope_) {
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return {};
  }
  // The body runs from this function's own list: the function stays
  // reachable (and its body whole) until it returns.
  const APMPActiveValues active(this);
  APMPRef<APMPScope> scope = definingScope_->createChildScope();
  if (!APMPChargeWork(*scope, APMPBindingWork(parameters_), error)) return {};
  // A body usually declares a few names of its own beside the parameters.
  scope->reserveBindings(parameters_.size() + kLocalBindingsReserved);
  for (size_t i = 0; i < parameters_.size(); ++i) {
    scope->addValue(i < arguments.size() ? arguments[i] : Value(), parameters_[i]);
  }
  Value result = APMPEvaluator::executeStatements(statements_, *scope, error);
  if (error) return {};
  if (const APMPControlValue* returned = result.asReturn()) return returned->data();
  return result;
}

Value APMPFunctionValue::applyWithName(std::u16string_view name, std::span<const Value> arguments,
                                       APMPScope& scope, ErrorRef& error) {
  return applyObjectMethod(propertyMap(), functionName_, name, arguments, scope, error);
}

void APMPFunctionValue::markChildren(APMPMarker& marker) {
  propertyMap().markValues(marker);
  for (const Value& statement : statements_) marker.mark(statement);
  marker.mark(definingScope_.get());
}

size_t APMPFunctionValue::heldBytes() const noexcept {
  size_t bytes = sizeof(*this) + APMPTextBytes(functionName_) + parameters_.capacity() * sizeof(Names::value_type) +
                 statements_.capacity() * sizeof(Value) + propertyMap().heldBytes();
  for (const Names::value_type& name : parameters_) bytes += APMPTextBytes(name);
  return bytes;
}

void APMPFunctionValue::sweep() {
  Statements statements = std::move(statements_);
  statements_.clear();
  APMPRef<APMPScope> scope = std::move(definingScope_);
  propertyMap().removeAll();
}
