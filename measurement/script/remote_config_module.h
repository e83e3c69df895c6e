// The module "internal.remoteConfig": how a script reads settings of the
// current measurement configuration.
//
// `APMPKeyValueStore` (the module's value) carries the property
// "getValue", an `APMPKeyValueStoreGetValue`; scripts call
// store.getValue(key, default). It answers the setting as a string, or the
// default as given when the store has nothing for the key; anything but two
// arguments is error 9. Plain natives (not tracked: they form no cycles);
// the runtime's thread only, which is where the block is called.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "measurement/script/modules.h"
#include "measurement/script/runtime_value.h"
#include "platform/object.h"

// From a key to its text, or nothing.
using APMPGetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;

class APMPKeyValueStoreGetValue final : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPGetValueBlock getValueBlock)
      : APMPFunctionValue(u"getValue"), getValueBlock_(std::move(getValueBlock)) {}

  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;

 private:
  const APMPGetValueBlock getValueBlock_;
};

// Invoking the store itself runs its empty body: undefined.
class APMPKeyValueStore final : public APMPFunctionValue {
 public:
  APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock);
};

// The creator of "internal.remoteConfig" over the configuration's settings:
// a store whose block answers a text setting as it is, a number setting as
// its text, and nothing for any other setting or none.
APMPModuleCreator APMPRemoteConfigModuleCreator(std::function<platform::Object(const std::string& key)> setting);
