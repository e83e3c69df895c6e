#include "measurement/script/charged_conversions.h"

#include <limits>

#include "measurement/script/evaluator.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

std::u16string APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                               ErrorRef& error) {
  uint64_t work = 0;
  std::u16string text = array.stringValueWithSeparator(separator, error, &work);
  if (error || !APMPChargeWork(scope, work, error)) return {};
  return text;
}

std::u16string APMPChargedText(const Value& value, APMPScope& scope, ErrorRef& error) {
  if (const std::u16string* text = value.text()) {
    if (!APMPChargeWork(scope, text->size(), error)) return {};
    return *text;
  }
  if (const APMPArrayValue* array = value.asArray()) return APMPChargedJoin(*array, u",", scope, error);
  return value.stringValueOrError(error);
}

double APMPChargedNumber(const Value& value, APMPScope& scope, ErrorRef& error) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (const std::u16string* text = value.text()) {
    if (!APMPChargeWork(scope, text->size(), error)) return kNaN;
    return APMPNumberFromText(*text);
  }
  if (const APMPArrayValue* array = value.asArray()) {
    const std::u16string text = APMPChargedJoin(*array, u",", scope, error);
    return error ? kNaN : APMPNumberFromText(text);
  }
  return value.doubleValueOrError(error);
}
