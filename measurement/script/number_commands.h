// Command routines over the number forms of their values, shared by the math
// and bitwise sets: exactly one or two values (else error 9), converted
// first before second (the first failing conversion answers undefined with
// its error), the operation's double answered as a number value. Reading a
// number from a text or an array is charged to the work budget.
#pragma once

#include <span>

#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"

inline double APMPNumberOperand(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error) {
  return value.isNumber() ? value.numberValue() : APMPChargedNumber(value, scope, error);
}

template <double (*Operation)(double)>
APMPRuntimeValue APMPUnaryNumberCommand(std::span<const APMPRuntimeValue> values, APMPScope& scope,
                                        platform::ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return {};
  const double a = APMPNumberOperand(values[0], scope, error);
  if (error) return {};
  return APMPRuntimeValue::number(Operation(a));
}

template <double (*Operation)(double, double)>
APMPRuntimeValue APMPBinaryNumberCommand(std::span<const APMPRuntimeValue> values, APMPScope& scope,
                                         platform::ErrorRef& error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return {};
  const double a = APMPNumberOperand(values[0], scope, error);
  if (error) return {};
  const double b = APMPNumberOperand(values[1], scope, error);
  if (error) return {};
  return APMPRuntimeValue::number(Operation(a, b));
}

// The routine of a set that evaluates its arguments first.
template <double (*Operation)(double)>
inline constexpr APMPCommandHandler APMPUnaryNumberRoutine =
    APMPWithEvaluatedArguments<APMPUnaryNumberCommand<Operation>>;
template <double (*Operation)(double, double)>
inline constexpr APMPCommandHandler APMPBinaryNumberRoutine =
    APMPWithEvaluatedArguments<APMPBinaryNumberCommand<Operation>>;
