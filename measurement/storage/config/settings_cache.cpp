#include "measurement/storage/config/settings_cache.h"

namespace {

platform::Object find(const APMRemoteSettingsCache::Entries& entries, std::string_view key) {
  auto found = entries.find(key);
  return found == entries.end() ? platform::Object() : found->second;
}

}  // namespace

platform::Object APMRemoteSettingsCache::objectForKey(std::string_view key) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    platform::Object memoised = find(memo_, key);
    if (!memoised.isNil()) return memoised;
  }
  return find(received_, key);
}

platform::Object APMRemoteSettingsCache::receivedObjectForKey(std::string_view key) const {
  return find(received_, key);
}

void APMRemoteSettingsCache::memoise(std::string_view key, platform::Object value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  memo_.insert_or_assign(std::string(key), std::move(value));
}
