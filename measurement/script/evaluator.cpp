// The evaluation loop, the command registrar and the shared routines.
#include "measurement/script/evaluator.h"

#include <algorithm>
#include <cmath>

#include "platform/numbers.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

constinit thread_local int gAPMPNestedEvaluations = 0;

Value APMPEvaluator::callByName(const APMPStatementValue& statement, APMPScope& scope, ErrorRef& error) {
  return APMPFunctionEvaluator::evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}

Value APMPEvaluator::executeStatements(std::span<const Value> statements, APMPScope& scope, ErrorRef& error) {
  Value result;
  for (const Value& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (error) return {};
    if (result.isControl()) break;
  }
  return result;
}

Value APMPEvaluator::executeStatements(APMPArrayValue& statements, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPArrayValue> keep(&statements);
  const APMPActiveValues active(&statements);
  Value result;
  for (size_t i = 0; i < statements.count(); ++i) {
    const Value statement = statements.elementAt(i);
    result = evaluateStatement(statement, scope, error);
    if (error) return {};
    if (result.isControl()) break;
  }
  return result;
}

void APMPValueList::spill(Value value) {
  if (spilled_.empty()) {
    spilled_.reserve(2 * kInline);
    for (size_t i = 0; i < size_; ++i) spilled_.push_back(std::move(inlineData()[i]));
    std::destroy_n(inlineData(), size_);
  }
  spilled_.push_back(std::move(value));
  ++size_;
  active_.hold(span());
}

bool APMPEvaluateArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error,
                           APMPValueList& values) {
  for (const Value& argument : arguments) {
    values.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (error) return false;
  }
  return true;
}

int32_t APMPToInt32(double value) {
  if (!std::isfinite(value)) return 0;
  // fmod keeps the dividend's sign: a remainder, not a floor modulo.
  return platform::saturatingCast<int32_t>(std::fmod(std::trunc(value), 4294967296.0));
}

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}

bool APMPValueHasMethods(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
    case Value::Type::Array:
    case Value::Type::Map:
    case Value::Type::Function:
      return true;
    default:
      return false;
  }
}

bool APMPIsArrayIndex(const Value& value) {
  if (!value.isNumber() && !value.asString()) return false;
  ErrorRef error;
  const double number = value.doubleValueOrError(error);
  return !error && std::isfinite(number) && number >= 0 && std::trunc(number) == number;
}

Value APMPCommandEvaluator::evaluateCommand(std::u16string_view opcode, std::span<const Value> arguments,
                                            APMPScope& scope, ErrorRef& error) const {
  for (const APMPCommandEntry& entry : handlers_) {
    if (entry.opcode == opcode) return entry.handler(arguments, scope, error);
  }
  return {};
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::u16string> opcodes;
  for (const APMPCommandEntry& entry : handlers_) opcodes.emplace_back(entry.opcode);
  return opcodes;
}

Value APMPFunctionEvaluator::evaluateCommand(std::u16string_view functionName, std::span<const Value> arguments,
                                             APMPScope& scope, ErrorRef& error) {
  const Value callee = scope.valueForName(functionName);
  APMPFunctionValue* function = callee.asFunction();
  if (!function) return {};
  // Evaluating the arguments may unbind the name.
  const APMPActiveValues active(function);
  return function->invokeWithArguments(arguments, scope, error);
}

APMPCommandRegistrar::APMPCommandRegistrar() {
  // The sets in their order of registration; no opcode is in two of them.
  registerEvaluator(APMPBitwiseCommandEvaluator());
  registerEvaluator(APMPComparisonCommandEvaluator());
  registerEvaluator(APMPControlCommandEvaluator());
  registerEvaluator(APMPLogicalCommandEvaluator());
  registerEvaluator(APMPLoopCommandEvaluator());
  registerEvaluator(APMPMathCommandEvaluator());
  registerEvaluator(APMPVariableCommandEvaluator());
}

const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  // Never destroyed: statements point at its opcode texts and may outlive
  // the destruction of statics at exit.
  static const APMPCommandRegistrar* const registrar = new APMPCommandRegistrar();
  return *registrar;
}

void APMPCommandRegistrar::registerEvaluator(const APMPCommandEvaluator& evaluator) {
  for (const APMPCommandEntry& entry : evaluator.handlers()) {
    commandEvaluators_.insert_or_assign(std::u16string(entry.opcode), entry.handler);
  }
  for (const Command& command : commandEvaluators_) {
    const std::u16string& text = command.first;
    const bool digits = !text.empty() && text.size() <= 2 &&
                        std::all_of(text.begin(), text.end(), [](char16_t unit) { return unit >= u'0' && unit <= u'9'; });
    // "05" is a function name, not the opcode "5".
    if (digits && (text.size() == 1 || text[0] != u'0')) {
      byNumber_[text.size() == 1 ? text[0] - u'0' : (text[0] - u'0') * 10 + (text[1] - u'0')] = &command;
    }
  }
}

APMPCommandHandler APMPCommandRegistrar::handlerForFunctionName(std::u16string_view functionName) const {
  const auto* command = commandForFunctionName(functionName);
  return command ? command->second : nullptr;
}

const std::pair<const std::u16string, APMPCommandHandler>* APMPCommandRegistrar::commandForUtf8Name(
    std::string_view functionName) const {
  auto digit = [&](size_t i) { return functionName[i] >= '0' && functionName[i] <= '9'; };
  if (functionName.size() == 1 && digit(0)) return byNumber_[functionName[0] - '0'];
  if (functionName.size() == 2 && digit(0) && digit(1) && functionName[0] != '0') {
    return byNumber_[(functionName[0] - '0') * 10 + (functionName[1] - '0')];
  }
  // Every opcode is ASCII; any other name goes through the table.
  std::u16string text;
  for (char unit : functionName) {
    if (static_cast<unsigned char>(unit) >= 0x80) return nullptr;
    text.push_back(static_cast<char16_t>(unit));
  }
  return commandForFunctionName(text);
}

const std::pair<const std::u16string, APMPCommandHandler>* APMPCommandRegistrar::commandForFunctionName(
    std::u16string_view functionName) const {
  auto it = commandEvaluators_.find(functionName);
  return it == commandEvaluators_.end() ? nullptr : &*it;
}
