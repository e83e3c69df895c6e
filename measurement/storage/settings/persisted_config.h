// `APMPersistedConfig`: the engine's typed settings, one accessor pair per
// key, kept in the `APMPersistentDictionary` of the same name (the
// measurement enabled state alone lives in the app's own user defaults).
//
// Every typed read and write runs synchronously on the serial queue
// "APMPersistedConfig", so two never overlap and a write is seen by the next
// read from any thread; do not call them from that queue. Each write pushes
// a deferred synchronize of the store back to one second later.
//
// The shared instance lives for the whole process; releasing a settings
// object (the shared one at exit) writes what its store still holds
// pending.
//
// Thread-safe: any thread may call any operation except from the queue
// "APMPersistedConfig" itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/storage/settings/config_store.h"
#include "platform/dispatch.h"
#include "platform/object.h"

class APMPersistedConfig;

// How each kind of property is read and written (see the table below).
struct APMDoubleSetting {
  using Type = double;
  static double get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, double value);
};
struct APMInt64Setting {
  using Type = int64_t;
  static int64_t get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, int64_t value);
};
// Nullopt when absent; setting nullopt removes the key.
struct APMStringSetting {
  using Type = std::optional<std::string>;
  static Type get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, const Type& value);
};
// Kept as the int64 0 or 1; any other stored number reads as true.
struct APMBoolSetting {
  using Type = bool;
  static bool get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, bool value);
};
// The stored object as it is (a number unless someone stored otherwise);
// nil removes the key.
struct APMNumberSetting {
  using Type = platform::Object;
  static Type get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, const Type& value);
};
struct APMDictionarySetting {
  using Type = std::optional<platform::Object::Dictionary>;
  static Type get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, const Type& value);
};
// Any object, read and written raw on the queue; the write schedules no
// synchronize.
struct APMRawSetting {
  using Type = platform::Object;
  static Type get(APMPersistedConfig& config, const std::string& key);
  static void set(APMPersistedConfig& config, const std::string& key, const Type& value);
};
// As `APMRawSetting`, and the write schedules a synchronize.
struct APMRawSyncedSetting : APMRawSetting {
  static void set(APMPersistedConfig& config, const std::string& key, const Type& value);
};

// X(kind, getter, Setter, key): one row per property. The getter is
// `getter()`, the setter `setSetter(value)`, the key constant `kSetterKey`.
#define APM_PERSISTED_CONFIG_PROPERTIES(X)                                                        \
  X(APMDoubleSetting, lastDeleteStaleBundlesTimestamp, LastDeleteStaleBundlesTimestamp,           \
    "/voraza/measurement/last_delete_stale")                                                      \
  X(APMDoubleSetting, lastSearchAdLookUpTimestamp, LastSearchAdLookUpTimestamp,                   \
    "/voraza/measurement/search_ad_last_attempt_timestamp")                                       \
  X(APMInt64Setting, searchAdRetryCount, SearchAdRetryCount,                                      \
    "/voraza/measurement/search_ad_number_of_retries")                                            \
  X(APMStringSetting, appInstanceID, AppInstanceID, "/voraza/measurement/app_instance_id")        \
  X(APMStringSetting, appIDFromVUV, AppIDFromVUV, "/voraza/measurement/vuv_app_id")               \
  X(APMStringSetting, appIDFromDeDer, AppIDFromDeDer, "/voraza/measurement/deder_app_id")         \
  X(APMStringSetting, hashedResettableDeviceID, HashedResettableDeviceID,                         \
    "/voraza/measurement/hashed_idfa")                                                            \
  X(APMStringSetting, diversionKey, DiversionKey, "/voraza/measurement/diversion_key")            \
  X(APMDoubleSetting, lastBackoffTimestamp, LastBackoffTimestamp,                                 \
    "/voraza/measurement/last_backoff")                                                           \
  X(APMDoubleSetting, lastSuccessfulUploadTimestamp, LastSuccessfulUploadTimestamp,               \
    "/voraza/measurement/last_successful_upload")                                                 \
  X(APMDoubleSetting, lastFailedUploadTimestamp, LastFailedUploadTimestamp,                       \
    "/voraza/measurement/last_failed_upload")                                                     \
  X(APMStringSetting, appVersion, AppVersion, "/voraza/measurement/app_version")                  \
  X(APMStringSetting, osVersion, OSVersion, "/voraza/measurement/os_version")                     \
  X(APMDoubleSetting, lastMonitorDataSampledTimestamp, LastMonitorDataSampledTimestamp,           \
    "/voraza/measurement/last_monitor_data_sampled_timestamp")                                    \
  X(APMInt64Setting, firstOpenTimestampMilliseconds, FirstOpenTimestampMilliseconds,              \
    "/voraza/measurement/first_open_timestamp_ms")                                                \
  X(APMStringSetting, configServerLastModifiedString, ConfigServerLastModifiedString,             \
    "/voraza/measurement/last_modified_since_key")                                                \
  X(APMStringSetting, configServerETag, ConfigServerETag, "/voraza/measurement/config_etag")      \
  X(APMRawSetting, loadTimestampValue, LoadTimestampValue, "/voraza/measurement/load_timestamp")  \
  X(APMRawSetting, allowPersonalizedAds, AllowPersonalizedAds,                                    \
    "/voraza/measurement/allow_personalized_ads")                                                 \
  X(APMStringSetting, vudaziruFeatureRollouts, VudaziruFeatureRollouts,                           \
    "/voraza/measurement/vudaziru_feature_rollouts")                                              \
  X(APMRawSetting, deferredDeepLinkRetrievalComplete, DeferredDeepLinkRetrievalComplete,          \
    "/voraza/measurement/deep_link_retrieval_complete")                                           \
  X(APMInt64Setting, deferredDeepLinkRetryCount, DeferredDeepLinkRetryCount,                      \
    "/voraza/measurement/deep_link_retry_count")                                                  \
  X(APMBoolSetting, shouldSetLastAdvertisingIDResetUserProperty,                                  \
    ShouldSetLastAdvertisingIDResetUserProperty, "/voraza/measurement/set_last_advertising_id_reset") \
  X(APMBoolSetting, unmatchedFirstOpenWithoutIDFA, UnmatchedFirstOpenWithoutIDFA,                 \
    "/voraza/measurement/unmatched_first_open")                                                   \
  X(APMNumberSetting, previousFirstOpenCount, PreviousFirstOpenCount,                             \
    "/voraza/measurement/previous_first_open_count")                                              \
  X(APMStringSetting, previousBundledConsentSignals, PreviousBundledConsentSignals,               \
    "/voraza/measurement/previous_bundled_consent_signals")                                       \
  X(APMRawSyncedSetting, adCampaignInfoBuffer, AdCampaignInfoBuffer,                              \
    "/voraza/measurement/ad_campaign_info_buffer")                                                \
  X(APMDoubleSetting, lastSessionActivityClockTime, LastSessionActivityClockTime,                 \
    "/voraza/measurement/last_engagement_end")                                                    \
  X(APMInt64Setting, sessionNumber, SessionNumber, "/voraza/measurement/session_number")          \
  X(APMDictionarySetting, defaultEventParameters, DefaultEventParameters,                         \
    "/voraza/measurement/default_event_parameters")                                               \
  X(APMInt64Setting, lastUploadedEventTimestampMillis, LastUploadedEventTimestampMillis,          \
    "/voraza/measurement/last_uploaded_event_millis")                                             \
  X(APMInt64Setting, SKANEvaluationEventTimeMillis, SKANEvaluationEventTimeMillis,                \
    "/voraza/measurement/skan_evaluation_event_time_millis")                                      \
  X(APMInt64Setting, SKANEvaluationUpdateBackoffMillis, SKANEvaluationUpdateBackoffMillis,        \
    "/voraza/measurement/skan_evaluation_update_backoff_millis")

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  static constexpr const char* kSharedSuiteName = "com.voraza.vuv.measurement";
  static constexpr const char* kSearchAdCampaignValueKey =
      "/voraza/measurement/is_search_ad_campaign";
  static constexpr const char* kMeasurementEnabledStateKey =
      "/voraza/measurement/measurement_enabled_state";
  static constexpr const char* kMidnightOffsetKey = "/voraza/measurement/midnight_offset";
  // Delay of the deferred synchronize after a write.
  static constexpr double kSynchronizeDelaySeconds = 1.0;

  // The process-wide settings over "com.voraza.vuv.measurement". Null only
  // when creation failed (27001 logged on every call).
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // Migrates an old preferences file of the suite into Application Support,
  // then opens the plist store of the same name. Null for an empty name. A
  // store that cannot be opened leaves a settings object whose reads answer
  // empty values and whose writes are lost.
  static std::shared_ptr<APMPersistedConfig> initWithSuiteName(const std::string& name);
  // Over a store of the caller's (for tests: a store driven by a manual
  // clock).
  static std::shared_ptr<APMPersistedConfig> initWithSuiteName(
      const std::string& name, std::shared_ptr<APMConfigStore> store);
  // Cancels the pending synchronize.
  ~APMPersistedConfig();
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& name() const { return name_; }
  const std::shared_ptr<APMConfigStore>& userDefaults() const { return store_; }

#define APM_PERSISTED_CONFIG_ACCESSORS(Kind, getter, Setter, key)                            \
  static constexpr const char* k##Setter##Key = key;                                        \
  Kind::Type getter() { return Kind::get(*this, k##Setter##Key); }                          \
  void set##Setter(const Kind::Type& value) { Kind::set(*this, k##Setter##Key, value); }
  APM_PERSISTED_CONFIG_PROPERTIES(APM_PERSISTED_CONFIG_ACCESSORS)
#undef APM_PERSISTED_CONFIG_ACCESSORS

  // Read and written on the caller's thread, straight on the store; only
  // numbers are stored (anything else, nil included, is ignored).
  platform::Object searchAdCampaignValue();
  void setSearchAdCampaignValue(const platform::Object& value);
  // 0 not set, 1 enabled, 2 disabled; kept in the app's own user defaults
  // (it survives `clearValues`) and synchronized at once.
  int64_t measurementEnabledState();
  void setMeasurementEnabledState(int64_t state);
  // The per-installation shift of the day boundary, in [0, 86400) seconds
  // with at most three decimals: drawn once, then answered until the
  // settings are cleared. Two first reads at once draw one offset.
  double midnightOffset();

  // Typed primitives, each one block on the queue. Readers answer the empty
  // value for an empty key without asking the store (`numberForKey` asks,
  // and the store logs the refusal).
  bool boolForKey(const std::string& key);
  int64_t int64ForKey(const std::string& key);
  int64_t int64ForKey(const std::string& key, const std::shared_ptr<APMConfigStore>& store);
  double doubleForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  std::optional<platform::Object::Dictionary> dictionaryForKey(const std::string& key);
  platform::Object numberForKey(const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInt64(int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  // A dictionary that cannot be kept in the file is refused (27002).
  void setDictionary(const std::optional<platform::Object::Dictionary>& value,
                     const std::string& key);
  void setNumber(const platform::Object& value, const std::string& key);
  // The raw object, on the queue.
  platform::Object objectForKey(const std::string& key);
  void setObject(const platform::Object& value, const std::string& key, bool synchronize);

  // Empties the store.
  void clearValues();

  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // Synchronizes the store; on the main thread it only schedules itself.
  void synchronizeToDisk();

 private:
  APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store);
  template <typename Result, typename Block>
  Result onQueue(Block&& block);

  const std::string name_;
  const std::shared_ptr<APMConfigStore> store_;
  const std::shared_ptr<platform::DispatchQueue> serialQueue_;
  std::mutex mutex_;
  platform::DelayedWork synchronizeBlock_;
  // The midnight offset of a settings object without a store. Queue only.
  std::optional<double> unstoredMidnightOffset_;
};
