#include "measurement/storage/experiments/experiment_client.h"

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_manager.h"
#include "measurement/storage/experiments/experiment_monitor.h"

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                            std::optional<APMEFlags> defaultFlags,
                                                            std::weak_ptr<APMEManager> manager) {
  if (!property) {
    APMEMonitor::monitor()->logWithLevel(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    APMEMonitor::monitor()->logWithLevel(0, 830001,
                                         "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::make_shared<APMEClient>(std::move(property), std::move(*defaultFlags),
                                      std::move(manager));
}

APMEClient::APMEClient(std::shared_ptr<APMESDKProperty> property, APMEFlags defaultFlags,
                       std::weak_ptr<APMEManager> manager)
    : property_(std::move(property)),
      defaultFlags_(std::move(defaultFlags)),
      manager_(std::move(manager)) {}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

platform::Object APMEClient::valueForFlag(const std::string& flagName) const {
  if (flagName.empty()) {
    APMEMonitor::monitor()->logWithLevel(0, 830002, "Cannot get value for empty flag name");
    return {};
  }
  auto manager = manager_.lock();
  return manager ? manager->flagValueForFlagName(flagName, SDKName()) : platform::Object();
}

platform::Object APMEClient::objectForKeyedSubscript(const platform::Object& key) const {
  if (!key.isString()) {
    APMEMonitor::monitor()->logWithLevel(0, 830003, "Cannot get flag value of an invalid flag name",
                                         key);
    return {};
  }
  auto manager = manager_.lock();
  return manager ? manager->flagValueForFlagName(*key.string(), SDKName()) : platform::Object();
}

bool APMEClient::activateLatestSnapshot(platform::ErrorRef* error) const {
  auto manager = manager_.lock();
  return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() const {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == 1;
}

void APMEClient::resetToDefaults() const {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}
