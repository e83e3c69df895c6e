// The loop command set: iteration over property names ("47", "54", "55")
// and over elements ("64", "65", "66"), the counted loop ("63") and the
// while loop ("42"). The routines receive their arguments unevaluated.
//
// A loop ends by its condition, by a break (answering undefined), by a
// return (whose control value it answers, so that it leaves the enclosing
// function), by an error, or by the instruction budget. Item lists and
// bodies are taken once, before the first iteration: what the body adds is
// not visited, what it removes still is. Items and body statements are
// charged to the work budget, one unit each.
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"

using Value = APMPRuntimeValue;
using Type = APMPRuntimeValue::Type;
using platform::ErrorRef;

namespace {

// Runs one pass of the body in `scope`. False when the loop must stop, with
// `answer` set to what the loop answers: undefined after an error or a
// break, the control value of a return.
bool runBody(std::span<const Value> body, APMPScope& scope, ErrorRef& error, Value& answer) {
  Value outcome = APMPEvaluator::executeStatements(body, scope, error);
  if (error || outcome.type() == Type::Break) return false;
  if (outcome.type() == Type::Return) {
    answer = std::move(outcome);
    return false;
  }
  return true;
}

// The statements of a loop's body, taken once: those of a statement list
// ("46") where they stand, else a copy of the elements of the array the
// body argument evaluates to (holes read as undefined). Charged one unit a
// statement either way.
class Body {
 public:
  Body() : held_(std::span<const Value>()) {}
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  // Evaluates the body argument (a statement list is only counted).
  bool evaluate(const Value& argument, APMPScope& scope, ErrorRef& error) {
    list_ = APMPStatementListIn(argument);
    if (list_) return APMPCountInstruction(scope, error, &argument);
    value_ = APMPEvaluator::evaluateStatement(argument, scope, error);
    held_.hold({&value_, 1});
    return !error;
  }
  // Takes the statements; error 10 when the value is no array.
  bool take(APMPScope& scope, ErrorRef& error) {
    if (list_) {
      statements_ = list_->arguments();
      return APMPChargeWork(scope, statements_.size(), error);
    }
    const APMPArrayValue* array = value_.asArray();
    if (!array) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return false;
    }
    if (!APMPChargeWork(scope, array->count(), error)) return false;
    copy_ = array->allElements();
    held_.hold(copy_);
    statements_ = copy_;
    return true;
  }
  std::span<const Value> statements() const noexcept { return statements_; }

 private:
  const APMPStatementValue* list_ = nullptr;
  Value value_;
  std::vector<Value> copy_;
  std::span<const Value> statements_;
  APMPActiveValues held_;
};

// The truth value of `condition` evaluated in `scope`; false with the error
// set on failure.
bool holds(const Value& condition, APMPScope& scope, ErrorRef& error) {
  // A statement list would be a new array, which is true whatever it
  // holds: counted, and not made.
  if (APMPStatementListIn(condition)) return APMPCountInstruction(scope, error, &condition);
  const Value value = APMPEvaluator::evaluateStatement(condition, scope, error);
  if (error) return false;
  return value.booleanValueOrError(error);
}

// The items of a loop, fixed before its first iteration. A string's items
// (its positions, or its code units) are made one at a time as the loop
// reaches them, each charged to the work budget as a value made: a string
// cannot change, and a text of millions of units would otherwise become
// millions of values at once. Other items are copied into a list, charged
// one unit each (and names made into values before, as values made).
class Items {
 public:
  Items() : held_(std::span<const Value>()) {}
  size_t size() const noexcept { return text_ ? text_->size() : list_.size(); }
  // Item `i`; undefined with error 18 once the budget is spent.
  Value at(size_t i, APMPScope& scope, ErrorRef& error) const {
    if (!text_) return list_[i];
    if (!APMPChargeWork(scope, kAPMPValueWork, error)) return {};
    if (positions_) return Value::string(APMPNumberText(static_cast<double>(i)));
    return Value::string(std::u16string(1, (*text_)[i]));
  }

  // `text` belongs to a value the loop holds for as long as it runs.
  void fromText(const std::u16string& text, bool positions) {
    text_ = &text;
    positions_ = positions;
  }
  // Room for a list of `count` items about to be made, each made into a
  // value of `made` bytes too: the list is counted for as long as the loop
  // runs, the values only until `fromList` (they then count themselves).
  bool makeRoom(size_t count, size_t made, APMPScope& scope, ErrorRef& error) {
    made_ = count * made;
    return counted_.emplace(scope).take(count * sizeof(Value) + made_, error);
  }
  // The list's making was charged, and its room taken, before it was made.
  bool fromList(std::vector<Value> list) {
    list_ = std::move(list);
    held_.hold(list_);
    if (counted_) counted_->giveBack(made_);
    return true;
  }

 private:
  const std::u16string* text_ = nullptr;
  bool positions_ = false;
  std::vector<Value> list_;
  APMPActiveValues held_;
  std::optional<APMPWorkingBytes> counted_;
  size_t made_ = 0;
};

// Charges making the names of `map`, and `indexes` decimal indexes, into
// values listed: each a value made, and the names' code units copied.
bool chargeNames(const APMPPropertyMap& map, size_t indexes, APMPScope& scope, ErrorRef& error) {
  if (!APMPChargeWork(scope, kAPMPValueWork * (map.count() + indexes), error)) return false;
  uint64_t units = 0;
  for (const APMPPropertyMap::Entry& entry : map.entries()) units += entry.name.size();
  return APMPChargeWork(scope, units, error);
}

// "47", "54", "55": a string's positions as decimal strings; an array's
// named properties, then the indexes of its elements that are not holes; a
// map's or function's property names; nothing for other values.
bool propertyNames(const Value& target, APMPScope& scope, Items& items, ErrorRef& error) {
  if (const std::u16string* text = target.text()) {
    items.fromText(*text, true);
    return true;
  }
  // Each name a string value of its own; an index's text is short enough
  // to be kept inside it.
  constexpr size_t kNameBytes = sizeof(APMPStringValue);
  if (const APMPArrayValue* array = target.asArray()) {
    const size_t count = array->propertyMap().count() + array->count();
    return chargeNames(array->propertyMap(), array->count(), scope, error) &&
           items.makeRoom(count, kNameBytes, scope, error) && items.fromList(array->allPropertyNames());
  }
  const APMPPropertyCarrierValue* carrier = target.asPropertyCarrier();
  if (!carrier) return true;
  return chargeNames(carrier->propertyMap(), 0, scope, error) &&
         items.makeRoom(carrier->propertyMap().count(), kNameBytes, scope, error) &&
         items.fromList(carrier->propertyMap().allNameValues());
}

// "64", "65", "66": a string's code units as one-unit strings, an array's
// elements (holes read as undefined); error 16 for anything else.
bool elements(const Value& target, APMPScope& scope, Items& items, ErrorRef& error) {
  if (const std::u16string* text = target.text()) {
    items.fromText(*text, false);
    return true;
  }
  if (const APMPArrayValue* array = target.asArray()) {
    return APMPChargeWork(scope, array->count(), error) && items.makeRoom(array->count(), 0, scope, error) &&
           items.fromList(array->allElements());
  }
  APMPSetError(error, kAPMPErrorNotIterable);
  return false;
}

// Where each item is bound: in the current scope by assignment, or in a
// fresh child scope per iteration as a constant or as a variable.
enum class Binding { Assigned, Constant, Variable };

using ItemSource = bool (*)(const Value&, APMPScope&, Items&, ErrorRef&);

// Variable name, target, body.
template <ItemSource Source, Binding Bind>
Value itemLoop(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return {};
  APMPValueList values;
  Body bodyStatements;
  if (!APMPEvaluateArguments(arguments.first(2), scope, error, values) ||
      !bodyStatements.evaluate(arguments[2], scope, error)) {
    return {};
  }
  const APMPTextForm nameForm = APMPChargedText(values[0], scope, error);
  if (error) return {};
  const std::u16string& name = nameForm;
  Items items;
  if (!Source(values[1], scope, items, error) || !bodyStatements.take(scope, error)) return {};
  const std::span<const Value> body = bodyStatements.statements();
  // A scope of its own for each item is made and binds the name, whether
  // or not the body (which may be empty) counts any evaluation.
  const uint64_t iterationWork = Bind == Binding::Assigned ? 0 : kAPMPBindingWork + name.size();
  Value answer;
  for (size_t i = 0; i < items.size(); ++i) {
    Value item = items.at(i, scope, error);
    if (error) return {};
    if constexpr (Bind == Binding::Assigned) {
      scope.setValue(std::move(item), name);
      if (!runBody(body, scope, error, answer)) return answer;
    } else {
      if (!APMPChargeWork(scope, iterationWork, error)) return {};
      const APMPRef<APMPScope> iteration = scope.createChildScope();
      if constexpr (Bind == Binding::Constant) {
        iteration->addImmutableValue(std::move(item), name);
      } else {
        iteration->addValue(std::move(item), name);
      }
      if (!runBody(body, *iteration, error, answer)) return answer;
    }
  }
  return {};
}

// Whether a scope's own bindings are `count` variables and nothing else
// (the loop variables, none of them made a constant).
bool bindsOnly(const APMPPropertyMap& contents, size_t count) {
  if (contents.isImmutable() || contents.count() != count) return false;
  for (const APMPPropertyMap::Entry& entry : contents.entries()) {
    if (entry.immutable) return false;
  }
  return true;
}

// "63": variable names, condition, update, body. Each iteration runs in a
// fresh child scope of the current scope holding copies of the loop
// variables; the copies for the next iteration are taken before the update
// runs, so a closure made in one iteration keeps that iteration's values.
Value countedLoop(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 4, error)) return {};
  const Value variables = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (error) return {};
  const APMPArrayValue* variableList = variables.asArray();
  if (!variableList) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  // The names are read before the body is evaluated, so a body that
  // changes the list cannot change them.
  // The names' list and their text forms are counted for as long as the
  // loop runs; the list stays whole if that measures.
  const APMPActiveValues heldList(std::span<const Value>(&variables, 1));
  APMPWorkingBytes counted(scope);
  if (!APMPChargeWork(scope, variableList->count(), error) ||
      !counted.take(variableList->count() * sizeof(Value), error)) {
    return {};
  }
  const std::vector<Value> nameValues = variableList->allElements();
  const APMPActiveValues heldNames(nameValues);
  Body bodyStatements;
  if (!bodyStatements.evaluate(arguments[3], scope, error) || !bodyStatements.take(scope, error)) return {};
  const std::span<const Value> body = bodyStatements.statements();
  const std::vector<std::u16string> names = APMPChargedTexts(nameValues, counted, scope, error);
  if (error) return {};

  const uint64_t copyWork = APMPBindingWork(names);
  // Null with error 18 when the budget cannot pay for the copies.
  auto copyVariables = [&](const APMPScope& from) -> APMPRef<APMPScope> {
    if (!APMPChargeWork(scope, copyWork, error)) return nullptr;
    APMPRef<APMPScope> next = scope.createChildScope();
    next->reserveBindings(names.size());
    for (const std::u16string& name : names) next->addValue(from.valueForName(name), name);
    return next;
  };
  APMPRef<APMPScope> iteration = copyVariables(scope);
  if (!iteration || !holds(arguments[1], *iteration, error)) return {};
  Value answer;
  while (runBody(body, *iteration, error, answer)) {
    // Nothing but this loop holds the finished iteration's scope (no
    // closure kept it) and it binds only the loop variables: a fresh copy
    // would be indistinguishable from it, so it serves as it stands. The
    // test reads every binding, and is charged as such.
    if (!APMPChargeWork(scope, names.size(), error)) return {};
    if (iteration->referenceCount() != 1 || !bindsOnly(iteration->contents(), names.size())) {
      iteration = copyVariables(*iteration);
      if (!iteration) return {};
    }
    APMPEvaluator::evaluateStatement(arguments[2], *iteration, error);
    if (error || !holds(arguments[1], *iteration, error)) return {};
  }
  return answer;
}

// "42": condition, update, first-pass flag, body, all in the current scope.
// With the flag set the body runs once before the first test, without the
// update after it.
Value whileLoop(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckArgumentCount(arguments, 4, error)) return {};
  const bool firstPass = holds(arguments[2], scope, error);
  if (error) return {};
  Body bodyStatements;
  if (!bodyStatements.evaluate(arguments[3], scope, error) || !bodyStatements.take(scope, error)) return {};
  const std::span<const Value> body = bodyStatements.statements();
  Value answer;
  if (firstPass && !runBody(body, scope, error, answer)) return answer;
  while (holds(arguments[0], scope, error)) {
    if (!runBody(body, scope, error, answer)) return answer;
    APMPEvaluator::evaluateStatement(arguments[1], scope, error);
    if (error) return {};
  }
  return {};
}

constexpr APMPCommandEntry kLoopCommands[] = {
    {u"47", itemLoop<propertyNames, Binding::Assigned>},
    {u"54", itemLoop<propertyNames, Binding::Constant>},
    {u"55", itemLoop<propertyNames, Binding::Variable>},
    {u"63", countedLoop},
    {u"64", itemLoop<elements, Binding::Assigned>},
    {u"65", itemLoop<elements, Binding::Constant>},
    {u"66", itemLoop<elements, Binding::Variable>},
    {u"42", whileLoop},
};

}  // namespace

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator() : APMPCommandEvaluator(kLoopCommands) {}
