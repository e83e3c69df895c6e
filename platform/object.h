// `Object`: the dynamic value the measurement code passes where a value of
// any kind may stand (log contexts, stored records, settings, error user
// info, values handed to and from scripts).
//
// It is a value type that keeps the distinctions the measurement code relies
// on: nil vs the null marker, booleans vs signed vs unsigned vs floating
// numbers, strings vs data (absent data is nil, not empty data), dates,
// arrays, dictionaries with string keys, and errors. Arrays and dictionaries
// are immutable once wrapped and shared between copies, so copying an Object
// is cheap. Safe to read from several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform {

using Bytes = std::vector<uint8_t>;

class Error;
using ErrorRef = std::shared_ptr<const Error>;

// A point in time, seconds since 1970.
struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date&) const = default;
};

class Object {
 public:
  using Array = std::vector<Object>;
  using Dictionary = std::map<std::string, Object, std::less<>>;

  enum class Kind : uint8_t {
    Nil, Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Error
  };

  Object() = default;  // nil
  Object(std::nullptr_t) {}
  static Object null();

  template <typename T, std::enable_if_t<std::is_same_v<T, bool>, int> = 0>
  Object(T b) : value_(b) {}
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_signed_v<T>,
                             int> = 0>
  Object(T i) : value_(static_cast<int64_t>(i)) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                             std::is_unsigned_v<T>,
                                         int> = 0>
  Object(T u) : value_(static_cast<uint64_t>(u)) {}
  Object(double d) : value_(d) {}
  Object(float f) : value_(static_cast<double>(f)) {}
  Object(const char* s) : value_(std::string(s)) {}
  Object(std::string s) : value_(std::move(s)) {}
  Object(std::string_view s) : value_(std::string(s)) {}
  Object(Bytes data) : value_(std::make_shared<const Bytes>(std::move(data))) {}
  Object(Date date) : value_(date) {}
  explicit Object(Array array) : value_(std::make_shared<const Array>(std::move(array))) {}
  explicit Object(Dictionary dict) : value_(std::make_shared<const Dictionary>(std::move(dict))) {}
  Object(ErrorRef error);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNil() const { return kind() == Kind::Nil; }
  bool isNull() const { return kind() == Kind::Null; }
  // Booleans and the three number kinds.
  bool isNumber() const;
  bool isString() const { return kind() == Kind::String; }
  bool isData() const { return kind() == Kind::Data; }

  // Typed views; null when the object is of another kind.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const Bytes* data() const;
  const Array* array() const;
  const Dictionary* dictionary() const;
  std::optional<Date> date() const;
  ErrorRef error() const;

  // Numeric reads of a number (0 for anything else). Floating values are
  // converted with saturation; NaN gives 0.
  bool boolValue() const;
  int64_t int64Value() const;
  uint64_t uint64Value() const;
  double doubleValue() const;

  // The value of `key` in a dictionary; nil when absent or not a dictionary.
  Object operator[](std::string_view key) const;

  // The platform's description text ("(null)" for nil, "<null>" for the null
  // marker, numbers in their shortest form, strings as they are).
  std::string description() const;

  // Structural equality; numbers compare by value across number kinds.
  bool operator==(const Object& other) const;

 private:
  struct NullMarker {
    bool operator==(const NullMarker&) const { return true; }
  };
  std::variant<std::monostate, NullMarker, bool, int64_t, uint64_t, double, std::string,
               std::shared_ptr<const Bytes>, Date, std::shared_ptr<const Array>,
               std::shared_ptr<const Dictionary>, ErrorRef>
      value_;
};

}  // namespace platform
