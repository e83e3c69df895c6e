#include "measurement/storage/settings/identity.h"

#include <array>

#include "measurement/storage/settings/persisted_config.h"
#include "platform/bundle.h"
#include "platform/crypto.h"
#include "platform/text.h"

namespace {

constexpr size_t kDiversionKeyLength = 5;

}  // namespace

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  static const auto shared = std::make_shared<APMIdentity>(APMPersistedConfig::sharedInstance());
  return shared;
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

std::optional<std::string> APMIdentity::appVersion() const {
  return platform::Bundle::main()->shortVersion();
}

std::string APMIdentity::newAppInstanceID() {
  std::array<uint8_t, 16> bytes{};
  if (!platform::secureRandomBytes(bytes.data(), bytes.size())) return {};
  return platform::hexString(bytes.data(), bytes.size());
}

std::string APMIdentity::diversionKey() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<std::string> stored =
      persistedConfig_ ? persistedConfig_->diversionKey() : std::nullopt;
  if (stored && platform::utf16Length(*stored) == kDiversionKeyLength) return *stored;
  std::string key = newAppInstanceID().substr(0, kDiversionKeyLength);
  if (key.empty()) return key;
  if (persistedConfig_) persistedConfig_->setDiversionKey(key);
  return key;
}
