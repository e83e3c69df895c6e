#include "measurement/storage/system/decimal_numbers.h"

#include <unicode/fmtable.h>
#include <unicode/numfmt.h>
#include <unicode/parsepos.h>
#include <unicode/regex.h>

#include <charconv>
#include <memory>
#include <mutex>

#include "measurement/engine/monitor.h"

namespace {

constexpr const char* kDecimalPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

std::mutex patternMutex;
std::string patternText = kDecimalPattern;
// Built once; left empty after a failed build so the next call retries.
std::shared_ptr<const icu::RegexPattern> builtPattern;

std::shared_ptr<const icu::RegexPattern> decimalPattern() {
  std::lock_guard lock(patternMutex);
  if (builtPattern) return builtPattern;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
      icu::UnicodeString::fromUTF8(patternText), UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status) || !pattern) {
    APMMeasurement::monitor()->logWithLevel(
        2, 26000, "Unable to initialize decimal number regexp. Regex, error",
        platform::Object(patternText), platform::Object(std::string(u_errorName(status))));
    return nullptr;
  }
  builtPattern = std::move(pattern);
  return builtPattern;
}

// ICU's decimal text ("-1.2345E+3", "0.25", "0") split into significant
// digits and a power of ten, then written plainly.
struct DecimalParts {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; empty for zero
  long exponent = 0;   // value = digits * 10^exponent
};

std::optional<DecimalParts> splitDecimalText(std::string_view text) {
  DecimalParts parts;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    parts.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t e = text.find_first_of("eE");
  if (e != std::string_view::npos) {
    std::string_view power = text.substr(e + 1);
    if (!power.empty() && power.front() == '+') power.remove_prefix(1);
    auto [end, ec] = std::from_chars(power.data(), power.data() + power.size(), parts.exponent);
    if (ec != std::errc() || end != power.data() + power.size()) return std::nullopt;
    text = text.substr(0, e);
  }
  bool seenPoint = false, seenDigit = false;
  for (char c : text) {
    if (c == '.' && !seenPoint) {
      seenPoint = true;
    } else if (c >= '0' && c <= '9') {
      seenDigit = true;
      parts.digits.push_back(c);
      if (seenPoint) --parts.exponent;
    } else {
      return std::nullopt;
    }
    // The exponent may wander far while digits are consumed; stop early.
    if (parts.exponent < -100000) return std::nullopt;
  }
  if (!seenDigit) return std::nullopt;
  size_t first = parts.digits.find_first_not_of('0');
  if (first == std::string::npos) return DecimalParts{};
  parts.digits.erase(0, first);
  size_t last = parts.digits.find_last_not_of('0');
  parts.exponent += static_cast<long>(parts.digits.size() - 1 - last);
  parts.digits.erase(last + 1);
  return parts;
}

std::string plainText(const DecimalParts& parts) {
  if (parts.digits.empty()) return "0";
  std::string text = parts.negative ? "-" : "";
  const long count = static_cast<long>(parts.digits.size());
  if (parts.exponent >= 0) {
    text += parts.digits;
    text.append(static_cast<size_t>(parts.exponent), '0');
  } else if (-parts.exponent >= count) {
    text += "0.";
    text.append(static_cast<size_t>(-parts.exponent - count), '0');
    text += parts.digits;
  } else {
    const size_t point = static_cast<size_t>(count + parts.exponent);
    text += parts.digits.substr(0, point) + "." + parts.digits.substr(point);
  }
  return text;
}

void logValue(long code, const char* message, const std::string& value) {
  APMMeasurement::monitor()->logWithLevel(2, code, message, platform::Object(value));
}

}  // namespace

std::optional<APMDecimalNumber> APMDecimalNumber::fromDecimalText(const std::string& text) {
  auto parts = splitDecimalText(text);
  if (!parts) return std::nullopt;
  // The type keeps kAPMDecimalMaxDigits digits; the exponent bounds apply to
  // that mantissa, so a shorter one may sit further out.
  const long digits = static_cast<long>(parts->digits.size());
  if (digits > kAPMDecimalMaxDigits) return std::nullopt;
  if (!parts->digits.empty()) {
    const long lowest = parts->exponent;
    const long highest = parts->exponent + digits - 1;
    if (highest > kAPMDecimalMaxExponent + kAPMDecimalMaxDigits - 1 ||
        lowest < kAPMDecimalMinExponent) {
      return std::nullopt;
    }
  }
  std::string plain = plainText(*parts);
  double value = 0;
  std::from_chars(plain.data(), plain.data() + plain.size(), value);
  return APMDecimalNumber(std::move(plain), value);
}

bool APMIsDecimalNumberString(const std::string& string) {
  auto pattern = decimalPattern();
  if (!pattern || string.empty()) return false;
  UErrorCode status = U_ZERO_ERROR;
  // The matcher refers to its input; the text must outlive it.
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(string);
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
  if (U_FAILURE(status) || !matcher) return false;
  // The whole text must match: `$` alone would also stop before a final
  // line end.
  const bool matches = matcher->matches(status);
  return U_SUCCESS(status) && matches;
}

std::optional<APMDecimalNumber> APMDecimalNumberFromString(const std::string& string) {
  if (!APMIsDecimalNumberString(string)) {
    logValue(26001, "String value does not represent a numeric value. Value", string);
    return std::nullopt;
  }
  // The en_US parser takes no plus sign; the text is known to be decimal,
  // so the sign can go.
  std::string unsigned_ = string.front() == '+' ? string.substr(1) : string;
  std::optional<std::string> decimal;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> format(
      icu::NumberFormat::createInstance(icu::Locale("en_US"), status));
  if (U_SUCCESS(status) && format) {
    format->setGroupingUsed(false);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(unsigned_);
    icu::Formattable result;
    icu::ParsePosition position(0);
    format->parse(text, result, position);
    // A parse that stops early read a different number.
    if (position.getErrorIndex() < 0 && position.getIndex() == text.length()) {
      UErrorCode decimalStatus = U_ZERO_ERROR;
      icu::StringPiece piece = result.getDecimalNumber(decimalStatus);
      if (U_SUCCESS(decimalStatus)) decimal = std::string(piece.data(), piece.size());
    }
  }
  auto parts = decimal ? splitDecimalText(*decimal) : std::nullopt;
  if (parts && static_cast<long>(parts->digits.size()) > kAPMDecimalMaxDigits) {
    // The type would round, and a rounded text can still occur in the
    // string ("1.000...0001" rounds to "1"): refuse every rounding.
    logValue(26003,
             "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
             string);
    return std::nullopt;
  }
  auto number = decimal ? APMDecimalNumber::fromDecimalText(*decimal) : std::nullopt;
  if (!number) {
    logValue(26002, "Unable to create a NSDecimalNumber from string value. Value", string);
    return std::nullopt;
  }
  std::string compared = string;
  if (compared.starts_with("+.") || compared.starts_with("-.") || compared.starts_with(".")) {
    std::string replaced;
    for (char c : compared) {
      if (c == '.') {
        replaced += "0.";
      } else {
        replaced += c;
      }
    }
    compared = std::move(replaced);
  }
  std::string expected = number->stringValue();
  if (number->isNegative()) expected.erase(0, 1);
  if (compared.find(expected) == std::string::npos) {
    logValue(26003,
             "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
             string);
    return std::nullopt;
  }
  return number;
}

void APMSetDecimalNumberPatternForTesting(const std::string& pattern) {
  std::lock_guard lock(patternMutex);
  patternText = pattern.empty() ? kDecimalPattern : pattern;
  builtPattern.reset();
}
