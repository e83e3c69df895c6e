// `APMESDKProperty`: how one SDK registered with the experiment framework
// presents itself in experiment requests: its name, version, app ID,
// diversion key and custom properties, to which an optional provider adds
// properties computed at each request.
//
// Thread-safe: any thread may read or change a property; a request built
// meanwhile sees each field either before or after the change.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/messages/message_wrappers.h"

class APMESDKProperty;
class APMIdentity;

class APMESDKPropertyProviderDelegate {
 public:
  using CustomProperties = std::map<std::string, std::string>;
  virtual ~APMESDKPropertyProviderDelegate() = default;
  // Optional: properties added at each request (they replace equal keys of
  // the property's own). Nullopt: not implemented.
  virtual std::optional<CustomProperties> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty&) {
    return std::nullopt;
  }
};

class APMESDKProperty {
 public:
  using CustomProperties = APMESDKPropertyProviderDelegate::CustomProperties;

  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  int64_t version() const;
  void setVersion(int64_t version);
  std::optional<std::string> appID() const;
  void setAppID(std::optional<std::string> appID);
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> diversionKey);
  CustomProperties customProperties() const;
  void setCustomProperties(CustomProperties customProperties);
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate);

  // The property as a `ClientProperty`: name, "<diversion key>-<name>",
  // version, app ID and the custom properties. The diversion key is the
  // property's own or, when that is empty, the identity store's. Null, with
  // 860001 "Diversion key is empty" logged, when both are empty.
  std::shared_ptr<APMPBClientProperty> proto(APMIdentity& identity) const;
  std::shared_ptr<APMPBClientProperty> proto() const;

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  int64_t version_ = 0;
  std::optional<std::string> appID_;
  std::optional<std::string> diversionKey_;
  CustomProperties customProperties_;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};
