#include "measurement/storage/system/class_registry.h"

#include <map>
#include <mutex>

namespace {

std::mutex registryMutex;

std::map<std::string, APMRegisteredClass, std::less<>>& classes() {
  // Never destroyed: lookups may come from threads still running at exit.
  static auto* registered = new std::map<std::string, APMRegisteredClass, std::less<>>();
  return *registered;
}

}  // namespace

void APMClassRegistry::registerClass(const std::string& name, APMRegisteredClass registered) {
  std::lock_guard lock(registryMutex);
  classes().insert_or_assign(name, std::move(registered));
}

void APMClassRegistry::unregisterClass(const std::string& name) {
  std::lock_guard lock(registryMutex);
  classes().erase(name);
}

std::optional<APMRegisteredClass> APMClassRegistry::classNamed(const std::string& name) {
  std::lock_guard lock(registryMutex);
  auto it = classes().find(name);
  if (it == classes().end()) return std::nullopt;
  return it->second;
}
