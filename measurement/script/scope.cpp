#include "measurement/script/scope.h"

#include "measurement/script/evaluator.h"
#include "measurement/script/script_regex.h"

APMPScope::APMPScope(APMPRef<APMPScope> parent)
    : parent_(std::move(parent)), root_(parent_ ? parent_->root_ : this), depth_(parent_ ? parent_->depth_ + 1 : 0) {}

// Only a root's own budget ever holds a cache.
APMPScope::~APMPScope() { delete ownBudget_.regexCache; }

APMPRegexCache& APMPScope::regexCache() {
  Budget& chain = budget();
  if (!chain.regexCache) chain.regexCache = new APMPRegexCache();
  return *chain.regexCache;
}

size_t APMPScope::heldBytes() const noexcept {
  return sizeof(*this) + contents_.heldBytes() + (ownBudget_.regexCache ? ownBudget_.regexCache->heldBytes() : 0);
}

APMPRef<APMPScope> APMPScope::make(APMPRef<APMPScope> parent) {
  return APMPRef<APMPScope>(new APMPScope(std::move(parent)));
}

APMPRef<APMPScope> APMPScope::createChildScope() { return make(APMPRef<APMPScope>(this)); }

void APMPScope::chargeLongWalk(size_t visits, std::u16string_view name) const noexcept {
  const size_t charged = name.size() > kAPMPFreeNameLength ? visits : visits - kAPMPFreeScopeVisits;
  charge(charged * (kAPMPScopeVisitWork + name.size()));
}

void APMPScope::charge(uint64_t units) const noexcept {
  Budget& budget = root_->ownBudget_;
  if (budget.work >= kAPMPWorkLimit || units > kAPMPWorkLimit - budget.work) {
    // The walk is done; the run ends at its next evaluation or charge.
    budget.work = kAPMPWorkLimit;
    budget.workFence = kAPMPWorkLimit;
    budget.instructions = kAPMPInstructionLimit;
    return;
  }
  budget.work += units;
  // Past the fence, the next charge and the next evaluation look at the
  // processor time.
  if (budget.work > budget.workFence) {
    budget.workFence = budget.work;
    budget.fence = std::min(budget.fence, budget.instructions);
  }
}

bool APMPScope::hasName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->contents_.hasName(name)) {
      chargeWalk(scope, name);
      return true;
    }
  }
  chargeWalk(nullptr, name);
  return false;
}

APMPRuntimeValue APMPScope::valueForName(std::u16string_view name) const {
  // The common case, a chain too short to charge, walks without counting.
  if (walksFree(name)) {
    for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
      if (const APMPRuntimeValue* value = scope->contents_.find(name)) return *value;
    }
    return {};
  }
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (const APMPRuntimeValue* value = scope->contents_.find(name)) {
      chargeWalk(scope, name);
      return *value;
    }
  }
  chargeWalk(nullptr, name);
  return {};
}

void APMPScope::addValue(APMPRuntimeValue value, std::u16string_view name) {
  chargeBinding(name);
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPRuntimeValue value, std::u16string_view name) {
  chargeBinding(name);
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPRuntimeValue value, std::u16string_view name) {
  if (assignBound(value, name)) return;
  chargeBinding(name);
  contents_.setValue(std::move(value), name);
}

bool APMPScope::assignBound(APMPRuntimeValue& value, std::u16string_view name) {
  // Passed up one scope at a time, the assignment stops at the first frozen
  // scope on the way to the binder (which still counts as bound).
  bool blocked = false;
  const bool charged = !walksFree(name);
  for (APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (blocked ? scope->contents_.hasName(name) : scope->contents_.replaceValue(value, name)) {
      if (charged) chargeWalk(scope, name);
      return true;
    }
    blocked = blocked || scope->contents_.isImmutable();
  }
  if (charged) chargeWalk(nullptr, name);
  return false;
}

void APMPScope::setObjectManager(std::shared_ptr<APMPObjectManager> objectManager) {
  root_->objectManager_ = std::move(objectManager);
}

void APMPScope::mark(APMPMarker& marker) { marker.mark(this); }

void APMPScope::markChildren(APMPMarker& marker) {
  contents_.markValues(marker);
  marker.mark(parent_.get());
}

void APMPScope::sweep() { contents_.removeAll(); }
