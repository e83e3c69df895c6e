#include "measurement/storage/system/identity_support.h"

#include <chrono>
#include <condition_variable>

#include "measurement/engine/monitor.h"

namespace {

std::mutex registrationMutex;
std::shared_ptr<APMIdentitySupport>& registeredProvider() {
  static std::shared_ptr<APMIdentitySupport> provider;
  return provider;
}

}  // namespace

void APMDefaultIdentitySupport::setPlatformIdentitySupport(
    std::shared_ptr<APMIdentitySupport> provider) {
  std::lock_guard<std::mutex> lock(registrationMutex);
  registeredProvider() = std::move(provider);
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  static const auto shared = [] {
    std::shared_ptr<APMIdentitySupport> provider;
    {
      std::lock_guard<std::mutex> lock(registrationMutex);
      provider = registeredProvider();
    }
    return create(std::move(provider));
  }();
  return shared;
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::create(
    std::shared_ptr<APMIdentitySupport> provider) {
  auto monitor = APMMeasurement::monitor();
  if (provider) {
    monitor->logWithLevel(7, 44000, "RoruvoZidUvuzerazazaIdentitySupport dependency is linked.");
    if (provider->hasLimitedAdTracking()) {
      monitor->logWithLevel(7, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor->logWithLevel(4, 44002,
                            "The AdSupport Framework is not currently linked. Some features will "
                            "not function properly. Learn more at "
                            "https://measurement.voraza.com/docs/identity-support");
    }
  } else {
    monitor->logWithLevel(4, 44003,
                          "RoruvoZidUvuzerazazaIdentitySupport dependency is not currently "
                          "linked. IDFA will not be accessible.");
  }
  return std::make_shared<APMDefaultIdentitySupport>(std::move(provider));
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> provider)
    : provider_(std::move(provider)),
      queue_(platform::DispatchQueue::create("APMDefaultIdentitySupport")) {}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return provider_ && provider_->hasAppDataConsentStatus();
}

uint64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  return provider_ ? provider_->appDataConsentStatus() : UINT64_MAX;
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
  return provider_ && provider_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  std::optional<std::string> identifier = resettableDeviceID();
  return !identifier || *identifier == kZeroDeviceID;
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!provider_) return std::nullopt;
  // The read's completion lives apart from the instance, so a read that
  // outlasts the wait (or the instance) finishes into storage it keeps.
  struct Read {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  auto read = std::make_shared<Read>();
  std::weak_ptr<APMDefaultIdentitySupport> weak = weak_from_this();
  queue_->async([weak, read] {
    if (auto self = weak.lock()) {
      std::optional<std::string> identifier = self->provider_->resettableDeviceID();
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->resettableDeviceID_ = std::move(identifier);
    }
    std::lock_guard<std::mutex> lock(read->mutex);
    read->finished = true;
    read->done.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(read->mutex);
    read->done.wait_for(lock, std::chrono::duration<double>(kProviderWait),
                        [&] { return read->finished; });
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return resettableDeviceID_;
}
