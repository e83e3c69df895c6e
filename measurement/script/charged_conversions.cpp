#include "measurement/script/charged_conversions.h"

#include <algorithm>
#include <limits>

#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

std::u16string APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                               ErrorRef& error) {
  return array.stringValueWithSeparator(separator, error, &scope);
}

std::u16string APMPChargedText(const Value& value, APMPScope& scope, ErrorRef& error) {
  if (const std::u16string* text = value.text()) {
    if (!APMPChargeWork(scope, text->size(), error)) return {};
    return *text;
  }
  if (const APMPArrayValue* array = value.asArray()) return APMPChargedJoin(*array, u",", scope, error);
  return value.stringValueOrError(error);
}

std::string APMPChargedUtf8(const Value& value, APMPScope& scope, ErrorRef& error) {
  const std::u16string text = APMPChargedText(value, scope, error);
  if (error || !APMPChargeWork(scope, 2 * uint64_t{text.size()}, error)) return {};
  return script_text::toUtf8(text);
}

const std::u16string* APMPChargedTextForm(const Value& value, std::u16string& form, APMPScope& scope,
                                          ErrorRef& error) {
  form = APMPChargedText(value, scope, error);
  return error ? nullptr : &form;
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

double APMPChargedInteger(const Value& value, APMPScope& scope, ErrorRef& error) {
  return APMPToInteger(APMPChargedNumber(value, scope, error));
}

int APMPChargedTextOrder(std::u16string_view a, std::u16string_view b, APMPScope& scope, ErrorRef& error) {
  const uint64_t available = kAPMPWorkLimit - scope.workCount();
  uint64_t allowance = available;
  const std::optional<int> order = script_text::compareTexts(a, b, allowance);
  if (!order) {
    APMPSetError(error, kAPMPErrorLimit);
    return 1;
  }
  APMPChargeWork(scope, available - allowance, error);
  return *order;
}

bool APMPChargeTextComparison(std::u16string_view a, std::u16string_view b, APMPScope& scope, ErrorRef& error) {
  return APMPChargeWork(scope, std::min(a.size(), b.size()), error);
}

bool APMPChargedStrictEquals(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  const std::u16string* left = a.text();
  const std::u16string* right = b.text();
  // Texts of different lengths differ at once, and a shared text is equal
  // to itself; only the rest is read through.
  if (left && right && left != right && left->size() == right->size() &&
      !APMPChargeWork(scope, left->size(), error)) {
    return false;
  }
  return (left && left == right) || APMPStrictEquals(a, b);
}
