#include "measurement/storage/settings/stored_deep_link.h"

#include <cmath>
#include <limits>

#include "measurement/storage/config/remote_config.h"
#include "measurement/storage/settings/user_defaults.h"
#include "platform/clock.h"

namespace {

constexpr int64_t kMillisecondsPerHour = 3'600'000;

}  // namespace

void APMStoreDeepLink(APMConfigStore& store, const std::string& url) {
  store.setObject(platform::Object(url), kAPMStoredDeepLinkKey);
  store.setDouble(platform::Clock::current()->now(), kAPMStoredDeepLinkTimestampKey);
}

void APMClearStoredDeepLink(APMConfigStore& store) {
  store.removeObjectForKey(kAPMStoredDeepLinkKey);
  store.removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
}

bool APMIsStoredDeepLinkExpired(APMConfigStore& store, double interval) {
  const platform::Object stored = store.objectForKey(kAPMStoredDeepLinkTimestampKey);
  if (stored.isNil()) return false;
  // A damaged time would otherwise keep the link for ever: no comparison
  // with NaN is true.
  if (!stored.isNumber() || !std::isfinite(stored.doubleValue())) return true;
  return std::fabs(platform::Clock::current()->now() - stored.doubleValue()) > interval;
}

bool APMClearStoredDeepLinkIfExpired(const APMRemoteConfig& remoteConfig) {
  APMUserDefaults& defaults = *APMUserDefaults::sharedUserDefaults();
  if (!APMIsStoredDeepLinkExpired(defaults, remoteConfig.attributionCacheTTLInterval())) {
    return false;
  }
  APMClearStoredDeepLink(defaults);
  return true;
}

int64_t APMPreviousHourStartMillis(int64_t milliseconds) {
  const int64_t hourStart = milliseconds / kMillisecondsPerHour * kMillisecondsPerHour;
  // Only a time within the first hour of the int64 range has no hour before.
  if (hourStart < std::numeric_limits<int64_t>::min() + kMillisecondsPerHour) {
    return std::numeric_limits<int64_t>::min();
  }
  return hourStart - kMillisecondsPerHour;
}
