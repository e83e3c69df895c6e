// `APMIdentity`: the engine's identifier store, as far as the storage layer
// and the experiment framework need it: the library version, the app's
// version and the experiment diversion key.
//
// The diversion key is kept in the persisted settings
// ("/voraza/measurement/diversion_key"); a stored key that is not exactly
// five characters long is replaced by the first five characters of a new
// random app instance ID, which is stored and answered.
//
// Thread-safe: `diversionKey` runs under the store's lock, so two first
// reads at once make one key.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class APMPersistedConfig;

class APMIdentity {
 public:
  // The measurement library's version (11.3.0 as one number). It is sent
  // with configuration fetches as "vuv_version" and registered as the SDK
  // property version of "vav_iradadovozo" with the experiment manager.
  static constexpr int64_t vavIradadovozoLibraryVersion() { return 110300; }

  // The process-wide store over the shared persisted settings.
  static std::shared_ptr<APMIdentity> sharedInstance();

  // Over the caller's settings; null settings keep nothing (a new key is
  // made at every read).
  explicit APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig);

  // The main bundle's short version string, or nullopt.
  std::optional<std::string> appVersion() const;
  // The stored key of five characters, made and stored when there is none;
  // empty only when no random bytes could be had.
  std::string diversionKey();

  // A new random app instance ID: 32 lowercase hexadecimal digits; empty
  // when the generator fails.
  static std::string newAppInstanceID();

 private:
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::mutex mutex_;
};
