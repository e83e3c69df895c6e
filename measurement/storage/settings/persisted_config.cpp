#include "measurement/storage/settings/persisted_config.h"

#include <random>

#include "measurement/engine/monitor.h"
#include "measurement/storage/settings/persistent_dictionary.h"
#include "measurement/storage/settings/user_defaults.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/crypto.h"

namespace {

constexpr uint32_t kMillisecondsPerDay = 86'400'000;

// A uniform whole number of milliseconds below one day. Rejection keeps it
// uniform: 2^32 is not a multiple of the range.
uint32_t randomMillisecondOfDay() {
  constexpr uint32_t limit = UINT32_MAX - UINT32_MAX % kMillisecondsPerDay;
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint32_t draw = 0;
    if (!platform::secureRandomBytes(&draw, sizeof draw)) break;
    if (draw < limit) return draw % kMillisecondsPerDay;
  }
  std::random_device device;
  return std::uniform_int_distribution<uint32_t>(0, kMillisecondsPerDay - 1)(device);
}

}  // namespace

// --- Kinds of property -----------------------------------------------------

double APMDoubleSetting::get(APMPersistedConfig& config, const std::string& key) {
  return config.doubleForKey(key);
}
void APMDoubleSetting::set(APMPersistedConfig& config, const std::string& key, double value) {
  config.setDouble(value, key);
}

int64_t APMInt64Setting::get(APMPersistedConfig& config, const std::string& key) {
  return config.int64ForKey(key);
}
void APMInt64Setting::set(APMPersistedConfig& config, const std::string& key, int64_t value) {
  config.setInt64(value, key);
}

APMStringSetting::Type APMStringSetting::get(APMPersistedConfig& config, const std::string& key) {
  return config.stringForKey(key);
}
void APMStringSetting::set(APMPersistedConfig& config, const std::string& key, const Type& value) {
  config.setString(value, key);
}

bool APMBoolSetting::get(APMPersistedConfig& config, const std::string& key) {
  return config.int64ForKey(key) != 0;
}
void APMBoolSetting::set(APMPersistedConfig& config, const std::string& key, bool value) {
  config.setInt64(value ? 1 : 0, key);
}

APMNumberSetting::Type APMNumberSetting::get(APMPersistedConfig& config, const std::string& key) {
  return config.numberForKey(key);
}
void APMNumberSetting::set(APMPersistedConfig& config, const std::string& key, const Type& value) {
  config.setNumber(value, key);
}

APMDictionarySetting::Type APMDictionarySetting::get(APMPersistedConfig& config,
                                                     const std::string& key) {
  return config.dictionaryForKey(key);
}
void APMDictionarySetting::set(APMPersistedConfig& config, const std::string& key,
                               const Type& value) {
  config.setDictionary(value, key);
}

APMRawSetting::Type APMRawSetting::get(APMPersistedConfig& config, const std::string& key) {
  return config.objectForKey(key);
}
void APMRawSetting::set(APMPersistedConfig& config, const std::string& key, const Type& value) {
  config.setObject(value, key, false);
}
void APMRawSyncedSetting::set(APMPersistedConfig& config, const std::string& key,
                              const Type& value) {
  config.setObject(value, key, true);
}

// --- Creation --------------------------------------------------------------

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  // Destroyed at exit, which writes what the store still holds pending.
  static const std::shared_ptr<APMPersistedConfig> shared = initWithSuiteName(kSharedSuiteName);
  if (!shared) {
    APMMeasurement::monitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return shared;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(const std::string& name) {
  if (name.empty()) return nullptr;
  APMMigrateSuitePlistToApplicationSupport(name);
  return initWithSuiteName(name, APMPersistentDictionary::initWithFileName(name));
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(
    const std::string& name, std::shared_ptr<APMConfigStore> store) {
  if (name.empty()) return nullptr;
  return std::shared_ptr<APMPersistedConfig>(new APMPersistedConfig(name, std::move(store)));
}

APMPersistedConfig::APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store)
    : name_(std::move(name)),
      store_(std::move(store)),
      serialQueue_(platform::DispatchQueue::create("APMPersistedConfig")) {}

APMPersistedConfig::~APMPersistedConfig() { cancelScheduledSynchronize(); }

template <typename Result, typename Block>
Result APMPersistedConfig::onQueue(Block&& block) {
  Result result{};
  serialQueue_->sync([&] { result = block(); });
  return result;
}

// --- Typed primitives ------------------------------------------------------

bool APMPersistedConfig::boolForKey(const std::string& key) {
  if (key.empty()) return false;
  return onQueue<bool>([&] { return store_ && store_->boolForKey(key); });
}

int64_t APMPersistedConfig::int64ForKey(const std::string& key) {
  return int64ForKey(key, store_);
}

int64_t APMPersistedConfig::int64ForKey(const std::string& key,
                                        const std::shared_ptr<APMConfigStore>& store) {
  if (key.empty()) return 0;
  return onQueue<int64_t>([&]() -> int64_t {
    if (!store) return 0;
    platform::Object value = store->objectForKey(key);
    return value.isNumber() ? value.int64Value() : 0;
  });
}

double APMPersistedConfig::doubleForKey(const std::string& key) {
  if (key.empty()) return 0;
  return onQueue<double>([&] { return store_ ? store_->doubleForKey(key) : 0.0; });
}

std::optional<std::string> APMPersistedConfig::stringForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return onQueue<std::optional<std::string>>(
      [&] { return store_ ? store_->stringForKey(key) : std::nullopt; });
}

std::optional<platform::Object::Dictionary> APMPersistedConfig::dictionaryForKey(
    const std::string& key) {
  if (key.empty()) return std::nullopt;
  return onQueue<std::optional<platform::Object::Dictionary>>(
      [&] { return store_ ? store_->dictionaryForKey(key) : std::nullopt; });
}

platform::Object APMPersistedConfig::numberForKey(const std::string& key) {
  return objectForKey(key);
}

platform::Object APMPersistedConfig::objectForKey(const std::string& key) {
  return onQueue<platform::Object>(
      [&] { return store_ ? store_->objectForKey(key) : platform::Object(); });
}

void APMPersistedConfig::setObject(const platform::Object& value, const std::string& key,
                                   bool synchronize) {
  serialQueue_->sync([&] {
    if (!store_) return;
    store_->setObject(value, key);
    if (synchronize) scheduleSynchronizeToDisk();
  });
}

void APMPersistedConfig::setBool(bool value, const std::string& key) {
  serialQueue_->sync([&] {
    if (!store_) return;
    store_->setBool(value, key);
    scheduleSynchronizeToDisk();
  });
}

void APMPersistedConfig::setInt64(int64_t value, const std::string& key) {
  setObject(platform::Object(value), key, true);
}

void APMPersistedConfig::setDouble(double value, const std::string& key) {
  serialQueue_->sync([&] {
    if (!store_) return;
    store_->setDouble(value, key);
    scheduleSynchronizeToDisk();
  });
}

void APMPersistedConfig::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
  setObject(value ? platform::Object(*value) : platform::Object(), key, true);
}

void APMPersistedConfig::setDictionary(const std::optional<platform::Object::Dictionary>& value,
                                       const std::string& key) {
  platform::Object object = value ? platform::Object(*value) : platform::Object();
  // A value the file cannot hold would make every later write of the whole
  // settings file fail.
  if (!object.isNil() && !APMIsPropertyListValue(object)) {
    APMMeasurement::monitor()->logWithLevel(1, 27002, "Unsupported value passed in dictionary");
    return;
  }
  try {
    setObject(object, key, true);
  } catch (const std::exception& exception) {
    APMMeasurement::monitor()->logWithLevel(1, 27002, "Unsupported value passed in dictionary",
                                            std::string(exception.what()));
  }
}

void APMPersistedConfig::setNumber(const platform::Object& value, const std::string& key) {
  setObject(value, key, true);
}

// --- Special properties ----------------------------------------------------

platform::Object APMPersistedConfig::searchAdCampaignValue() {
  return store_ ? store_->objectForKey(kSearchAdCampaignValueKey) : platform::Object();
}

void APMPersistedConfig::setSearchAdCampaignValue(const platform::Object& value) {
  if (store_ && value.isNumber()) store_->setObject(value, kSearchAdCampaignValueKey);
}

int64_t APMPersistedConfig::measurementEnabledState() {
  std::shared_ptr<APMConfigStore> defaults = APMUserDefaults::sharedUserDefaults();
  return int64ForKey(kMeasurementEnabledStateKey, defaults);
}

void APMPersistedConfig::setMeasurementEnabledState(int64_t state) {
  serialQueue_->sync([&] {
    auto defaults = APMUserDefaults::sharedUserDefaults();
    defaults->setObject(platform::Object(state), kMeasurementEnabledStateKey);
    defaults->synchronize();
  });
}

double APMPersistedConfig::midnightOffset() {
  // Read and, when absent, drawn and stored in one block, so that two first
  // readers cannot each store a different offset.
  return onQueue<double>([&]() -> double {
    if (!store_) {
      // Nothing persists without a store, but the offset must still hold
      // for the process: a new one at every read would move the day
      // boundary and restart the daily counters at random.
      if (!unstoredMidnightOffset_) unstoredMidnightOffset_ = randomMillisecondOfDay() / 1000.0;
      return *unstoredMidnightOffset_;
    }
    platform::Object stored = store_->objectForKey(kMidnightOffsetKey);
    if (stored.isNumber()) return stored.doubleValue();
    double offset = randomMillisecondOfDay() / 1000.0;
    store_->setDouble(offset, kMidnightOffsetKey);
    scheduleSynchronizeToDisk();
    return offset;
  });
}

void APMPersistedConfig::clearValues() {
  serialQueue_->sync([&] {
    unstoredMidnightOffset_.reset();
    if (store_) store_->clearAllData();
  });
}

// --- Deferred synchronize --------------------------------------------------

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  std::lock_guard<std::mutex> lock(mutex_);
  synchronizeBlock_.cancel();
  std::weak_ptr<APMPersistedConfig> weakSelf = weak_from_this();
  synchronizeBlock_ = serialQueue_->asyncAfter(kSynchronizeDelaySeconds, [weakSelf] {
    if (auto self = weakSelf.lock()) self->synchronizeToDisk();
  });
}

void APMPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  synchronizeBlock_.cancel();
  synchronizeBlock_ = platform::DelayedWork();
}

void APMPersistedConfig::synchronizeToDisk() {
  if (platform::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  if (store_) store_->synchronize();
}
