// The settings readers of `APMRemoteConfig`: the general reader, the typed
// readers over it and one accessor per row of the settings table.
#include "measurement/engine/monitor.h"
#include "measurement/storage/config/remote_config.h"
#include "platform/numbers.h"
#include "platform/text.h"

using platform::Object;

namespace {

// A number's integer value (fraction dropped) in the target's range.
template <typename Int>
Int integerOf(const Object& number) {
  if (number.kind() == Object::Kind::Double) return platform::saturatingCast<Int>(number.doubleValue());
  const int64_t value = number.int64Value();
  if (value > std::numeric_limits<Int>::max()) return std::numeric_limits<Int>::max();
  if (value < std::numeric_limits<Int>::min()) return std::numeric_limits<Int>::min();
  return static_cast<Int>(value);
}

// An experiment flag as the platform reads a value as a boolean: numbers
// when not zero, texts by the platform's text rule.
bool experimentFlagAsBool(const Object& value) {
  if (const std::string* text = value.string()) return platform::textBoolValue(*text);
  return value.boolValue();
}

}  // namespace

Object APMRemoteConfig::cacheValue(const Object& value, const std::string& key) {
  if (value.isNil() || key.empty()) {
    APMMeasurement::monitor()->logWithLevel(5, 29019, "Cannot cache empty configuration value");
    return Object();
  }
  settings()->memoise(key, value);
  return value;
}

std::optional<Object> APMRemoteConfig::numberFromString(const Object& value) const {
  const std::string* text = value.string();
  if (!text) {
    APMMeasurement::monitor()->logWithLevel(2, 29018, "Cannot parse number from non-string", value);
    return std::nullopt;
  }
  return APMSettingNumberFromText(*text);
}

std::optional<Object> APMRemoteConfig::numberFromCacheWithKey(const std::string& key, const Object& defaultValue,
                                                              const std::optional<Object>& maxValue,
                                                              const std::optional<Object>& minValue,
                                                              APMRemoteSettingTransform block) const {
  return numberFromCacheWithKey(*settings(), key, defaultValue, maxValue, minValue, block);
}

std::optional<Object> APMRemoteConfig::numberFromCacheWithKey(const APMRemoteSettingsCache& settings,
                                                              const std::string& key, const Object& defaultValue,
                                                              const std::optional<Object>& maxValue,
                                                              const std::optional<Object>& minValue,
                                                              APMRemoteSettingTransform block) const {
  if (key.empty()) {
    APMMeasurement::monitor()->logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  // The answer is memoised in the settings it was read from: if a parse
  // replaces them meanwhile, the answer goes with them.
  const Object entry = settings.objectForKey(key);
  if (entry.isNumber()) return entry;
  std::optional<Object> number;
  if (!entry.isNil()) {
    number = numberFromString(entry);
    if (number && block) number = block(*number);
  }
  if (number && ((minValue && APMCompareSettingNumbers(*number, *minValue) < 0) ||
                 (maxValue && APMCompareSettingNumbers(*number, *maxValue) > 0))) {
    // Silently taking the default hides a value sent in the wrong unit (an
    // interval in seconds where milliseconds are read). Once per parse: the
    // answer is memoised below.
    APMMeasurement::monitor()->logWithLevel(
        4, 29028, "Setting outside its bounds, its default is used. Key, value sent, value read, minimum, maximum",
        APMMonitor::Contexts{Object(key), entry, *number, minValue.value_or(Object()), maxValue.value_or(Object())});
    number.reset();
  }
  if (!number) number = defaultValue;
  settings.memoise(key, *number);
  return number;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                                              double maxValue, double minValue) const {
  return timeIntervalInSecondsFromCacheWithKey(*settings(), key, defaultValue, maxValue, minValue);
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const APMRemoteSettingsCache& settings,
                                                              const std::string& key, double defaultValue,
                                                              double maxValue, double minValue) const {
  return numberFromCacheWithKey(settings, key, defaultValue, Object(maxValue), Object(minValue),
                                &APMMillisecondsToSeconds)
      .value_or(Object())
      .doubleValue();
}

int32_t APMRemoteConfig::intValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                                  int32_t minValue) const {
  return intValueFromCacheWithKey(*settings(), key, defaultValue, maxValue, minValue);
}

int32_t APMRemoteConfig::intValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                                  int32_t defaultValue, int32_t maxValue, int32_t minValue) const {
  auto number =
      numberFromCacheWithKey(settings, key, Object(defaultValue), Object(maxValue), Object(minValue), nullptr);
  return number ? integerOf<int32_t>(*number) : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue, int64_t maxValue,
                                                    int64_t minValue) const {
  return int64ValueFromCacheWithKey(*settings(), key, defaultValue, maxValue, minValue);
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                                    int64_t defaultValue, int64_t maxValue,
                                                    int64_t minValue) const {
  auto number =
      numberFromCacheWithKey(settings, key, Object(defaultValue), Object(maxValue), Object(minValue), nullptr);
  return number ? integerOf<int64_t>(*number) : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue) const {
  auto number = numberFromCacheWithKey(key, Object(defaultValue), std::nullopt, std::nullopt, nullptr);
  return number ? integerOf<int64_t>(*number) : 0;
}

bool APMRemoteConfig::boolValueFromCacheWithKey(const std::string& key, bool defaultValue) const {
  return boolValueFromCacheWithKey(*settings(), key, defaultValue);
}

bool APMRemoteConfig::boolValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                                bool defaultValue) const {
  return intValueFromCacheWithKey(settings, key, defaultValue ? 1 : 0, 1, 0) == 1;
}

template <APMRemoteSettingKind Kind>
typename APMRemoteSettingValue<Kind>::type APMRemoteConfig::rowValue(const APMRemoteSettingsCache& settings,
                                                                     APMRemoteSettingID id) const {
  const APMRemoteSetting& row = APMRemoteSettingRow(id);
  if constexpr (Kind == APMRemoteSettingKind::Interval) {
    return timeIntervalInSecondsFromCacheWithKey(settings, row.key, row.defaultValue, row.maximum, row.minimum);
  } else if constexpr (Kind == APMRemoteSettingKind::Int) {
    return intValueFromCacheWithKey(settings, row.key, row.defaultValue, row.maximum, row.minimum);
  } else if constexpr (Kind == APMRemoteSettingKind::Int64) {
    return int64ValueFromCacheWithKey(settings, row.key, row.defaultValue, row.maximum, row.minimum);
  } else if constexpr (Kind == APMRemoteSettingKind::Bool) {
    return boolValueFromCacheWithKey(settings, row.key, row.defaultValue != 0);
  } else {
    // A count received in thousandths: read as an interval, bounded as a
    // count, the fraction dropped.
    return platform::saturatingCast<int32_t>(
        timeIntervalInSecondsFromCacheWithKey(settings, row.key, row.defaultValue, row.maximum, row.minimum));
  }
}
// The event answers read the blocklist settings of the snapshot they hold.
template bool APMRemoteConfig::rowValue<APMRemoteSettingKind::Bool>(const APMRemoteSettingsCache&,
                                                                    APMRemoteSettingID) const;

#define APM_REMOTE_SETTING_DEFINE_Plain(name, kind)                                 \
  APMRemoteSettingValue<APMRemoteSettingKind::kind>::type APMRemoteConfig::name() const { \
    return rowValue<APMRemoteSettingKind::kind>(*settings(), APMRemoteSettingID::name); \
  }
#define APM_REMOTE_SETTING_DEFINE_Custom(name, kind)
#define APM_REMOTE_SETTING_DEFINE(name, key, kind, def, min, max, access) APM_REMOTE_SETTING_DEFINE_##access(name, kind)
APM_REMOTE_SETTINGS(APM_REMOTE_SETTING_DEFINE)
#undef APM_REMOTE_SETTING_DEFINE
#undef APM_REMOTE_SETTING_DEFINE_Custom
#undef APM_REMOTE_SETTING_DEFINE_Plain

int32_t APMRemoteConfig::maxPSMStartCount() const {
  if (APMMeasurement::monitor()->isDebugModeEnabled()) return 10;
  return rowValue<APMRemoteSettingKind::Int>(*settings(), APMRemoteSettingID::maxPSMStartCount);
}

bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
  Object flag =
      experimentClient_ ? experimentClient_->valueForFlag("session_stitching_token_feature_enabled") : Object();
  if (!flag.isNil()) return experimentFlagAsBool(flag);
  return rowValue<APMRemoteSettingKind::Bool>(*settings(),
                                              APMRemoteSettingID::sessionStitchingTokenFeatureEnabled);
}

bool APMRemoteConfig::regionalDefaultsEnabled() const {
  Object flag;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flag = regionalDefaultsFlag_;
  }
  if (!flag.isNil()) return experimentFlagAsBool(flag);
  return rowValue<APMRemoteSettingKind::Bool>(*settings(), APMRemoteSettingID::regionalDefaultsEnabled);
}

int32_t APMRemoteConfig::maxInternalEventParameterValueLength() const {
  return std::max(maxPublicEventParameterValueLength(), 256);
}

Object APMRemoteConfig::settingValue(APMRemoteSettingID id) const {
  switch (id) {
#define APM_REMOTE_SETTING_CASE(name, key, kind, def, min, max, access) \
  case APMRemoteSettingID::name:                                        \
    return Object(name());
    APM_REMOTE_SETTINGS(APM_REMOTE_SETTING_CASE)
#undef APM_REMOTE_SETTING_CASE
  }
  return Object();
}
