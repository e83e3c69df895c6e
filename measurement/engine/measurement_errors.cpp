#include "measurement/engine/measurement_errors.h"

platform::ErrorRef apm_errorWithCode(long code, const std::string& description) {
  return apm_errorWithCode(code, description, std::string());
}

platform::ErrorRef apm_errorWithCode(long code, const std::string& description,
                                     const std::string& monitorContext) {
  platform::Object::Dictionary info;
  if (!description.empty()) info.emplace(platform::kLocalizedDescriptionKey, description);
  if (!monitorContext.empty()) info.emplace(kAPMMonitorContextKey, monitorContext);
  return platform::Error::make(kAPMMeasurementErrorDomain, code, std::move(info));
}

void APMSetError(platform::ErrorRef* error, long code, const std::string& description) {
  if (error) *error = apm_errorWithCode(code, description);
}

void APMSetErrorWithContext(platform::ErrorRef* error, long code, const std::string& description,
                            const std::string& context) {
  if (error) *error = apm_errorWithCode(code, description, context);
}

bool APMReturnOrSetError(bool result, platform::ErrorRef* error, long code,
                         const std::string& description) {
  if (!result) APMSetError(error, code, description);
  return result;
}

std::string APMMonitorContextOfError(const platform::Error& error) {
  if (error.domain() != kAPMMeasurementErrorDomain) return {};
  auto it = error.userInfo().find(kAPMMonitorContextKey);
  if (it == error.userInfo().end() || !it->second.isString()) return {};
  return *it->second.string();
}

std::string APMMonitorContextsFromErrors(const std::vector<platform::Object>& objects) {
  std::string joined;
  for (const platform::Object& object : objects) {
    platform::ErrorRef error = object.error();
    if (!error) continue;
    std::string context = APMMonitorContextOfError(*error);
    if (context.empty()) continue;
    if (!joined.empty()) joined += ',';
    joined += context;
  }
  return joined;
}
