// The control command set: method calls, statement lists and blocks, break,
// continue and return, if, switch, the conditional expression, sequences
// and function definitions. Its routines receive their arguments
// unevaluated and evaluate what they need.
//
// Control values travel outward through statement lists, blocks and ifs
// until something consumes them: loops take break and continue, a switch
// takes break, a function turns return into its data, and a sequence
// refuses them all (error 10).
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

Value evaluate(const Value& value, APMPScope& scope, ErrorRef& error) {
  return APMPEvaluator::evaluateStatement(value, scope, error);
}

// The routine of "7", the array literal: a method call whose argument array
// is written as one takes the elements as they are evaluated, without
// making the array (which the callee could never reach).
APMPCommandHandler arrayLiteralCommand() {
  static const APMPCommandHandler handler = APMPCommandRegistrar::sharedInstance().handlerForFunctionName(u"7");
  return handler;
}

// Evaluates an array literal's elements into `values` as evaluating the
// literal and taking a call's arguments from it would: one count for the
// literal, its elements one level deeper, the array and the copy charged.
// True when no error is set.
bool evaluateLiteralElements(const APMPStatementValue& literal, APMPScope& scope, ErrorRef& error,
                             APMPValueList& values) {
  if (!APMPCountInstruction(scope, error) || !APMPCanNestEvaluation(error)) return false;
  const size_t before = values.size();
  {
    const APMPNestedEvaluation nesting;
    if (!APMPEvaluateArguments(literal.arguments(), scope, error, values)) return false;
  }
  return APMPChargeWork(scope, 2 * uint64_t{values.size() - before}, error);
}

// "2": target, method name, argument array.
Value methodCall(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return {};
  APMPValueList values;
  const APMPStatementValue* literal = arguments[2].asStatement();
  if (literal && literal->handler() == arrayLiteralCommand()) {
    if (!APMPEvaluateArguments(arguments.first(2), scope, error, values) ||
        !evaluateLiteralElements(*literal, scope, error, values)) {
      return {};
    }
    const std::u16string* name = values[1].text();
    if (!name) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return {};
    }
    if (!APMPChargeNameLookup(*name, scope, error)) return {};
    return values[0].applyWithName(*name, values.span().subspan(2), scope, error);
  }
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  const std::u16string* name = values[1].text();
  const APMPArrayValue* list = values[2].asArray();
  if (!name || !list) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  // The method is looked up by its name (a map hashes it); the arguments
  // are copied, for the call may change the array they came from.
  if (!APMPChargeNameLookup(*name, scope, error) || !APMPChargeWork(scope, list->count(), error)) return {};
  const std::vector<Value> callArguments = list->allElements();
  const APMPActiveValues active(callArguments);
  return values[0].applyWithName(*name, callArguments, scope, error);
}

Value breakCommand(std::span<const Value> arguments, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 0, error)) return {};
  return APMPControlValue::breakValue();
}

Value continueCommand(std::span<const Value> arguments, APMPScope&, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 0, error)) return {};
  return APMPControlValue::continueValue();
}

// Runs the statements of a statement list ("46") where they stand, counted
// as evaluating the list; false when `argument` is no such list.
bool runInPlace(const Value& argument, APMPScope& scope, ErrorRef& error, Value& result) {
  const APMPStatementValue* list = APMPStatementListIn(argument);
  if (!list) return false;
  result = APMPCountInstruction(scope, error, &argument)
               ? APMPEvaluator::executeStatements(list->arguments(), scope, error)
               : Value();
  return true;
}

// "5" and "9": runs an array of statements in the current scope.
Value runList(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return {};
  if (Value result; runInPlace(arguments[0], scope, error, result)) return result;
  const Value list = evaluate(arguments[0], scope, error);
  if (error) return {};
  APMPArrayValue* statements = list.asArray();
  if (!statements) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  return APMPEvaluator::executeStatements(*statements, scope, error);
}

// "53": the arguments themselves, run in a new child scope.
Value block(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPScope> child = scope.createChildScope();
  return APMPEvaluator::executeStatements(arguments, *child, error);
}

// "13": evaluates in order and answers the last; control values are refused.
Value sequence(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMinArgumentCount(arguments, 1, error)) return {};
  Value last;
  for (const Value& argument : arguments) {
    last = evaluate(argument, scope, error);
    if (error) return {};
    if (last.isControl()) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return {};
    }
  }
  return last;
}

// The index of the argument chosen by the truth of the first, or 0 with the
// error set.
size_t choose(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  const Value condition = evaluate(arguments[0], scope, error);
  if (error) return 0;
  const bool truth = condition.booleanValueOrError(error);
  if (error) return 0;
  return truth ? 1 : 2;
}

// "22": condition, then-branch, else-branch; a branch that is an array of
// statements runs in the current scope.
Value ifCommand(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMinArgumentCount(arguments, 1, error) || !APMPCheckMaxArgumentCount(arguments, 3, error)) return {};
  const size_t chosen = choose(arguments, scope, error);
  if (error || chosen >= arguments.size()) return {};
  if (Value result; runInPlace(arguments[chosen], scope, error, result)) return result;
  const Value branch = evaluate(arguments[chosen], scope, error);
  if (error) return {};
  if (APMPArrayValue* statements = branch.asArray()) return APMPEvaluator::executeStatements(*statements, scope, error);
  return branch;
}

// "39": condition, value if true, value if false; nothing is executed.
Value conditional(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return {};
  const size_t chosen = choose(arguments, scope, error);
  if (error) return {};
  Value result = evaluate(arguments[chosen], scope, error);
  if (error) return {};
  return result;
}

// "36": a new return value carrying the optional argument's value.
Value returnCommand(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMaxArgumentCount(arguments, 1, error)) return {};
  // Nothing can collect between the evaluation and the wrapping.
  Value data;
  if (!arguments.empty()) {
    data = evaluate(arguments[0], scope, error);
    if (error) return {};
  }
  return APMPControlValue::returnValueWithData(std::move(data));
}

// "51" and the first steps of "50": the name (the text form of the first
// argument as it stands), the parameter names (an evaluated array) and the
// body (the remaining arguments, unevaluated), closing over `scope`.
APMPRef<APMPFunctionValue> makeFunction(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMinArgumentCount(arguments, 2, error)) return nullptr;
  APMPTextForm name = APMPChargedText(arguments[0], scope, error);
  if (error) return nullptr;
  const Value parameterList = evaluate(arguments[1], scope, error);
  if (error) return nullptr;
  const APMPArrayValue* parameters = parameterList.asArray();
  if (!parameters) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return nullptr;
  }
  // Each name is a binding in every call; making them is charged here, and
  // every call charges its own.
  // The list of their values and their text forms are counted until the
  // function holds its own copies; the list stays whole if that measures.
  const APMPActiveValues heldList(std::span<const Value>(&parameterList, 1));
  APMPWorkingBytes counted(scope);
  if (!APMPChargeWork(scope, parameters->count() * kAPMPValueWork, error) ||
      !counted.take(parameters->count() * sizeof(Value), error)) {
    return nullptr;
  }
  std::vector<std::u16string> parameterNames = APMPChargedTexts(parameters->allElements(), counted, scope, error);
  if (error) return nullptr;
  return APMPObjectManager::functionValueWithFunctionName(std::move(name).release(), std::move(parameterNames),
                                                          std::vector<Value>(arguments.begin() + 2, arguments.end()),
                                                          APMPRef<APMPScope>(&scope));
}

Value functionExpression(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  return Value(makeFunction(arguments, scope, error));
}

// "50": as "51", and the function is assigned to its name.
Value functionDeclaration(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPFunctionValue> function = makeFunction(arguments, scope, error);
  if (!function) return {};
  const Value value(function);
  scope.setValue(value, function->functionName());
  return value;
}

// "38": discriminant, array of case expressions, array of bodies (one per
// case, then optionally the default body). Cases are compared strictly
// until one matches; from there every body runs (fall-through) until a
// break or another control value ends the switch. A case without a body
// (a body list shorter than the case list) has an empty body. The lists are
// read in place, not copied: a switch over long stored lists costs what its
// counted evaluations cost. Their lengths are taken once; an entry removed
// meanwhile reads as undefined.
Value switchCommand(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return {};
  APMPValueList values;
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  const APMPArrayValue* cases = values[1].asArray();
  const APMPArrayValue* bodies = values[2].asArray();
  if (!cases || !bodies) {
    APMPSetError(error, kAPMPErrorArgumentCount);
    return {};
  }
  const size_t caseCount = cases->count();
  const size_t bodyCount = bodies->count();
  bool matched = false;
  for (size_t i = 0; i < caseCount; ++i) {
    if (!matched) {
      const Value candidate = evaluate(cases->elementAt(i), scope, error);
      if (error) return {};
      if (!APMPChargedStrictEquals(candidate, values[0], scope, error)) {
        if (error) return {};
        continue;
      }
      matched = true;
    }
    if (i >= bodyCount) continue;
    const Value result = evaluate(bodies->elementAt(i), scope, error);
    if (error) return {};
    if (result.type() == Value::Type::Break) return {};
    if (result.isControl()) return result;
  }
  if (bodyCount == caseCount + 1) {
    Value result = evaluate(bodies->elementAt(caseCount), scope, error);
    if (error) return {};
    if (result.isControl() && result.type() != Value::Type::Break) return result;
  }
  return {};
}

}  // namespace

// "46": the arguments, unevaluated, as an array. The copy is charged, as a
// loop condition that is a long list copies it at every pass for one
// count: eight units a statement, for it is copied twice, retained and
// later released, and the statements of a list are often one shared
// literal whose count every copy updates in turn (some 6 ns a statement).
Value APMPStatementListCommand(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  constexpr uint64_t kListCopyWork = 8;
  if (!APMPChargeWork(scope, kAPMPValueWork + kListCopyWork * uint64_t{arguments.size()}, error)) return {};
  // Copied straight into the array's own storage, in one pass.
  const APMPRef<APMPArrayValue> array = APMPObjectManager::arrayValueWithScope(scope);
  array->elements().assign(arguments.begin(), arguments.end());
  return Value(array);
}

namespace {

constexpr APMPCommandEntry kControlCommands[] = {
    {u"2", methodCall},          {u"4", breakCommand},     {u"5", runList},
    {u"6", continueCommand},     {u"9", runList},          {u"13", sequence},
    {u"22", ifCommand},          {u"36", returnCommand},   {u"38", switchCommand},
    {u"39", conditional},        {u"46", APMPStatementListCommand},
    {u"50", functionDeclaration}, {u"51", functionExpression}, {u"53", block},
};

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator() : APMPCommandEvaluator(kControlCommands) {}
