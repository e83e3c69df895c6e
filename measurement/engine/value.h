// `APMValue`: the typed value of event parameters and user properties, and
// `ZUROValue`, the same value under the class name the public API hands out.
//
// A value has exactly one kind, fixed at construction: double (0), int64
// (1), string (2) or array (3), and boxes the matching object. Values are
// immutable, so copies share the boxed object and any thread may read them.
// The accessors never convert between kinds: each answers its own kind's
// value and 0, 0.0 or null for any other.
//
// A value remembers which of the two classes made it, and a copy keeps it.
// Two values are equal only when they come from the same class, have the
// same kind and equal boxed objects, so equality is symmetric whichever
// side a `ZUROValue` is on, and equal values hash alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/object.h"

enum APMValueType : int64_t {
  APMValueTypeDouble = 0,
  APMValueTypeInt64 = 1,
  APMValueTypeString = 2,
  APMValueTypeArray = 3,
};

class APMValue {
 public:
  // initWithDouble:
  explicit APMValue(double value);
  // initWithInt64:
  explicit APMValue(int64_t value);
  // initWithString:
  explicit APMValue(std::string value);
  // initWithArray: the elements are kept as given; they are not checked.
  explicit APMValue(platform::Object::Array value);
  // initWithValueType:value: stores the kind and the object as given, with
  // no check; for callers that restore a value they made before.
  APMValue(int64_t valueType, platform::Object value);

  // Other number types would pick a kind by accident; say which one.
  template <typename T, std::enable_if_t<std::is_arithmetic_v<T> && !std::is_same_v<T, double> &&
                                             !std::is_same_v<T, int64_t>,
                                         int> = 0>
  explicit APMValue(T) = delete;

  // The string kind of a dynamic object: nil logs 35002, anything but a
  // string 35003 (level 0, the object as context); both answer nullopt.
  static std::optional<APMValue> initWithString(const platform::Object& object);
  // The array kind of a dynamic object: nil logs 35004, anything but an
  // array 35005 (level 0); both answer nullopt.
  static std::optional<APMValue> initWithArray(const platform::Object& object);

  // The value of a dynamic object: a string gives the string kind; a
  // floating number the double kind; any other number (booleans included)
  // the int64 kind, unsigned numbers above the int64 range clamped to its
  // maximum; an array the array kind when `allowArray`. Nil logs 35000,
  // anything else 35001 (level 0, the object as context); both answer
  // nullopt.
  static std::optional<APMValue> valueFromObject(const platform::Object& object,
                                                 bool allowArray = false);

  int64_t valueType() const { return valueType_; }
  // The boxed object.
  const platform::Object& value() const { return value_; }

  bool isDouble() const { return valueType_ == APMValueTypeDouble; }
  bool isInt64() const { return valueType_ == APMValueTypeInt64; }
  bool isString() const { return valueType_ == APMValueTypeString; }
  bool isArray() const { return valueType_ == APMValueTypeArray; }

  double doubleValue() const;
  int64_t int64Value() const;
  // Null for any kind but the string kind.
  const std::string* stringValue() const;
  // Null for any kind but the array kind.
  const platform::Object::Array* arrayValue() const;

  // The description of the boxed object.
  std::string description() const;

  // The same class, the same kind and equal boxed objects.
  bool operator==(const APMValue& other) const;
  // The boxed object's hash XOR (kind * 31); equal values hash alike.
  size_t hash() const;

 protected:
  enum class Class : uint8_t { Value, PublicValue };
  APMValue(const APMValue& value, Class valueClass) : APMValue(value) { class_ = valueClass; }

 private:
  Class class_ = Class::Value;
  int64_t valueType_;
  platform::Object value_;
};

// The value class of the public API; nothing of its own but its class.
class ZUROValue : public APMValue {
 public:
  template <typename T>
  explicit ZUROValue(T&& value) : APMValue(APMValue(std::forward<T>(value)), Class::PublicValue) {}
  explicit ZUROValue(const APMValue& value) : APMValue(value, Class::PublicValue) {}
};

template <>
struct std::hash<APMValue> {
  size_t operator()(const APMValue& value) const { return value.hash(); }
};
