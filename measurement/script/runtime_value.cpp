#include "measurement/script/runtime_value.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "measurement/script/evaluator.h"
#include "measurement/script/script_error.h"
#include "measurement/script/script_text.h"
#include "measurement/script/string_methods.h"

using Value = APMPRuntimeValue;
using Type = APMPRuntimeValue::Type;
using platform::ErrorRef;

// Cells freed while another cell is being freed wait in a queue linked
// through their dead counts, so that freeing a long chain of cells takes
// constant native stack.
void APMPCell::destroy(const APMPCell* cell) noexcept {
  thread_local bool draining = false;
  thread_local const APMPCell* dying = nullptr;
  if (draining) {
    cell->header_.nextDying = dying;
    dying = cell;
    return;
  }
  draining = true;
  delete cell;
  while (dying) {
    const APMPCell* next = dying;
    dying = next->header_.nextDying;
    delete next;
  }
  draining = false;
}

void APMPCell::markChildren(APMPMarker&) {}

Value APMPRuntimeValue::string(std::u16string text) { return Value(new APMPStringValue(std::move(text))); }

namespace {

// The text forms that are the same for every value of their kind.
constexpr std::u16string_view kUndefinedText = u"undefined", kNullText = u"null", kTrueText = u"true",
                              kFalseText = u"false", kMapText = u"[object Object]";

}  // namespace

std::u16string APMPRuntimeValue::stringValueOrError(ErrorRef& error) const {
  switch (type_) {
    case Type::Number:
      return APMPNumberText(numberValue());
    case Type::String:
      return asString()->value();
    case Type::Array:
      return asArray()->stringValueOrError(error);
    default: {
      std::u16string text;
      appendTextForm(text, error);
      return text;
    }
  }
}

void APMPRuntimeValue::appendTextForm(std::u16string& text, ErrorRef& error) const {
  switch (type_) {
    case Type::Undefined:
      text += kUndefinedText;
      return;
    case Type::Null:
      text += kNullText;
      return;
    case Type::Boolean:
      text += booleanValue() ? kTrueText : kFalseText;
      return;
    case Type::Number:
      text += APMPNumberText(numberValue());
      return;
    case Type::String:
      text += asString()->value();
      return;
    case Type::Map:
      text += kMapText;
      return;
    case Type::Function:
      text += asFunction()->functionName();
      return;
    default:
      APMPSetError(error, kAPMPErrorNoTextForm);
      return;
  }
}

size_t APMPRuntimeValue::textFormBound() const noexcept {
  switch (type_) {
    case Type::Undefined:
      return kUndefinedText.size();
    case Type::Null:
      return kNullText.size();
    case Type::Boolean:
      return kFalseText.size();
    case Type::Number:
      return kAPMPLongestNumberText;
    case Type::String:
      return asString()->value().size();
    case Type::Map:
      return kMapText.size();
    case Type::Function:
      return asFunction()->functionName().size();
    default:
      return 0;
  }
}

double APMPRuntimeValue::otherDoubleValue(ErrorRef& error) const {
  switch (type_) {
    case Type::Undefined:
    case Type::Map:
    case Type::Function:
      return std::numeric_limits<double>::quiet_NaN();
    case Type::Null:
      return 0;
    case Type::Boolean:
      return booleanValue() ? 1 : 0;
    case Type::Number:
      return numberValue();
    case Type::String:
      return APMPNumberFromText(asString()->value());
    case Type::Array:
      return asArray()->doubleValueOrError(error);
    default:
      APMPSetError(error, kAPMPErrorNoNumberForm);
      return std::numeric_limits<double>::quiet_NaN();
  }
}

bool APMPRuntimeValue::otherBooleanValue(ErrorRef& error) const {
  switch (type_) {
    case Type::Undefined:
    case Type::Null:
      return false;
    case Type::Boolean:
      return booleanValue();
    case Type::Number: {
      const double number = numberValue();
      return number != 0 && !std::isnan(number);
    }
    case Type::String:
      return !asString()->value().empty();
    case Type::Map:
    case Type::Function:
    case Type::Array:
      return true;
    default:
      APMPSetError(error, kAPMPErrorNoTruthValue);
      return false;
  }
}

Value APMPRuntimeValue::applyWithName(std::u16string_view name, std::span<const Value> arguments, APMPScope& scope,
                                      ErrorRef& error) const {
  switch (type_) {
    case Type::Undefined:
    case Type::Null:
      APMPSetError(error, kAPMPErrorMethodOfNothing);
      return {};
    case Type::String:
      return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, asString()->value(), arguments,
                                                                           scope, error);
    case Type::Map:
      return asMap()->applyWithName(name, arguments, scope, error);
    case Type::Function:
      return asFunction()->applyWithName(name, arguments, scope, error);
    case Type::Array:
      return asArray()->applyWithName(name, arguments, scope, error);
    default:
      if (name == u"toString") {
        std::u16string text = stringValueOrError(error);
        if (error) return {};
        return Value::string(std::move(text));
      }
      APMPSetError(error, kAPMPErrorUnknownMethod);
      return {};
  }
}

namespace {

// Structural equality with bounded work: past the nesting limit, the walk
// budget or the element steps, and for a pair of cells already being compared further up (a
// cycle), the answer is "unequal".
class EqualityWalk {
 public:
  bool equal(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
      case Type::Boolean:
        return a.booleanValue() == b.booleanValue();
      case Type::Number: {
        const double x = a.numberValue(), y = b.numberValue();
        return x == y || (std::isnan(x) && std::isnan(y));
      }
      case Type::String:
        return a.asString()->value() == b.asString()->value();
      case Type::Function: {
        const std::u16string& name = a.asFunction()->functionName();
        return a.isSameObject(b) || (!name.empty() && name == b.asFunction()->functionName());
      }
      case Type::Map:
      case Type::Array:
      case Type::Return:
      case Type::Statement:
        return a.isSameObject(b) || compound(a, b);
      default:
        return true;  // undefined, null, break, continue, the hole marker
    }
  }

 private:
  bool compound(const Value& a, const Value& b) {
    if (depth_ >= kAPMPMaxValueNesting || walked_ >= kAPMPMaxValueWalk) return false;
    for (const auto& [x, y] : path_) {
      if (x == a.cell() && y == b.cell()) return false;
    }
    ++walked_;
    ++depth_;
    path_.emplace_back(a.cell(), b.cell());
    const bool result = compare(a, b);
    path_.pop_back();
    --depth_;
    return result;
  }

  bool compare(const Value& a, const Value& b) {
    switch (a.type()) {
      case Type::Map: {
        const APMPPropertyMap& x = a.asMap()->propertyMap();
        const APMPPropertyMap& y = b.asMap()->propertyMap();
        if (x.count() != y.count()) return false;
        for (const APMPPropertyMap::Entry& entry : x.entries()) {
          const Value* other = y.find(entry.name);
          if (!other || !equal(entry.value, *other)) return false;
        }
        return true;
      }
      case Type::Array: {
        const APMPArrayValue::Elements& x = a.asArray()->elements();
        const APMPArrayValue::Elements& y = b.asArray()->elements();
        if (x.size() != y.size()) return false;
        steps_ += x.size();
        if (steps_ > kAPMPMaxWalkSteps) return false;
        for (size_t i = 0; i < x.size(); ++i) {
          if (!equal(x[i], y[i])) return false;
        }
        return true;
      }
      case Type::Return:
        return equal(a.asReturn()->data(), b.asReturn()->data());
      case Type::Statement: {
        const APMPStatementValue& x = *a.asStatement();
        const APMPStatementValue& y = *b.asStatement();
        if (x.functionName() != y.functionName() || x.arguments().size() != y.arguments().size()) return false;
        for (size_t i = 0; i < x.arguments().size(); ++i) {
          if (!equal(x.arguments()[i], y.arguments()[i])) return false;
        }
        return true;
      }
      default:
        return false;
    }
  }

  int depth_ = 0;
  size_t walked_ = 0;
  // Elements compared, shared substructures counted each time.
  size_t steps_ = 0;
  std::vector<std::pair<const APMPCell*, const APMPCell*>> path_;
};

}  // namespace

bool APMPRuntimeValue::isEqualToRuntimeValue(const Value& other) const {
  EqualityWalk walk;
  return walk.equal(*this, other);
}

Value APMPControlValue::breakValue() noexcept { return Value(Type::Break, uint64_t{0}); }
Value APMPControlValue::continueValue() noexcept { return Value(Type::Continue, uint64_t{0}); }
Value APMPControlValue::returnValueWithData(Value data) { return Value(new APMPControlValue(std::move(data))); }

std::u16string_view APMPControlValue::type(const Value& control) noexcept {
  switch (control.type()) {
    case Type::Break:
      return u"break";
    case Type::Continue:
      return u"continue";
    case Type::Return:
      return u"return";
    default:
      return {};
  }
}

Value APMPControlValue::data(const Value& control) {
  const APMPControlValue* value = control.asReturn();
  return value ? value->data_ : Value();
}

void APMPControlValue::markChildren(APMPMarker& marker) { marker.mark(data_); }

APMPStatementValue::APMPStatementValue(const void* name, APMPCommandHandler handler, uint32_t count,
                                       uint32_t blockOffset) noexcept
    : handler_(handler), count_(count), blockOffset_(blockOffset), name_(name) {
  Value* slots = argumentSlots();
  for (uint32_t i = 0; i < count; ++i) new (slots + i) Value();
  if (!handler_) static_cast<const APMPStringValue*>(name_)->retain();
}

APMPStatementValue::~APMPStatementValue() {
  Value* arguments = argumentSlots();
  for (uint32_t i = 0; i < count_; ++i) arguments[i].~Value();
  if (!handler_) static_cast<const APMPStringValue*>(name_)->release();
}

void APMPStatementValue::operator delete(APMPStatementValue* statement, std::destroying_delete_t) noexcept {
  const uint32_t offset = statement->blockOffset_;
  char* memory = reinterpret_cast<char*>(statement);
  statement->~APMPStatementValue();
  if (offset == 0) {
    ::operator delete(memory);
  } else {
    APMPStatementBlock::release(memory - size_t{offset} * sizeof(uint64_t));
  }
}

APMPRef<APMPStatementValue> APMPStatementValue::make(std::u16string functionName, std::span<const Value> arguments) {
  const auto* opcode = APMPCommandRegistrar::sharedInstance().commandForFunctionName(functionName);
  APMPRef<APMPStringValue> ownName;
  if (!opcode) ownName = APMPMake<APMPStringValue>(std::move(functionName));
  const auto count = static_cast<uint32_t>(arguments.size());
  void* memory = ::operator new(APMPStatementBlock::statementBytes(count));
  // Nothing below can fail: the cell is whole once constructed.
  APMPStatementValue* statement = opcode ? new (memory) APMPStatementValue(&opcode->first, opcode->second, count, 0)
                                         : new (memory) APMPStatementValue(ownName.get(), nullptr, count, 0);
  Value* slots = statement->argumentSlots();
  for (uint32_t i = 0; i < count; ++i) slots[i] = arguments[i];
  return APMPRef<APMPStatementValue>(statement);
}

APMPStatementBlock::APMPStatementBlock(size_t bytes) : size_(sizeof(Header) + bytes) {
  static_assert(sizeof(APMPStatementValue) % alignof(Value) == 0 && sizeof(Header) % alignof(Value) == 0);
  // Offsets are kept in 32 bits of words.
  if (size_ / sizeof(uint64_t) > UINT32_MAX) throw std::bad_alloc();
  memory_ = static_cast<char*>(::operator new(size_));
  new (memory_) Header{0};
}

APMPStatementBlock::~APMPStatementBlock() {
  // Once a statement is placed, the header may already be gone with it.
  if (used_ == sizeof(Header)) ::operator delete(memory_);
}

APMPStatementValue* APMPStatementBlock::place(const void* name, APMPCommandHandler handler, uint32_t count) noexcept {
  const size_t at = used_;
  used_ += statementBytes(count);
  // The room was measured for exactly these statements; more would write
  // past the block.
  if (used_ > size_) std::abort();
  ++reinterpret_cast<Header*>(memory_)->statements;
  return new (memory_ + at)
      APMPStatementValue(name, handler, count, static_cast<uint32_t>(at / sizeof(uint64_t)));
}

void APMPStatementBlock::release(void* memory) noexcept {
  if (--static_cast<Header*>(memory)->statements == 0) ::operator delete(memory);
}

std::u16string APMPNumberText(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  // Below 2^53 neighbouring doubles are at most 1 apart, so a whole number
  // needs every one of its digits: its text is the integer's own.
  if (std::fabs(value) < 9007199254740992.0 && std::trunc(value) == value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value));
    return std::u16string(buffer, result.ptr);
  }
  // The shortest digits that read back to the same double, then laid out
  // by magnitude ourselves.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<size_t>(result.ptr - buffer));
  const size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 2) digits.append(scientific.substr(2, e - 2));
  int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
  const int count = static_cast<int>(digits.size());

  std::string text = value < 0 ? "-" : "";
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e-6 && magnitude < 1e21) {
    if (exponent >= count - 1) {
      text += digits;
      text.append(static_cast<size_t>(exponent - (count - 1)), '0');
    } else if (exponent >= 0) {
      text += digits.substr(0, static_cast<size_t>(exponent + 1));
      text += '.';
      text += digits.substr(static_cast<size_t>(exponent + 1));
    } else {
      text += "0.";
      text.append(static_cast<size_t>(-exponent - 1), '0');
      text += digits;
    }
  } else {
    text += digits[0];
    if (count > 1) {
      text += '.';
      text += digits.substr(1);
    }
    text += exponent < 0 ? "e-" : "e+";
    text += std::to_string(std::abs(exponent));
  }
  return std::u16string(text.begin(), text.end());
}

double APMPNumberFromText(std::u16string_view text) {
  const std::u16string_view trimmed = script_text::trim(text);
  if (trimmed.empty()) return 0;
  if (trimmed == u"NaN") return std::numeric_limits<double>::quiet_NaN();
  if (trimmed == u"Infinity") return std::numeric_limits<double>::infinity();
  if (trimmed == u"-Infinity") return -std::numeric_limits<double>::infinity();

  // [+-]? (digits ("." digits?)? | "." digits) ([eE] [+-]? digits)?
  size_t i = 0;
  const size_t n = trimmed.size();
  auto digitsAt = [&](size_t from) {
    size_t to = from;
    while (to < n && trimmed[to] >= u'0' && trimmed[to] <= u'9') ++to;
    return to - from;
  };
  const bool negative = trimmed[i] == u'-';
  if (trimmed[i] == u'+' || trimmed[i] == u'-') ++i;
  const size_t wholeStart = i;
  const size_t whole = digitsAt(i);
  i += whole;
  size_t fractionStart = i, fraction = 0;
  if (i < n && trimmed[i] == u'.') {
    fractionStart = i + 1;
    fraction = digitsAt(i + 1);
    i += 1 + fraction;
  }
  if (whole == 0 && fraction == 0) return std::numeric_limits<double>::quiet_NaN();
  // Past a billion either way the answer is an infinity or a zero anyway.
  constexpr int64_t kExponentCap = 1'000'000'000;
  int64_t exponent = 0;
  if (i < n && (trimmed[i] == u'e' || trimmed[i] == u'E')) {
    size_t j = i + 1;
    const bool below = j < n && trimmed[j] == u'-';
    if (j < n && (trimmed[j] == u'+' || trimmed[j] == u'-')) ++j;
    const size_t count = digitsAt(j);
    if (count == 0) return std::numeric_limits<double>::quiet_NaN();
    for (size_t k = j; k < j + count; ++k) exponent = std::min(exponent * 10 + (trimmed[k] - u'0'), kExponentCap);
    if (below) exponent = -exponent;
    i = j + count;
  }
  if (i != n) return std::numeric_limits<double>::quiet_NaN();

  // The digits, whole then fraction, are read as 0.<significant digits>
  // times a power of ten. Only the first 800 significant digits can decide
  // the nearest double (767 tell any two apart); past them a digit can only
  // break a tie, which one more nonzero digit stands for. So the literal
  // handed to the C library stays short, however long the text.
  constexpr size_t kKeptDigits = 800;
  const auto digit = [&](size_t k) { return k < whole ? trimmed[wholeStart + k] : trimmed[fractionStart + k - whole]; };
  const size_t count = whole + fraction;
  size_t first = 0;
  while (first < count && digit(first) == u'0') ++first;
  if (first == count) return negative ? -0.0 : 0.0;
  std::string literal = negative ? "-0." : "0.";
  size_t k = first;
  for (; k < count && k - first < kKeptDigits; ++k) literal.push_back(static_cast<char>(digit(k)));
  for (; k < count; ++k) {
    if (digit(k) != u'0') {
      literal.push_back('1');
      break;
    }
  }
  literal += 'e';
  literal += std::to_string(static_cast<int64_t>(whole) - static_cast<int64_t>(first) +
                            std::clamp(exponent, -kExponentCap, kExponentCap));
  // The C locale: the decimal point is "." whatever the process locale.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(literal.c_str(), nullptr, cLocale);
}
