#include "measurement/script/runtime.h"

#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

APMPRuntime::APMPRuntime()
    : initScope_(APMPScope::make()),
      globalScope_(initScope_->createChildScope()),
      objectManager_(std::make_shared<APMPObjectManager>()),
      apiProvider_(std::make_shared<APMPDynamicProvider>()) {
  objectManager_->addRoot(initScope_.get());
  objectManager_->addRoot(globalScope_.get());
  initScope_->setObjectManager(objectManager_);
  globalScope_->setValue(Value(APMPMake<APMPRequire>(apiProvider_)), u"require");
  setModuleCreator([] { return std::optional<Value>(Value(APMPMake<APMPRuntimePlatform>())); }, "internal.platform");
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() { objectManager_->releaseAll(); }

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, std::string_view name) {
  apiProvider_->setModuleCreator(std::move(creator), script_text::toUtf16(name));
}

namespace {

template <class Entities, class Convert>
Value executeEntities(const Entities& entities, Convert convert, APMPScope& scope, ErrorRef* error) {
  ErrorRef failure;
  Value answer;
  for (const auto& entity : entities) {
    const Value statement = convert(entity, &failure);
    if (failure) break;
    answer = APMPEvaluator::evaluateStatement(statement, scope, failure);
    if (failure) break;
  }
  if (failure) {
    platform::setError(error, failure);
    return {};
  }
  return answer;
}

}  // namespace

Value APMPRuntime::executeStatements(std::span<const std::shared_ptr<APMPBRuntimeEntity>> entities,
                                     ErrorRef* error) {
  auto convert = [](const std::shared_ptr<APMPBRuntimeEntity>& entity, ErrorRef* failure) {
    if (!entity) return APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(APMPProgramEntity(), failure);
    return APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, failure);
  };
  return executeEntities(entities, convert, *globalScope_, error);
}

Value APMPRuntime::executeStatements(std::span<const APMPProgramEntity> entities, ErrorRef* error) {
  auto convert = [](const APMPProgramEntity& entity, ErrorRef* failure) {
    return APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, failure);
  };
  return executeEntities(entities, convert, *globalScope_, error);
}

APMPRef<APMPScope> APMPRuntime::getRunScope() { return globalScope_->createChildScope(); }

int32_t APMPRuntime::getInstructionCount(ErrorRef*) const {
  return static_cast<int32_t>(initScope_->instructionCount());
}

void APMPRuntime::resetInstructionCount() { initScope_->resetBudget(); }

void APMPRuntime::addGarbageCollectionRoot(APMPMarkable* root) { objectManager_->addRoot(root); }

void APMPRuntime::collectGarbage() { objectManager_->collectGarbage(); }
