#include "measurement/script/charged_conversions.h"

#include <algorithm>
#include <limits>

#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

APMPTextForm APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                             ErrorRef& error) {
  APMPTextForm form;
  form.text_ = array.stringValueWithSeparator(separator, error, &scope, &form.counted_.emplace(scope));
  if (error) return {};
  return form;
}

APMPTextForm APMPChargedText(const Value& value, APMPScope& scope, ErrorRef& error) {
  if (const APMPArrayValue* array = value.asArray()) return APMPChargedJoin(*array, u",", scope, error);
  APMPTextForm form;
  const size_t length = value.textFormBound();
  if (!APMPChargeWork(scope, length, error)) return {};
  if (length <= kAPMPUncountedTextForm) {
    form.text_ = value.stringValueOrError(error);
  } else {
    if (!form.counted_.emplace(scope).take(APMPTextBytesFor(length), error)) return {};
    form.text_.reserve(length);
    value.appendTextForm(form.text_, error);
  }
  if (error) return {};
  return form;
}

std::vector<std::u16string> APMPChargedTexts(std::span<const Value> values, APMPWorkingBytes& counted,
                                             APMPScope& scope, ErrorRef& error) {
  std::vector<std::u16string> texts;
  if (!counted.take(values.size() * sizeof(std::u16string), error)) return {};
  texts.reserve(values.size());
  for (const Value& value : values) {
    APMPTextForm form = APMPChargedText(value, scope, error);
    if (error || !counted.take(APMPTextBytes(form.text()), error)) return {};
    texts.push_back(std::move(form).release());
  }
  return texts;
}

std::string APMPChargedUtf8(const Value& value, APMPWorkingBytes& counted, size_t copies, APMPScope& scope,
                            ErrorRef& error) {
  APMPTextForm form;
  const std::u16string* text = APMPChargedTextView(value, form, scope, error);
  // Its length in UTF-8 is read first, then it is converted.
  if (!text || !APMPChargeWork(scope, 3 * uint64_t{text->size()}, error) ||
      !counted.take(copies * (script_text::utf8Length(*text) + 1), error)) {
    return {};
  }
  return script_text::toUtf8(*text);
}

Value APMPChargedConcatenation(std::span<const std::u16string_view> pieces, APMPScope& scope, ErrorRef& error) {
  size_t length = 0;
  for (std::u16string_view piece : pieces) {
    if (piece.size() > kAPMPMaxTextLength - length) {
      APMPSetError(error, kAPMPErrorLimit);
      return {};
    }
    length += piece.size();
  }
  if (!APMPChargeWork(scope, length, error)) return {};
  // Made once, at its length, and counted as a value from then on: the
  // value a native answers is what the bound lets pass it for a moment.
  std::u16string text;
  text.reserve(length);
  for (std::u16string_view piece : pieces) text += piece;
  return Value::string(std::move(text));
}

const std::u16string* APMPChargedTextForm(const Value& value, APMPTextForm& form, APMPScope& scope,
                                          ErrorRef& error) {
  form = APMPChargedText(value, scope, error);
  return error ? nullptr : &form.text();
}

double APMPChargedNumber(const Value& value, APMPScope& scope, ErrorRef& error) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (const std::u16string* text = value.text()) {
    if (!APMPChargeWork(scope, text->size(), error)) return kNaN;
    return APMPNumberFromText(*text);
  }
  if (const APMPArrayValue* array = value.asArray()) {
    const APMPTextForm text = APMPChargedJoin(*array, u",", scope, error);
    return error ? kNaN : APMPNumberFromText(text.text());
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
