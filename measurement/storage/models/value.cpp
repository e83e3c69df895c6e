#include "measurement/storage/models/value.h"

#include <limits>
#include <utility>

#include "measurement/engine/monitor.h"

APMValue::APMValue(double value) : valueType_(APMValueTypeDouble), value_(value) {}

APMValue::APMValue(int64_t value) : valueType_(APMValueTypeInt64), value_(value) {}

APMValue::APMValue(std::string value) : valueType_(APMValueTypeString), value_(std::move(value)) {}

APMValue::APMValue(platform::Object::Array value)
    : valueType_(APMValueTypeArray), value_(std::move(value)) {}

APMValue::APMValue(int64_t valueType, platform::Object value)
    : valueType_(valueType), value_(std::move(value)) {}

std::optional<APMValue> APMValue::valueFromObject(const platform::Object& object, bool allowArray) {
  using Kind = platform::Object::Kind;
  switch (object.kind()) {
    case Kind::Nil:
      APMMeasurement::monitor()->logWithLevel(0, 35000, "Cannot create Value type with nil value");
      return std::nullopt;
    case Kind::String:
      return APMValue(*object.string());
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
      if (allowArray) return APMValue(*object.array());
      break;
    default:
      break;
  }
  APMMeasurement::monitor()->logWithLevel(
      0, 35001,
      "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString "
      "or NSArray (if supported). Value",
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
  return valueType_ == other.valueType_ && value_ == other.value_;
}
