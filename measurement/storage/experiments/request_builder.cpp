#include "measurement/storage/experiments/request_builder.h"

#include <vector>

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_manager.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "measurement/storage/settings/identity.h"
#include "measurement/storage/system/environment_info.h"
#include "platform/bundle.h"
#include "sdk_core/app_environment_util.h"

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
  static const auto shared = std::make_shared<APMEExperimentRequestBuilder>();
  return shared;
}

APMEExperimentRequestBuilder::APMEExperimentRequestBuilder(std::shared_ptr<APMIdentity> identity)
    : identity_(identity ? std::move(identity) : APMIdentity::sharedInstance()) {}

void APMEExperimentRequestBuilder::addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMEMonitor::monitor()->logWithLevel(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  clientPropertyBySDKName_.insert_or_assign(property->name(), property);
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
  auto proto = APMPBAppProperty::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  APMNanoSetString(proto, AppPropertyField::platform, "ios");
  if (auto language = APMEnvironmentInfo::sharedInstance()->userDefaultLanguage()) {
    APMNanoSetString(proto, AppPropertyField::language, *language);
  }
  APMNanoSetString(proto, AppPropertyField::app_id, platform::Bundle::main()->bundleIdentifier());
  APMNanoSetBool(proto, AppPropertyField::is_from_app_store, GULAppEnvironmentUtil::isFromAppStore());
  APMNanoSetInt64(proto, AppPropertyField::sdk_version, APMEManager::version());
  return proto;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  auto request = APMPBExperimentRequest::initWithBuffer(nullptr);
  if (!request) return nullptr;
  auto app = appPropertyProto();
  APMNanoSetMessage(request, ExperimentRequestField::app_property, app.get());
  std::vector<std::shared_ptr<APMESDKProperty>> properties;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : clientPropertyBySDKName_) properties.push_back(entry.second);
  }
  // Built outside the lock: a provider's callback may take its time.
  std::vector<APMNanoValue> items;
  for (const auto& property : properties) {
    if (auto proto = property->proto(*identity_)) items.emplace_back(std::move(proto));
  }
  if (!items.empty()) APMNanoSetRepeated(request, ExperimentRequestField::client_properties, &items);
  return request;
}
