// `APMEGuardedMap`: a map from SDK name to a shared object, safe to read and
// change from any thread. The experiment manager keeps its registry and
// snapshots in such maps; a read sees every change made before it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

template <typename T>
class APMEGuardedMap {
 public:
  using Value = std::shared_ptr<T>;

  // Null when absent.
  Value get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : found->second;
  }
  // A null value removes the key.
  void set(const std::string& key, Value value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value) {
      entries_.insert_or_assign(key, std::move(value));
    } else {
      entries_.erase(key);
    }
  }
  void removeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }
  // A copy of the contents.
  std::map<std::string, Value> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Value> entries_;
};
