#include "measurement/script/remote_config_module.h"

#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

Value APMPKeyValueStoreGetValue::invokeWithArguments(std::span<const Value> arguments, APMPScope& scope,
                                                     ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return {};
  APMPValueList values;
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  APMPWorkingBytes counted(scope);
  const std::string key = APMPChargedUtf8(values[0], counted, 1, scope, error);
  if (error) return {};
  std::optional<std::string> text = getValueBlock_ ? getValueBlock_(key) : std::nullopt;
  if (!text) return values[1];
  return Value::string(script_text::toUtf16(*text));
}

APMPKeyValueStore::APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock)
    : APMPFunctionValue(std::move(functionName)) {
  setValue(Value(APMPMake<APMPKeyValueStoreGetValue>(std::move(getValueBlock))), u"getValue");
}

APMPModuleCreator APMPRemoteConfigModuleCreator(std::function<platform::Object(const std::string& key)> setting) {
  APMPGetValueBlock block = [setting = std::move(setting)](const std::string& key) -> std::optional<std::string> {
    const platform::Object value = setting ? setting(key) : platform::Object();
    if (value.isString()) return *value.string();
    if (value.isNumber()) return value.description();
    return std::nullopt;
  };
  return [block = std::move(block)] {
    return std::optional<Value>(Value(APMPMake<APMPKeyValueStore>(u"internal.remoteConfig", block)));
  };
}
