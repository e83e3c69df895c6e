// `APMEExperimentRequestBuilder`: the registry of SDK properties that an
// experiment request describes, and the builder of that request.
//
// The experiment manager adds each registered SDK's property (from its own
// queue); the task manager builds the request from all of them at each fetch
// (on its worker queue). Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/messages/message_wrappers.h"
#include "measurement/storage/experiments/sdk_property.h"

class APMIdentity;

class APMEExperimentRequestBuilder {
 public:
  // The process-wide builder, over the shared identity store.
  static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();
  // Over the caller's identity store (null: the shared one).
  explicit APMEExperimentRequestBuilder(std::shared_ptr<APMIdentity> identity = nullptr);

  // Stores the property under its name, replacing an earlier one. Null is
  // refused: 880000 "Cannot add an empty SDK property.".
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);

  // platform "ios", the first preferred language lower-cased, the main
  // bundle's identifier, whether the app came from the App Store and the
  // framework version.
  std::shared_ptr<APMPBAppProperty> appPropertyProto() const;
  // The app property and, when any SDK property gives one, the client
  // properties (in name order).
  std::shared_ptr<APMPBExperimentRequest> request() const;

 private:
  const std::shared_ptr<APMIdentity> identity_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};
