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
  platform::ErrorRef error;
  if (!APMCreateFolderForFile(path, &error)) {
    APMConfigStoreLogError(43004, "Cannot create subdirectories for config plist files.");
    APMConfigStoreLogWriteFailure(43006, path, error);
    return nullptr;
  }
  // A write killed before its rename leaves its temporary file behind;
  // nothing else would ever remove it.
  platform::removeStaleTemporaryFiles(path);
  std::shared_ptr<APMPersistentDictionary> store(
      new APMPersistentDictionary(std::move(path), std::move(runner)));
  std::lock_guard<std::recursive_mutex> lock(store->mutex_);
  store->loadIfNeeded();
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

void APMPersistentDictionary::loadIfNeeded() {
  if (loaded_) return;
  platform::SettingsFile file = platform::readSettingsFile(filePath_);
  switch (file.state) {
    case platform::SettingsFile::State::Read:
    case platform::SettingsFile::State::Missing:
      break;
    case platform::SettingsFile::State::Unreadable:
      // Out of descriptors or an I/O error says nothing of the content: keep
      // the file as it is, write nothing over it, and read it again at the
      // next access.
      if (!loggedUnreadable_) {
        APMConfigStoreLogError(43005, "Cannot read config plist file. Kept it to read again: " +
                                          file.error->localizedDescription());
        loggedUnreadable_ = true;
      }
      return;
    case platform::SettingsFile::State::Damaged:
      if (!moveAside(file)) return;
      break;
  }
  loaded_ = true;
  loggedUnreadable_ = false;
  platform::Object::Dictionary changes = std::move(content_);
  content_ = cleared_ ? platform::Object::Dictionary() : std::move(file.entries);
  cleared_ = false;
  // The changes made while the file could not be read go over its content.
  for (auto& [key, value] : changes) {
    if (value.isNil()) {
      content_.erase(key);
    } else {
      content_.insert_or_assign(key, std::move(value));
    }
  }
}

bool APMPersistentDictionary::moveAside(const platform::SettingsFile& file) {
  // Keep the unreadable file for inspection rather than overwrite it with
  // the empty content at the next write.
  std::string aside = filePath_ + kUnreadableSuffix;
  if (platform::fileExists(aside)) platform::removeItem(aside);
  platform::ErrorRef moveError;
  if (!platform::moveItem(filePath_, aside, &moveError)) {
    // Nothing may be written over it before it is aside; tried again at the
    // next access.
    if (!loggedUnreadable_) {
      APMConfigStoreLogError(43005, "Cannot read config plist file. Failed to move it aside: " +
                                        moveError->localizedDescription());
      loggedUnreadable_ = true;
    }
    return false;
  }
  APMConfigStoreLogError(43005, "Cannot read config plist file. Moved it aside to " + aside);
  if (!file.recovered) return true;
  // A value that cannot be written back must not cost the other keys: keep
  // those, and write them soon, as the file now lies aside.
  std::string names;
  for (const std::string& key : file.dropped) names += (names.empty() ? "" : ", ") + key;
  APMConfigStoreLogError(43005, "Kept " + std::to_string(file.entries.size()) +
                                    " keys of the config plist file, dropped values that cannot "
                                    "be written back: " + names);
  dirty_ = true;
  schedulePersistToDisk();
  return true;
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
  loadIfNeeded();
  auto found = content_.find(key);
  // Nil: absent, or removed while the file could not be read.
  return found == content_.end() ? platform::Object() : found->second;
}

void APMPersistentDictionary::setObject(const platform::Object& value, const std::string& key) {
  if (key.empty()) {
    APMConfigStoreLogWarning(43002, "Cannot set object for invalid config key.");
    return;
  }
  if (value.isNil()) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    loadIfNeeded();
    if (!loaded_) {
      // Nil marks the removal, made once the file has been read.
      content_.insert_or_assign(key, platform::Object());
      dirty_ = true;
      schedulePersistToDisk();
    } else if (content_.erase(key)) {
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
  loadIfNeeded();
  auto found = content_.find(key);
  if (found != content_.end() && found->second == value) return;
  content_.insert_or_assign(key, value);
  dirty_ = true;
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  loadIfNeeded();
  if (!loaded_) {
    // The file's keys go too, once it is read.
    cleared_ = true;
  } else if (content_.empty()) {
    return;
  }
  content_.clear();
  dirty_ = true;
  schedulePersistToDisk();
}

bool APMPersistentDictionary::synchronize() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return !lastWriteFailed_;
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
    loadIfNeeded();
    // Nothing is written over a file that could not be read: the write
    // fails, and is retried, until it is.
    if (loaded_) snapshot = platform::Object(content_);
    dirty_ = false;
  }
  platform::ErrorRef error;
  if (!snapshot.isNil() && platform::writePropertyListFile(filePath_, snapshot, &error)) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    retryDelaySeconds_ = kPersistDelaySeconds;
    lastWriteFailed_ = false;
    return;
  }
  APMConfigStoreLogError(43000, "Cannot persist configs to disk");
  if (snapshot.isNil()) {
    error = platform::Error::withDescription(
        platform::kCocoaErrorDomain, platform::kFileReadUnknownError,
        "the file could not be read, and nothing is written over it until it can be");
  }
  APMConfigStoreLogWriteFailure(43006, filePath_, error);
  // The content may have moved on meanwhile; either way it is not on disk.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  lastWriteFailed_ = true;
  dirty_ = true;
  retryDelaySeconds_ = std::min(retryDelaySeconds_ * 2, kMaxRetryDelaySeconds);
  if (!hasPendingPersistence_ && weak_from_this().lock()) scheduleLocked(retryDelaySeconds_);
}
