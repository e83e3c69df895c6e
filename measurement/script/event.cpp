#include "measurement/script/event.h"

#include <cmath>
#include <limits>

#include "platform/numbers.h"

using platform::Object;

namespace {

bool isFloating(const Object& value) { return value.kind() == Object::Kind::Double; }

Object integerOf(const Object& number) {
  if (!isFloating(number)) return Object(number.int64Value());
  return Object(platform::saturatingCast<int64_t>(number.doubleValue()));
}

// Parameters that hold counts whatever the script hands in.
bool alwaysInteger(std::string_view name) { return name == "_syn" || name == "_err" || name == "_el"; }

}  // namespace

Object APMPNormalizedParameter(Object value, std::string_view name, const Object& current) {
  if (!value.isNumber()) return value;
  if (alwaysInteger(name)) return integerOf(value);
  if (isFloating(current)) return value;
  if (current.isNumber()) return name.starts_with('_') ? current : integerOf(value);
  if (current.isString()) return Object(value.description());
  return value;
}

bool APMPEqualParameterValues(const Object& a, const Object& b) {
  return a == b && !(a.isNumber() && isFloating(a) != isFloating(b));
}

Object APMPEvent::parameterForName(std::string_view name) const {
  auto it = parameters_.find(name);
  return it == parameters_.end() ? Object() : it->second;
}

Object APMPEvent::exchangeParameter(Object value, std::string_view name) {
  auto it = parameters_.lower_bound(name);
  const bool present = it != parameters_.end() && it->first == name;
  if (!present) {
    if (!value.isNil()) parameters_.emplace_hint(it, name, APMPNormalizedParameter(std::move(value), name, Object()));
    return Object();
  }
  Object previous = std::move(it->second);
  if (value.isNil()) {
    parameters_.erase(it);
  } else {
    it->second = APMPNormalizedParameter(std::move(value), name, previous);
  }
  return previous;
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(timestamp_ - other.timestamp_) > std::numeric_limits<double>::epsilon()) return false;
  if (name_ != other.name_ || parameters_.size() != other.parameters_.size()) return false;
  // Both tables are ordered by name: one walk pairs them up.
  for (auto mine = parameters_.begin(), theirs = other.parameters_.begin(); mine != parameters_.end();
       ++mine, ++theirs) {
    if (mine->first != theirs->first || !APMPEqualParameterValues(mine->second, theirs->second)) return false;
  }
  return true;
}

namespace {

size_t entriesBytes(const APMPEvent::Parameters& entries) noexcept {
  size_t bytes = 0;
  for (const auto& [name, value] : entries) bytes += kAPMPEntryBytes + name.size() + APMPObjectBytes(value);
  return bytes;
}

}  // namespace

size_t APMPListBytes(const Object& value) noexcept {
  if (const Object::Array* list = value.array()) {
    size_t bytes = 0;
    for (const Object& element : *list) bytes += sizeof(Object) + APMPObjectBytes(element);
    return bytes;
  }
  if (const Object::Dictionary* dictionary = value.dictionary()) return entriesBytes(*dictionary);
  return 0;
}

size_t APMPEventBytes(const APMPEvent& event) noexcept {
  return event.name().size() + entriesBytes(event.parameters());
}
