#include "measurement/storage/settings/config_store.h"

#include "platform/property_list.h"
#include "sdk_core/logger.h"

bool APMIsPropertyListValue(const platform::Object& value) {
  using Kind = platform::Object::Kind;
  switch (value.kind()) {
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double:
    case Kind::Data:
      return true;
    case Kind::String:
      return value.string()->find('\0') == std::string::npos;
    case Kind::Date:
    case Kind::Array:
    case Kind::Dictionary:
      // Containers and dates have limits of their own (depth, nested kinds,
      // the date range of the file format): ask the writer itself.
      return platform::xmlPropertyList(value).has_value();
    default:
      return false;
  }
}

void APMConfigStoreLogError(long code, const std::string& message) {
  GULLogError(kGULAnalyticsSubsystem, kGULAnalyticsLogTag, false, GULAnalyticsMessageCode(code),
              message);
}

void APMConfigStoreLogWarning(long code, const std::string& message) {
  GULLogWarning(kGULAnalyticsSubsystem, kGULAnalyticsLogTag, false, GULAnalyticsMessageCode(code),
                message);
}

void APMConfigStoreLogWriteFailure(long code, const std::string& path,
                                   const platform::ErrorRef& error) {
  APMConfigStoreLogError(code, "Cannot write the settings file " +
                                   (path.empty() ? std::string("(no container)") : path) + ": " +
                                   (error ? error->localizedDescription() : "unknown error"));
}

std::optional<platform::Object::Array> APMConfigStore::arrayForKey(const std::string& key) {
  platform::Object value = objectForKey(key);
  if (const auto* array = value.array()) return *array;
  return std::nullopt;
}

std::optional<platform::Object::Dictionary> APMConfigStore::dictionaryForKey(
    const std::string& key) {
  platform::Object value = objectForKey(key);
  if (const auto* dictionary = value.dictionary()) return *dictionary;
  return std::nullopt;
}

std::optional<std::string> APMConfigStore::stringForKey(const std::string& key) {
  platform::Object value = objectForKey(key);
  if (const auto* string = value.string()) return *string;
  return std::nullopt;
}

platform::Object APMConfigStore::numberForKey(const std::string& key) {
  platform::Object value = objectForKey(key);
  return value.isNumber() ? value : platform::Object();
}

int64_t APMConfigStore::integerForKey(const std::string& key) {
  return numberForKey(key).int64Value();
}

float APMConfigStore::floatForKey(const std::string& key) {
  return static_cast<float>(numberForKey(key).doubleValue());
}

double APMConfigStore::doubleForKey(const std::string& key) {
  return numberForKey(key).doubleValue();
}

bool APMConfigStore::boolForKey(const std::string& key) { return numberForKey(key).boolValue(); }

void APMConfigStore::setFloat(float value, const std::string& key) {
  setObject(platform::Object(value), key);
}

void APMConfigStore::setDouble(double value, const std::string& key) {
  setObject(platform::Object(value), key);
}

void APMConfigStore::setInteger(int64_t value, const std::string& key) {
  setObject(platform::Object(value), key);
}

void APMConfigStore::setBool(bool value, const std::string& key) {
  setObject(platform::Object(value), key);
}

void APMConfigStore::removeObjectForKey(const std::string& key) {
  setObject(platform::Object(), key);
}
