// The string method set. Each method receives the string's text and its
// evaluated argument values; counts are checked first (error 9). Every
// index counts UTF-16 code units. Positions stay doubles until they are
// clamped to the text, so huge, infinite or NaN values never reach an
// integer conversion. Texts searched, copied or built are charged to the
// scope's work budget, and no method builds a text longer than
// `kAPMPMaxTextLength` (error 18).
#include "measurement/script/string_methods.h"

#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "measurement/script/array_methods.h"
#include "measurement/script/charged_conversions.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/script_regex.h"
#include "measurement/script/script_text.h"
#include "measurement/script/text_search.h"

using Value = APMPRuntimeValue;
using Values = std::span<const Value>;
using Text = const std::u16string&;
using platform::ErrorRef;

namespace {

// The text of value `i`, or its text form made into `form` (undefined's,
// "undefined", when absent); null with the error when there is none.
const std::u16string* textOf(Values values, size_t i, APMPTextForm& form, APMPScope& scope, ErrorRef& error) {
  static const Value kUndefined;
  return APMPChargedTextView(i < values.size() ? values[i] : kUndefined, form, scope, error);
}

// Pays for a search of `needle` in `text`, and counts in `working` what
// the search holds while it runs; false with error 18 when either cannot
// be had.
bool paySearch(Text text, std::u16string_view needle, APMPWorkingBytes& working, APMPScope& scope,
               ErrorRef& error) {
  return APMPChargeWork(scope, script_text::searchWork(text, needle), error) &&
         working.take(script_text::searchBytes(text, needle), error);
}

size_t clamp(double position, size_t length) {
  return static_cast<size_t>(std::clamp(position, 0.0, static_cast<double>(length)));
}

Value charAt(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 1, error)) return {};
  const double index = values.empty() ? 0 : APMPChargedInteger(values[0], scope, error);
  if (error) return {};
  if (index < 0 || index >= static_cast<double>(text.size())) return Value::string(u"");
  return Value::string(std::u16string(1, text[static_cast<size_t>(index)]));
}

Value concat(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  // Every form is made before the text is: at once, they stay where they are.
  std::vector<APMPTextForm> forms;
  forms.reserve(values.size());
  std::vector<std::u16string_view> pieces{text};
  pieces.reserve(values.size() + 1);
  for (const Value& value : values) {
    const std::u16string* piece = APMPChargedTextView(value, forms.emplace_back(), scope, error);
    if (!piece) return {};
    pieces.push_back(*piece);
  }
  return APMPChargedConcatenation(pieces, scope, error);
}

Value hasOwnProperty(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  APMPTextForm form;
  const std::u16string* name = APMPChargedTextView(values[0], form, scope, error);
  if (!name) return {};
  if (*name == u"length") return Value::boolean(true);
  const double index = APMPChargedNumber(values[0], scope, error);
  if (error) return {};
  return Value::boolean(std::round(index) == index && index >= 0 && index < static_cast<double>(text.size()));
}

Value indexOf(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  APMPTextForm form;
  const std::u16string* needle = textOf(values, 0, form, scope, error);
  const double position = needle && values.size() == 2 ? APMPChargedInteger(values[1], scope, error) : 0;
  APMPWorkingBytes working(scope);
  if (!needle || error || !paySearch(text, *needle, working, scope, error)) return {};
  const script_text::TextMatch match = script_text::findText(text, *needle, clamp(position, text.size()));
  return Value::number(match.found() ? static_cast<double>(match.location) : -1);
}

Value lastIndexOf(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  APMPTextForm form;
  const std::u16string* needle = textOf(values, 0, form, scope, error);
  if (!needle) return {};
  double position = INFINITY;
  if (values.size() == 2) {
    const double number = APMPChargedNumber(values[1], scope, error);
    if (!std::isnan(number)) position = APMPToInteger(number);
  }
  APMPWorkingBytes working(scope);
  if (error || !paySearch(text, *needle, working, scope, error)) return {};
  // Occurrences may start at the position and run on past it.
  const size_t end = std::min(clamp(position, text.size()) + needle->size(), text.size());
  const script_text::TextMatch match = script_text::findLastText(text, *needle, end);
  return Value::number(match.found() ? static_cast<double>(match.location) : -1);
}

Value match(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 1, error)) return {};
  APMPTextForm form;
  const std::u16string* pattern = values.empty() ? &form.text() : textOf(values, 0, form, scope, error);
  if (!pattern) return {};
  if (pattern->empty()) return Value(APMPObjectManager::arrayValueWithArray({Value::string(u"")}, scope));
  APMPRegexMatch found;
  if (!APMPFindFirstMatch(*pattern, text, scope, found, error)) return Value::null();
  if (!found.found) return Value::null();
  if (!APMPChargeWork(scope, found.length, error)) return {};
  return Value(APMPObjectManager::arrayValueWithArray({Value::string(text.substr(found.location, found.length))},
                                                      scope));
}

Value search(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 1, error)) return {};
  APMPTextForm form;
  const std::u16string* pattern = textOf(values, 0, form, scope, error);
  if (!pattern) return {};
  if (pattern->empty()) return Value::number(0);
  APMPRegexMatch found;
  if (!APMPFindFirstMatch(*pattern, text, scope, found, error)) return {};
  return Value::number(found.found ? static_cast<double>(found.location) : -1);
}

// Replaces the first plain-text occurrence, literally: "$" is just a
// character in both texts.
Value replace(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  APMPTextForm needleForm;
  const std::u16string* needle = textOf(values, 0, needleForm, scope, error);
  std::optional<APMPWorkingBytes> working(scope);
  if (!needle || !paySearch(text, *needle, *working, scope, error)) return {};
  script_text::TextMatch found = script_text::findText(text, *needle);
  working.reset();
  if (!found.found()) {
    if (!needle->empty()) return APMPChargeWork(scope, text.size(), error) ? Value::string(text) : Value();
    found.location = 0;
    found.length = 0;
  }
  // The replacement is the callback's answer, held here while it is read.
  Value answer;
  const APMPActiveValues active(std::span<const Value>(&answer, 1));
  if (APMPFunctionValue* function = values.size() == 2 ? values[1].asFunction() : nullptr) {
    // The callback gets copies of both texts.
    if (!APMPChargeWork(scope, needle->size() + text.size(), error)) return {};
    const APMPRef<APMPFunctionValue> keep(function);
    const Value arguments[] = {Value::string(*needle), Value::number(static_cast<double>(found.location)),
                               Value::string(text)};
    answer = function->invokeWithArguments(arguments, scope, error);
    if (error) return {};
  } else if (values.size() == 2) {
    answer = values[1];
  }
  APMPTextForm replacementForm;
  const std::u16string* replacement = APMPChargedTextView(answer, replacementForm, scope, error);
  if (!replacement) return {};
  const std::u16string_view whole(text);
  const std::u16string_view pieces[] = {whole.substr(0, found.location), *replacement,
                                        whole.substr(found.location + found.length)};
  return APMPChargedConcatenation(pieces, scope, error);
}

Value slice(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  const size_t start =
      values.empty() ? 0 : APMPRelativePosition(APMPChargedInteger(values[0], scope, error), text.size());
  const size_t end = values.size() < 2
                         ? text.size()
                         : APMPRelativePosition(APMPChargedInteger(values[1], scope, error), text.size());
  if (error) return {};
  if (end <= start) return Value::string(u"");
  if (!APMPChargeWork(scope, end - start, error)) return {};
  return Value::string(text.substr(start, end - start));
}

Value substring(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  size_t a = values.empty() ? 0 : clamp(APMPChargedInteger(values[0], scope, error), text.size());
  size_t b = values.size() < 2 ? text.size() : clamp(APMPChargedInteger(values[1], scope, error), text.size());
  if (error) return {};
  if (a > b) std::swap(a, b);
  if (!APMPChargeWork(scope, b - a, error)) return {};
  return Value::string(text.substr(a, b - a));
}

Value split(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  if (text.empty() || values.empty()) {
    if (!APMPChargeWork(scope, text.size(), error)) return {};
    return Value(APMPObjectManager::arrayValueWithArray({Value::string(text)}, scope));
  }
  APMPTextForm form;
  const std::u16string* given = APMPChargedTextView(values[0], form, scope, error);
  if (!given) return {};
  const std::u16string& separator = *given;
  size_t limit = SIZE_MAX;
  if (values.size() == 2) {
    const double number = APMPChargedNumber(values[1], scope, error);
    if (error) return {};
    limit = APMPToUint32(number);  // -1 is no limit
  }
  // Pieces past what an array holds fail below; none beyond are looked for.
  const size_t pieceLimit = std::min<size_t>(limit, kAPMPMaxArrayLength + 1);
  // Room for the most pieces there can be, in every list they pass
  // through: the occurrences found, the parts, the values and the array.
  const size_t most = std::min(pieceLimit, separator.empty() ? text.size() : text.size() / separator.size() + 1);
  APMPWorkingBytes working(scope);
  if ((separator.empty() && !APMPArrayCanGrow(0, most, error)) ||
      !working.take(most * (sizeof(size_t) + sizeof(std::u16string_view) + 2 * sizeof(Value)), error)) {
    return {};
  }
  const std::u16string_view whole(text);
  std::vector<std::u16string_view> parts;
  if (separator.empty()) {
    parts.reserve(std::min(pieceLimit, text.size()));
    for (size_t i = 0; i < text.size() && parts.size() < pieceLimit; ++i) parts.push_back(whole.substr(i, 1));
  } else {
    if (!APMPChargeWork(scope, script_text::literalSearchWork(text, separator), error) ||
        !working.take(script_text::literalSearchBytes(separator), error)) {
      return {};
    }
    size_t start = 0;
    for (size_t at : script_text::findLiteralOccurrences(text, separator, pieceLimit)) {
      parts.push_back(whole.substr(start, at - start));
      start = at + separator.size();
    }
    if (parts.size() < pieceLimit) parts.push_back(whole.substr(start));
  }
  // Each piece is a value of its own, however short: its cell and its
  // text are given room before they are made.
  if (!APMPArrayCanGrow(0, parts.size(), error) || !APMPChargeWork(scope, parts.size() * kAPMPValueWork, error) ||
      !working.take(parts.size() * (sizeof(APMPStringValue) + sizeof(char16_t)) + sizeof(char16_t) * text.size(),
                    error)) {
    return {};
  }
  std::vector<Value> pieces;
  pieces.reserve(parts.size());
  for (std::u16string_view part : parts) pieces.push_back(Value::string(std::u16string(part)));
  return Value(APMPObjectManager::arrayValueWithArray(std::move(pieces), scope));
}

// Case mappings through ICU's full Unicode mapping, in the root locale or
// in the process's current one. The mapped length is found first and the
// result written straight into a text of that length, so a result past the
// length limit is refused before it is made, and nothing but the result is
// allocated. Each pass over the text costs up to about 16 ns per unit
// (letters that expand to three, Greek upper-casing), so each is charged
// `kCaseMappingWork` per unit read, and the result 2 per unit written.
constexpr uint64_t kCaseMappingWork = 16;

enum class Case { Lower, Upper };
template <Case To, bool Localized>
Value mapCase(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error)) return {};
  if (text.size() > INT32_MAX) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
  if (!APMPChargeWork(scope, 2 * kCaseMappingWork * text.size(), error)) return {};
  const auto map = To == Case::Lower ? u_strToLower : u_strToUpper;
  const char* locale = Localized ? uloc_getDefault() : "";
  const auto* source = reinterpret_cast<const UChar*>(text.data());
  const auto sourceLength = static_cast<int32_t>(text.size());
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = map(nullptr, 0, source, sourceLength, locale, &status);
  // Any failure but the expected overflow (ICU out of memory, above all)
  // must not pass for a result.
  if ((U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) || length < 0 ||
      static_cast<size_t>(length) > kAPMPMaxTextLength) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
  if (!APMPChargeWork(scope, 2 * static_cast<uint64_t>(length), error)) return {};
  std::u16string mapped(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  map(reinterpret_cast<UChar*>(mapped.data()), length, source, sourceLength, locale, &status);
  if (U_FAILURE(status)) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
  return Value::string(std::move(mapped));
}

Value toString(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error) || !APMPChargeWork(scope, text.size(), error)) return {};
  return Value::string(text);
}

Value trim(Text text, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error) || !APMPChargeWork(scope, text.size(), error)) return {};
  return Value::string(std::u16string(script_text::trim(text)));
}

// In the order scripts expect them listed.
constexpr APMPStringCommandEvaluator::Entry kStringMethods[] = {
    {u"charAt", charAt},
    {u"concat", concat},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"lastIndexOf", lastIndexOf},
    {u"match", match},
    {u"replace", replace},
    {u"search", search},
    {u"slice", slice},
    {u"split", split},
    {u"substring", substring},
    {u"toLowerCase", mapCase<Case::Lower, false>},
    {u"toLocaleLowerCase", mapCase<Case::Lower, true>},
    {u"toUpperCase", mapCase<Case::Upper, false>},
    {u"toLocaleUpperCase", mapCase<Case::Upper, true>},
    {u"toString", toString},
    {u"trim", trim},
};

}  // namespace

APMPStringCommandEvaluator::APMPStringCommandEvaluator() : APMPMethodTable(kStringMethods) {}

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator instance;
  return instance;
}
