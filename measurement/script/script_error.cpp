#include "measurement/script/script_error.h"

#include <array>

platform::ErrorRef APMPScriptError(long code) {
  // Errors are frequent under hostile programs and carry nothing but their
  // code, so one immutable object per code is shared.
  static const std::array<platform::ErrorRef, kAPMPErrorLimit + 1> shared = [] {
    std::array<platform::ErrorRef, kAPMPErrorLimit + 1> errors;
    for (long c = 0; c <= kAPMPErrorLimit; ++c) errors[c] = platform::Error::make(kAPMPErrorDomain, c);
    return errors;
  }();
  if (code >= 0 && code <= kAPMPErrorLimit) return shared[code];
  return platform::Error::make(kAPMPErrorDomain, code);
}
