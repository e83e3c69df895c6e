// The failures of the script runtime: error objects of one domain carrying a
// numeric code and nothing else (no description, no user info).
//
// Inside the interpreter every routine reports through an `ErrorRef&` slot:
// the first error of a run is set and every enclosing evaluation answers
// undefined and passes it up unchanged. The error objects are shared and
// immutable; any thread.
#pragma once

#include "platform/error.h"

inline constexpr const char* kAPMPErrorDomain = "com.voraza.vuv.measurement.pixie.ErrorDomain";

// The codes of the domain.
enum APMPErrorCode : long {
  kAPMPErrorUndeclaredVariable = 2,
  kAPMPErrorNoTruthValue = 3,
  kAPMPErrorNoNumberForm = 4,
  kAPMPErrorNoTextForm = 5,
  kAPMPErrorPropertyOfNothing = 6,
  kAPMPErrorMethodOfNothing = 7,
  kAPMPErrorEmptyReduction = 8,
  kAPMPErrorArgumentCount = 9,
  kAPMPErrorArgumentKind = 10,
  kAPMPErrorArrayLength = 11,
  kAPMPErrorEntityType = 12,
  kAPMPErrorUnconvertibleObject = 13,
  kAPMPErrorMissingFunctionName = 14,
  kAPMPErrorModuleMissing = 15,
  kAPMPErrorNotIterable = 16,
  kAPMPErrorUnknownMethod = 17,
  // The instruction limit, and every other bound that keeps a program from
  // exhausting the native stack (nesting of evaluations, of program trees and
  // of converted values).
  kAPMPErrorLimit = 18,
};

// The shared error object of `code` in the script domain.
platform::ErrorRef APMPScriptError(long code);

// Sets `slot` to the script error `code` unless an earlier error is there:
// the first error of a run is the one reported.
inline void APMPSetError(platform::ErrorRef& slot, long code) {
  if (!slot) slot = APMPScriptError(code);
}
