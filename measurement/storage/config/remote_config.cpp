#include "measurement/storage/config/remote_config.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "measurement/engine/event_names.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/event_editing.h"
#include "measurement/script/logger_module.h"
#include "measurement/script/modules.h"
#include "measurement/script/remote_config_module.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_manager.h"
#include "measurement/storage/settings/identity.h"
#include "measurement/storage/system/dictionary_additions.h"
#include "measurement/storage/system/identity_support.h"
#include "measurement/storage/system/scheduler.h"
#include "platform/bundle.h"
#include "platform/clock.h"

using platform::Object;

struct APMRemoteConfig::Controls {
  std::shared_ptr<const std::vector<std::string>> dataControls =
      std::make_shared<const std::vector<std::string>>();
  Dictionary consentDefaults;
  Dictionary consentDelegations;
  std::set<std::string> corePlatformServices;
  bool isDMARegion = true;
  Dictionary regionalDefaults;

  void read(const APMPBMeasurementConfig& config);
};

// Everything one parse (or `reset`) makes, published in one swap and never
// changed after.
struct APMRemoteConfig::Snapshot {
  Snapshot(APMRemoteSettingsCache::Entries received, EventConfigs events, Controls taken,
           std::shared_ptr<APMPEventEditing> editing)
      : settings(std::move(received)),
        eventConfigs(std::move(events)),
        controls(std::move(taken)),
        eventEditing(std::move(editing)) {}

  const APMRemoteSettingsCache settings;
  const EventConfigs eventConfigs;
  const Controls controls;
  const std::shared_ptr<APMPEventEditing> eventEditing;
};

// The snapshot in force, swapped under a lock that is held only to copy or
// exchange the pointer.
class APMRemoteConfig::Current {
 public:
  std::shared_ptr<const Snapshot> load() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
  }
  void store(std::shared_ptr<const Snapshot> next) {
    std::shared_ptr<const Snapshot> replaced;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    replaced = std::exchange(snapshot_, std::move(next));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Snapshot> snapshot_ =
      std::make_shared<const Snapshot>(APMRemoteSettingsCache::Entries(), EventConfigs(), Controls(), nullptr);
};

namespace {

void log(long level, long code, const std::string& message) {
  APMMeasurement::monitor()->logWithLevel(level, code, message);
}
void log(long level, long code, const std::string& message, const Object& context) {
  APMMeasurement::monitor()->logWithLevel(level, code, message, context);
}

// The authorization status under which uploads use the alternative host.
constexpr uint64_t kTrackingAuthorized = 3;
constexpr int32_t kMinSamplingRate = 2;
constexpr int32_t kMaxSamplingRate = 65535;

const char* consentTypeName(int32_t type) {
  static constexpr const char* kNames[] = {nullptr, "ad_storage", "analytics_storage", "ad_user_data",
                                           "ad_personalization"};
  return type > 0 && type < 5 ? kNames[type] : nullptr;
}

const char* consentStatusName(int32_t status) {
  return status == 1 ? "granted" : (status == 2 ? "denied" : nullptr);
}

// The messages of a repeated message field; nullopt when it cannot be read.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> messagesOf(NANOMessageRef object, int32_t fieldID) {
  const NANOMessageClass messageClass = T::messageClass();
  auto items = APMNanoGetRepeated(object, fieldID, &messageClass);
  if (!items) return std::nullopt;
  std::vector<std::shared_ptr<T>> out;
  out.reserve(items->size());
  for (const APMNanoValue& item : *items) {
    if (const auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&item)) {
      out.push_back(std::static_pointer_cast<T>(*message));
    }
  }
  return out;
}

// The same, with an unreadable field read as empty.
template <class T>
std::vector<std::shared_ptr<T>> messagesOrNone(NANOMessageRef object, int32_t fieldID) {
  return messagesOf<T>(object, fieldID).value_or(std::vector<std::shared_ptr<T>>());
}

template <class Entry>
APMRemoteConfig::Dictionary consentEntries(NANOMessageRef consent, int32_t fieldID,
                                           const char* (*valueName)(int32_t), int32_t valueField) {
  APMRemoteConfig::Dictionary out;
  for (const auto& entry : messagesOrNone<Entry>(consent, fieldID)) {
    const char* type = consentTypeName(APMNanoGetInt32(entry, 0));
    const char* value = valueName(APMNanoGetInt32(entry, valueField));
    if (type && value) out.insert_or_assign(type, value);
  }
  return out;
}

// A DNS name: labels of letters, digits and "-" joined by single points.
bool isDNSLabels(const std::string& name) {
  if (name.empty() || name.size() > kAPMUploadSubdomainMaxLength) return false;
  size_t labelLength = 0;
  for (char c : name) {
    if (c == '.') {
      if (labelLength == 0) return false;
      labelLength = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
      if (++labelLength > 63) return false;
    } else {
      return false;
    }
  }
  return labelLength > 0;
}

// The numbers among the received settings are the parse's PSM numbers.
void carryNumbers(const APMRemoteSettingsCache::Entries& from, APMRemoteSettingsCache::Entries& to) {
  for (const auto& [key, value] : from) {
    if (value.isNumber()) to.insert_or_assign(key, value);
  }
}

// The configuration's PSM numbers, put among its settings as numbers in
// place of any text sent under the same keys.
void addPSMNumbers(const APMPBMeasurementConfig& config, APMRemoteSettingsCache::Entries& received) {
  if (!APMNanoHasField(config, MeasurementConfigField::psm_setting)) return;
  auto psm = APMNanoGetMessage<APMPBPsmSetting>(config, MeasurementConfigField::psm_setting);
  static constexpr std::pair<int32_t, const char*> kPSMKeys[] = {
      {PsmSettingField::psm_prefix_email, "measurement.psm_prefix_email"},
      {PsmSettingField::psm_prefix_phone, "measurement.psm_prefix_phone"},
      {PsmSettingField::psm_signin_delay, "measurement.psm_signin_delay"},
  };
  for (const auto& [field, key] : kPSMKeys) {
    if (APMNanoHasField(psm, field)) received.insert_or_assign(key, Object(APMNanoGetInt32(psm, field)));
  }
}

// A copy the caller may change without touching what this object holds.
template <class T>
std::shared_ptr<T> copyOf(const std::shared_ptr<const T>& message) {
  return message ? T::initWithMessageInfo(message->messageInfo()) : nullptr;
}

}  // namespace

// Data controls always; consent only when the configuration has a consent
// block, else the previous consent stays.
void APMRemoteConfig::Controls::read(const APMPBMeasurementConfig& config) {
  auto names = std::make_shared<std::vector<std::string>>();
  for (const auto& control : messagesOrNone<APMPBDataControl>(config, MeasurementConfigField::data_controls)) {
    if (auto name = APMNanoGetString(control, DataControlField::name)) names->push_back(std::move(*name));
  }
  dataControls = std::move(names);
  if (APMNanoHasField(config, MeasurementConfigField::consent_config)) {
    auto consent = APMNanoGetMessage<APMPBConsentConfig>(config, MeasurementConfigField::consent_config);
    consentDefaults = consentEntries<APMPBConsentDefaultEntry>(
        consent, ConsentConfigField::defaults, consentStatusName, ConsentDefaultEntryField::default_status);
    consentDelegations = consentEntries<APMPBConsentDelegationEntry>(
        consent, ConsentConfigField::delegations, consentTypeName,
        ConsentDelegationEntryField::delegate_consent_type);
    corePlatformServices.clear();
    for (const auto& entry :
         messagesOrNone<APMPBCorePlatformServiceEntry>(consent, ConsentConfigField::core_platform_services)) {
      if (auto service = APMNanoGetString(entry, CorePlatformServiceEntryField::service)) {
        corePlatformServices.insert(std::move(*service));
      }
    }
    isDMARegion = APMNanoGetBool(consent, ConsentConfigField::is_dma_region);
    regionalDefaults = consentEntries<APMPBConsentDefaultEntry>(
        consent, ConsentConfigField::enforced_defaults, consentStatusName, ConsentDefaultEntryField::default_status);
  }
}

// --- Creation -----------------------------------------------------------------

APMRemoteConfig::APMRemoteConfig(std::string appID, const std::shared_ptr<APMDatabase>& database,
                                 std::shared_ptr<APMEManager> experimentManager)
    : isDefaultInstance_(!database && appID.empty()),
      appID_(std::move(appID)),
      database_(database),
      current_(std::make_shared<Current>()),
      experimentManager_(std::move(experimentManager)) {}

APMRemoteConfig::~APMRemoteConfig() = default;

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  // Never destroyed: readers on other threads may still hold it at exit.
  static auto* instance = new std::shared_ptr<APMRemoteConfig>(initWithAppID("", nullptr, nullptr, nullptr));
  return *instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<APMDatabase>& database,
    const std::shared_ptr<APMEManager>& experimentManager) {
  if (appID.empty()) {
    log(1, 29000, "Cannot init remote configuration without valid Voraza App ID");
    return nullptr;
  }
  if (!database) {
    log(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr, experimentManager);
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<APMDatabase>& database,
    const std::shared_ptr<const APMPBMeasurementConfig>& config,
    const std::shared_ptr<APMEManager>& experimentManager) {
  auto self = std::make_shared<APMRemoteConfig>(appID, database, experimentManager);
  if (experimentManager) {
    auto property = std::make_shared<APMESDKProperty>(kAPMRemoteConfigSDKName);
    property->setVersion(APMIdentity::vavIradadovozoLibraryVersion());
    property->setDelegate(self);
    self->experimentClient_ = experimentManager->registerSDKProperty(property, Object::Dictionary());
    if (self->experimentClient_) self->experimentClient_->setDelegate(self);
  }
  if (self->experimentClient_) {
    platform::ErrorRef error;
    if (!self->experimentClient_->activateLatestSnapshot(&error) && error) {
      log(2, 29023, "Cannot activate stale snapshot. Error", Object(error));
    }
    self->updateCachedExperimentFlags();
  }
  if (!self->isDefaultInstance_) {
    if (config) {
      self->updateMeasurementConfig(config);
    } else if (auto stored = self->measurementConfigFromDatabase()) {
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->remoteConfigProto_ = stored;
      }
      self->parseRemoteConfigFromMeasurementConfig(*stored);
    }
  }
  return self;
}

// --- Configuration lifecycle ----------------------------------------------------

bool APMRemoteConfig::updateMeasurementConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    log(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    log(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (APMIdentifiers::sharedInstance()->origin() == "am" &&
      APMNanoGetString(config, MeasurementConfigField::deder_app_id).value_or("") != appID_) {
    log(2, 29022, "Cannot set measurement config when DeDer App ID does not match");
    return false;
  }
  if (APMNanoGetString(config, MeasurementConfigField::vuv_app_id).value_or("") != appID_) {
    log(2, 29004, "Cannot set measurement config when Voraza App ID does not match");
    return false;
  }
  // A configuration that did not reach the database is not in force: the
  // next launch would load the older one.
  auto database = database_.lock();
  platform::ErrorRef error;
  if (!database || !database->updateRemoteConfig(config, &error)) {
    log(1, 29005, "Cannot store config into the database", error ? Object(error) : Object());
    return false;
  }
  auto own = copyOf(config);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remoteConfigProto_ = own;
  }
  parseRemoteConfigFromMeasurementConfig(*own);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_) {
    log(2, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  auto database = database_.lock();
  platform::ErrorRef error;
  auto config = database ? database->queryMeasurementConfigWithError(&error) : nullptr;
  if (!config) {
    if (error) {
      log(2, 29016, "Cannot retrieve configuration data from database. Error", Object(error));
    } else {
      log(7, 29017,
          "Configuration was not found in database. The configuration will be fetched from the network when "
          "necessary");
    }
  }
  return config;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) {
  auto settings = messagesOf<APMPBSetting>(config, MeasurementConfigField::settings);
  if (!settings) {
    log(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (APMNanoGetString(config, MeasurementConfigField::vuv_app_id).value_or("") != appID_) return;

  APMRemoteSettingsCache::Entries received;
  for (const auto& setting : *settings) {
    std::optional<std::string> key = APMNanoGetString(setting, SettingField::name);
    std::optional<std::string> value = APMNanoGetString(setting, SettingField::value);
    if (!key || key->empty() || !value) {
      log(5, 29019, "Cannot cache empty configuration value");
      continue;
    }
    received.insert_or_assign(std::move(*key), Object(std::move(*value)));
  }

  EventConfigs events;
  const APMEventNameTable& internalNames = APMPublicToInternalEventNames();
  for (const auto& event : messagesOrNone<APMPBEventConfig>(config, MeasurementConfigField::event_config)) {
    std::string name = APMNanoGetString(event, EventConfigField::name).value_or("");
    if (name.empty()) {
      log(5, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    auto internal = internalNames.find(name);
    events.insert_or_assign(internal == internalNames.end() ? name : internal->second, event);
  }
  if (APMNanoHasField(config, MeasurementConfigField::version)) {
    log(7, 29014, "Successfully parsed a configuration. Version",
        Object(APMNanoGetInt64(config, MeasurementConfigField::version)));
  }

  // Parses run on the worker queue only: nothing else publishes meanwhile.
  const auto previous = snapshot();
  std::shared_ptr<APMPEventEditing> editing = previous->eventEditing;
  bool programLoaded = true;
  const auto programs = messagesOrNone<APMPBProgram>(config, MeasurementConfigField::dynamic_event_editing);
  if (!programs.empty()) {
    editing = makeEventEditing(*programs.front(), programs.size(), received);
    programLoaded = editing != nullptr;
  }
  // Everything parsed is published in one swap, so a reader never sees
  // part of one configuration with part of another. The controls of a
  // configuration whose program cannot run are not taken over: the previous
  // data controls, consent and PSM numbers stay in force until another
  // configuration is accepted.
  Controls controls = previous->controls;
  if (programLoaded) {
    addPSMNumbers(config, received);
    controls.read(config);
  } else {
    carryNumbers(previous->settings.received(), received);
  }
  current_->store(std::make_shared<const Snapshot>(std::move(received), std::move(events), std::move(controls),
                                                   std::move(editing)));
  if (!programLoaded) dropHeldPrograms(config);
}

void APMRemoteConfig::dropHeldPrograms(const APMPBMeasurementConfig& parsed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!remoteConfigProto_ || remoteConfigProto_.get() != &parsed) return;
  // A record's blocks live in one arena that clearing a field does not
  // shrink: only a copy made after the clearing lets the programs go.
  APMNanoClearField(remoteConfigProto_, MeasurementConfigField::dynamic_event_editing);
  if (auto compact = APMPBMeasurementConfig::initWithMessageInfo(remoteConfigProto_->messageInfo())) {
    remoteConfigProto_ = std::move(compact);
  }
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::makeEventEditing(const APMPBProgram& program,
                                                                    size_t programCount,
                                                                    const APMRemoteSettingsCache::Entries& received) {
  auto editing = std::make_shared<APMPEventEditing>();
  // Scripts read what the configuration in force sent; the module must not
  // keep this object alive (it owns the editor). While the program loads,
  // the configuration's settings are not swapped in yet: the loading
  // program reads them from `loading`, which is gone once it has loaded.
  std::weak_ptr<Current> current = current_;
  const auto loading = std::make_shared<const APMRemoteSettingsCache>(received);
  editing->setModuleCreator(
      APMPRemoteConfigModuleCreator([current, pending = std::weak_ptr(loading)](const std::string& key) {
        if (auto settings = pending.lock()) return settings->receivedObjectForKey(key);
        auto published = current.lock();
        return published ? published->load()->settings.receivedObjectForKey(key) : Object();
      }),
      "internal.remoteConfig");
  editing->setModuleCreator(
      [] {
        return std::optional<APMPRuntimeValue>(APMPRuntimeValue(APMPMake<APMPObjectProvider>(u"internal.appMetadata", [] {
          Object::Dictionary metadata{
              {"platform", Object("ios")},
              {"package_name", Object(platform::Bundle::main()->bundleIdentifier())},
              {"vuv_version", Object(APMIdentity::vavIradadovozoLibraryVersion())},
          };
          auto engine = APMMeasurement::sharedInstance();
          auto identity = engine ? engine->identity() : nullptr;
          if (auto version = identity ? identity->appVersion() : std::nullopt) {
            metadata.emplace("app_version", Object(*version));
          }
          return Object(std::move(metadata));
        })));
      },
      "internal.appMetadata");
  editing->setModuleCreator(APMPLoggerModuleCreator(), "internal.logger");
  platform::ErrorRef error;
  editing->loadProgram(program, &error);
  if (error) {
    log(1, 29026, "Failed to initiate event editing instance");
    return nullptr;
  }
  log(7, 29027, "Loading Event Modification and Creation programs", Object(static_cast<int64_t>(programCount)));
  return editing;
}

void APMRemoteConfig::reset() {
  current_->store(std::make_shared<const Snapshot>(APMRemoteSettingsCache::Entries(), EventConfigs(), Controls(),
                                                   snapshot()->eventEditing));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    regionalDefaultsFlag_ = Object();
    if (!isDefaultInstance_) remoteConfigProto_ = nullptr;
  }
  if (experimentManager_) experimentManager_->reset();
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::remoteConfigProto() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return copyOf<APMPBMeasurementConfig>(remoteConfigProto_);
}

int64_t APMRemoteConfig::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!remoteConfigProto_ || !APMNanoHasField(remoteConfigProto_, MeasurementConfigField::version)) return -1;
  return APMNanoGetInt64(remoteConfigProto_, MeasurementConfigField::version);
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_) {
    log(2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  platform::ErrorRef error;
  std::optional<double> timestamp = database ? database->lastRemoteConfigUpdateTimestamp(&error) : std::nullopt;
  if (!timestamp && error) log(4, 29009, "Failed to query last configuration update timestamp. Error", Object(error));
  return timestamp.value_or(0);
}

bool APMRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    log(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double age = std::fabs(platform::Clock::current()->now() - lastRemoteConfigUpdateTimestamp());
  return age >= remoteConfigCacheTimeInterval();
}

std::optional<std::string> APMRemoteConfig::remoteConfigURLWithPlatform(const std::string& platform,
                                                                        int64_t SDKVersion,
                                                                        int64_t runtimeVersion) const {
  if (platform.empty()) {
    log(2, 29010, "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  return std::string("https://") + kAPMRemoteConfigHost + "/config/app/" + apm_URLPathSegmentEncoded(appID_) + "?" +
         apm_queryString({{"platform", Object(platform)},
                          {"runtime_version", Object(runtimeVersion)},
                          {"vuv_version", Object(SDKVersion)}});
}

std::optional<std::string> APMRemoteConfig::uploadSubdomain() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!remoteConfigProto_) return std::nullopt;
  return APMNanoGetString(remoteConfigProto_, MeasurementConfigField::upload_subdomain);
}

std::string APMRemoteConfig::uploadURL() const {
  const bool authorized = APMDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() == kTrackingAuthorized;
  std::string host = authorized ? kAPMAlternativeUploadHost : kAPMUploadHost;
  const std::string subdomain = uploadSubdomain().value_or("");
  if (isDNSLabels(subdomain)) {
    host = subdomain + "." + host;
  } else if (!subdomain.empty()) {
    log(2, 29011, "Ignoring upload subdomain that is not a host name", Object(subdomain));
  }
  return "https://" + host + "/a";
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::eventEditing() const { return snapshot()->eventEditing; }

std::shared_ptr<const APMRemoteConfig::Snapshot> APMRemoteConfig::snapshot() const { return current_->load(); }

std::shared_ptr<const APMRemoteSettingsCache> APMRemoteConfig::settings() const {
  auto snapshot = this->snapshot();
  return std::shared_ptr<const APMRemoteSettingsCache>(snapshot, &snapshot->settings);
}

// --- Per-event answers ------------------------------------------------------------

std::shared_ptr<const APMPBEventConfig> APMRemoteConfig::eventConfig(const Snapshot& snapshot,
                                                                     const std::string& name) {
  auto found = snapshot.eventConfigs.find(name);
  return found == snapshot.eventConfigs.end() ? nullptr : found->second;
}

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(const std::string& name) const {
  if (name.empty()) {
    log(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  return copyOf(eventConfig(*snapshot(), name));
}

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) const {
  // The event configuration and the blocklist setting of one configuration.
  const auto snapshot = this->snapshot();
  auto event = eventConfig(*snapshot, name);
  if (event && APMNanoHasField(event, EventConfigField::is_blocklisted) &&
      APMNanoGetBool(event, EventConfigField::is_blocklisted)) {
    return true;
  }
  return rowValue<APMRemoteSettingKind::Bool>(snapshot->settings, APMIsPublicName(name)
                                                                      ? APMRemoteSettingID::blocklistPublic
                                                                      : APMRemoteSettingID::blocklistInternal);
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) const {
  auto event = eventConfig(*snapshot(), name);
  return event && APMNanoHasField(event, EventConfigField::is_custom_conversion) &&
         APMNanoGetBool(event, EventConfigField::is_custom_conversion);
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) const {
  auto event = eventConfig(*snapshot(), name);
  return event && APMNanoHasField(event, EventConfigField::sampling_rate);
}

int32_t APMRemoteConfig::samplingRateForEvent(const std::string& name) const {
  auto event = eventConfig(*snapshot(), name);
  if (!event || !APMNanoHasField(event, EventConfigField::sampling_rate)) return 1;
  const int32_t rate = APMNanoGetInt32(event, EventConfigField::sampling_rate);
  return rate >= kMinSamplingRate && rate <= kMaxSamplingRate ? rate : 1;
}

// --- Consent and data controls -----------------------------------------------------

std::shared_ptr<const std::vector<std::string>> APMRemoteConfig::dataControls() const {
  return snapshot()->controls.dataControls;
}
APMRemoteConfig::Dictionary APMRemoteConfig::consentDefaults() const { return snapshot()->controls.consentDefaults; }
APMRemoteConfig::Dictionary APMRemoteConfig::consentDelegations() const {
  return snapshot()->controls.consentDelegations;
}
APMRemoteConfig::Dictionary APMRemoteConfig::regionalDefaults() const {
  return snapshot()->controls.regionalDefaults;
}
std::set<std::string> APMRemoteConfig::corePlatformServices() const {
  return snapshot()->controls.corePlatformServices;
}
bool APMRemoteConfig::isDMARegion() const { return snapshot()->controls.isDMARegion; }

// --- Experiments ---------------------------------------------------------------------

std::vector<int64_t> APMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<int64_t>();
}

bool APMRemoteConfig::activateNewSnapshot() {
  {
    // Taken before activating: a notice that comes in meanwhile sets the
    // flag again and waits for the next call.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasNewSnapshot_) return false;
    hasNewSnapshot_ = false;
  }
  platform::ErrorRef error;
  if (!experimentClient_ || !experimentClient_->activateLatestSnapshot(&error)) {
    log(2, 29024, "Cannot activate snapshot. Error", error ? Object(error) : Object());
    std::lock_guard<std::mutex> lock(mutex_);
    hasNewSnapshot_ = true;
    return false;
  }
  updateCachedExperimentFlags();
  return true;
}

void APMRemoteConfig::updateCachedExperimentFlags() {
  Object value = experimentClient_ ? experimentClient_->valueForFlag("regional_defaults_enabled") : Object();
  std::lock_guard<std::mutex> lock(mutex_);
  regionalDefaultsFlag_ = std::move(value);
}

bool APMRemoteConfig::respondsTo(Method method) const { return method != Method::queue; }

void APMRemoteConfig::clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) {
  std::lock_guard<std::mutex> lock(mutex_);
  hasNewSnapshot_ = true;
}

void APMRemoteConfig::client(const std::shared_ptr<APMEClient>&, const platform::ErrorRef& error) {
  if (error) log(2, 29025, "Cannot fetch experiment. Error", Object(error));
}

bool APMRemoteConfig::shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) {
  auto engine = APMMeasurement::sharedInstance();
  return engine && engine->isEnabled();
}

// --- The engine's class operation ------------------------------------------------------

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  auto engine = sharedInstance();
  auto config = engine ? engine->remoteConfig_ : nullptr;
  return config ? config : APMRemoteConfig::defaultInstance();
}
