#include "measurement/storage/settings/user_defaults.h"

#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"

namespace {

std::shared_ptr<platform::UserDefaults> domainFor(const std::optional<std::string>& suiteName) {
  if (suiteName && !suiteName->empty()) return platform::UserDefaults::suite(*suiteName);
  return platform::UserDefaults::standard();
}

}  // namespace

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  static const std::shared_ptr<APMUserDefaults> shared = [] {
    auto defaults = std::make_shared<APMUserDefaults>();
    defaults->setPreferenceFileExcluded(true);
    return defaults;
  }();
  return shared;
}

APMUserDefaults::APMUserDefaults(std::optional<std::string> suiteName)
    : suiteName_(std::move(suiteName)), domain_(domainFor(suiteName_)) {}

const std::string& APMUserDefaults::appNameRef() const {
  static const std::string none;
  return domain_ ? domain_->name() : none;
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setPreferenceFileExcluded(bool excluded) {
  std::lock_guard<std::mutex> lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}

platform::Object APMUserDefaults::objectForKey(const std::string& key) {
  if (key.empty()) {
    APMConfigStoreLogWarning(41001, "Cannot get object for invalid user default key.");
    return {};
  }
  return domain_ ? domain_->objectForKey(key) : platform::Object();
}

void APMUserDefaults::setObject(const platform::Object& value, const std::string& key) {
  if (key.empty()) {
    APMConfigStoreLogWarning(41002, "Cannot set object for invalid user default key.");
    return;
  }
  if (!domain_) return;
  if (value.isNil()) {
    domain_->removeObjectForKey(key);
    return;
  }
  if (!APMIsPropertyListValue(value) || !domain_->setObject(value, key)) {
    APMConfigStoreLogWarning(41003,
                             "Cannot set invalid object to user defaults. Must be a string, "
                             "number, array, dictionary, date, or data. Value: " +
                                 value.description());
  }
}

void APMUserDefaults::clearAllData() {
  if (!domain_) return;
  for (const auto& [key, value] : domain_->dictionaryRepresentation()) {
    domain_->removeObjectForKey(key);
  }
}

bool APMUserDefaults::synchronize() {
  // A suite name the platform refuses has no file to write.
  if (!domain_) return false;
  platform::ErrorRef writeError;
  const bool written = domain_->synchronize(&writeError);
  if (!written) {
    APMConfigStoreLogError(41004, "Cannot synchronize user defaults to disk");
    APMConfigStoreLogWriteFailure(41005, platform::UserDefaults::pathForSuite(appNameRef()),
                                  writeError);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (isPreferenceFileExcluded_) return written;
  std::string path = APMPreferencesPlistPath(appNameRef());
  if (path.empty() || !platform::fileExists(path)) return written;
  platform::ErrorRef error;
  if (APMExcludeFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    APMConfigStoreLogWarning(41000, "Failed to exclude preferences file from backup. Error code " +
                                        (error ? std::to_string(error->code()) : std::string("0")));
  }
  return written;
}
