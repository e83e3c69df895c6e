#include "measurement/storage/experiments/sdk_property.h"

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "measurement/storage/settings/identity.h"

int64_t APMESDKProperty::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

void APMESDKProperty::setVersion(int64_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}

std::optional<std::string> APMESDKProperty::appID() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appID_;
}

void APMESDKProperty::setAppID(std::optional<std::string> appID) {
  std::lock_guard<std::mutex> lock(mutex_);
  appID_ = std::move(appID);
}

std::optional<std::string> APMESDKProperty::diversionKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return diversionKey_;
}

void APMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}

APMESDKProperty::CustomProperties APMESDKProperty::customProperties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return customProperties_;
}

void APMESDKProperty::setCustomProperties(CustomProperties customProperties) {
  std::lock_guard<std::mutex> lock(mutex_);
  customProperties_ = std::move(customProperties);
}

std::shared_ptr<APMESDKPropertyProviderDelegate> APMESDKProperty::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void APMESDKProperty::setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  return proto(*APMIdentity::sharedInstance());
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto(APMIdentity& identity) const {
  std::string key = diversionKey().value_or(std::string());
  if (key.empty()) key = identity.diversionKey();
  if (key.empty()) {
    APMEMonitor::monitor()->logWithLevel(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  auto proto = APMPBClientProperty::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  APMNanoSetString(proto, ClientPropertyField::name, name_);
  APMNanoSetString(proto, ClientPropertyField::diversion_key, key + "-" + name_);
  APMNanoSetInt64(proto, ClientPropertyField::version, version());
  if (auto app = appID()) APMNanoSetString(proto, ClientPropertyField::app_id, *app);

  CustomProperties properties = customProperties();
  if (auto provider = delegate()) {
    if (auto dynamic = provider->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [name, value] : *dynamic) properties.insert_or_assign(name, value);
    }
  }
  if (!properties.empty()) {
    std::vector<APMNanoValue> items;
    items.reserve(properties.size());
    for (const auto& [name, value] : properties) {
      auto item = APMPBCustomProperty::initWithBuffer(nullptr);
      if (!item) continue;
      APMNanoSetString(item, CustomPropertyField::key, name);
      APMNanoSetString(item, CustomPropertyField::value, value);
      items.emplace_back(std::move(item));
    }
    APMNanoSetRepeated(proto, ClientPropertyField::custom_properties, &items);
  }
  return proto;
}
