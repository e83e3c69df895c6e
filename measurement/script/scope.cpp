#include "measurement/script/scope.h"

#include "measurement/script/script_regex.h"

APMPScope::APMPScope(APMPRef<APMPScope> parent)
    : parent_(std::move(parent)), budget_(parent_ ? parent_->budget_ : &ownBudget_) {}

// Only a root's own budget ever holds a cache.
APMPScope::~APMPScope() { delete ownBudget_.regexCache; }

APMPRegexCache& APMPScope::regexCache() {
  if (!budget_->regexCache) budget_->regexCache = new APMPRegexCache();
  return *budget_->regexCache;
}

size_t APMPScope::heldBytes() const noexcept {
  return sizeof(*this) + contents_.heldBytes() + (ownBudget_.regexCache ? ownBudget_.regexCache->heldBytes() : 0);
}

APMPRef<APMPScope> APMPScope::make(APMPRef<APMPScope> parent) {
  return APMPRef<APMPScope>(new APMPScope(std::move(parent)));
}

APMPRef<APMPScope> APMPScope::createChildScope() { return make(APMPRef<APMPScope>(this)); }

bool APMPScope::hasName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->contents_.hasName(name)) return true;
  }
  return false;
}

APMPRuntimeValue APMPScope::valueForName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (const APMPRuntimeValue* value = scope->contents_.find(name)) return *value;
  }
  return {};
}

void APMPScope::addValue(APMPRuntimeValue value, std::u16string_view name) {
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPRuntimeValue value, std::u16string_view name) {
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPRuntimeValue value, std::u16string_view name) {
  if (!assignBound(value, name)) contents_.setValue(std::move(value), name);
}

bool APMPScope::assignBound(APMPRuntimeValue& value, std::u16string_view name) {
  // Passed up one scope at a time, the assignment stops at the first frozen
  // scope on the way to the binder (which still counts as bound).
  bool blocked = false;
  for (APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (blocked ? scope->contents_.hasName(name) : scope->contents_.replaceValue(value, name)) return true;
    blocked = blocked || scope->contents_.isImmutable();
  }
  return false;
}

void APMPScope::setObjectManager(std::shared_ptr<APMPObjectManager> objectManager) {
  objectManager_ = std::move(objectManager);
}

APMPObjectManager* APMPScope::objectManager() const noexcept {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->objectManager_) return scope->objectManager_.get();
  }
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) { marker.mark(this); }

void APMPScope::markChildren(APMPMarker& marker) {
  contents_.markValues(marker);
  marker.mark(parent_.get());
}

void APMPScope::sweep() { contents_.removeAll(); }
