// The module system of the script runtime: a script obtains host services by
// calling the global function "require" with a module name, and the host
// registers one creator per name. Each module is created at most once per
// runtime, on its first "require"; the cache is traced by the collector, so
// what a module holds stays alive.
//
// Also the natives of the platform module ("internal.platform" and its
// "getVersion") and `APMPObjectProvider`, a function answering a platform
// object converted for the script. All of it runs on the runtime's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/script/runtime_value.h"
#include "platform/object.h"

// Makes a module's value; nothing when it cannot (error 15 for "require").
using APMPModuleCreator = std::function<std::optional<APMPRuntimeValue>()>;

class APMPDynamicProvider {
 public:
  // Stores or replaces the creator of `name`.
  void setModuleCreator(APMPModuleCreator creator, std::u16string_view name);
  bool hasModuleCreator(std::u16string_view name) const;
  // Undefined without a creator (no error); the creator's value; nothing
  // with error 15 when the creator answers nothing.
  std::optional<APMPRuntimeValue> moduleForName(std::u16string_view name, platform::ErrorRef& error) const;

 private:
  std::map<std::u16string, APMPModuleCreator, std::less<>> creators_;
};

// The global "require": exactly one argument (else error 9), the module
// name as its text form.
class APMPRequire final : public APMPFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);

  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
  void markChildren(APMPMarker& marker) override;
  void sweep() override;

 private:
  std::shared_ptr<APMPDynamicProvider> provider_;
  std::map<std::u16string, APMPRuntimeValue, std::less<>> modules_;
};

// "internal.platform": answers undefined when invoked; its property
// "getVersion" answers the runtime version.
class APMPRuntimePlatform final : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
};

class APMPFunctionGetVersion final : public APMPFunctionValue {
 public:
  APMPFunctionGetVersion();
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
};

// A function that ignores its arguments and answers its block's platform
// object converted in the caller's scope (nothing converts to null).
class APMPObjectProvider final : public APMPFunctionValue {
 public:
  APMPObjectProvider(std::u16string name, std::function<platform::Object()> block);
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;

 private:
  std::function<platform::Object()> objectProviderBlock_;
};
