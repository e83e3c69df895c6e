// The stored deep link: the URL that opened the app, kept in the app's own
// user defaults with the time it was stored until the engine reports it as a
// campaign or it ages out.
//
// Two keys of the store: kAPMStoredDeepLinkKey holds the link's absolute URL
// string, kAPMStoredDeepLinkTimestampKey the time it was stored (seconds
// since 1970, a double, from `platform::Clock::current()`).
//
// Plain functions with no state of their own; they run on the caller's
// queue and rely on the store's thread safety.
#pragma once

#include <cstdint>
#include <string>

#include "measurement/storage/settings/config_store.h"

class APMRemoteConfig;

inline constexpr const char* kAPMStoredDeepLinkKey = "/voraza/measurement/deep_link";
inline constexpr const char* kAPMStoredDeepLinkTimestampKey =
    "/voraza/measurement/deep_link_timestamp_seconds";

// Stores the link and the current time.
void APMStoreDeepLink(APMConfigStore& store, const std::string& url);

// Removes both keys, whatever they hold.
void APMClearStoredDeepLink(APMConfigStore& store);

// YES when the stored link is older than `interval` seconds: the absolute
// difference between now and the stored time is greater than `interval`
// (so a clock set back ages the link too). NO when no time is stored. A
// stored time that is not a finite number cannot show the link is fresh
// and answers YES.
bool APMIsStoredDeepLinkExpired(APMConfigStore& store, double interval);

// Clears the link kept in the shared `APMUserDefaults` when it is older than
// the configuration's `attributionCacheTTLInterval` (the remote setting
// "measurement.attribution.cache.ttl"); YES when it did.
bool APMClearStoredDeepLinkIfExpired(const APMRemoteConfig& remoteConfig);

// The start of the hour before the one holding `milliseconds`: the time cut
// to the whole hour (rounding toward zero) less one hour, saturating at the
// int64 bounds. The `_cc` parameter of a campaign from a link that has not
// expired.
int64_t APMPreviousHourStartMillis(int64_t milliseconds);
