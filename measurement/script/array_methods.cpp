#include "measurement/script/array_methods.h"

#include "measurement/script/evaluator.h"
#include "measurement/script/script_error.h"

using Value = APMPRuntimeValue;

namespace {

// The method table; the methods themselves join it with the array command
// set.
constexpr APMPArrayCommandEvaluator::Entry kArrayMethods[] = {
    {u"", nullptr},
};

}  // namespace

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() : handlers_(kArrayMethods) {}

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator instance;
  return instance;
}

Value APMPArrayCommandEvaluator::evaluateCommand(std::u16string_view name, APMPArrayValue& array,
                                                  std::span<const Value> arguments, APMPScope& scope,
                                                  platform::ErrorRef& error) const {
  for (const Entry& entry : handlers_) {
    if (entry.handler && entry.name == name) {
      APMPValueList values;
      if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
      return entry.handler(array, values, scope, error);
    }
  }
  APMPSetError(error, kAPMPErrorUnknownMethod);
  return {};
}
