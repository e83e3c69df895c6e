// Errors of the measurement error domain and the out-parameter helpers every
// measurement component reports failures through.
//
// A measurement error carries an integer code (1 refused argument, 2 refused
// state or result, 3 failed SQLite call or unconvertible stored data, and
// the few others the overview lists) and at most two user-info entries: the
// localized description and "APMMonitorContext". An entry whose text is empty
// is left out. All functions may be called from any thread; an absent
// out-parameter is ignored.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"

inline constexpr const char* kAPMMeasurementErrorDomain = "com.voraza.vuv.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

platform::ErrorRef apm_errorWithCode(long code, const std::string& description);
platform::ErrorRef apm_errorWithCode(long code, const std::string& description,
                                     const std::string& monitorContext);

void APMSetError(platform::ErrorRef* error, long code, const std::string& description);
void APMSetErrorWithContext(platform::ErrorRef* error, long code, const std::string& description,
                            const std::string& context);

// Answers `result`; a false result also stores the error.
bool APMReturnOrSetError(bool result, platform::ErrorRef* error, long code,
                         const std::string& description);

// Answers whether `value` is present (non-null, non-zero); otherwise stores
// the error. Serves pointers, smart pointers, optionals and integers alike.
template <typename T>
bool APMReturnNonNullOrSetError(const T& value, platform::ErrorRef* error, long code,
                                const std::string& description) {
  if (static_cast<bool>(value)) return true;
  APMSetError(error, code, description);
  return false;
}

// The monitor contexts of the measurement-domain errors among `objects`,
// joined with ","; empty when none has one.
std::string APMMonitorContextsFromErrors(const std::vector<platform::Object>& objects);

// The monitor context of one error: its "APMMonitorContext" text when it is a
// measurement error that has one, else empty.
std::string APMMonitorContextOfError(const platform::Error& error);
