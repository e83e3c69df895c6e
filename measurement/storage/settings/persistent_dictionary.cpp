#include "measurement/storage/settings/persistent_dictionary.h"

#include <algorithm>
#include <vector>

#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"
#include "platform/property_list.h"

namespace {

constexpr const char* kUnreadableSuffix = ".unreadable";

}  // namespace

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::initWithFileName(
    const std::string& fileName, DelayedRunner runner) {
  if (fileName.empty()) return nullptr;
  std::string path = APMApplicationSupportPlistPath(fileName);
  if (path.empty()) return nullptr;
  if (!APMCreateFolderForFile(path)) {
    APMConfigStoreLogError(43004, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  // A write killed before its rename leaves its temporary file behind;
  // nothing else would ever remove it.
  platform::removeStaleTemporaryFiles(path);
  std::shared_ptr<APMPersistentDictionary> store(
      new APMPersistentDictionary(std::move(path), std::move(runner)));
  store->load();
  return store;
}

APMPersistentDictionary::APMPersistentDictionary(std::string filePath, DelayedRunner runner)
    : filePath_(std::move(filePath)),
      serialQueue_(platform::DispatchQueue::create("APMPersistentDictionary")),
      runner_(std::move(runner)) {
  if (!runner_) {
    runner_ = [queue = serialQueue_](double delay, platform::DispatchBlock block) {
      queue->asyncAfter(delay, std::move(block));
    };
  }
}

APMPersistentDictionary::~APMPersistentDictionary() {
  bool dirty;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    dirty = dirty_;
  }
  if (dirty) persistToDisk();
}

void APMPersistentDictionary::load() {
  platform::ErrorRef error;
  platform::Object contents = platform::readPropertyListFile(filePath_, &error);
  if (const auto* dictionary = contents.dictionary()) {
    content_ = *dictionary;
    return;
  }
  if (!platform::fileExists(filePath_)) return;
  // Keep the unreadable file for inspection rather than overwrite it with
  // the empty content at the next write.
  std::string aside = filePath_ + kUnreadableSuffix;
  if (platform::fileExists(aside)) platform::removeItem(aside);
  platform::ErrorRef moveError;
  if (!platform::moveItem(filePath_, aside, &moveError)) {
    APMConfigStoreLogError(43005, "Cannot read config plist file. Failed to move it aside: " +
                                      moveError->localizedDescription());
    return;
  }
  APMConfigStoreLogError(43005, "Cannot read config plist file. Moved it aside to " + aside);
  // A value too large to be written back must not cost the other keys: keep
  // those, and write them at once, as the file now lies aside.
  std::vector<std::string> dropped;
  auto kept = platform::readWritableEntries(aside, dropped);
  if (!kept) return;
  content_ = std::move(*kept);
  std::string names;
  for (const std::string& key : dropped) names += (names.empty() ? "" : ", ") + key;
  APMConfigStoreLogError(43005, "Kept " + std::to_string(content_.size()) +
                                    " keys of the config plist file, dropped values too large "
                                    "to write back: " + names);
  dirty_ = true;
  schedulePersistToDisk();
}

bool APMPersistentDictionary::hasPendingPersistence() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return hasPendingPersistence_;
}

platform::Object APMPersistentDictionary::objectForKey(const std::string& key) {
  if (key.empty()) {
    APMConfigStoreLogWarning(43001, "Cannot get object for invalid config key.");
    return {};
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = content_.find(key);
  return found == content_.end() ? platform::Object() : found->second;
}

void APMPersistentDictionary::setObject(const platform::Object& value, const std::string& key) {
  if (key.empty()) {
    APMConfigStoreLogWarning(43002, "Cannot set object for invalid config key.");
    return;
  }
  if (value.isNil()) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (content_.erase(key)) {
      dirty_ = true;
      schedulePersistToDisk();
    }
    return;
  }
  if (!APMIsPropertyListValue(value)) {
    APMConfigStoreLogWarning(43003,
                             "Cannot set invalid object to config. Must be a string, number, "
                             "array, dictionary, date, or data. Value " +
                                 value.description());
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = content_.find(key);
  if (found != content_.end() && found->second == value) return;
  content_.insert_or_assign(key, value);
  dirty_ = true;
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  dirty_ = true;
  schedulePersistToDisk();
}

void APMPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (hasPendingPersistence_) return;
  scheduleLocked(kPersistDelaySeconds);
}

void APMPersistentDictionary::scheduleLocked(double delaySeconds) {
  hasPendingPersistence_ = true;
  std::weak_ptr<APMPersistentDictionary> weakSelf = weak_from_this();
  runner_(delaySeconds, [weakSelf] {
    if (auto self = weakSelf.lock()) self->persistToDisk();
  });
}

void APMPersistentDictionary::persistToDisk() {
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  platform::Object snapshot;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    hasPendingPersistence_ = false;
    if (!dirty_) return;
    snapshot = platform::Object(content_);
    dirty_ = false;
  }
  platform::ErrorRef error;
  if (platform::writePropertyListFile(filePath_, snapshot, &error)) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    retryDelaySeconds_ = kPersistDelaySeconds;
    return;
  }
  APMConfigStoreLogError(43000, "Cannot persist configs to disk");
  // The content may have moved on meanwhile; either way it is not on disk.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  dirty_ = true;
  retryDelaySeconds_ = std::min(retryDelaySeconds_ * 2, kMaxRetryDelaySeconds);
  if (!hasPendingPersistence_ && weak_from_this().lock()) scheduleLocked(retryDelaySeconds_);
}
