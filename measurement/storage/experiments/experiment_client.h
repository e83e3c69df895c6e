// `APMEClient`: what an SDK holds after registering with the experiment
// manager: its property, its default flags and the way to its flag values.
//
// Flags resolve through the manager, in the order activated snapshot,
// launched snapshot, default. Every operation goes through a weak reference
// to the manager: with the manager gone they answer nil, false or nothing.
//
// `APMEExperimentObserverDelegate` is what an SDK implements to hear of
// new snapshots and fetch errors and to veto fetches; every method is
// optional, and `respondsTo` tells which ones the delegate implements.
//
// Thread-safe: any thread may call any operation.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/storage/experiments/experiment.h"
#include "measurement/storage/experiments/sdk_property.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/object.h"

class APMEClient;
class APMEManager;

class APMEExperimentObserverDelegate {
 public:
  enum class Method {
    clientDidReceiveNewSnapshot,
    clientDidReceiveFetchError,
    shouldFetchExperimentsForClient,
    queue,
  };

  virtual ~APMEExperimentObserverDelegate() = default;
  virtual bool respondsTo(Method method) const = 0;

  // A new snapshot is pending for the client's SDK; on `queue()` when the
  // delegate has one, else on the main queue. It may call the manager.
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) {}
  // client:didReceiveFetchError:, on the manager's queue: it must not call
  // a synchronous manager operation.
  virtual void client(const std::shared_ptr<APMEClient>&, const platform::ErrorRef&) {}
  // On the task manager's worker queue.
  virtual bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) { return true; }
  virtual std::shared_ptr<platform::DispatchQueue> queue() { return nullptr; }
  virtual void setQueue(std::shared_ptr<platform::DispatchQueue>) {}
};

class APMEClient : public std::enable_shared_from_this<APMEClient> {
 public:
  // Null for a null property (830000) or no flag list (830001).
  static std::shared_ptr<APMEClient> initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                         std::optional<APMEFlags> defaultFlags,
                                                         std::weak_ptr<APMEManager> manager);

  std::string SDKName() const { return property_->name(); }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return property_; }
  APMEFlags defaultFlags() const { return defaultFlags_; }
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate);

  // The resolved value; nil for an empty name (830002) or no value.
  platform::Object valueForFlag(const std::string& flagName) const;
  // The same for a key that must be a string (830003 otherwise).
  platform::Object objectForKeyedSubscript(const platform::Object& key) const;
  // Activates the SDK's pending snapshot.
  bool activateLatestSnapshot(platform::ErrorRef* error = nullptr) const;
  // Whether the activated snapshot is more than three days old (or ahead).
  bool hasStaleSnapshot() const;
  // Drops the activated snapshot; launched and default values remain.
  void resetToDefaults() const;

  APMEClient(std::shared_ptr<APMESDKProperty> property, APMEFlags defaultFlags,
             std::weak_ptr<APMEManager> manager);

 private:
  const std::shared_ptr<APMESDKProperty> property_;
  const APMEFlags defaultFlags_;
  const std::weak_ptr<APMEManager> manager_;
  mutable std::mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;
};
