// The comparison command set: loose and strict equality and the orderings.
// Each command takes exactly two arguments, evaluates both, and answers one
// of the two shared booleans (undefined with the error set on failure).
#include <cmath>

#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"

using Value = APMPRuntimeValue;
using Type = APMPRuntimeValue::Type;
using platform::ErrorRef;

namespace {

// Loose equality compares by the lower of the two values' tiers.
int tier(const Value& value) {
  switch (value.type()) {
    case Type::Undefined:
    case Type::Null:
      return 0;
    case Type::Number:
    case Type::Boolean:
      return 1;
    case Type::String:
      return 2;
    default:
      return 3;
  }
}

bool looseEquals(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  const bool aIsLower = tier(a) <= tier(b);
  const Value& low = aIsLower ? a : b;
  const Value& high = aIsLower ? b : a;
  switch (tier(low)) {
    case 0:
      return tier(high) == 0;
    case 1: {
      const double x = APMPChargedNumber(low, scope, error);
      const double y = APMPChargedNumber(high, scope, error);
      return !error && x == y;
    }
    case 2: {
      if (high.text()) return APMPChargedStrictEquals(low, high, scope, error);
      const APMPTextForm y = APMPChargedText(high, scope, error);
      return !error && APMPChargeTextComparison(*low.text(), y.text(), scope, error) && *low.text() == y.text();
    }
    default:
      return low.isSameObject(high);
  }
}

bool looseDiffers(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return !looseEquals(a, b, scope, error);
}

bool strictEquals(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return APMPChargedStrictEquals(a, b, scope, error);
}
bool strictDiffers(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return !APMPChargedStrictEquals(a, b, scope, error);
}

// -1, 0 or 1; a failed conversion answers 1 with the error set. Values with
// methods compare by text in the platform's default text order (canonically
// equivalent texts are equal); anything else by number, where NaN is
// neither smaller nor equal.
int compare(const Value& x, const Value& y, APMPScope& scope, ErrorRef& error) {
  if (APMPValueHasMethods(x) && APMPValueHasMethods(y)) {
    APMPTextForm leftForm, rightForm;
    const std::u16string* left = APMPChargedTextView(x, leftForm, scope, error);
    if (!left) return 1;
    const std::u16string* right = APMPChargedTextView(y, rightForm, scope, error);
    if (!right) return 1;
    return APMPChargedTextOrder(*left, *right, scope, error);
  }
  const double a = APMPChargedNumber(x, scope, error);
  if (error) return 1;
  const double b = APMPChargedNumber(y, scope, error);
  if (error) return 1;
  if (a == b) return 0;
  return a < b ? -1 : 1;
}

bool lessThan(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return compare(a, b, scope, error) == -1;
}
bool lessOrEqual(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return compare(a, b, scope, error) <= 0;
}
bool greaterThan(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return compare(b, a, scope, error) == -1;
}
bool greaterOrEqual(const Value& a, const Value& b, APMPScope& scope, ErrorRef& error) {
  return compare(b, a, scope, error) <= 0;
}

// Texts compared and conversions made are charged to the work budget.
using Comparison = bool (*)(const Value&, const Value&, APMPScope&, ErrorRef&);

template <Comparison Compare>
Value comparison(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return {};
  const Value a = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return {};
  // Kept whole while the second operand runs, whatever it collects.
  const APMPActiveValues held(std::span<const Value>(&a, 1));
  const Value b = APMPEvaluator::evaluateStatement(arguments[1], scope, error);
  if (error) return {};
  const bool result = Compare(a, b, scope, error);
  if (error) return {};
  return Value::boolean(result);
}

constexpr APMPCommandEntry kComparisonCommands[] = {
    {u"12", comparison<looseEquals>},  {u"29", comparison<looseDiffers>},
    {u"20", comparison<strictEquals>}, {u"21", comparison<strictDiffers>},
    {u"23", comparison<lessThan>},     {u"24", comparison<lessOrEqual>},
    {u"18", comparison<greaterThan>},  {u"19", comparison<greaterOrEqual>},
};

}  // namespace

bool APMPStrictEquals(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Type::Number:
    case Type::Boolean: {
      ErrorRef ignored;
      return a.doubleValueOrError(ignored) == b.doubleValueOrError(ignored);
    }
    case Type::String:
      return *a.text() == *b.text();
    default:
      return a.isSameObject(b);
  }
}

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() : APMPCommandEvaluator(kComparisonCommands) {}
