// `APMDefaultIdentitySupport`: the advertising identifier, limited ad
// tracking and the app-tracking authorization status, taken from an
// optional identity-support provider.
//
// No provider exists on this platform by default. An app that has one
// registers it with `setPlatformIdentitySupport` before the shared instance
// is first used; the shared instance takes whatever is registered then and
// logs whether a provider is linked (44000 to 44003).
//
// Thread-safe. The provider is called only on the instance's serial queue
// "APMDefaultIdentitySupport"; `resettableDeviceID` waits for it at most
// 10 ms and otherwise answers the identifier of an earlier read.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch.h"

class APMIdentitySupport {
 public:
  virtual ~APMIdentitySupport() = default;
  virtual bool hasAppDataConsentStatus() = 0;
  // The tracking authorization status; 3 means authorized.
  virtual uint64_t appDataConsentStatus() = 0;
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  virtual std::optional<std::string> resettableDeviceID() = 0;
};

class APMDefaultIdentitySupport final : public APMIdentitySupport,
                                        public std::enable_shared_from_this<APMDefaultIdentitySupport> {
 public:
  // The longest `resettableDeviceID` waits for the provider, in seconds.
  static constexpr double kProviderWait = 0.010;
  static constexpr const char* kZeroDeviceID = "00000000-0000-0000-0000-000000000000";

  // The registration point of the platform's provider (null: none).
  static void setPlatformIdentitySupport(std::shared_ptr<APMIdentitySupport> provider);
  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Over the given provider (null: none); logs as creation does.
  static std::shared_ptr<APMDefaultIdentitySupport> create(
      std::shared_ptr<APMIdentitySupport> provider);

  // Whether the OS version is at least 14.0. Always true here: the tracking
  // rules of current systems apply.
  static bool iOS14OrAbove() { return true; }

  bool hasAppDataConsentStatus() override;
  // All ones without a provider.
  uint64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // True when no identifier can be had or it is all zeros.
  bool limitedAdTracking() override;
  std::optional<std::string> resettableDeviceID() override;

  const std::shared_ptr<APMIdentitySupport>& platformIdentitySupport() const { return provider_; }

  explicit APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> provider);

 private:
  const std::shared_ptr<APMIdentitySupport> provider_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::mutex mutex_;
  std::optional<std::string> resettableDeviceID_;
};
