// The logical command set: and and or with short-circuit, and not. The
// routines receive their arguments unevaluated; and and or answer one of
// their operands itself, not a boolean.
#include "measurement/script/evaluator.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

// "1" (`EvaluateSecondWhen` true) and "30" (false): the first operand
// itself, unless its truth value asks for the second.
template <bool EvaluateSecondWhen>
Value shortCircuit(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return {};
  Value first = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return {};
  const bool truth = first.booleanValueOrError(error);
  if (error) return {};
  if (truth != EvaluateSecondWhen) return first;
  Value second = APMPEvaluator::evaluateStatement(arguments[1], scope, error);
  if (error) return {};
  return second;
}

// "28": the shared boolean of the opposite truth.
Value logicalNot(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return {};
  const Value value = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return {};
  const bool truth = value.booleanValueOrError(error);
  if (error) return {};
  return Value::boolean(!truth);
}

constexpr APMPCommandEntry kLogicalCommands[] = {
    {u"1", shortCircuit<true>},
    {u"28", logicalNot},
    {u"30", shortCircuit<false>},
};

}  // namespace

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator() : APMPCommandEvaluator(kLogicalCommands) {}
