// Helpers for the script runtime tests: program-tree builders, natives
// backed by lambdas, and a runtime with a few host functions bound in its
// global scope (the variable and map commands arrive with later command
// sets; these stand in for them).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "measurement/messages/nano_accessors.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"
#include "measurement/script/script_text.h"
#include "tests/support/text_concat.h"

namespace script_test {

using Value = APMPRuntimeValue;
using Entity = APMPProgramEntity;

// The wire form of a program tree, field for field.
inline std::shared_ptr<APMPBRuntimeEntity> toMessage(const Entity& entity) {
  auto message = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  if (entity.type != 0) APMNanoSetInt32(*message, RuntimeEntityField::type, entity.type);
  if (entity.name) APMNanoSetString(*message, RuntimeEntityField::name, *entity.name);
  if (entity.stringValue) APMNanoSetString(*message, RuntimeEntityField::string_value, *entity.stringValue);
  if (entity.booleanValue) APMNanoSetBool(*message, RuntimeEntityField::boolean_value, *entity.booleanValue);
  if (entity.numberValue) APMNanoSetDouble(*message, RuntimeEntityField::number_value, *entity.numberValue);
  if (!entity.value.empty()) {
    std::vector<APMNanoValue> operands;
    for (const Entity& operand : entity.value) operands.emplace_back(toMessage(operand));
    APMNanoSetRepeated(*message, RuntimeEntityField::value, &operands);
  }
  return message;
}

// A program message of these instructions and no activities.
inline std::shared_ptr<APMPBProgram> programMessage(const std::vector<Entity>& instructions) {
  std::vector<APMNanoValue> messages;
  for (const Entity& instruction : instructions) messages.emplace_back(toMessage(instruction));
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  APMNanoSetRepeated(*program, ProgramField::instructions, &messages);
  return program;
}

inline Entity num(double value) { return Entity::number(value); }
inline Entity str(std::string text) { return Entity::string(std::move(text)); }
inline Entity boolean(bool value) { return Entity::boolean(value); }
inline Entity stmt(std::string name, std::vector<Entity> operands = {}) {
  return Entity::statement(std::move(name), std::move(operands));
}
// "46": an unevaluated statement list.
inline Entity list(std::vector<Entity> statements) { return stmt("46", std::move(statements)); }
// "51"/"50": a function of `parameters` with `body`.
inline Entity function(const char* opcode, std::string name, std::vector<std::string> parameters,
                       std::vector<Entity> body) {
  std::vector<Entity> names;
  for (auto& p : parameters) names.push_back(str(p));
  std::vector<Entity> operands{str(std::move(name)), list(std::move(names))};
  for (auto& b : body) operands.push_back(std::move(b));
  return stmt(opcode, std::move(operands));
}

// The variable commands over literal names.
inline Entity variable(std::string name) { return stmt("15", {str(std::move(name))}); }
inline Entity declare(std::string name) { return stmt("41", {str(std::move(name))}); }
inline Entity assign(std::string name, Entity value) { return stmt("3", {str(std::move(name)), std::move(value)}); }
inline Entity let(std::string name, Entity value) {
  return stmt("13", {declare(name), assign(name, std::move(value))});
}
inline Entity getProperty(Entity target, Entity property) { return stmt("16", {std::move(target), std::move(property)}); }
inline Entity setProperty(Entity target, Entity property, Entity value) {
  return stmt("43", {std::move(target), std::move(property), std::move(value)});
}
// "2": the method `name` of `target`, called with an array literal of
// `arguments`.
inline Entity methodCall(Entity target, std::string name, std::vector<Entity> arguments) {
  return stmt("2", {std::move(target), str(std::move(name)), stmt("7", std::move(arguments))});
}

inline Value convert(const Entity& entity) {
  platform::ErrorRef error;
  Value value = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &error);
  if (error) throw std::runtime_error("conversion failed");
  return value;
}

inline std::u16string u16(const std::string& text) { return script_text::toUtf16(text); }
inline std::string text(const Value& value) {
  platform::ErrorRef error;
  return script_text::toUtf8(value.stringValueOrError(error));
}
// Values as text for expectations: arrays as [positions] with holes "_"
// and undefined "u", strings quoted, anything else by its text form.
inline std::string show(const Value& value) {
  if (const APMPArrayValue* array = value.asArray()) {
    std::string out = "[";
    for (size_t i = 0; i < array->count(); ++i) {
      const Value& e = array->elements()[i];
      if (i) out += ' ';
      out += e.isHole() ? std::string("_") : e.isUndefined() ? std::string("u") : show(e);
    }
    return out + "]";
  }
  if (value.text()) return concat({"'", text(value), "'"});
  return text(value);
}
inline long code(const platform::ErrorRef& error) { return error ? error->code() : 0; }

// A native whose body is a lambda over its evaluated arguments.
class TestNative final : public APMPFunctionValue {
 public:
  using Body = std::function<Value(std::span<const Value> values, APMPScope& scope, platform::ErrorRef& error)>;
  TestNative(std::string name, Body body, int* destroyed = nullptr)
      : APMPFunctionValue(u16(name)), body_(std::move(body)), destroyed_(destroyed) {}
  ~TestNative() override {
    if (destroyed_) ++*destroyed_;
  }
  Value invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, platform::ErrorRef& error) override {
    APMPValueList values;
    if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
    return body_(values, scope, error);
  }

 private:
  Body body_;
  int* destroyed_;
};

// A runtime with host functions in its global scope:
//   get(name)            the variable's value in the caller's scope chain
//   declare(name, value) a declaration in the caller's scope
//   assign(name, value)  an assignment from the caller's scope
//   newMap()             a new tracked map
//   setp(map, key, v)    stores a property; getp(map, key) reads one
//   record(v...)         appends the values to `recorded`
class ScriptHarness {
 public:
  ScriptHarness() {
    bind("get", [](auto v, APMPScope& scope, auto&) { return scope.valueForName(nameOf(v, 0)); });
    bind("declare", [](auto v, APMPScope& scope, auto&) {
      scope.addValue(v.size() > 1 ? v[1] : Value(), nameOf(v, 0));
      return Value();
    });
    bind("assign", [](auto v, APMPScope& scope, auto&) {
      scope.setValue(v.size() > 1 ? v[1] : Value(), nameOf(v, 0));
      return Value();
    });
    bind("newMap", [](auto, APMPScope& scope, auto&) { return Value(APMPObjectManager::mapValueWithScope(scope)); });
    bind("setp", [](auto v, APMPScope&, auto&) {
      if (APMPMapValue* map = v.size() == 3 ? v[0].asMap() : nullptr) map->setValue(v[2], nameOf(v, 1));
      return Value();
    });
    bind("getp", [](auto v, APMPScope&, auto&) {
      APMPMapValue* map = v.size() == 2 ? v[0].asMap() : nullptr;
      return map ? map->valueForProperty(nameOf(v, 1)) : Value();
    });
    bind("record", [this](auto v, APMPScope&, auto&) {
      for (const Value& value : v) recorded.push_back(value);
      return Value();
    });
  }

  void bind(std::string name, TestNative::Body body) {
    runtime.globalScope().addValue(Value(APMPMake<TestNative>(name, std::move(body))), u16(name));
  }

  Value run(std::vector<Entity> program, platform::ErrorRef* error = nullptr) {
    runtime.resetInstructionCount();
    return runtime.executeStatements(program, error);
  }
  // Evaluates one tree in `scope` (a run scope when none is given).
  Value eval(const Entity& entity, platform::ErrorRef* error = nullptr, APMPScope* scope = nullptr) {
    platform::ErrorRef failure;
    APMPRef<APMPScope> runScope = runtime.getRunScope();
    runtime.resetInstructionCount();
    Value result = APMPEvaluator::evaluateStatement(convert(entity), scope ? *scope : *runScope, failure);
    if (failure && error) *error = failure;
    return result;
  }

  APMPRuntime runtime;
  std::vector<Value> recorded;

 private:
  static std::u16string nameOf(std::span<const Value> values, size_t i) {
    platform::ErrorRef ignored;
    return i < values.size() ? values[i].stringValueOrError(ignored) : std::u16string();
  }
};

// A statement and the error code its evaluation must fail with.
struct ExpectedFailure {
  Entity statement;
  long code;
};
// Evaluates each statement in a run scope of `h`: it must answer undefined
// with its error code.
inline void expectFailures(ScriptHarness& h, std::span<const ExpectedFailure> failures) {
  for (const ExpectedFailure& f : failures) {
    platform::ErrorRef error;
    EXPECT_TRUE(h.eval(f.statement, &error).isUndefined()) << *f.statement.name;
    EXPECT_EQ(code(error), f.code) << *f.statement.name;
  }
}

}  // namespace script_test
