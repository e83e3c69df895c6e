#include "platform/object.h"

#include <charconv>
#include <ctime>

#include "platform/error.h"
#include "platform/numbers.h"

namespace platform {

Object Object::null() {
  Object o;
  o.value_ = NullMarker{};
  return o;
}

Object::Object(ErrorRef error) {
  if (error) value_ = std::move(error);
}

bool Object::isNumber() const {
  switch (kind()) {
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double:
      return true;
    default:
      return false;
  }
}

const Bytes* Object::data() const {
  auto p = std::get_if<std::shared_ptr<const Bytes>>(&value_);
  return p ? p->get() : nullptr;
}

const Object::Array* Object::array() const {
  auto p = std::get_if<std::shared_ptr<const Array>>(&value_);
  return p ? p->get() : nullptr;
}

const Object::Dictionary* Object::dictionary() const {
  auto p = std::get_if<std::shared_ptr<const Dictionary>>(&value_);
  return p ? p->get() : nullptr;
}

std::optional<Date> Object::date() const {
  if (auto p = std::get_if<Date>(&value_)) return *p;
  return std::nullopt;
}

ErrorRef Object::error() const {
  auto p = std::get_if<ErrorRef>(&value_);
  return p ? *p : nullptr;
}

bool Object::boolValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_);
    case Kind::Int: return std::get<int64_t>(value_) != 0;
    case Kind::UInt: return std::get<uint64_t>(value_) != 0;
    case Kind::Double: return std::get<double>(value_) != 0.0;
    default: return false;
  }
}

int64_t Object::int64Value() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_) ? 1 : 0;
    case Kind::Int: return std::get<int64_t>(value_);
    case Kind::UInt: return static_cast<int64_t>(std::get<uint64_t>(value_));
    case Kind::Double: return saturatingCast<int64_t>(std::get<double>(value_));
    default: return 0;
  }
}

uint64_t Object::uint64Value() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_) ? 1 : 0;
    case Kind::Int: return static_cast<uint64_t>(std::get<int64_t>(value_));
    case Kind::UInt: return std::get<uint64_t>(value_);
    case Kind::Double: return saturatingCast<uint64_t>(std::get<double>(value_));
    default: return 0;
  }
}

double Object::doubleValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_) ? 1.0 : 0.0;
    case Kind::Int: return static_cast<double>(std::get<int64_t>(value_));
    case Kind::UInt: return static_cast<double>(std::get<uint64_t>(value_));
    case Kind::Double: return std::get<double>(value_);
    default: return 0.0;
  }
}

Object Object::operator[](std::string_view key) const {
  const Dictionary* dict = dictionary();
  if (!dict) return {};
  auto it = dict->find(key);
  return it == dict->end() ? Object() : it->second;
}

namespace {

std::string shortestDouble(double d) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, result.ptr);
}

std::string dateText(double seconds) {
  time_t t = saturatingCast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char buffer[64];
  strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
  return buffer;
}

std::string dataText(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text = "<";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i && i % 4 == 0) text += ' ';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text + ">";
}

// Numbers compare by value: exact across integer kinds, through double
// otherwise.
bool numbersEqual(const Object& a, const Object& b) {
  using K = Object::Kind;
  auto integral = [](K k) { return k == K::Bool || k == K::Int || k == K::UInt; };
  if (integral(a.kind()) && integral(b.kind())) {
    bool aNegative = a.kind() == K::Int && a.int64Value() < 0;
    bool bNegative = b.kind() == K::Int && b.int64Value() < 0;
    return aNegative == bNegative && a.uint64Value() == b.uint64Value();
  }
  return a.doubleValue() == b.doubleValue();
}

}  // namespace

std::string Object::description() const {
  switch (kind()) {
    case Kind::Nil: return "(null)";
    case Kind::Null: return "<null>";
    case Kind::Bool: return std::get<bool>(value_) ? "1" : "0";
    case Kind::Int: return std::to_string(std::get<int64_t>(value_));
    case Kind::UInt: return std::to_string(std::get<uint64_t>(value_));
    case Kind::Double: return shortestDouble(std::get<double>(value_));
    case Kind::String: return std::get<std::string>(value_);
    case Kind::Data: return dataText(*data());
    case Kind::Date: return dateText(std::get<Date>(value_).secondsSince1970);
    case Kind::Array: {
      std::string text = "(";
      bool first = true;
      for (const Object& item : *array()) {
        text += first ? "\n    " : ",\n    ";
        first = false;
        text += item.description();
      }
      return text + "\n)";
    }
    case Kind::Dictionary: {
      std::string text = "{";
      for (const auto& [key, value] : *dictionary()) {
        text += "\n    " + key + " = " + value.description() + ";";
      }
      return text + "\n}";
    }
    case Kind::Error: return error()->description();
  }
  return {};
}

bool Object::operator==(const Object& other) const {
  if (isNumber() && other.isNumber()) return numbersEqual(*this, other);
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Data: return *data() == *other.data();
    case Kind::Array: return *array() == *other.array();
    case Kind::Dictionary: return *dictionary() == *other.dictionary();
    case Kind::Error: return *error() == *other.error();
    default: return value_ == other.value_;
  }
}

}  // namespace platform
