// The engine class `APMMeasurement` and the identifiers facade
// `APMIdentifiers`, as far as the lower layers call them.
//
// This is the least stand-in for the engine: it holds the running engine
// (its identity, its remote configuration and whether collection is
// enabled) and answers the class operations the storage layer asks before
// experiment fetches, for script metadata and for settings. Whoever starts
// the engine installs it with `setSharedInstance`; until then there is no
// engine, and `remoteConfig()` answers the default configuration, whose
// settings are their defaults.
//
// Thread-safe: the engine reference is read and replaced under a
// process-wide lock; an engine's own fields are fixed at creation, except
// the enabled flag, which is atomic.
#pragma once

#include <atomic>
#include <mutex>
#include <memory>
#include <string>

class APMIdentity;
class APMMonitor;
class APMRemoteConfig;

class APMMeasurement {
 public:
  // The process-wide monitor, created on first use; never null.
  static std::shared_ptr<APMMonitor> monitor();

  // Whether an engine is running.
  static bool hasSharedInstance();
  // The running engine, or null.
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // Installs the running engine; null removes it.
  static void setSharedInstance(std::shared_ptr<APMMeasurement> engine);
  // The running engine's configuration; the default instance when there is
  // no engine or it has none. Never null. (Defined with `APMRemoteConfig`,
  // in the storage library, where the default instance is made.)
  static std::shared_ptr<APMRemoteConfig> remoteConfig();

  APMMeasurement(std::shared_ptr<APMIdentity> identity, std::shared_ptr<APMRemoteConfig> remoteConfig,
                 bool enabled = true)
      : identity_(std::move(identity)), remoteConfig_(std::move(remoteConfig)), enabled_(enabled) {}

  // Whether collection is enabled.
  bool isEnabled() const { return enabled_.load(); }
  void setEnabled(bool enabled) { enabled_.store(enabled); }
  const std::shared_ptr<APMIdentity>& identity() const { return identity_; }

 private:
  const std::shared_ptr<APMIdentity> identity_;
  const std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::atomic<bool> enabled_;
};

// The identifiers facade: how the engine was started ("fa", "am", ...).
// "am" makes the remote configuration check the DeDer app ID of a fetched
// configuration. Empty until the engine sets it.
class APMIdentifiers {
 public:
  // The process-wide instance; never null.
  static std::shared_ptr<APMIdentifiers> sharedInstance();

  std::string origin() const;
  void setOrigin(std::string origin);

 private:
  mutable std::mutex mutex_;
  std::string origin_;
};
