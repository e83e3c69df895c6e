// Decimal texts received from outside (remote settings, script values) and
// the decimal numbers made from them.
//
// `APMDecimalNumber` stands for the platform's decimal number: a value of at
// most kAPMDecimalMaxDigits significant decimal digits and a power of ten
// within [kAPMDecimalMinExponent, kAPMDecimalMaxExponent], kept exactly. It
// answers its plain decimal text (no exponent, no grouping, no trailing
// zeros after the point: "10.5", "-0.25", "12") and the nearest double.
//
// Functions may be called from any thread.
#pragma once

#include <optional>
#include <string>

inline constexpr int kAPMDecimalMaxDigits = 38;
inline constexpr int kAPMDecimalMinExponent = -128;
inline constexpr int kAPMDecimalMaxExponent = 127;

class APMDecimalNumber {
 public:
  // The exact plain text of the value.
  const std::string& stringValue() const { return text_; }
  double doubleValue() const { return double_; }
  bool isNegative() const { return !text_.empty() && text_.front() == '-'; }

  bool operator==(const APMDecimalNumber& other) const { return text_ == other.text_; }

  // Made from ICU's decimal text of a parsed number ("1.05E+3", "-0.5");
  // nullopt when it is not one or does not fit the ranges above.
  static std::optional<APMDecimalNumber> fromDecimalText(const std::string& text);

 private:
  APMDecimalNumber(std::string text, double value) : text_(std::move(text)), double_(value) {}

  std::string text_;
  double double_ = 0;
};

// YES for an optional sign followed by digits with an optional trailing
// point, or by optional digits, a point and at least one digit; no
// exponent, blanks or grouping. NO for the empty string. When the
// expression cannot be built: logged (26000) and NO; a later call tries
// again.
bool APMIsDecimalNumberString(const std::string& string);

// The decimal number of a decimal text, parsed with the locale "en_US";
// nullopt, logged (26001 not a decimal text, 26002 not parseable, 26003
// loss of precision), when it cannot be made exactly.
std::optional<APMDecimalNumber> APMDecimalNumberFromString(const std::string& string);

// Replaces the expression `APMIsDecimalNumberString` builds, and drops the
// built one; an empty pattern restores the usual one. For tests of the
// failure path only.
void APMSetDecimalNumberPatternForTesting(const std::string& pattern);
