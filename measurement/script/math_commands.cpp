// The math command set: arithmetic in doubles, concatenation, and two
// pass-through forms. Every command evaluates all its arguments first; a
// wrong number of values is error 9, and operands convert first before
// second, the first failing conversion ending the command.
#include <cmath>

#include "measurement/script/number_commands.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

double negate(double a) { return -a; }
double add(double a, double b) { return a + b; }
double subtract(double a, double b) { return a - b; }
double multiply(double a, double b) { return a * b; }
double divide(double a, double b) { return a / b; }
// Truncated division's remainder, with the sign of the dividend; a zero
// divisor or an infinite dividend gives NaN, an infinite divisor the
// dividend.
double remainder(double a, double b) { return std::fmod(a, b); }

// "0": the sum of the number forms, unless either value has methods (a
// string, array, map or function): then their text forms, concatenated.
// The texts are charged as they are copied, and the result is bounded in
// length (error 18): doubling a text in a loop reaches any size within the
// instruction budget.
Value plus(std::span<const Value> values, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return {};
  if (!APMPValueHasMethods(values[0]) && !APMPValueHasMethods(values[1])) {
    return APMPBinaryNumberCommand<add>(values, scope, error);
  }
  APMPTextForm leftForm, rightForm;
  const std::u16string* left = APMPChargedTextView(values[0], leftForm, scope, error);
  if (!left) return {};
  const std::u16string* right = APMPChargedTextView(values[1], rightForm, scope, error);
  if (!right) return {};
  const std::u16string_view pieces[] = {*left, *right};
  return APMPChargedConcatenation(pieces, scope, error);
}

// "34", "35": the one value, unconverted.
Value itself(std::span<const Value> values, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  return values[0];
}

// "32", "33": the first of two values; the second was evaluated for its
// effects.
Value first(std::span<const Value> values, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return {};
  return values[0];
}

constexpr APMPCommandEntry kMathCommands[] = {
    {u"0", APMPWithEvaluatedArguments<plus>},
    {u"10", APMPBinaryNumberRoutine<divide>},
    {u"25", APMPBinaryNumberRoutine<remainder>},
    {u"26", APMPBinaryNumberRoutine<multiply>},
    {u"27", APMPUnaryNumberRoutine<negate>},
    {u"37", APMPBinaryNumberRoutine<subtract>},
    {u"34", APMPWithEvaluatedArguments<itself>},
    {u"35", APMPWithEvaluatedArguments<itself>},
    {u"32", APMPWithEvaluatedArguments<first>},
    {u"33", APMPWithEvaluatedArguments<first>},
};

}  // namespace

APMPMathCommandEvaluator::APMPMathCommandEvaluator() : APMPCommandEvaluator(kMathCommands) {}
