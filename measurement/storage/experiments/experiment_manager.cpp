#include "measurement/storage/experiments/experiment_manager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/engine/measurement_errors.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/flag_values.h"
#include "measurement/storage/experiments/request_builder.h"
#include "platform/clock.h"

namespace {

constexpr const char* kFrameworkVersion = "10000000";

double now() { return platform::Clock::current()->now(); }

// A snapshot as a log context: its experiment IDs, or nil.
platform::Object contextOf(const APMESnapshotRef& snapshot) {
  if (!snapshot) return {};
  platform::Object::Array ids;
  for (int64_t id : snapshot->experimentIDs()) ids.emplace_back(id);
  return platform::Object(std::move(ids));
}

// The flag's value when the snapshot has the flag with a value; nil
// otherwise.
platform::Object valueIn(const APMESnapshotRef& snapshot, const std::string& flagName) {
  return snapshot ? APMPBFlagValueObject(snapshot->flagByName(flagName).get()) : platform::Object();
}

}  // namespace

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  static const auto shared = [] {
    auto manager = initWithTaskManager(std::make_shared<APMETaskManager>());
    manager->taskManager_->startTaskManager();
    return manager;
  }();
  return shared;
}

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(
    std::shared_ptr<APMETaskManager> taskManager) {
  if (!taskManager) return nullptr;
  auto manager = std::make_shared<APMEManager>(std::move(taskManager));
  manager->taskManager_->setDelegate(manager);
  return manager;
}

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)), queue_(platform::DispatchQueue::create(kSerialQueueLabel)) {}

std::shared_ptr<APMEMonitor> APMEManager::monitor() { return APMEMonitor::monitor(); }

int64_t APMEManager::version() {
  const std::string text = kFrameworkVersion;
  if (text.size() < 4) return 0;
  return std::stoll(text.substr(0, text.size() - 3));
}

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  if (!block) return;
  queue_->async([block = std::move(block)] {
    APMERunLoggingExceptions(block, 800017, "Exception on async Experimentation serial queue", false);
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  if (!block) return;
  queue_->sync([&block] {
    APMERunLoggingExceptions(block, 800018, "Exception on sync Experimentation serial queue", false);
  });
}

// --- Registration and lookup -------------------------------------------------

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property,
    const std::optional<platform::Object::Dictionary>& defaultFlags) {
  if (!property) {
    monitor()->logWithLevel(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  const std::string name = property->name();
  if (name.empty()) {
    monitor()->logWithLevel(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  auto flagsByName = std::make_shared<FlagsByName>();
  APMEFlags flags;
  for (const auto& [flagName, value] : defaultFlags.value_or(platform::Object::Dictionary{})) {
    APMEFlagRef flag = APMPBFlagWithNameValue(flagName, value);
    if (!flag) {
      monitor()->logWithLevel(0, 800002,
                          "Cannot register experiment client invalid flags. Flag name, value",
                          flagName, value);
      return nullptr;
    }
    flags.push_back(flag);
    flagsByName->insert_or_assign(flagName, flag);
  }
  auto client = APMEClient::initWithSDKProperty(property, flags, weak_from_this());
  if (!client) {
    monitor()->logWithLevel(1, 800004, "Cannot register client. SDK name", name);
    return nullptr;
  }
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, client, flagsByName, property, name] {
    auto self = weak.lock();
    if (!self) return;
    if (self->registeredClientsBySDKName_.get(name)) {
      monitor()->logWithLevel(3, 800003,
                          "Registered an SDK that has already registered. Default flags will be "
                          "overwritten. SDK name",
                          name);
    }
    self->registeredClientsBySDKName_.set(name, client);
    self->defaultFlagsBySDKName_.set(name, flagsByName);
    self->taskManager_->requestBuilder()->addSDKProperty(property);
    monitor()->logWithLevel(8, 800005, "Registered client", name);
  });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const std::string& SDKName) {
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] { client = registeredClientsBySDKName_.get(SDKName); });
  return client;
}

platform::Object APMEManager::flagValueForFlagName(const std::string& flagName,
                                                   const std::string& SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return {};
  }
  if (flagName.empty()) {
    monitor()->logWithLevel(0, 800011, "Cannot retrieve flag value for empty flag name");
    return {};
  }
  platform::Object value;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.get(SDKName)) {
      monitor()->logWithLevel(3, 800012, "SDK is not registered yet");
      return;
    }
    auto defaults = defaultFlagsBySDKName_.get(SDKName);
    if (!defaults) {
      monitor()->logWithLevel(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name",
                          SDKName, flagName);
      return;
    }
    APMESnapshotRef activated = activatedSnapshotsBySDKName_.get(SDKName);
    monitor()->logWithLevel(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot",
                        SDKName, flagName, contextOf(activated));
    value = valueIn(activated, flagName);
    if (!value.isNil()) return;
    APMESnapshotRef launched = launchedSnapshotsBySDKName_.get(SDKName);
    monitor()->logWithLevel(8, 800016,
                        "Cannot find activated flag. Looking for launched flag. SDK name, flag "
                        "name, launched flag",
                        SDKName, flagName, contextOf(launched));
    value = valueIn(launched, flagName);
    if (!value.isNil()) return;
    auto found = defaults->find(flagName);
    if (found == defaults->end()) {
      monitor()->logWithLevel(8, 800014, "No default flag value. SDK name, flag name", SDKName, flagName);
      return;
    }
    value = APMPBFlagValueObject(found->second.get());
    monitor()->logWithLevel(8, 800019,
                        "Cannot find launched flag. Returned the default flag value. SDK name, "
                        "flag name, default flag",
                        SDKName, flagName, value);
  });
  return value;
}

// --- Activation and status ---------------------------------------------------

bool APMEManager::activateSnapshotOfSDK(const std::string& SDKName, platform::ErrorRef* error) {
  if (SDKName.empty()) {
    APMSetError(error, 1, "SDK name cannot be empty");
    monitor()->logWithLevel(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    APMESnapshotRef pending = pendingSnapshotsBySDKName_.get(SDKName);
    if (!pending) {
      monitor()->logWithLevel(3, 800023, "No pending snapshot to activate. SDK name", SDKName);
      return;
    }
    const double activationTime = now();
    // Experiments are kept whole, flagless ones too (a control group has
    // no flags, yet its ID belongs in experimentIDs): the activated
    // snapshot then matches what the database stores.
    APMEExperiments inForce;
    for (const auto& experiment : pending->experiments()) {
      if (experiment->experimentID() != 0) {
        inForce.push_back(experiment);
      } else {
        launchedSnapshotsBySDKName_.set(SDKName,
                                        APMESnapshot::initWithSDKName(SDKName, APMEExperiments{experiment}));
      }
    }
    APMESnapshotRef snapshot = APMESnapshot::initWithSDKName(SDKName, inForce);
    snapshot->setTimestamp(activationTime);
    activatedSnapshotsBySDKName_.set(SDKName, snapshot);
    pendingSnapshotsBySDKName_.set(SDKName, nullptr);
    taskManager_->activatePendingSnapshot(pending, activationTime);
    activated = true;
    monitor()->logWithLevel(8, 800028, "Successfully activated a snapshot of SDK", SDKName);
  });
  return activated;
}

long APMEManager::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return -1;
  }
  long status = -1;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.get(SDKName)) return;
    APMESnapshotRef activated = activatedSnapshotsBySDKName_.get(SDKName);
    if (!activated || activated->timestamp() <= std::numeric_limits<double>::epsilon()) {
      status = -2;
      return;
    }
    status = std::fabs(activated->timestamp() - now()) > kStaleInterval ? 1 : 0;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    if (!activatedSnapshotsBySDKName_.get(SDKName)) {
      monitor()->logWithLevel(0, 800026, "Cannot reset to defaults for unregistered SDK name", SDKName);
      return;
    }
    activatedSnapshotsBySDKName_.set(SDKName, nullptr);
    taskManager_->resetToDefaultsForSDKName(SDKName);
    monitor()->logWithLevel(8, 800027, "Reset all experiments to default. SDK name", SDKName);
  });
}

std::vector<int64_t> APMEManager::experimentIDs() {
  std::vector<int64_t> ids;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [name, client] : registeredClientsBySDKName_.entries()) {
      if (client->SDKProperty()->diversionKey()) continue;
      if (APMESnapshotRef activated = activatedSnapshotsBySDKName_.get(name)) {
        for (int64_t id : activated->experimentIDs()) ids.push_back(id);
      }
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

void APMEManager::reset() {
  dropSnapshotsAfter([](APMETaskManager& taskManager) { taskManager.reset(); });
}

void APMEManager::clearAndDelete() {
  dropSnapshotsAfter([](APMETaskManager& taskManager) { taskManager.clearAndDelete(); });
}

void APMEManager::dropSnapshotsAfter(std::function<void(APMETaskManager&)> work) {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, work = std::move(work)] {
    auto self = weak.lock();
    if (!self) return;
    work(*self->taskManager_);
    self->activatedSnapshotsBySDKName_.removeAll();
    self->pendingSnapshotsBySDKName_.removeAll();
    self->launchedSnapshotsBySDKName_.removeAll();
  });
}

// --- Task manager delegate ---------------------------------------------------

std::optional<bool> APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  using Method = APMEExperimentObserverDelegate::Method;
  for (const auto& [name, client] : registeredClientsBySDKName_.entries()) {
    auto delegate = client->delegate();
    if (!delegate || !delegate->respondsTo(Method::shouldFetchExperimentsForClient) ||
        delegate->shouldFetchExperimentsForClient(client)) {
      return true;
    }
  }
  return false;
}

void APMEManager::taskManager(APMETaskManager&, const APMESnapshots& activated,
                              const APMESnapshots& pending, const APMESnapshots& launched) {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, activated, pending, launched] {
    auto self = weak.lock();
    if (!self) return;
    const std::pair<const APMESnapshots*, APMEGuardedMap<APMESnapshot>*> loads[] = {
        {&activated, &self->activatedSnapshotsBySDKName_},
        {&pending, &self->pendingSnapshotsBySDKName_},
        {&launched, &self->launchedSnapshotsBySDKName_}};
    for (const auto& [snapshots, map] : loads) {
      for (const APMESnapshotRef& snapshot : *snapshots) map->set(snapshot->SDKName(), snapshot->copy());
    }
  });
}

void APMEManager::taskManager(APMETaskManager&, const APMESnapshots& snapshots,
                              const APMESnapshotErrors& errors) {
  if (snapshots.empty() && errors.empty()) {
    monitor()->logWithLevel(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  using Method = APMEExperimentObserverDelegate::Method;
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, snapshots, errors] {
    auto self = weak.lock();
    if (!self) return;
    APMESnapshots noticed;
    for (const APMESnapshotRef& snapshot : snapshots) {
      APMESnapshotRef copy = snapshot->copy();
      if (!copy) continue;
      auto client = self->registeredClientsBySDKName_.get(copy->SDKName());
      auto delegate = client ? client->delegate() : nullptr;
      if (delegate && delegate->respondsTo(Method::clientDidReceiveNewSnapshot)) {
        copy->setManuallyActivated(true);
        noticed.push_back(copy);
      }
      self->pendingSnapshotsBySDKName_.set(copy->SDKName(), copy);
    }
    for (const auto& [name, error] : errors) {
      auto client = self->registeredClientsBySDKName_.get(name);
      auto delegate = client ? client->delegate() : nullptr;
      if (delegate && delegate->respondsTo(Method::clientDidReceiveFetchError)) {
        delegate->client(client, error);
      }
    }
    if (!noticed.empty()) self->taskManager_->upsertPendingSnapshots(std::move(noticed));
  });
}

void APMEManager::taskManager(APMETaskManager&, const APMESnapshots& upserted) {
  using Method = APMEExperimentObserverDelegate::Method;
  for (const APMESnapshotRef& snapshot : upserted) {
    auto client = registeredClientsBySDKName_.get(snapshot->SDKName());
    auto delegate = client ? client->delegate() : nullptr;
    if (!delegate || !delegate->respondsTo(Method::clientDidReceiveNewSnapshot)) {
      monitor()->logWithLevel(0, 800021,
                          "Cannot notify new snapshot for SDK because the delegate does not "
                          "implement -clientDidReceiveNewSnapshot:",
                          snapshot->SDKName());
      continue;
    }
    std::shared_ptr<platform::DispatchQueue> queue =
        delegate->respondsTo(Method::queue) ? delegate->queue() : nullptr;
    if (!queue) queue = platform::DispatchQueue::main();
    std::weak_ptr<APMEExperimentObserverDelegate> weakDelegate = delegate;
    queue->async([weakDelegate, client] {
      if (auto delegate = weakDelegate.lock()) delegate->clientDidReceiveNewSnapshot(client);
    });
  }
}
