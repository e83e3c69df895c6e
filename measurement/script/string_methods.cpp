#include "measurement/script/string_methods.h"

#include "measurement/script/evaluator.h"
#include "measurement/script/script_error.h"

using Value = APMPRuntimeValue;

namespace {

// The method table; the methods themselves join it with the string command
// set.
constexpr APMPStringCommandEvaluator::Entry kStringMethods[] = {
    {u"", nullptr},
};

}  // namespace

APMPStringCommandEvaluator::APMPStringCommandEvaluator() : handlers_(kStringMethods) {}

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator instance;
  return instance;
}

Value APMPStringCommandEvaluator::evaluateCommand(std::u16string_view name, const std::u16string& text,
                                                  std::span<const Value> arguments, APMPScope& scope,
                                                  platform::ErrorRef& error) const {
  for (const Entry& entry : handlers_) {
    if (entry.handler && entry.name == name) {
      APMPValueList values;
      if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
      return entry.handler(text, values, scope, error);
    }
  }
  APMPSetError(error, kAPMPErrorUnknownMethod);
  return {};
}
