// The array value: positions and holes, property access, list operations,
// text forms and collection; its methods are the array method set's.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/script/array_methods.h"
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/script_error.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

// What a property value addresses. Indexes stay doubles until they are
// known to be below the position limit, so no huge or fractional number is
// ever converted to an integer.
struct Property {
  enum Kind { Index, Length, Name } kind = Name;
  double index = 0;
  // The property's own text, or its text form made into `form`.
  std::u16string_view name;
  APMPTextForm form;
};

bool classify(const Value& property, APMPScope& scope, ErrorRef& error, Property& out) {
  // Only the string "length" is the count; as a name (for presence and
  // removal) it is looked up like any other.
  const std::u16string* text = property.text();
  if (text && *text == u"length") {
    out.kind = Property::Length;
    out.name = *text;
    return true;
  }
  // Telling an index reads a text whole, and a name is hashed whole.
  if (text && !APMPChargeNameLookup(*text, scope, error)) return false;
  if (APMPIsArrayIndex(property)) {
    out.kind = Property::Index;
    out.index = APMPChargedNumber(property, scope, error);
    return !error;
  }
  out.kind = Property::Name;
  const std::u16string* name = APMPChargedTextView(property, out.form, scope, error);
  if (!name) return false;
  out.name = *name;
  return text || APMPChargeNameLookup(out.name, scope, error);
}

// A double known to be a whole number in 0 .. count - 1.
bool isBelow(double index, size_t count) { return index < static_cast<double>(count); }

}  // namespace

Value APMPArrayValue::elementAt(size_t index) const {
  if (index >= elements_.size() || elements_[index].isHole()) return {};
  return elements_[index];
}

std::vector<Value> APMPArrayValue::allElements() const {
  std::vector<Value> elements(elements_.begin(), elements_.end());
  for (Value& element : elements) {
    if (element.isHole()) element = Value();
  }
  return elements;
}

Value APMPArrayValue::valueForProperty(const Value& property, APMPScope& scope, ErrorRef& error) const {
  Property key;
  if (!classify(property, scope, error, key)) return {};
  switch (key.kind) {
    case Property::Length:
      return Value::number(static_cast<double>(elements_.size()));
    case Property::Index:
      return isBelow(key.index, elements_.size()) ? elementAt(static_cast<size_t>(key.index)) : Value();
    case Property::Name:
      return propertyMap_.valueForName(key.name);
  }
  return {};
}

bool APMPArrayValue::setValue(Value value, const Value& property, APMPScope& scope, ErrorRef& error) {
  Property key;
  if (!classify(property, scope, error, key)) return false;
  switch (key.kind) {
    case Property::Length:
      if (!APMPIsArrayIndex(value)) {
        APMPSetError(error, kAPMPErrorArrayLength);
        return false;
      }
      return setLength(APMPChargedNumber(value, scope, error), scope, error);
    case Property::Index:
      if (!growTo(key.index + 1, scope, error)) return false;
      elements_[static_cast<size_t>(key.index)] = std::move(value);
      return true;
    case Property::Name:
      propertyMap_.setValue(std::move(value), key.name);
      return true;
  }
  return false;
}

void APMPArrayValue::removeValueForProperty(const Value& property, APMPScope& scope, ErrorRef& error) {
  Property key;
  if (!classify(property, scope, error, key)) return;
  if (key.kind == Property::Index) {
    if (isBelow(key.index, elements_.size())) {
      // The old element may hold the last reference to something whose
      // release frees cells; the position is a hole first.
      Value removed = std::exchange(elements_[static_cast<size_t>(key.index)], emptyValue());
    }
  } else {
    propertyMap_.removeValueForName(key.name);
  }
}

bool APMPArrayValue::hasProperty(const Value& property, APMPScope& scope, ErrorRef& error) const {
  Property key;
  if (!classify(property, scope, error, key)) return false;
  switch (key.kind) {
    case Property::Index:
      return isBelow(key.index, elements_.size()) && hasElementAt(static_cast<size_t>(key.index));
    case Property::Name:
    case Property::Length:
      return propertyMap_.hasName(key.name);
  }
  return false;
}

bool APMPArrayValue::growTo(double count, APMPScope& scope, ErrorRef& error) {
  if (!(count <= static_cast<double>(kAPMPMaxArrayLength))) {
    APMPSetError(error, kAPMPErrorArrayLength);
    return false;
  }
  const auto wanted = static_cast<size_t>(count);
  if (wanted <= elements_.size()) return true;
  if (!APMPChargeWork(scope, wanted - elements_.size(), error)) return false;
  elements_.resize(wanted, emptyValue());
  return true;
}

bool APMPArrayValue::setLength(double length, APMPScope& scope, ErrorRef& error) {
  if (!(length >= 0) || std::trunc(length) != length) {
    APMPSetError(error, kAPMPErrorArrayLength);
    return false;
  }
  if (!growTo(length, scope, error)) return false;
  const auto wanted = static_cast<size_t>(length);
  if (wanted < elements_.size()) {
    // Moved out first: releasing the dropped elements may free cells.
    std::vector<Value> dropped(std::make_move_iterator(elements_.begin() + static_cast<ptrdiff_t>(wanted)),
                               std::make_move_iterator(elements_.end()));
    elements_.resize(wanted);
  }
  return true;
}

std::vector<Value> APMPArrayValue::allPropertyNames() const {
  std::vector<Value> names = propertyMap_.allNameValues();
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i].isHole()) names.push_back(Value::string(APMPNumberText(static_cast<double>(i))));
  }
  return names;
}

std::vector<Value> APMPArrayValue::spliceFrom(size_t start, size_t deleteCount, std::span<const Value> values) {
  start = std::min(start, elements_.size());
  deleteCount = std::min(deleteCount, elements_.size() - start);
  const auto first = elements_.begin() + static_cast<ptrdiff_t>(start);
  const auto last = first + static_cast<ptrdiff_t>(deleteCount);
  std::vector<Value> removed(std::make_move_iterator(first), std::make_move_iterator(last));
  elements_.erase(first, last);
  elements_.insert(elements_.begin() + static_cast<ptrdiff_t>(start), values.begin(), values.end());
  return removed;
}

bool APMPArrayValue::concat(const Value& value, ErrorRef& error) {
  if (value.isControl()) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return false;
  }
  if (const APMPArrayValue* other = value.asArray()) {
    // Copied first: `other` may be this array.
    const Elements positions = other->elements_;
    elements_.insert(elements_.end(), positions.begin(), positions.end());
  } else {
    elements_.push_back(value);
  }
  return true;
}

void APMPArrayValue::reverse() noexcept { std::reverse(elements_.begin(), elements_.end()); }

Value APMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return {};
  Value first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  return first.isHole() ? Value() : first;
}

Value APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return {};
  Value last = std::move(elements_.back());
  elements_.pop_back();
  return last.isHole() ? Value() : last;
}

size_t APMPArrayValue::appendElements(std::span<const Value> values) {
  elements_.insert(elements_.end(), values.begin(), values.end());
  return elements_.size();
}

size_t APMPArrayValue::prependElements(std::span<const Value> values) {
  elements_.insert(elements_.begin(), values.begin(), values.end());
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const Value& value, size_t from, APMPScope& scope, ErrorRef& error) const {
  if (from >= elements_.size() || !APMPChargeWork(scope, elements_.size() - from, error)) return -1;
  for (size_t i = from; i < elements_.size(); ++i) {
    if (APMPChargedStrictEquals(elements_[i], value, scope, error)) return static_cast<int64_t>(i);
    if (error) return -1;
  }
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const Value& value, size_t from, APMPScope& scope,
                                         ErrorRef& error) const {
  if (elements_.empty()) return -1;
  from = std::min(from, elements_.size() - 1);
  if (!APMPChargeWork(scope, from + 1, error)) return -1;
  for (size_t i = from + 1; i-- > 0;) {
    if (APMPChargedStrictEquals(elements_[i], value, scope, error)) return static_cast<int64_t>(i);
    if (error) return -1;
  }
  return -1;
}

// One text-form walk: nested arrays are converted in the same walk, so the
// bounds hold for the whole tree and not per array. A walk with a scope
// charges each element before it is appended: a piece's code units twice
// (the text regrows as it goes, each time copied), and a visit or a
// conversion as a value made. A walk counting its text takes the room for
// each new capacity before the text moves into it, and gives back the old.
struct APMPArrayValue::TextWalk {
  APMPScope* scope = nullptr;
  APMPWorkingBytes* counted = nullptr;
  int nesting = 0;
  uint64_t steps = 0;
  // What appending `units` code units, after a visit, costs; false with
  // error 18 when the budget cannot pay it.
  bool charge(size_t units, bool converted, ErrorRef& error) const {
    constexpr uint64_t kVisitWork = 8;
    return !scope || APMPChargeWork(*scope, (converted ? kAPMPValueWork : kVisitWork) + 2 * uint64_t{units}, error);
  }
  // Room in `text` for `units` more, within the length limit; false with
  // error 18 past the limit or when the room cannot be had.
  bool makeRoom(std::u16string& text, size_t units, ErrorRef& error) const {
    const size_t needed = text.size() + units;
    if (needed > kAPMPMaxTextLength) {
      APMPSetError(error, kAPMPErrorLimit);
      return false;
    }
    if (needed <= text.capacity()) return true;
    const size_t capacity = std::max(needed, std::min(2 * text.capacity(), kAPMPMaxTextLength));
    const size_t before = APMPTextBytes(text);
    if (counted && !counted->take(APMPTextBytesFor(capacity), error)) return false;
    text.reserve(capacity);
    if (counted) counted->giveBack(before);
    return true;
  }
};

void APMPArrayValue::appendText(std::u16string& text, std::u16string_view separator, TextWalk& walk,
                                ErrorRef& error) const {
  // An array met again inside its own conversion (it holds itself) gives
  // the empty text.
  if (converting_) return;
  if (walk.nesting >= kAPMPMaxValueNesting) {
    APMPSetError(error, kAPMPErrorLimit);
    return;
  }
  ++walk.nesting;
  // Cleared however the walk ends, a failed allocation included.
  struct Converting {
    bool& flag;
    explicit Converting(bool& f) : flag(f) { flag = true; }
    ~Converting() { flag = false; }
  } converting(converting_);
  for (size_t i = 0; i < elements_.size() && !error; ++i) {
    const size_t gap = i > 0 ? separator.size() : 0;
    if (++walk.steps > kAPMPMaxWalkSteps) {
      APMPSetError(error, kAPMPErrorLimit);
      break;
    }
    const Value& element = elements_[i];
    const std::u16string* string = element.text();
    if (!walk.charge(gap + (string ? string->size() : 0), false, error) || !walk.makeRoom(text, gap, error)) break;
    text += separator.substr(0, gap);
    if (const APMPArrayValue* inner = element.asArray()) {
      inner->appendText(text, u",", walk, error);
    } else if (!element.isHole() && !element.isUndefined() && !element.isNull()) {
      // Paid for and given room before it is made; a number's may come
      // out shorter than its bound.
      const size_t length = element.textFormBound();
      if ((!string && !walk.charge(length, true, error)) || !walk.makeRoom(text, length, error)) break;
      element.appendTextForm(text, error);
    }
  }
  --walk.nesting;
}

std::u16string APMPArrayValue::stringValueWithSeparator(std::u16string_view separator, ErrorRef& error,
                                                        APMPScope* scope, APMPWorkingBytes* counted) const {
  TextWalk walk{.scope = scope, .counted = counted};
  std::u16string text;
  appendText(text, separator, walk, error);
  if (error) return {};
  return text;
}

std::u16string APMPArrayValue::stringValueOrError(ErrorRef& error) const {
  return stringValueWithSeparator(u",", error);
}

double APMPArrayValue::doubleValueOrError(ErrorRef& error) const {
  const std::u16string text = stringValueOrError(error);
  if (error) return std::numeric_limits<double>::quiet_NaN();
  return APMPNumberFromText(text);
}

Value APMPArrayValue::applyWithName(std::u16string_view name, std::span<const Value> arguments, APMPScope& scope,
                                    ErrorRef& error) {
  if (const Value* property = propertyMap_.find(name)) {
    // Held for the call: the function may drop the property.
    const Value function = *property;
    if (APMPFunctionValue* callee = function.asFunction()) {
      // Marked too: a collection while the arguments are evaluated would
      // otherwise sweep a callee that the property no longer holds.
      const APMPActiveValues active(callee);
      return callee->invokeWithArguments(arguments, scope, error);
    }
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return {};
  }
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, *this, arguments, scope, error);
}

void APMPArrayValue::markChildren(APMPMarker& marker) {
  propertyMap_.markValues(marker);
  for (const Value& element : elements_) marker.mark(element);
}

void APMPArrayValue::sweep() {
  Elements elements = std::move(elements_);
  elements_.clear();
  propertyMap_.removeAll();
}
