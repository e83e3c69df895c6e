// The remote settings: every tunable number of the measurement stack, as one
// table, and the grammar their received texts are read with.
//
// A setting is a key "measurement." + dotted name that the measurement
// configuration may carry as a text; `APMRemoteConfig` answers it through a
// read-only accessor of the same name as the table row (remote_config.h),
// bounded, or its default when the configuration does not carry it, carries
// something unreadable or a value outside the bounds (never the nearer
// bound). The exceptions are the three PSM numbers of a configuration's PSM
// block (hashPrefixBitLengthEmail, hashPrefixBitLengthPhone,
// maxSignInDelayInDays): they are answered as sent, without bounds; only a
// text the configuration sends under those keys is bounded.
//
// Kinds:
// - Interval: seconds as a double; the received value is a count of
//   milliseconds, whose integer part is divided by 1000.
// - Int / Int64: signed 32- or 64-bit integers (a fraction is dropped after
//   the bounds test).
// - Bool: the received value 1 (YES) or 0 (NO); bounds 0 and 1.
// - Count: read as an interval (milliseconds to seconds, bounded as a count)
//   and answered truncated to an integer.
//
// The access column says whether the accessor is the plain reading of its
// row (Plain) or is written by hand around it (Custom: a debug-mode or
// experiment override).
//
// Texts are read by one fixed grammar, whatever the device's locale: an
// optional sign, decimal digits, at most one "." (no exponent, grouping or
// blanks). Integers are kept exactly as 64-bit values; a number whose
// integer part does not fit 64 bits is unreadable.
//
// Constant data and pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/object.h"

// clang-format off
// S(accessor, key, kind, default, minimum, maximum, access); intervals in
// seconds.
#define APM_REMOTE_SETTINGS(S) \
  S(uploadingBackoffInterval, "measurement.upload.backoff_period", Interval, 43200, 3600, 604800, Plain) \
  S(maxAudienceCount, "measurement.audience.max_count", Int, 100, 0, 500, Plain) \
  S(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", Int, 10, 0, 100, Plain) \
  S(maxFilterResultCount, "measurement.audience.filter_result_max_count", Int, 200, 0, 2000, Plain) \
  S(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", Int, 25, 0, 250, Plain) \
  S(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval", Interval, 86400, 3600, 604800, Plain) \
  S(maxQueueTime, "measurement.upload.max_queue_time", Interval, 2419200, 604800, 7862400, Plain) \
  S(adIDCacheTime, "measurement.ad_id_cache_time", Interval, 1, 0, 86400, Plain) \
  S(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", Bool, 0, 0, 1, Plain) \
  S(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", Interval, 86400, 0, 604800, Plain) \
  S(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", Bool, 0, 0, 1, Plain) \
  S(networkTimeout, "measurement.network.network_timeout", Interval, 60, 30, 3600, Plain) \
  S(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", Interval, 10, 0, 86400, Plain) \
  S(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", Interval, 1800, 0, 86400, Plain) \
  S(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval", Interval, 3600, 0, 86400, Plain) \
  S(efficientEngagementReportingEnabled, "measurement.collection.efficient_engagement_reporting_enabled", Bool, 0, 0, 1, Plain) \
  S(redundantEngagementRemovalEnabled, "measurement.collection.redundant_engagement_removal_enabled", Bool, 0, 0, 1, Plain) \
  S(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", Int, 10000, 0, 1000000, Plain) \
  S(maxEventsPerDay, "measurement.upload.max_events_per_day", Int, 100000, 0, 1000000, Plain) \
  S(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", Int, 50000, 0, 1000000, Plain) \
  S(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", Int, 1000, 0, 1000000, Plain) \
  S(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", Int, 4, 1, 100, Plain) \
  S(maxPublicUserProperties, "measurement.upload.max_public_user_properties", Int, 100, 25, 100, Plain) \
  S(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", Int, 2000, 500, 2000, Plain) \
  S(maxPublicEventParams, "measurement.upload.max_public_event_params", Int, 100, 25, 100, Plain) \
  S(maxEventsStored, "measurement.store.max_stored_events_per_app", Int, 100000, 0, 1000000, Plain) \
  S(uploadingInterval, "measurement.upload.interval", Interval, 3600, 15, 86400, Plain) \
  S(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", Interval, 15, 1, 86400, Plain) \
  S(uploadMaxBundlesLimit, "measurement.upload.max_bundles", Int64, 100, 1, 10000, Plain) \
  S(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", Int64, 1000, 1, 1000000, Plain) \
  S(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", Int64, 65536, 0, 10485760, Plain) \
  S(uploadingRetryCount, "measurement.upload.retry_count", Int, 6, 1, 24, Plain) \
  S(uploadingRetryInterval, "measurement.upload.retry_time", Interval, 1800, 60, 86400, Plain) \
  S(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration", Count, 100, 1, 10000, Plain) \
  S(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", Int, 10, 0, 10, Plain) \
  S(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", Interval, 1, 1, 15, Plain) \
  S(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", Interval, 10, 10, 15, Plain) \
  S(blocklistInternal, "measurement.upload.blacklist_internal", Bool, 0, 0, 1, Plain) \
  S(blocklistPublic, "measurement.upload.blacklist_public", Bool, 0, 0, 1, Plain) \
  S(isEventSamplingEnabled, "measurement.event_sampling_enabled", Bool, 0, 0, 1, Plain) \
  S(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", Int, 0, -900, 900, Plain) \
  S(checksumEnabled, "measurement.quality.checksum", Bool, 0, 0, 1, Plain) \
  S(appBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", Bool, 0, 0, 1, Plain) \
  S(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", Bool, 1, 0, 1, Plain) \
  S(itemScopedCustomParameterEnabled, "measurement.item_scoped_custom_parameter_enabled", Bool, 1, 0, 1, Plain) \
  S(maxItemScopedCustomParameters, "measurement.upload.max_item_scoped_custom_parameters", Int, 27, 10, 35, Plain) \
  S(maxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length", Int, 500, 100, 500, Plain) \
  S(tcfFeatureEnabled, "measurement.tcf_enabled", Bool, 1, 0, 1, Plain) \
  S(dcuEventFeatureEnabled, "measurement.dma.dcu_event_enabled", Bool, 1, 0, 1, Plain) \
  S(maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count", Int, 1, 0, 10, Plain) \
  S(PSMFeatureEnabled, "measurement.psm_enabled", Bool, 1, 0, 1, Plain) \
  S(maxPSMStartCount, "measurement.psm_start_count", Int, 3, 0, 10, Custom) \
  S(maxPSMRetryCount, "measurement.psm_retry_count", Int, 5, 0, 10, Plain) \
  S(PSMRetryInterval, "measurement.psm_retry_interval", Interval, 300, 30, 1800, Plain) \
  S(hashPrefixBitLengthEmail, "measurement.psm_prefix_email", Int, 14, 6, 20, Plain) \
  S(hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", Int, 11, 6, 18, Plain) \
  S(maxSignInDelayInDays, "measurement.psm_signin_delay", Int, 60, 7, 90, Plain) \
  S(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", Bool, 1, 0, 1, Plain) \
  S(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", Int, 5, 0, 10, Plain) \
  S(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", Interval, 604800, 86400, 2592000, Plain) \
  S(remoteConfigCacheTimeInterval, "measurement.config.cache_time", Interval, 3600, 60, 86400, Plain) \
  S(isSessionIDEnabled, "measurement.api.session_id", Bool, 1, 0, 1, Plain) \
  S(sessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled", Bool, 0, 0, 1, Custom) \
  S(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled", Bool, 0, 0, 1, Plain) \
  S(SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", Interval, 120, 30, 3600, Plain) \
  S(SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", Interval, 120, 30, 3600, Plain) \
  S(SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", Int, 4, 1, 10, Plain) \
  S(SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec", Interval, 20, 1, 3600, Plain) \
  S(SKANFirstWindowCVFetchRetryInterval, "measurement.skan.first_window.cv_fetch_retry_interval_sec", Interval, 120, 30, 3600, Plain) \
  S(SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit", Int, 4, 1, 10, Plain) \
  S(SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec", Interval, 1800, 15, 86400, Plain) \
  S(DMAConsentEnabled, "measurement.upload.dma_consent_enabled", Bool, 1, 0, 1, Plain) \
  S(regionalDefaultsEnabled, "measurement.regional_defaults_enabled", Bool, 1, 0, 1, Custom)
// clang-format on

enum class APMRemoteSettingKind : uint8_t { Interval, Int, Int64, Bool, Count };

// The C++ type each kind is answered as.
template <APMRemoteSettingKind Kind>
struct APMRemoteSettingValue;
template <>
struct APMRemoteSettingValue<APMRemoteSettingKind::Interval> { using type = double; };
template <>
struct APMRemoteSettingValue<APMRemoteSettingKind::Int> { using type = int32_t; };
template <>
struct APMRemoteSettingValue<APMRemoteSettingKind::Int64> { using type = int64_t; };
template <>
struct APMRemoteSettingValue<APMRemoteSettingKind::Bool> { using type = bool; };
template <>
struct APMRemoteSettingValue<APMRemoteSettingKind::Count> { using type = int32_t; };

// Row numbers of the table, by accessor name.
enum class APMRemoteSettingID : uint16_t {
#define APM_REMOTE_SETTING_ENUMERATOR(name, key, kind, def, min, max, access) name,
  APM_REMOTE_SETTINGS(APM_REMOTE_SETTING_ENUMERATOR)
#undef APM_REMOTE_SETTING_ENUMERATOR
};

// What the reader does to a received number before the bounds test.
using APMRemoteSettingTransform = platform::Object (*)(const platform::Object& number);

// The integer part of a number of milliseconds, in seconds.
platform::Object APMMillisecondsToSeconds(const platform::Object& number);

struct APMRemoteSetting {
  const char* accessorName;
  const char* key;
  APMRemoteSettingKind kind;
  // In the row's unit (seconds for intervals).
  int64_t defaultValue;
  int64_t minimum;
  int64_t maximum;
  // Null for none.
  APMRemoteSettingTransform transform;
};

// Every row, in the order above.
std::span<const APMRemoteSetting> APMRemoteSettings();
const APMRemoteSetting& APMRemoteSettingRow(APMRemoteSettingID id);

// The number a settings text stands for by the grammar above: a signed
// integer when it has no fractional part, else a double; nullopt when the
// text is not in the grammar, longer than kAPMSettingTextMaxLength, or its
// integer part does not fit 64 bits.
inline constexpr size_t kAPMSettingTextMaxLength = 64;
std::optional<platform::Object> APMSettingNumberFromText(std::string_view text);

// Orders two numbers exactly (a 64-bit integer against a double too):
// negative, zero or positive.
int APMCompareSettingNumbers(const platform::Object& a, const platform::Object& b);
