#include "measurement/script/modules.h"

#include "measurement/script/charged_conversions.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, std::u16string_view name) {
  creators_.insert_or_assign(std::u16string(name), std::move(creator));
}

bool APMPDynamicProvider::hasModuleCreator(std::u16string_view name) const {
  auto it = creators_.find(name);
  return it != creators_.end() && it->second;
}

std::optional<Value> APMPDynamicProvider::moduleForName(std::u16string_view name, ErrorRef& error) const {
  auto it = creators_.find(name);
  if (it == creators_.end() || !it->second) return Value();
  std::optional<Value> module = it->second();
  if (!module) APMPSetError(error, kAPMPErrorModuleMissing);
  return module;
}

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPFunctionValue(u"require"), provider_(std::move(provider)) {}

Value APMPRequire::invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return {};
  const Value argument = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return {};
  // The modules are few and their names short: the lookups stop early,
  // and only making the name's text form is long.
  APMPTextForm name = APMPChargedText(argument, scope, error);
  if (error) return {};
  if (auto cached = modules_.find(name.text()); cached != modules_.end()) return cached->second;
  // A name without a creator answers undefined each time, and is not
  // cached: a creator registered later still gets its turn.
  if (!provider_ || !provider_->hasModuleCreator(name.text())) return {};
  std::optional<Value> module = provider_->moduleForName(name.text(), error);
  if (error || !module) return {};
  modules_.insert_or_assign(std::move(name).release(), *module);
  return *module;
}

void APMPRequire::markChildren(APMPMarker& marker) {
  APMPFunctionValue::markChildren(marker);
  for (const auto& [name, module] : modules_) marker.mark(module);
}

void APMPRequire::sweep() {
  auto modules = std::move(modules_);
  modules_.clear();
  APMPFunctionValue::sweep();
}

APMPRuntimePlatform::APMPRuntimePlatform() : APMPFunctionValue(u"internal.platform") {
  setValue(Value(APMPMake<APMPFunctionGetVersion>()), u"getVersion");
}

Value APMPRuntimePlatform::invokeWithArguments(std::span<const Value>, APMPScope&, ErrorRef&) { return {}; }

APMPFunctionGetVersion::APMPFunctionGetVersion() : APMPFunctionValue(u"getVersion") {}

Value APMPFunctionGetVersion::invokeWithArguments(std::span<const Value>, APMPScope&, ErrorRef&) {
  return Value::number(static_cast<double>(APMPRuntime::runtimeVersion()));
}

APMPObjectProvider::APMPObjectProvider(std::u16string name, std::function<platform::Object()> block)
    : APMPFunctionValue(std::move(name)), objectProviderBlock_(std::move(block)) {}

Value APMPObjectProvider::invokeWithArguments(std::span<const Value>, APMPScope& scope, ErrorRef& error) {
  const platform::Object object = objectProviderBlock_ ? objectProviderBlock_() : platform::Object();
  ErrorRef conversionError;
  Value value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, &conversionError);
  if (conversionError) {
    if (!error) error = conversionError;
    return {};
  }
  return value;
}
