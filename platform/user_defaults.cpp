#include "platform/user_defaults.h"

#include <charconv>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/text.h"

namespace platform {
namespace {

std::mutex registryMutex;
// Live suites by name; an entry expires with its last user.
std::map<std::string, std::weak_ptr<UserDefaults>, std::less<>>& registry() {
  static auto* suites = new std::map<std::string, std::weak_ptr<UserDefaults>, std::less<>>();
  return *suites;
}

bool validSuiteName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::shared_ptr<UserDefaults> liveSuite(const std::string& name) {
  std::lock_guard lock(registryMutex);
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second.lock();
}

// The leading number of a text, as the platform reads one: blanks, a sign,
// digits; nothing readable gives 0.
int64_t textIntegerValue(const std::string& text) {
  size_t i = text.find_first_not_of(" \t\n\r\v\f");
  if (i == std::string::npos) return 0;
  const char* begin = text.data() + i;
  const char* end = text.data() + text.size();
  if (*begin == '+') ++begin;
  int64_t value = 0;
  auto [next, ec] = std::from_chars(begin, end, value);
  if (ec == std::errc::result_out_of_range) {
    return *begin == '-' ? INT64_MIN : INT64_MAX;
  }
  return ec == std::errc() ? value : 0;
}

double textDoubleValue(const std::string& text) {
  size_t i = text.find_first_not_of(" \t\n\r\v\f");
  if (i == std::string::npos) return 0;
  const char* begin = text.data() + i;
  if (*begin == '+') ++begin;
  double value = 0;
  auto [next, ec] = std::from_chars(begin, text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) return 0;
  return ec == std::errc() ? value : 0;
}

}  // namespace

UserDefaults::UserDefaults(std::string name) : name_(std::move(name)) {}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  if (!validSuiteName(name)) return nullptr;
  std::lock_guard lock(registryMutex);
  auto& slot = registry()[name];
  auto live = slot.lock();
  if (!live) {
    live = std::make_shared<UserDefaults>(name);
    slot = live;
  }
  return live;
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  return suite(Bundle::main()->bundleIdentifier());
}

std::string UserDefaults::pathForSuite(const std::string& name) {
  auto folders = preferencesDirectories();
  if (folders.empty() || !validSuiteName(name)) return {};
  return appendingPathComponent(folders.front(), appendingPathExtension(name, "plist"));
}

bool UserDefaults::removeSuite(const std::string& name, ErrorRef* error) {
  if (!validSuiteName(name)) return false;
  if (auto live = liveSuite(name)) live->forget();
  std::string path = pathForSuite(name);
  if (path.empty() || !fileExists(path)) return true;
  return removeItem(path, error);
}

void UserDefaults::forget() {
  std::lock_guard lock(mutex_);
  values_.clear();
  pending_.clear();
  dirty_ = false;
  // Stay loaded: a re-read would bring back a file that could not be removed.
  loadedPath_ = pathForSuite(name_);
  loaded_ = true;
}

void UserDefaults::loadIfNeeded() {
  std::string path = pathForSuite(name_);
  if (path != loadedPath_) {
    values_.clear();
    pending_.clear();
    dirty_ = false;
    loaded_ = false;
    loggedUnreadable_ = false;
    loadedPath_ = path;
  }
  if (loaded_) return;
  if (path.empty()) {
    loaded_ = true;
    return;
  }
  removeStaleTemporaryFiles(path);
  SettingsFile file = readSettingsFile(path);
  if (file.state == SettingsFile::State::Unreadable) {
    // Not damage: out of descriptors or an I/O error says nothing of the
    // content, and a write now would replace every key the file holds.
    if (!loggedUnreadable_) {
      nslog("Cannot read the preferences file " + path + " (" +
            file.error->localizedDescription() +
            "); it is kept as it is, read again at the next access, and changes wait for it");
      loggedUnreadable_ = true;
    }
    return;
  }
  // A damaged file reads as an empty domain, but for the values that can
  // be written back (see readSettingsFile).
  loaded_ = true;
  loggedUnreadable_ = false;
  values_ = std::move(file.entries);
  if (pending_.empty()) return;
  for (auto& [key, value] : pending_) {
    if (value.isNil()) {
      values_.erase(key);
    } else {
      values_.insert_or_assign(key, std::move(value));
    }
  }
  pending_.clear();
  write(nullptr);
}

bool UserDefaults::write(ErrorRef* error) {
  dirty_ = true;
  if (loadedPath_.empty()) {
    setError(error, Error::withDescription(kCocoaErrorDomain, kFileWriteUnknownError,
                                           "No preferences folder for the suite."));
    return false;
  }
  if (!loaded_) {
    setError(error, Error::withDescription(kCocoaErrorDomain, kFileReadUnknownError,
                                           "The suite's file could not be read; nothing is "
                                           "written over it until it can be."));
    return false;
  }
  if (!createDirectories(deletingLastPathComponent(loadedPath_), error)) return false;
  if (!writePropertyListFile(loadedPath_, Object(values_), error)) return false;
  dirty_ = false;
  return true;
}

Object UserDefaults::objectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  const Object::Dictionary& values = loaded_ ? values_ : pending_;
  auto it = values.find(key);
  return it == values.end() ? Object() : it->second;
}

bool UserDefaults::setObject(const Object& value, const std::string& key) {
  if (value.isNil()) {
    removeObjectForKey(key);
    return true;
  }
  if (!isPropertyListObject(value)) return false;
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  (loaded_ ? values_ : pending_).insert_or_assign(key, value);
  // A failed write stays pending for `synchronize`; the value is set.
  write(nullptr);
  return true;
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  if (!loaded_) {
    // Nil marks the removal, made once the file has been read.
    pending_.insert_or_assign(key, Object());
    dirty_ = true;
    return;
  }
  if (values_.erase(key) > 0) write(nullptr);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (value.isString()) return *value.string();
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (value.isString()) return textBoolValue(*value.string());
  return value.boolValue();
}

int64_t UserDefaults::integerForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (value.isString()) return textIntegerValue(*value.string());
  return value.int64Value();
}

double UserDefaults::doubleForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (value.isString()) return textDoubleValue(*value.string());
  return value.doubleValue();
}

std::optional<Bytes> UserDefaults::dataForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (auto bytes = value.data()) return *bytes;
  return std::nullopt;
}

std::optional<Object::Array> UserDefaults::arrayForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (auto array = value.array()) return *array;
  return std::nullopt;
}

std::optional<Object::Dictionary> UserDefaults::dictionaryForKey(const std::string& key) {
  Object value = objectForKey(key);
  if (auto dict = value.dictionary()) return *dict;
  return std::nullopt;
}

Object::Dictionary UserDefaults::dictionaryRepresentation() {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  if (loaded_) return values_;
  Object::Dictionary changed;
  for (const auto& [key, value] : pending_) {
    if (!value.isNil()) changed.emplace(key, value);
  }
  return changed;
}

bool UserDefaults::synchronize(ErrorRef* error) {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  return !dirty_ || write(error);
}

}  // namespace platform
