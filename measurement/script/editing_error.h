// The failures of event editing: error objects of their own domain carrying
// a numeric code and nothing else, beside the script errors of
// script_error.h. Reported through the same slots, with the same rule: the
// first error of a run is the one kept. Shared and immutable; any thread.
#pragma once

#include "platform/error.h"

inline constexpr const char* kAPMPEditingErrorDomain = "com.voraza.vuv.measurement.pixie.editing.ErrorDomain";

enum APMPEditingErrorCode : long {
  // The options map given to "internal.registerCallback" has no "type".
  kAPMPEditingErrorMissingRuleType = 2,
  // The rule type is neither "create" nor "edit".
  kAPMPEditingErrorUnknownRuleType = 3,
  // The editor already holds its most callbacks.
  kAPMPEditingErrorTooManyCallbacks = 4,
  // The program's last top-level instruction answered a control value.
  kAPMPEditingErrorControlAtTopLevel = 5,
  // An activity rule did not evaluate to a map.
  kAPMPEditingErrorRuleNotMap = 6,
  // An activity's name is not bound to a script function.
  kAPMPEditingErrorActivityNotFunction = 7,
};

// The shared error object of `code` in the editing domain.
platform::ErrorRef APMPEditingError(long code);

// Sets `slot` to the editing error `code` unless an earlier error is there.
inline void APMPSetEditingError(platform::ErrorRef& slot, long code) {
  if (!slot) slot = APMPEditingError(code);
}
