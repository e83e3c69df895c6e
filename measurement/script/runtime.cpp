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

APMPRuntime::~APMPRuntime() {
  // What the teardown frees was this runtime's: counted against no other
  // runtime that may be running on this thread.
  const APMPCellMemory::Counting uncounted(nullptr);
  objectManager_->releaseAll();
  apiProvider_.reset();
  globalScope_ = nullptr;
  initScope_ = nullptr;
}

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, std::string_view name) {
  apiProvider_->setModuleCreator(std::move(creator), script_text::toUtf16(name));
}

Value APMPRuntime::run(const APMPConvertedStatements& statements, ErrorRef* error) {
  ErrorRef failure;
  Value answer = APMPRunWithinMemory(*globalScope_, failure, [&] {
    Value last;
    for (const Value& statement : statements.values) {
      last = APMPEvaluator::evaluateStatement(statement, *globalScope_, failure);
      if (failure) break;
    }
    return last;
  });
  if (!failure) failure = statements.error;
  if (failure) {
    platform::setError(error, failure);
    return {};
  }
  return answer;
}

// Each counts against the runtime from before the conversion to after the
// converted statements are freed: they are made and freed as its values.
Value APMPRuntime::executeStatements(std::span<const std::shared_ptr<APMPBRuntimeEntity>> entities,
                                     ErrorRef* error) {
  const APMPCellMemory::Counting counting(&objectManager_->memoryAccount());
  return run(APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(entities), error);
}

Value APMPRuntime::executeStatements(std::span<const APMPProgramEntity> entities, ErrorRef* error) {
  const APMPCellMemory::Counting counting(&objectManager_->memoryAccount());
  return run(APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(entities), error);
}

Value APMPRuntime::executeStatements(const APMPRuntimeEntityRecords& entities, ErrorRef* error) {
  const APMPCellMemory::Counting counting(&objectManager_->memoryAccount());
  return run(APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(entities), error);
}

APMPRef<APMPScope> APMPRuntime::getRunScope() { return globalScope_->createChildScope(); }

int32_t APMPRuntime::getInstructionCount(ErrorRef*) const {
  return static_cast<int32_t>(initScope_->instructionCount());
}

void APMPRuntime::resetInstructionCount() { initScope_->resetBudget(); }

void APMPRuntime::addGarbageCollectionRoot(APMPMarkable* root) { objectManager_->addRoot(root); }

void APMPRuntime::collectGarbage() { objectManager_->collectGarbage(); }
