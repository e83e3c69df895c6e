#include "measurement/engine/value.h"

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <string_view>
#include <utility>

#include "measurement/engine/monitor.h"

namespace {

void logRefused(long code, const char* message) {
  APMMeasurement::monitor()->logWithLevel(0, code, message);
}

void logRefused(long code, const char* message, const platform::Object& object) {
  APMMeasurement::monitor()->logWithLevel(0, code, message, object);
}

size_t combine(size_t seed, size_t hash) {
  return seed ^ (hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// Agrees with Object's equality, under which a number equals a number of
// another kind when their double values are equal: int64 2^53 + 1 equals the
// double 2^53, and UINT64_MAX the double 2^64. So every number hashes through
// its double value; -0.0 equals 0.0 and hashes as it, and all NaNs (equal to
// nothing) hash alike.
size_t hashOfObject(const platform::Object& object) {
  using Kind = platform::Object::Kind;
  switch (object.kind()) {
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double: {
      double number = object.doubleValue();
      if (number == 0) number = 0.0;
      if (std::isnan(number)) number = std::numeric_limits<double>::quiet_NaN();
      return std::hash<uint64_t>()(std::bit_cast<uint64_t>(number));
    }
    case Kind::String:
      return std::hash<std::string>()(*object.string());
    case Kind::Data: {
      const platform::Bytes& bytes = *object.data();
      return std::hash<std::string_view>()(
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    case Kind::Array: {
      size_t hash = object.array()->size();
      for (const platform::Object& element : *object.array()) hash = combine(hash, hashOfObject(element));
      return hash;
    }
    case Kind::Dictionary: {
      size_t hash = object.dictionary()->size();
      for (const auto& [key, element] : *object.dictionary()) {
        hash = combine(combine(hash, std::hash<std::string>()(key)), hashOfObject(element));
      }
      return hash;
    }
    default:
      return static_cast<size_t>(object.kind());
  }
}

}  // namespace

APMValue::APMValue(double value) : valueType_(APMValueTypeDouble), value_(value) {}

APMValue::APMValue(int64_t value) : valueType_(APMValueTypeInt64), value_(value) {}

APMValue::APMValue(std::string value) : valueType_(APMValueTypeString), value_(std::move(value)) {}

APMValue::APMValue(platform::Object::Array value)
    : valueType_(APMValueTypeArray), value_(std::move(value)) {}

APMValue::APMValue(int64_t valueType, platform::Object value)
    : valueType_(valueType), value_(std::move(value)) {}

std::optional<APMValue> APMValue::initWithString(const platform::Object& object) {
  if (object.isNil()) {
    logRefused(35002, "Cannot create String value with nil");
    return std::nullopt;
  }
  if (!object.isString()) {
    logRefused(35003, "Cannot create String value with non-string value. Value", object);
    return std::nullopt;
  }
  return APMValue(*object.string());
}

std::optional<APMValue> APMValue::initWithArray(const platform::Object& object) {
  if (object.isNil()) {
    logRefused(35004, "Cannot create Array value with nil");
    return std::nullopt;
  }
  if (!object.array()) {
    logRefused(35005, "Cannot create Array value with non-array value. Value", object);
    return std::nullopt;
  }
  return APMValue(*object.array());
}

std::optional<APMValue> APMValue::valueFromObject(const platform::Object& object, bool allowArray) {
  using Kind = platform::Object::Kind;
  switch (object.kind()) {
    case Kind::Nil:
      logRefused(35000, "Cannot create Value type with nil value");
      return std::nullopt;
    case Kind::String:
      return initWithString(object);
    case Kind::Double:
      return APMValue(object.doubleValue());
    case Kind::UInt:
      // Reinterpreting a large unsigned number as signed would turn it
      // negative; the nearest int64 is the honest answer.
      if (object.uint64Value() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return APMValue(std::numeric_limits<int64_t>::max());
      }
      return APMValue(object.int64Value());
    case Kind::Bool:
    case Kind::Int:
      return APMValue(object.int64Value());
    case Kind::Array:
      if (allowArray) return initWithArray(object);
      break;
    default:
      break;
  }
  logRefused(35001,
             "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
             "NSString or NSArray (if supported). Value",
             object);
  return std::nullopt;
}

double APMValue::doubleValue() const {
  return isDouble() ? value_.doubleValue() : 0.0;
}

int64_t APMValue::int64Value() const {
  return isInt64() ? value_.int64Value() : 0;
}

const std::string* APMValue::stringValue() const {
  return isString() ? value_.string() : nullptr;
}

const platform::Object::Array* APMValue::arrayValue() const {
  return isArray() ? value_.array() : nullptr;
}

std::string APMValue::description() const {
  return value_.description();
}

bool APMValue::operator==(const APMValue& other) const {
  return class_ == other.class_ && valueType_ == other.valueType_ && value_ == other.value_;
}

size_t APMValue::hash() const {
  // Multiplied unsigned: the kind of `initWithValueType` is unchecked, and
  // a large one would overflow a signed product.
  return hashOfObject(value_) ^ (static_cast<size_t>(valueType_) * 31);
}
