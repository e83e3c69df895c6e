// `APMDataTypeValidator`: the checks the engine applies to names and values
// it keeps for itself: event names of the per-event aggregates, and user
// property names and values as stored and read back. The checks of names
// that arrive from the app's public calls build on these and live with the
// public API.
//
// Lengths are counted in Unicode scalar values (a name's UTF-32 length), so
// an accented letter or an emoji counts once however many bytes it takes.
// Ill-formed UTF-8 counts one character per ill-formed run, which keeps a
// string of stray bytes from passing as short.
//
// Stateless class operations; any thread may call them.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/object.h"

// The failure codes the checks report. A caller that turns a refusal into an
// error event reports the code as it stands, so the numbers are stable.
enum APMValidationFailureCode : int {
  kAPMValidationFailureEmptyName = 1,
  kAPMValidationFailureNameTooLong = 2,
  kAPMValidationFailureUnsupportedValue = 3,
  kAPMValidationFailureEmptyValue = 4,
  kAPMValidationFailureValueTooLong = 5,
};

class APMDataTypeValidator {
 public:
  // Longest internal event name, in characters.
  static constexpr size_t kMaxInternalEventNameLength = 40;
  // Longest internal user-property name, in characters.
  static constexpr size_t kMaxInternalUserAttributeNameLength = 24;
  // Longest user-property string value, in characters, for the names without
  // a limit of their own (see `maxUserAttributeValueLength`).
  static constexpr size_t kMaxUserAttributeValueLength = 36;

  // YES when `name` begins with one of the prefixes reserved for the
  // system's own names: "vudaziru_", "voraza_" or "va_".
  static bool hasReservedPrefixes(std::string_view name);

  // YES when `name` is non-empty and at most 40 characters long. On NO,
  // `failureCode` (when given) receives the reason; on YES it is untouched.
  static bool isValidInternalEventName(std::string_view name, int* failureCode = nullptr);

  // YES when `name` is non-empty and at most 24 characters long. On NO,
  // `failureCode` (when given) receives the reason; on YES it is untouched.
  static bool isValidInternalUserAttributeName(std::string_view name, int* failureCode = nullptr);

  // YES when `value` may be stored under the user property `name`: a number
  // (boolean, integer or floating), or a string of 1 to
  // `maxUserAttributeValueLength(name)` characters. Anything else (nil, the
  // null marker, data, arrays, dictionaries, dates, errors) is refused. On
  // NO, `failureCode` (when given) receives the reason; on YES it is
  // untouched.
  static bool isValidInternalUserAttributeValue(const platform::Object& value,
                                                std::string_view name, int* failureCode = nullptr);

  // The longest string value the user property `name` takes: 256 for "_id"
  // and "_gbraid", 512 for "_psmvalue", 36 for every other name.
  static size_t maxUserAttributeValueLength(std::string_view name);
};
