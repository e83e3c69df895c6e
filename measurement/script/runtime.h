// `APMPRuntime`: one interpreter instance.
//
// It owns two scopes: the initial scope (the root, holding the object
// manager and the instruction counter) and the global scope, its child,
// where programs run and the global function "require" is bound. Every
// evaluation in the runtime counts against the one counter; the counter is
// the runtime's own, not a variable, so no script can read, reset or shadow
// its budget. Each handled event gets a fresh run scope under the global
// scope.
//
// Destroying the runtime releases the inner references of every value it
// can reach or tracks, so no cycle of script values outlives it; values the
// host still holds then hold nothing.
//
// A runtime is used on one thread at a time: the caller's. Module creators
// run there too, on the first "require" of their name.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "measurement/messages/message_wrappers.h"
#include "measurement/script/modules.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/program_entity.h"
#include "measurement/script/program_records.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"
#include "platform/error.h"

struct APMPConvertedStatements;

class APMPRuntime {
 public:
  APMPRuntime();
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  // The interpreter version sent with each configuration fetch.
  static int64_t runtimeVersion() { return 0; }

  // Registers (or replaces) the creator of the module `name`.
  void setModuleCreator(APMPModuleCreator creator, std::string_view name);

  // Converts and evaluates each entity in order in the global scope; answers
  // the last value (control values do not stop the run). The first error,
  // of a conversion or an evaluation, stops the run and answers undefined.
  // A null message converts as an entity without fields (error 12). The
  // entities are converted together, into one block, before the first runs;
  // a conversion error is reported where the run reaches that entity.
  APMPRuntimeValue executeStatements(std::span<const std::shared_ptr<APMPBRuntimeEntity>> entities,
                                     platform::ErrorRef* error = nullptr);
  APMPRuntimeValue executeStatements(std::span<const APMPProgramEntity> entities,
                                     platform::ErrorRef* error = nullptr);
  APMPRuntimeValue executeStatements(const APMPRuntimeEntityRecords& entities, platform::ErrorRef* error = nullptr);

  // A new child of the global scope on every call.
  APMPRef<APMPScope> getRunScope();

  // Evaluations counted since the last reset. Never fails; the error
  // parameter is kept for callers that pass one.
  int32_t getInstructionCount(platform::ErrorRef* error = nullptr) const;
  // Resets the whole budget: evaluations and native work.
  void resetInstructionCount();

  APMPScope& initialScope() const noexcept { return *initScope_; }
  APMPScope& globalScope() const noexcept { return *globalScope_; }
  APMPObjectManager& objectManager() const noexcept { return *objectManager_; }

  // Held weakly; marked at every collection.
  void addGarbageCollectionRoot(APMPMarkable* root);
  void collectGarbage();

 private:
  APMPRuntimeValue run(const APMPConvertedStatements& statements, platform::ErrorRef* error);

  APMPRef<APMPScope> initScope_;
  APMPRef<APMPScope> globalScope_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  std::shared_ptr<APMPDynamicProvider> apiProvider_;
};
