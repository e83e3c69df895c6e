// The array method set. Each method receives the array and its evaluated
// argument values; counts are checked first (error 9), then kinds.
//
// Methods that call back into scripts hold the array for the length of the
// call and re-read it at every step through bounds-checked accessors: a
// callback may grow, shrink or empty it (a collection empties arrays no
// root reaches), and nothing here may then read out of bounds. Native work
// (elements copied, visited or compared) is charged to the scope's budget,
// and no method makes an array longer than `kAPMPMaxArrayLength` (error 11).
#include "measurement/script/array_methods.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "measurement/script/charged_conversions.h"
#include "measurement/script/object_manager.h"

using Value = APMPRuntimeValue;
using Values = std::span<const Value>;
using platform::ErrorRef;

namespace {

Value call(APMPFunctionValue& function, std::initializer_list<Value> arguments, APMPScope& scope, ErrorRef& error) {
  // Held for the call: the function may drop the last reference to itself.
  const APMPRef<APMPFunctionValue> keep(&function);
  return function.invokeWithArguments(std::span<const Value>(arguments.begin(), arguments.size()), scope, error);
}

APMPFunctionValue* callbackOf(Values values, ErrorRef& error) {
  APMPFunctionValue* function = values.empty() ? nullptr : values[0].asFunction();
  if (!function) APMPSetError(error, kAPMPErrorArgumentKind);
  return function;
}

// The iteration of "every", "some", "filter", "forEach" and "map": the
// function is called on each element present at its index, n taken once;
// `step` sees each element with its index and the call's result, and
// answers false to stop.
template <typename Step>
void iterate(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error, Step step) {
  if (!APMPCheckArgumentCount(values, 1, error)) return;
  APMPFunctionValue* function = callbackOf(values, error);
  if (!function) return;
  const APMPRef<APMPArrayValue> keep(&array);
  const Value self(keep);
  const size_t n = array.count();
  for (size_t i = 0; i < n; ++i) {
    if (!APMPChargeWork(scope, 1, error)) return;
    if (!array.hasElementAt(i)) continue;
    const Value element = array.elementAt(i);
    const Value index = Value::number(static_cast<double>(i));
    const Value result = call(*function, {element, index, self}, scope, error);
    if (error || !step(element, index, result)) return;
  }
}

Value every(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  bool all = true;
  iterate(array, values, scope, error, [&](const Value&, const Value&, const Value& result) {
    all = result.booleanValueOrError(error);
    return all && !error;
  });
  return error ? Value() : Value::boolean(all);
}

Value some(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  bool any = false;
  iterate(array, values, scope, error, [&](const Value&, const Value&, const Value& result) {
    any = result.booleanValueOrError(error);
    return !any && !error;
  });
  return error ? Value() : Value::boolean(any);
}

Value filter(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPArrayValue> kept = APMPObjectManager::arrayValueWithScope(scope);
  // Reachable from nothing but this frame while the callbacks run.
  const APMPActiveValues active(kept.get());
  iterate(array, values, scope, error, [&](const Value& element, const Value&, const Value& result) {
    const bool keep = result.booleanValueOrError(error);
    if (keep && !error) kept->elements().push_back(element);
    return !error;
  });
  return error ? Value() : Value(kept);
}

Value forEach(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  iterate(array, values, scope, error, [](const Value&, const Value&, const Value&) { return true; });
  return {};
}

Value map(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPArrayValue> mapped = APMPObjectManager::arrayValueWithScope(scope);
  const APMPActiveValues active(mapped.get());
  iterate(array, values, scope, error, [&](const Value&, const Value& index, const Value& result) {
    return mapped->setValue(result, index, scope, error);
  });
  return error ? Value() : Value(mapped);
}

// Reduction from the front (`Step` 1) or the back (-1).
template <int Step>
Value reduce(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMinArgumentCount(values, 1, error) || !APMPCheckMaxArgumentCount(values, 2, error)) return {};
  APMPFunctionValue* function = callbackOf(values, error);
  if (!function) return {};
  const APMPRef<APMPArrayValue> keep(&array);
  const Value self(keep);
  const auto n = static_cast<ptrdiff_t>(array.count());
  ptrdiff_t i = Step > 0 ? 0 : n - 1;
  const auto inRange = [n](ptrdiff_t k) { return k >= 0 && k < n; };
  Value accumulator;
  const APMPActiveValues active(std::span<const Value>(&accumulator, 1));
  if (values.size() == 2) {
    if (values[1].isControl()) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return {};
    }
    accumulator = values[1];
  } else {
    for (; inRange(i) && !array.hasElementAt(static_cast<size_t>(i)); i += Step) {
      if (!APMPChargeWork(scope, 1, error)) return {};
    }
    if (!inRange(i)) {
      APMPSetError(error, kAPMPErrorEmptyReduction);
      return {};
    }
    accumulator = array.elementAt(static_cast<size_t>(i));
    i += Step;
  }
  for (; inRange(i); i += Step) {
    if (!APMPChargeWork(scope, 1, error)) return {};
    const auto k = static_cast<size_t>(i);
    if (!array.hasElementAt(k)) continue;
    accumulator = call(*function, {accumulator, array.elementAt(k), Value::number(static_cast<double>(k)), self},
                       scope, error);
    if (error) return {};
  }
  return accumulator;
}

Value concat(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPChargeWork(scope, array.count(), error)) return {};
  const APMPRef<APMPArrayValue> joined = APMPObjectManager::subarrayWithArray(array, 0, array.count(), scope);
  for (const Value& value : values) {
    const APMPArrayValue* other = value.asArray();
    const size_t added = other ? other->count() : 1;
    if (!APMPArrayCanGrow(joined->count(), added, error) || !APMPChargeWork(scope, added, error) ||
        !joined->concat(value, error)) {
      return {};
    }
  }
  return Value(joined);
}

Value hasOwnProperty(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  APMPTextForm form;
  const std::u16string* name = APMPChargedTextView(values[0], form, scope, error);
  if (!name) return {};
  if (*name == u"length") return Value::boolean(true);
  const bool has = array.hasProperty(values[0], scope, error);
  return error ? Value() : Value::boolean(has);
}

Value indexOf(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  const Value sought = values.empty() ? Value() : values[0];
  const size_t n = array.count();
  double start = 0;
  if (values.size() == 2) {
    start = APMPChargedInteger(values[1], scope, error);
    if (error) return {};
    if (start >= static_cast<double>(n)) return Value::number(-1);
  }
  const int64_t found = array.indexOfValue(sought, APMPRelativePosition(start, n), scope, error);
  if (error) return {};
  return Value::number(static_cast<double>(found));
}

Value lastIndexOf(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  const Value sought = values.empty() ? Value() : values[0];
  const auto n = static_cast<double>(array.count());
  double start = n - 1;
  if (values.size() == 2) {
    const double number = APMPChargedNumber(values[1], scope, error);
    if (error) return {};
    if (!std::isnan(number)) start = APMPToInteger(number);
    if (start < 0) start += n;
  }
  // Cut to the last position first: an empty array has none, and -1 is no
  // position to convert.
  start = std::min(start, n - 1);
  if (start < 0) return Value::number(-1);
  const int64_t found = array.lastIndexOfValue(sought, static_cast<size_t>(start), scope, error);
  if (error) return {};
  return Value::number(static_cast<double>(found));
}

Value join(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 1, error)) return {};
  std::u16string_view separator = u",";
  APMPTextForm form;
  if (!values.empty()) {
    const bool none = values[0].isUndefined() || values[0].isNull();
    const std::u16string* given = none ? nullptr : APMPChargedTextView(values[0], form, scope, error);
    if (error) return {};
    separator = given ? std::u16string_view(*given) : u"";
  }
  APMPTextForm text = APMPChargedJoin(array, separator, scope, error);
  if (error) return {};
  return Value::string(std::move(text).release());
}

Value toString(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error)) return {};
  return join(array, values, scope, error);
}

Value pop(APMPArrayValue& array, Values values, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error)) return {};
  return array.removeLastElement();
}

Value shift(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error) || !APMPChargeWork(scope, array.count(), error)) return {};
  return array.removeFirstElement();
}

Value push(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPArrayCanGrow(array.count(), values.size(), error) || !APMPChargeWork(scope, values.size(), error)) return {};
  return Value::number(static_cast<double>(array.appendElements(values)));
}

Value unshift(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPArrayCanGrow(array.count(), values.size(), error) ||
      !APMPChargeWork(scope, array.count() + values.size(), error)) {
    return {};
  }
  return Value::number(static_cast<double>(array.prependElements(values)));
}

Value reverse(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 0, error) || !APMPChargeWork(scope, array.count(), error)) return {};
  array.reverse();
  return Value(&array);
}

Value slice(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 2, error)) return {};
  const size_t n = array.count();
  size_t start = 0, end = n;
  if (!values.empty()) {
    start = APMPRelativePosition(APMPChargedInteger(values[0], scope, error), n);
    if (error) return {};
  }
  if (values.size() == 2) {
    end = std::max(start, APMPRelativePosition(APMPChargedInteger(values[1], scope, error), n));
    if (error) return {};
  }
  if (!APMPChargeWork(scope, end - start, error)) return {};
  return Value(APMPObjectManager::subarrayWithArray(array, start, end - start, scope));
}

Value splice(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (values.empty()) return Value(APMPObjectManager::arrayValueWithScope(scope));
  const size_t n = array.count();
  const size_t start = APMPRelativePosition(APMPChargedInteger(values[0], scope, error), n);
  if (error) return {};
  size_t deleteCount = n - start;
  if (values.size() >= 2) {
    const double wanted = APMPChargedInteger(values[1], scope, error);
    if (error) return {};
    deleteCount = static_cast<size_t>(std::clamp(wanted, 0.0, static_cast<double>(n - start)));
  }
  const Values items = values.size() > 2 ? values.subspan(2) : Values();
  if (!APMPArrayCanGrow(n - deleteCount, items.size(), error) || !APMPChargeWork(scope, n + items.size(), error)) return {};
  return Value(APMPObjectManager::arrayValueWithArray(array.spliceFrom(start, deleteCount, items), scope));
}

// The order of "sort" over the elements of a copy, by position: holes
// last, undefined just before them, the rest by the comparator's answer or
// by text form. The first error makes every later comparison "equal" and
// is reported after the sort. A text is its own key; any other element's
// text form is made once, when first compared, and kept, counted against
// the memory bound, until the sort ends.
class SortOrder {
 public:
  SortOrder(const std::vector<Value>& elements, APMPFunctionValue* comparator, APMPScope& scope,
            APMPWorkingBytes& working)
      : elements_(elements), comparator_(comparator), scope_(scope), working_(working) {}

  // Room for one key per element, when there is no comparator; false with
  // the error when the room cannot be had.
  bool prepare(ErrorRef& error) {
    if (comparator_) return true;
    if (!working_.take(elements_.size() * sizeof(const std::u16string*), error)) return false;
    keys_.assign(elements_.size(), nullptr);
    return true;
  }
  // Whether position b must come before position a: a stable merge only
  // moves an element forward past one that is strictly greater.
  bool before(uint32_t b, uint32_t a) { return compare(b, a) < 0; }
  const ErrorRef& error() const noexcept { return error_; }

 private:
  int compare(uint32_t i, uint32_t j) {
    const Value& a = elements_[i];
    const Value& b = elements_[j];
    if (error_) return 0;
    if (a.isHole() || b.isHole()) return a.isHole() - b.isHole();
    if (a.isUndefined() || b.isUndefined()) return a.isUndefined() - b.isUndefined();
    if (!APMPChargeWork(scope_, 1, error_)) return 0;
    if (comparator_) {
      const Value answer = call(*comparator_, {a, b}, scope_, error_);
      if (error_) return 0;
      const double order = APMPChargedNumber(answer, scope_, error_);
      if (error_ || !(order != 0)) return 0;
      return order < 0 ? -1 : 1;
    }
    const std::u16string* left = key(i);
    const std::u16string* right = key(j);
    if (!left || !right) return 0;
    const int order = APMPChargedTextOrder(*left, *right, scope_, error_);
    return error_ ? 0 : order;
  }

  // The key of the element at `index`: its text, or its text form, made
  // once and counted from then on.
  const std::u16string* key(uint32_t index) {
    const std::u16string*& key = keys_[index];
    if (key) return key;
    if ((key = elements_[index].text())) return key;
    APMPTextForm form = APMPChargedText(elements_[index], scope_, error_);
    if (error_ || !working_.take(sizeof(std::u16string) + APMPTextBytes(form.text()), error_)) return nullptr;
    key = &forms_.emplace_back(std::move(form).release());
    return key;
  }

  const std::vector<Value>& elements_;
  APMPFunctionValue* comparator_;
  APMPScope& scope_;
  APMPWorkingBytes& working_;
  std::vector<const std::u16string*> keys_;
  // Where they stay while the sort goes on.
  std::deque<std::u16string> forms_;
  ErrorRef error_;
};

// A bottom-up merge sort of positions: every access is within the copy
// whatever the order answers, so an inconsistent comparator can only give a
// strange order, never an out-of-bounds read.
std::vector<uint32_t> mergeSort(size_t n, SortOrder& order) {
  std::vector<uint32_t> run(n), merged(n);
  for (size_t i = 0; i < n; ++i) run[i] = static_cast<uint32_t>(i);
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t low = 0; low < n; low += 2 * width) {
      const size_t middle = std::min(low + width, n), high = std::min(low + 2 * width, n);
      size_t i = low, j = middle, out = low;
      while (i < middle && j < high) merged[out++] = order.before(run[j], run[i]) ? run[j++] : run[i++];
      while (i < middle) merged[out++] = run[i++];
      while (j < high) merged[out++] = run[j++];
    }
    run.swap(merged);
  }
  return run;
}

Value sort(APMPArrayValue& array, Values values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(values, 1, error)) return {};
  const APMPRef<APMPArrayValue> keep(&array);
  if (array.count() <= 1) return Value(keep);
  APMPFunctionValue* comparator = nullptr;
  if (!values.empty()) {
    comparator = values[0].asFunction();
    if (!comparator) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return Value(keep);
    }
  }
  if (!APMPChargeWork(scope, array.count(), error)) return {};
  // Reachable while the room is measured, before the copy holds its elements.
  const APMPActiveValues activeArray(&array);
  // The copy, the two lists of positions and the sorted list.
  const size_t n = array.count();
  APMPWorkingBytes working(scope);
  if (!working.take(n * (2 * sizeof(Value) + 2 * sizeof(uint32_t)), error)) return {};
  // The copy stays reachable through this frame: the comparator may remove
  // elements from the array and collect.
  const std::vector<Value> copy(array.elements().begin(), array.elements().end());
  const APMPActiveValues active(copy);
  SortOrder order(copy, comparator, scope, working);
  if (!order.prepare(error)) return {};
  const std::vector<uint32_t> permutation = mergeSort(copy.size(), order);
  // Written back over the positions sorted; positions the comparator
  // appended stay after them.
  APMPArrayValue::Elements sorted;
  sorted.reserve(std::max(copy.size(), array.count()));
  for (uint32_t position : permutation) sorted.push_back(copy[position]);
  APMPArrayValue::Elements& elements = array.elements();
  if (elements.size() > copy.size()) {
    sorted.insert(sorted.end(), std::make_move_iterator(elements.begin() + static_cast<ptrdiff_t>(copy.size())),
                  std::make_move_iterator(elements.end()));
  }
  elements.swap(sorted);
  sorted.clear();
  if (order.error()) {
    if (!error) error = order.error();
    return {};
  }
  return Value(keep);
}

// In the order scripts expect them listed.
constexpr APMPArrayCommandEvaluator::Entry kArrayMethods[] = {
    {u"concat", concat},
    {u"every", every},
    {u"filter", filter},
    {u"forEach", forEach},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"join", join},
    {u"lastIndexOf", lastIndexOf},
    {u"map", map},
    {u"pop", pop},
    {u"push", push},
    {u"reduce", reduce<1>},
    {u"reduceRight", reduce<-1>},
    {u"reverse", reverse},
    {u"shift", shift},
    {u"slice", slice},
    {u"some", some},
    {u"sort", sort},
    {u"splice", splice},
    {u"toString", toString},
    {u"unshift", unshift},
};

}  // namespace

bool APMPArrayCanGrow(size_t count, size_t added, ErrorRef& error) {
  if (added > kAPMPMaxArrayLength - std::min(count, kAPMPMaxArrayLength)) {
    APMPSetError(error, kAPMPErrorArrayLength);
    return false;
  }
  return true;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() : APMPMethodTable(kArrayMethods) {}

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator instance;
  return instance;
}
