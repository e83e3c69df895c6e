// The array value's data, conversions and collection; its methods are the
// array method set's.
#include <limits>

#include "measurement/script/array_methods.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/script_error.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

Value APMPArrayValue::elementAt(size_t index) const {
  if (index >= elements_.size() || elements_[index].isHole()) return {};
  return elements_[index];
}

std::vector<Value> APMPArrayValue::allElements() const {
  std::vector<Value> elements = elements_;
  for (Value& element : elements) {
    if (element.isHole()) element = Value();
  }
  return elements;
}

std::u16string APMPArrayValue::stringValueWithSeparator(std::u16string_view separator, ErrorRef& error) const {
  // An array met again inside its own conversion (it holds itself) gives
  // the empty text; nesting and length are bounded.
  thread_local int nesting = 0;
  if (elements_.empty() || converting_) return {};
  if (nesting >= kAPMPMaxValueNesting) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
  ++nesting;
  converting_ = true;
  std::u16string text;
  for (size_t i = 0; i < elements_.size() && !error; ++i) {
    if (i > 0) text += separator;
    const Value& element = elements_[i];
    if (element.isHole() || element.isUndefined() || element.isNull()) continue;
    text += element.stringValueOrError(error);
    if (text.size() > kAPMPMaxTextLength) APMPSetError(error, kAPMPErrorLimit);
  }
  converting_ = false;
  --nesting;
  if (error) return {};
  return text;
}

std::u16string APMPArrayValue::stringValueOrError(ErrorRef& error) const {
  return stringValueWithSeparator(u",", error);
}

double APMPArrayValue::doubleValueOrError(ErrorRef& error) const {
  const std::u16string text = stringValueOrError(error);
  if (error) return std::numeric_limits<double>::quiet_NaN();
  return APMPNumberFromText(text);
}

Value APMPArrayValue::applyWithName(std::u16string_view name, std::span<const Value> arguments, APMPScope& scope,
                                    ErrorRef& error) {
  if (const Value* property = propertyMap_.find(name)) {
    const Value function = *property;
    if (APMPFunctionValue* callee = function.asFunction()) return callee->invokeWithArguments(arguments, scope, error);
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return {};
  }
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, *this, arguments, scope, error);
}

void APMPArrayValue::markChildren(APMPMarker& marker) {
  propertyMap_.markValues(marker);
  for (const Value& element : elements_) marker.mark(element);
}

void APMPArrayValue::sweep() {
  std::vector<Value> elements = std::move(elements_);
  elements_.clear();
  propertyMap_.removeAll();
}
