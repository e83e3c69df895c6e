// `APMEManager`: the process-wide registry and resolver of the on-device
// experiment framework.
//
// An SDK registers once with its default flag values and receives an
// `APMEClient`. Per SDK name the manager holds the client, the defaults and
// three snapshots: pending (fetched, not in force), activated (in force) and
// launched (experiment 0 of the last activation, in force). A flag resolves
// to the activated value, else the launched value, else the default.
// Activation turns the pending snapshot into the activated and launched
// ones and has the task manager store the same. The manager is its task
// manager's delegate: it fills its maps when the task manager has started,
// keeps fetched snapshots as pending, and tells the clients' delegates.
//
// Log lines go through `APMEMonitor` (codes 800000 to 800028); refusals
// answer nil, false, -1 or nothing. Only activation reports an error.
//
// Threads: any thread may call any operation. Map work runs on the serial
// queue "APMEExperimentSerialQueue" (registration, start and fetch results,
// `reset` and `clearAndDelete` asynchronously, the rest synchronously), so
// a delegate called on that queue (fetch errors) must not call a
// synchronous operation back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/storage/experiments/experiment_client.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "measurement/storage/experiments/guarded_map.h"
#include "measurement/storage/experiments/task_manager.h"
#include "platform/dispatch.h"

class APMEManager final : public APMETaskManagerDelegate,
                          public std::enable_shared_from_this<APMEManager> {
 public:
  using FlagsByName = std::map<std::string, APMEFlagRef>;

  static constexpr const char* kSerialQueueLabel = "APMEExperimentSerialQueue";
  // Activated snapshots older (or further ahead) than this are stale.
  static constexpr double kStaleInterval = 259'200;

  // The singleton over a default task manager, which it starts.
  static std::shared_ptr<APMEManager> sharedInstance();
  // A manager over `taskManager` (made its delegate, not started).
  static std::shared_ptr<APMEManager> initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);
  static std::shared_ptr<APMEMonitor> monitor();
  // The framework version sent in requests (10000).
  static int64_t version();

  using APMETaskManagerDelegate::taskManager;
  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }

  // The client, or null for a null property (800000), an empty name
  // (800001), a default value that is neither a number nor a string
  // (800002) or a client that cannot be made (800004). The registry is
  // updated on the manager's queue after this returns; a later call from
  // the same thread sees it.
  std::shared_ptr<APMEClient> registerSDKProperty(
      const std::shared_ptr<APMESDKProperty>& property,
      const std::optional<platform::Object::Dictionary>& defaultFlags);
  std::shared_ptr<APMEClient> clientForSDKName(const std::string& SDKName);
  // The resolved value (a number or a string), or nil.
  platform::Object flagValueForFlagName(const std::string& flagName, const std::string& SDKName);
  // Makes the pending snapshot the activated (and launched) one. False for
  // an empty name (with an error, code 1) or when nothing is pending
  // (without one).
  bool activateSnapshotOfSDK(const std::string& SDKName, platform::ErrorRef* error = nullptr);
  // -1 unknown SDK, -2 no activated snapshot, 1 stale, 0 fresh.
  long activatedSnapshotStatusOfSDKName(const std::string& SDKName);
  // Drops the activated snapshot, in memory and stored.
  void resetToDefaultsOfSDKName(const std::string& SDKName);
  // Empties the snapshots (memory and database) and restarts the schedule;
  // registrations stay.
  void reset();
  // Empties the snapshots and deletes the database; fetching stops.
  void clearAndDelete();
  // The activated experiment IDs of the SDKs without a diversion key of
  // their own, ascending; duplicates stay.
  std::vector<int64_t> experimentIDs();

  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);

  // --- Task manager delegate ------------------------------------------------
  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManager(APMETaskManager& taskManager, const APMESnapshots& activated,
                   const APMESnapshots& pending, const APMESnapshots& launched) override;
  void taskManager(APMETaskManager& taskManager, const APMESnapshots& snapshots,
                   const APMESnapshotErrors& errors) override;
  void taskManager(APMETaskManager& taskManager, const APMESnapshots& upserted) override;

  explicit APMEManager(std::shared_ptr<APMETaskManager> taskManager);

 private:
  // On the manager's queue: `work`, then the three snapshot maps emptied.
  void dropSnapshotsAfter(std::function<void(APMETaskManager&)> work);

  const std::shared_ptr<APMETaskManager> taskManager_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  APMEGuardedMap<APMESnapshot> activatedSnapshotsBySDKName_;
  APMEGuardedMap<APMESnapshot> pendingSnapshotsBySDKName_;
  APMEGuardedMap<APMESnapshot> launchedSnapshotsBySDKName_;
  APMEGuardedMap<APMEClient> registeredClientsBySDKName_;
  APMEGuardedMap<const FlagsByName> defaultFlagsBySDKName_;
};
