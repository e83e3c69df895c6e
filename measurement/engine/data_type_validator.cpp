#include "measurement/engine/data_type_validator.h"

#include <array>
#include <utility>

#include "platform/text.h"

namespace {

constexpr std::array<std::string_view, 3> kReservedPrefixes = {"vudaziru_", "voraza_", "va_"};

// User properties whose values are identifiers or server-made tokens, longer
// than the ordinary limit allows.
constexpr std::array<std::pair<std::string_view, size_t>, 3> kLongValueLimits = {{
    {"_id", 256},
    {"_gbraid", 256},
    {"_psmvalue", 512},
}};

bool fail(int* failureCode, int code) {
  if (failureCode) *failureCode = code;
  return false;
}

bool checkName(std::string_view name, size_t maxLength, int* failureCode) {
  if (name.empty()) return fail(failureCode, kAPMValidationFailureEmptyName);
  // A name of more bytes than four per allowed character is too long
  // whatever it holds; skip decoding it.
  if (name.size() > maxLength * 4 || platform::scalarCount(name) > maxLength) {
    return fail(failureCode, kAPMValidationFailureNameTooLong);
  }
  return true;
}

}  // namespace

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  for (std::string_view prefix : kReservedPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool APMDataTypeValidator::isValidInternalEventName(std::string_view name, int* failureCode) {
  return checkName(name, kMaxInternalEventNameLength, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(std::string_view name,
                                                            int* failureCode) {
  return checkName(name, kMaxInternalUserAttributeNameLength, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const platform::Object& value,
                                                             std::string_view name,
                                                             int* failureCode) {
  if (value.isNumber()) return true;
  const std::string* text = value.string();
  if (!text) return fail(failureCode, kAPMValidationFailureUnsupportedValue);
  if (text->empty()) return fail(failureCode, kAPMValidationFailureEmptyValue);
  size_t maxLength = maxUserAttributeValueLength(name);
  if (text->size() > maxLength * 4 || platform::scalarCount(*text) > maxLength) {
    return fail(failureCode, kAPMValidationFailureValueTooLong);
  }
  return true;
}

size_t APMDataTypeValidator::maxUserAttributeValueLength(std::string_view name) {
  for (const auto& [propertyName, limit] : kLongValueLimits) {
    if (name == propertyName) return limit;
  }
  return kMaxUserAttributeValueLength;
}
