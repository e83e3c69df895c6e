#include <algorithm>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"

namespace {
// Up to this many names a linear search beats hashing the name.
constexpr size_t kLinearSearchLimit = 8;

// Equality of two names of one length; names are short, so a plain loop
// beats both the ordering compare and a call of memcmp.
bool sameUnits(const char16_t* a, std::u16string_view b) {
  for (size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}
}  // namespace

const APMPPropertyMap::Entry* APMPPropertyMap::entry(std::u16string_view name) const {
  if (index_) {
    auto it = index_->find(name);
    return it == index_->end() ? nullptr : &entries_[it->second];
  }
  for (const Entry& e : entries_) {
    if (e.name.size() == name.size() && !e.removed && sameUnits(e.name.data(), name)) return &e;
  }
  return nullptr;
}

APMPPropertyMap::Entry* APMPPropertyMap::entry(std::u16string_view name) {
  return const_cast<Entry*>(static_cast<const APMPPropertyMap*>(this)->entry(name));
}

const APMPRuntimeValue* APMPPropertyMap::find(std::u16string_view name) const {
  const Entry* e = entry(name);
  return e ? &e->value : nullptr;
}

APMPRuntimeValue APMPPropertyMap::valueForName(std::u16string_view name) const {
  const Entry* e = entry(name);
  return e ? e->value : APMPRuntimeValue();
}

bool APMPPropertyMap::isImmutableName(std::u16string_view name) const {
  const Entry* e = entry(name);
  return e && e->immutable;
}

bool APMPPropertyMap::replaceValue(APMPRuntimeValue& value, std::u16string_view name) {
  Entry* e = entry(name);
  if (!e) return false;
  if (!immutable_ && !e->immutable) std::swap(e->value, value);
  return true;
}

void APMPPropertyMap::store(APMPRuntimeValue value, std::u16string_view name, bool immutable) {
  if (immutable_) return;
  if (Entry* e = entry(name)) {
    if (e->immutable) return;
    e->immutable = immutable;
    // The old value may be the last reference to something whose release
    // frees cells; the entry holds the new value first.
    std::swap(e->value, value);
    return;
  }
  entries_.push_back(Entry{Name(name), std::move(value), immutable});
  if (index_) {
    index_->emplace(std::u16string_view(entries_.back().name), static_cast<uint32_t>(entries_.size() - 1));
  } else if (entries_.size() > kLinearSearchLimit) {
    index_ = std::make_unique<Index>();
    rebuildIndex();
  }
}

void APMPPropertyMap::rebuildIndex() const {
  index_->clear();
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].removed) index_->emplace(std::u16string_view(entries_[i].name), static_cast<uint32_t>(i));
  }
}

void APMPPropertyMap::closeGaps() const {
  std::erase_if(entries_, [](const Entry& e) { return e.removed; });
  removed_ = 0;
  if (index_) rebuildIndex();
}

void APMPPropertyMap::setValue(APMPRuntimeValue value, std::u16string_view name) {
  store(std::move(value), name, false);
}

void APMPPropertyMap::setImmutableValue(APMPRuntimeValue value, std::u16string_view name) {
  store(std::move(value), name, true);
}

void APMPPropertyMap::removeValueForName(std::u16string_view name) {
  if (immutable_) return;
  Entry* e = entry(name);
  if (!e || e->immutable) return;
  if (index_) index_->erase(index_->find(name));
  // The entry becomes a gap; the gaps are closed together once they are
  // half the table, so each removal costs constant time on average.
  APMPRuntimeValue removed = std::move(e->value);
  e->removed = true;
  ++removed_;
  if (2 * removed_ > entries_.size()) closeGaps();
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(count());
  for (const Entry& e : entries()) names.emplace_back(std::u16string_view(e.name));
  return names;
}

std::vector<APMPRuntimeValue> APMPPropertyMap::allNameValues() const {
  std::vector<APMPRuntimeValue> names;
  names.reserve(count());
  for (const Entry& e : entries()) names.push_back(APMPRuntimeValue::string(std::u16string(std::u16string_view(e.name))));
  return names;
}

void APMPPropertyMap::removeAll() noexcept {
  // Moved out first: releasing the values may free cells, and none of that
  // may find the table half cleared.
  auto entries = std::move(entries_);
  entries_.clear();
  index_.reset();
  removed_ = 0;
}

size_t APMPPropertyMap::heldBytes() const noexcept {
  size_t bytes = entries_.capacity() * sizeof(Entry);
  for (const Entry& e : entries_) bytes += APMPTextBytes(e.name);
  if (index_) {
    // A node per name (a copy of it, its position and the node's links)
    // and a link per bucket.
    bytes += index_->bucket_count() * sizeof(void*);
    for (const auto& [name, position] : *index_) bytes += sizeof(Index::value_type) + 2 * sizeof(void*) + APMPTextBytes(name);
  }
  return bytes;
}

size_t APMPPropertyMap::longestIndexBucket() const noexcept {
  size_t longest = 0;
  if (index_) {
    for (size_t i = 0; i < index_->bucket_count(); ++i) longest = std::max(longest, index_->bucket_size(i));
  }
  return longest;
}

void APMPPropertyMap::markValues(APMPMarker& marker) const {
  for (const Entry& e : entries_) marker.mark(e.value);  // a gap holds undefined
}
