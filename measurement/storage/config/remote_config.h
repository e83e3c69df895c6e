// `APMRemoteConfig`: the measurement configuration of one Voraza app ID, and
// what the rest of the stack reads of it.
//
// The engine makes one instance at start over its app ID, its measurement
// database and the experiment manager; before the engine exists,
// `APMMeasurement::remoteConfig()` answers `defaultInstance()`, which never
// holds a configuration and answers every setting's default. A fetched
// configuration is handed to `updateMeasurementConfig`, which checks its app
// IDs, stores it in the configuration row of the database and parses it
// into:
// - the remote settings, read through the accessors generated from the
//   settings table (remote_settings.h) and the typed readers below;
// - event configurations keyed by internal event name (per-event
//   blocklisting, custom conversions, sampling rates);
// - data controls, consent defaults and delegations, core platform
//   services, the DMA-region flag and regional defaults;
// - the event editor made from the first program (with the script modules
//   "internal.remoteConfig", "internal.appMetadata" and "internal.logger").
// It also answers the configuration fetch URL, the upload URL and whether
// the configuration has expired, and it is the measurement library's client
// ("vav_iradadovozo") of the experiment framework.
//
// A configuration that is refused, that cannot be stored, or that belongs
// to another app changes nothing. One past the bounds of a configuration
// (its bytes, settings, event configurations and program nodes, stated
// with their reasons in config_bounds.h) is refused by its own decode
// before it is built, and by the configuration row as one that would not
// load again (29005), before anything of it is parsed.
// A program that fails to load leaves no editor, and the previous
// configuration's data controls, consent and PSM numbers stay in force
// until another configuration is accepted; the configuration held keeps
// nothing of its programs, which may take many times their bytes.
//
// Threads: configuration changes, parses and `reset` run on the engine's
// worker queue (the event editor is driven there too). Settings, event
// answers, consent answers and URLs may be read from any thread. Each parse
// (and `reset`) swaps in one immutable snapshot holding everything it made:
// the settings, PSM numbers included, the event configurations, the data
// controls and consent, and the event editor. Each reader call answers
// from one snapshot, so an answer that combines parts (an event's
// blocklisting: its event configuration, else the blocklist setting) never
// mixes two configurations. Separate calls may see successive ones. The
// configuration message itself (`version`, `uploadSubdomain`) is swapped in
// when it is accepted, just before its parse.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/messages/message_wrappers.h"
#include "measurement/storage/config/remote_settings.h"
#include "measurement/storage/config/settings_cache.h"
#include "measurement/storage/experiments/experiment_client.h"
#include "measurement/storage/experiments/sdk_property.h"
#include "platform/object.h"

class APMDatabase;
class APMEManager;
class APMPEventEditing;

// The SDK property the library registers with the experiment framework.
inline constexpr const char* kAPMRemoteConfigSDKName = "vav_iradadovozo";
// Where configurations are fetched and bundles uploaded (https, fixed hosts).
inline constexpr const char* kAPMRemoteConfigHost = "config.measurement.voraza.com";
inline constexpr const char* kAPMUploadHost = "upload.measurement.voraza.com";
// Used instead of the upload host while app tracking is authorized.
inline constexpr const char* kAPMAlternativeUploadHost = "upload-alt.measurement.voraza.com";
// The longest upload subdomain accepted from a configuration (a DNS name).
inline constexpr size_t kAPMUploadSubdomainMaxLength = 253;

class APMRemoteConfig final : public APMEExperimentObserverDelegate,
                              public APMESDKPropertyProviderDelegate,
                              public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  using Dictionary = std::map<std::string, std::string>;

  // The one instance without app ID, database, configuration or
  // experiment manager; built on first use.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // Null for an empty app ID (29000) or no database (29001); otherwise the
  // designated initialiser without a configuration.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID,
                                                        const std::shared_ptr<APMDatabase>& database,
                                                        const std::shared_ptr<APMEManager>& experimentManager);
  // Registers with the experiment manager (when given) and activates its
  // latest snapshot, then takes `config` through `updateMeasurementConfig`
  // or, without one, loads and parses the stored configuration.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(
      const std::string& appID, const std::shared_ptr<APMDatabase>& database,
      const std::shared_ptr<const APMPBMeasurementConfig>& config,
      const std::shared_ptr<APMEManager>& experimentManager);
  ~APMRemoteConfig() override;

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }

  // --- Configuration lifecycle (worker queue) -----------------------------

  // Checks, stores and parses the configuration; false, with the current
  // configuration kept, when it is refused (29002, 29003, 29022, 29004) or
  // cannot be stored (29005).
  bool updateMeasurementConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config);
  // The stored configuration, or null (29015, 29016, 29017).
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Rebuilds the caches from the configuration (see the header comment).
  void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config);
  // Back to the unconfigured state; the event editor and the experiment
  // client stay.
  void reset();
  // The current configuration (a copy), or null.
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto() const;
  // The configuration's version; -1 without configuration or version.
  int64_t version() const;
  // Seconds since 1970 of the stored configuration; 0 when none.
  double lastRemoteConfigUpdateTimestamp();
  bool isExpired();
  // "https://<config host>/config/app/<app ID>?platform=...&runtime_version=
  // ...&vuv_version=..." with the app ID percent-encoded; nullopt for an
  // empty platform (29010).
  std::optional<std::string> remoteConfigURLWithPlatform(const std::string& platform, int64_t SDKVersion,
                                                         int64_t runtimeVersion) const;
  // The configuration's upload subdomain as sent, or nullopt.
  std::optional<std::string> uploadSubdomain() const;
  // "https://[<subdomain>.]<upload host>/a". A subdomain that is not made of
  // DNS labels is ignored (29011), so a configuration cannot point uploads
  // at another host.
  std::string uploadURL() const;
  // The editor of the configuration's first program, or null.
  std::shared_ptr<APMPEventEditing> eventEditing() const;

  // --- Per-event answers (internal event names) ---------------------------

  // A copy of the event's configuration, or null (29006 for an empty name).
  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name) const;
  // The event configuration's flag, else the blocklist setting for public
  // or internal names.
  bool isEventBlocklisted(const std::string& name) const;
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  // The event configuration's rate when it lies in 2..65535, else 1.
  int32_t samplingRateForEvent(const std::string& name) const;

  // --- Consent and data controls ------------------------------------------

  std::shared_ptr<const std::vector<std::string>> dataControls() const;
  Dictionary consentDefaults() const;
  Dictionary consentDelegations() const;
  Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;

  // --- Experiments ---------------------------------------------------------

  std::vector<int64_t> experimentIDs() const;
  const std::shared_ptr<APMEClient>& experimentClient() const { return experimentClient_; }
  // Activates the snapshot the client was told of; false when none is
  // waiting or activation fails (29024; the notice stays). A notice that
  // arrives while activation runs is kept for the next call.
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();
  bool respondsTo(Method method) const override;
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override;
  void client(const std::shared_ptr<APMEClient>& client, const platform::ErrorRef& error) override;
  bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) override;

  // --- Settings -------------------------------------------------------------

  // Memoises `value` for `key` in the current configuration's settings and
  // answers it; nil for a nil value or an empty key (29019).
  platform::Object cacheValue(const platform::Object& value, const std::string& key);
  // The general reader: the memoised answer or number entry as it is; else
  // the received text read by the settings grammar, transformed, and
  // replaced by the default when unreadable or outside a given bound; the
  // answer is memoised. Nullopt for an empty key (29020).
  std::optional<platform::Object> numberFromCacheWithKey(const std::string& key, const platform::Object& defaultValue,
                                                         const std::optional<platform::Object>& maxValue,
                                                         const std::optional<platform::Object>& minValue,
                                                         APMRemoteSettingTransform block) const;
  double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue, double maxValue,
                                               double minValue) const;
  int32_t intValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                   int32_t minValue) const;
  int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue, int64_t maxValue,
                                     int64_t minValue) const;
  int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue) const;
  bool boolValueFromCacheWithKey(const std::string& key, bool defaultValue) const;
  // A text read by the settings grammar; nullopt when unreadable, and for
  // anything but a text (29018).
  std::optional<platform::Object> numberFromString(const platform::Object& value) const;

  // One accessor per row of the settings table, named as the row.
#define APM_REMOTE_SETTING_ACCESSOR(name, key, kind, def, min, max, access) \
  APMRemoteSettingValue<APMRemoteSettingKind::kind>::type name() const;
  APM_REMOTE_SETTINGS(APM_REMOTE_SETTING_ACCESSOR)
#undef APM_REMOTE_SETTING_ACCESSOR
  // `maxPublicEventParameterValueLength`, but at least 256.
  int32_t maxInternalEventParameterValueLength() const;

  // Any setting by its row, as its accessor answers it.
  platform::Object settingValue(APMRemoteSettingID id) const;

  // Use the factories.
  APMRemoteConfig(std::string appID, const std::shared_ptr<APMDatabase>& database,
                  std::shared_ptr<APMEManager> experimentManager);

 private:
  struct Controls;
  struct Snapshot;
  class Current;
  using EventConfigs = std::map<std::string, std::shared_ptr<const APMPBEventConfig>, std::less<>>;

  // The snapshot in force; a reader call takes it once.
  std::shared_ptr<const Snapshot> snapshot() const;
  // Its settings, holding the snapshot.
  std::shared_ptr<const APMRemoteSettingsCache> settings() const;
  static std::shared_ptr<const APMPBEventConfig> eventConfig(const Snapshot& snapshot, const std::string& name);

  // The readers over one snapshot's settings; the public readers and the
  // accessors take the snapshot in force.
  std::optional<platform::Object> numberFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                                         const platform::Object& defaultValue,
                                                         const std::optional<platform::Object>& maxValue,
                                                         const std::optional<platform::Object>& minValue,
                                                         APMRemoteSettingTransform block) const;
  double timeIntervalInSecondsFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                               double defaultValue, double maxValue, double minValue) const;
  int32_t intValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                   int32_t defaultValue, int32_t maxValue, int32_t minValue) const;
  int64_t int64ValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                     int64_t defaultValue, int64_t maxValue, int64_t minValue) const;
  bool boolValueFromCacheWithKey(const APMRemoteSettingsCache& settings, const std::string& key,
                                 bool defaultValue) const;
  template <APMRemoteSettingKind Kind>
  typename APMRemoteSettingValue<Kind>::type rowValue(const APMRemoteSettingsCache& settings,
                                                      APMRemoteSettingID id) const;
  // The editor over the configuration's first program, loaded while its
  // scripts read the configuration's `received` settings; null when it
  // fails to load (29026).
  std::shared_ptr<APMPEventEditing> makeEventEditing(const APMPBProgram& program, size_t programCount,
                                                     const APMRemoteSettingsCache::Entries& received);
  // When `parsed` is the configuration held, replaces it by a copy without
  // its programs.
  void dropHeldPrograms(const APMPBMeasurementConfig& parsed);

  const bool isDefaultInstance_;
  const std::string appID_;
  const std::weak_ptr<APMDatabase> database_;
  // Held apart from this object: the scripts' "internal.remoteConfig"
  // module reads the snapshot without keeping this object (which owns the
  // editor) alive.
  const std::shared_ptr<Current> current_;
  const std::shared_ptr<APMEManager> experimentManager_;
  std::shared_ptr<APMEClient> experimentClient_;

  mutable std::mutex mutex_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
  bool hasNewSnapshot_ = false;
  // The experiment value of "regional_defaults_enabled"; nil when none.
  platform::Object regionalDefaultsFlag_;
};
