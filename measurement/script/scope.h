// `APMPScope`: one level of variable bindings. Scopes form chains through
// their parents (a child owns its parent); a read walks up the chain, a
// declaration binds in the scope itself, an assignment updates the nearest
// scope that binds the name.
//
// A scope without parent is the root of its chain and holds the chain's
// budget (the runtime's initial scope holds the runtime's): the evaluations
// counted and the native work charged, so every evaluation in the chain
// counts against one budget that no script can see or change. Marking a scope marks its bindings and its whole parent
// chain: a closure keeps everything it can still read.
//
// Used by one thread at a time, like the runtime it belongs to.
#pragma once

#include <memory>
#include <string_view>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"

class APMPRegexCache;

// Evaluations allowed between two resets of a runtime's counter.
inline constexpr uint32_t kAPMPInstructionLimit = 1000000;

class APMPScope final : public APMPCell, public APMPMarkable {
 public:
  // `initWithParentScope:`; a null parent makes a root.
  static APMPRef<APMPScope> make(APMPRef<APMPScope> parent = nullptr);
  APMPRef<APMPScope> createChildScope();
  APMPScope* parentScope() const noexcept { return parent_.get(); }

  // Whether this scope or an ancestor binds the name.
  bool hasName(std::u16string_view name) const;
  // The nearest binding up the chain; undefined when none.
  APMPRuntimeValue valueForName(std::u16string_view name) const;
  // Declaration: binds here, replacing a mutable binding; nothing when this
  // scope is frozen or holds the name as a constant.
  void addValue(APMPRuntimeValue value, std::u16string_view name);
  // Constant declaration: as `addValue`, and the name becomes a constant.
  void addImmutableValue(APMPRuntimeValue value, std::u16string_view name);
  // Assignment: the nearest scope binding the name takes the value, unless
  // it (or a frozen scope on the way) refuses; an unbound name is bound here.
  void setValue(APMPRuntimeValue value, std::u16string_view name);
  // Assignment to a name the chain binds, as `setValue`; false, binding
  // nothing, when no scope of the chain binds it.
  bool assignValue(APMPRuntimeValue value, std::u16string_view name) { return assignBound(value, name); }
  void makeImmutable() noexcept { contents_.makeImmutable(); }
  // Room for `count` bindings before the table regrows.
  void reserveBindings(size_t count) { contents_.reserve(count); }
  const APMPPropertyMap& contents() const noexcept { return contents_; }

  void setObjectManager(std::shared_ptr<APMPObjectManager> objectManager);
  // This scope's object manager, else the nearest ancestor's; null if none.
  APMPObjectManager* objectManager() const noexcept;

  // What the chain has spent since the root's last reset.
  struct Budget {
    // Evaluations counted.
    uint32_t instructions = 0;
    // The count at which evaluations stop to look at the budget: the limit,
    // or 0 while a measurement of the runtime's memory is due.
    uint32_t fence = kAPMPInstructionLimit;
    // Units of native work charged (code units produced or compared,
    // elements copied, sorted or visited, regular-expression steps).
    uint64_t work = 0;
    // Not spent but kept with it, so that every scope of the chain reaches
    // it at once: the chain's compiled regular expressions, owned by the
    // root, made on first use and kept across resets.
    APMPRegexCache* regexCache = nullptr;
  };
  Budget& budget() noexcept { return *budget_; }
  uint32_t& instructionCount() noexcept { return budget_->instructions; }
  uint64_t& workCount() noexcept { return budget_->work; }
  void resetBudget() noexcept { *budget_ = Budget{.regexCache = budget_->regexCache}; }
  APMPRegexCache& regexCache();

  void mark(APMPMarker& marker) override;
  void markChildren(APMPMarker& marker) override;
  size_t heldBytes() const noexcept override;
  // Drops the bindings (a runtime's teardown).
  void sweep() override;

 private:
  explicit APMPScope(APMPRef<APMPScope> parent);
  ~APMPScope() override;
  // One walk up the chain; `value` is swapped into the binding it reaches.
  bool assignBound(APMPRuntimeValue& value, std::u16string_view name);

  APMPRef<APMPScope> parent_;
  APMPPropertyMap contents_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  Budget ownBudget_;
  // The root's budget; the root outlives the chain, which owns it.
  Budget* budget_;
};
