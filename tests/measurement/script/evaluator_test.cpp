#include "measurement/script/evaluator.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <limits>
#include <set>

#include "script_test_support.h"

namespace script_test {
namespace {

TEST(EvaluatorTest, ExactInstructionBudget) {
  ScriptHarness h;
  APMPRef<APMPScope> scope = h.runtime.getRunScope();
  // 999,997 literals and an addition of two more make 1,000,000
  // evaluations; the next literal is the 1,000,001st.
  std::vector<Value> statements(999997, Value::number(1));
  statements.push_back(convert(stmt("0", {num(1), num(2)})));
  platform::ErrorRef error;
  h.runtime.resetInstructionCount();
  EXPECT_EQ(APMPEvaluator::executeStatements(statements, *scope, error).numberValue(), 3);
  EXPECT_FALSE(error);
  EXPECT_EQ(h.runtime.getInstructionCount(), 1000000);
  EXPECT_TRUE(APMPEvaluator::evaluateStatement(Value::number(1), *scope, error).isUndefined());
  EXPECT_EQ(code(error), 18);

  // Statements count too, and the failing evaluation does nothing else.
  error.reset();
  h.runtime.resetInstructionCount();
  statements.back() = Value::number(1);
  statements.resize(1000000, Value::number(1));
  statements.push_back(convert(stmt("assign", {str("ran"), num(1)})));
  APMPEvaluator::executeStatements(statements, *scope, error);
  EXPECT_EQ(code(error), 18);
  EXPECT_TRUE(h.runtime.globalScope().valueForName(u"ran").isUndefined());
}

// Programs that repeat native work the budget once undercharged: searches
// that took the product of two lengths, loop variables and parameters bound
// by the thousand, splits making a value per code unit. Each must end with
// error 18 after a bounded amount of that work (at the full scale of the
// texts, within a second of CPU); before, they ran for minutes to hours.
// A sixteenth of the budget is left, to keep the test short.
TEST(EvaluatorTest, RepeatedNativeWorkEndsWithinTheBudget) {
  const size_t n = 1 << 16;
  const std::string as(n, 'a'), half(n / 2, 'a');
  std::string accents, marksFirst, letters;
  for (size_t i = 0; i < n / 2; ++i) accents += "\xC3\xA9";            // precomposed e-acute
  for (size_t i = 0; i < n / 8; ++i) marksFirst += "\xCC\x81" "e";     // acute, e: never on a boundary
  for (size_t i = 0; i < n; ++i) letters += static_cast<char>('A' + i % 26);
  std::vector<Entity> variables;
  for (int i = 0; i < 4096; ++i) variables.push_back(str(concat({"v", std::to_string(i)})));
  const auto call = [](const char* method, std::vector<Entity> arguments) {
    return methodCall(variable("s"), method, std::move(arguments));
  };
  struct Case {
    const char* name;
    std::string text;  // bound to s
    Entity repeated;   // run until the budget ends it
    size_t maxRepetitions;
  };
  const size_t any = SIZE_MAX;
  const Case cases[] = {
      {"indexOf", as, call("indexOf", {str(half + "b")}), any},
      {"lastIndexOf", as, call("lastIndexOf", {str(half + "b")}), any},
      {"replace", as, call("replace", {str(half + "b"), str("x")}), any},
      {"split", as, call("split", {str(half + "b")}), any},
      {"equivalent indexOf", accents, call("indexOf", {str(accents.substr(0, n / 2) + "b")}), any},
      {"matches inside letters", accents, call("indexOf", {str(marksFirst)}), any},
      // Values and bindings made are charged one by one.
      {"split into units", as, call("split", {str("")}), 16},
      {"many parameters", letters,
       stmt("13", {assign("f", stmt("51", {str("f"), call("split", {str("")})})), stmt("f")}), 16},
      // Counted from inside: the loop never ends by itself.
      {"loop variables", "",
       stmt("63", {stmt("7", variables), boolean(true), num(0), list({declare("z"), stmt("record", {num(1)})})}),
       32},
  };
  for (const Case& c : cases) {
    ScriptHarness h;
    platform::ErrorRef error;
    h.run({let("s", str(c.text)), declare("f")}, &error);
    ASSERT_FALSE(error) << c.name;
    h.runtime.initialScope().workCount() = kAPMPWorkLimit - kAPMPWorkLimit / 16;
    h.runtime.executeStatements(
        std::vector<Entity>{stmt("42", {boolean(true), num(0), boolean(false),
                                        list({stmt("record", {num(1)}), c.repeated})})},
        &error);
    EXPECT_EQ(code(error), 18) << c.name;
    EXPECT_LE(h.recorded.size(), c.maxRepetitions) << c.name;
  }
}

TEST(EvaluatorTest, EveryAssignedOpcodeHasItsCommand) {
  const APMPCommandRegistrar& registrar = APMPCommandRegistrar::sharedInstance();
  for (int opcode = 0; opcode <= 66; ++opcode) {
    const bool unassigned = opcode == 11 || opcode == 14 || opcode == 31 || opcode == 48 || opcode == 49;
    EXPECT_EQ(registrar.handlerForFunctionName(u16(std::to_string(opcode))) == nullptr, unassigned) << opcode;
  }
  // No opcode belongs to two sets.
  const APMPBitwiseCommandEvaluator bitwise;
  const APMPComparisonCommandEvaluator comparison;
  const APMPControlCommandEvaluator control;
  const APMPLogicalCommandEvaluator logical;
  const APMPLoopCommandEvaluator loop;
  const APMPMathCommandEvaluator math;
  const APMPVariableCommandEvaluator variable;
  std::set<std::u16string> seen;
  for (const APMPCommandEvaluator* set : std::initializer_list<const APMPCommandEvaluator*>{
           &bitwise, &comparison, &control, &logical, &loop, &math, &variable}) {
    for (const std::u16string& opcode : set->allSupportedCommands()) EXPECT_TRUE(seen.insert(opcode).second);
  }
  EXPECT_EQ(seen.size(), 62u);
}

TEST(EvaluatorTest, NestingAndRecursionAreBounded) {
  ScriptHarness h;
  platform::ErrorRef error;
  // function f() { return f() }
  h.run({function("50", "f", {}, {stmt("36", {stmt("f")})}), stmt("f")}, &error);
  EXPECT_EQ(code(error), 18);

  // A tree deeper than the conversion limit fails to convert.
  Entity deep = num(1);
  for (int i = 0; i < kAPMPMaxProgramDepth + 1; ++i) deep = stmt("13", {deep});
  error.reset();
  EXPECT_TRUE(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(deep, &error).isUndefined());
  EXPECT_EQ(code(error), 18);
  // One at the limit converts and runs.
  Entity fits = num(1);
  for (int i = 0; i < kAPMPMaxProgramDepth; ++i) fits = stmt("13", {fits});
  error.reset();
  EXPECT_EQ(h.eval(fits, &error).numberValue(), 1);
  EXPECT_FALSE(error);
}

TEST(EvaluatorTest, RecursionStopsWithinAOneMegabyteStack) {
  // Each program recurses without end, through plain calls or through the
  // natives that call back into scripts (whose frames are far larger than a
  // call's); every one must stop with error 18 long before a 1 MB thread
  // stack (a quarter of what the worker threads get) runs out, sanitizers
  // included.
  const Entity comparator = function("51", "", {"a", "b"}, {stmt("36", {stmt("f", {num(1)})})});
  const std::vector<std::vector<Entity>> programs = {
      // f(a) { return f(if (1) (a, 1) else 2) }
      {function("50", "f", {"a"},
                {stmt("36", {stmt("f", {stmt("22", {num(1), stmt("13", {variable("a"), num(1)}), num(2)})})})}),
       stmt("f", {num(1)})},
      // f() { return [2, 1].sort((a, b) => f()) }
      {function("50", "f", {"a"}, {stmt("36", {methodCall(stmt("7", {num(2), num(1)}), "sort", {comparator})})}),
       stmt("f", {num(1)})},
      // f() { [1].forEach(f) }
      {function("50", "f", {"a"}, {methodCall(stmt("7", {num(1)}), "forEach", {variable("f")})}),
       stmt("f", {num(1)})},
      // f() { return "a".replace("a", f) }
      {function("50", "f", {"a"}, {stmt("36", {methodCall(str("a"), "replace", {str("a"), variable("f")})})}),
       stmt("f", {num(1)})},
  };
  struct Run {
    const std::vector<Entity>* program;
    long code = 0;
  };
  for (const std::vector<Entity>& program : programs) {
    Run run{&program};
    auto body = [](void* argument) -> void* {
      Run& run = *static_cast<Run*>(argument);
      ScriptHarness h;
      platform::ErrorRef error;
      h.run(*run.program, &error);
      run.code = code(error);
      return nullptr;
    };
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, body, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(run.code, 18) << &program - programs.data();
  }
}

TEST(EvaluatorTest, WhatARuntimeHoldsIsBounded) {
  ScriptHarness h;
  // keep = []; for 50 times: keep.push(s.split("")) over a text of 65,536
  // units: about 200 MiB held, three times the bound.
  const std::vector<Entity> hoard = {
      let("s", str(std::string(65536, 'a'))), let("keep", stmt("7")), let("j", num(0)),
      stmt("42", {stmt("23", {variable("j"), num(50)}), assign("j", stmt("0", {variable("j"), num(1)})), boolean(false),
                  list({methodCall(variable("keep"), "push", {methodCall(variable("s"), "split", {str("")})})})})};
  platform::ErrorRef error;
  h.run(hoard, &error);
  EXPECT_EQ(code(error), 18);
  EXPECT_LE(h.runtime.objectManager().collectGarbageAndMeasure(), kAPMPMaxLiveBytes);
  // The runtime serves the next runs, and they get the memory back once
  // the values are dropped.
  error.reset();
  h.run({assign("keep", stmt("45")), methodCall(variable("s"), "split", {str("")})}, &error);
  EXPECT_FALSE(error);
  EXPECT_LT(h.runtime.objectManager().collectGarbageAndMeasure(), size_t{1} << 20);

  // A failed allocation ends the run that made it, with the same error,
  // however deep it happens.
  h.bind("exhaust", [](auto, APMPScope&, auto&) -> Value { throw std::bad_alloc(); });
  error.reset();
  h.run({function("50", "f", {}, {stmt("36", {methodCall(stmt("7", {num(2), num(1)}), "sort",
                                                           {function("51", "", {"a", "b"}, {stmt("exhaust")})})})}),
         stmt("f")},
        &error);
  EXPECT_EQ(code(error), 18);
  error.reset();
  EXPECT_EQ(h.run({stmt("0", {num(1), num(2)})}, &error).numberValue(), 3);
  EXPECT_FALSE(error);
}

TEST(EvaluatorTest, EntityConversion) {
  platform::ErrorRef error;
  Entity unnamed;
  unnamed.type = kAPMPEntityStatement;
  unnamed.value.push_back(num(1));
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(unnamed, &error);
  EXPECT_EQ(code(error), 14);
  for (int32_t type : {0, 5, 7, -1}) {
    Entity entity;
    entity.type = type;
    error.reset();
    APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &error);
    EXPECT_EQ(code(error), 12) << type;
  }
  error.reset();
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(stmt("13", {num(1), stmt("22", {Entity{}})}), &error);
  EXPECT_EQ(code(error), 12);

  Entity empty;
  empty.type = kAPMPEntityNumber;
  EXPECT_TRUE(std::isnan(convert(empty).numberValue()));
  empty.type = kAPMPEntityString;
  EXPECT_EQ(text(convert(empty)), "");
  empty.type = kAPMPEntityBoolean;
  EXPECT_FALSE(convert(empty).booleanValue());
  // Invalid UTF-8 becomes U+FFFD.
  EXPECT_EQ(convert(str("a\xFF")).asString()->value(), u"a\uFFFD");
  // Opcodes resolve when converted; other names call script functions.
  EXPECT_NE(convert(stmt("22")).asStatement()->handler(), nullptr);
  EXPECT_EQ(convert(stmt("11")).asStatement()->handler(), nullptr);
}

TEST(EvaluatorTest, CommandSetsAndRegistrar) {
  const APMPControlCommandEvaluator control;
  const APMPComparisonCommandEvaluator comparison;
  EXPECT_EQ(control.allSupportedCommands(),
            (std::vector<std::u16string>{u"2", u"4", u"5", u"6", u"9", u"13", u"22", u"36", u"38", u"39", u"46", u"50",
                                         u"51", u"53"}));
  EXPECT_EQ(comparison.allSupportedCommands().size(), 8u);
  const APMPCommandRegistrar& registrar = APMPCommandRegistrar::sharedInstance();
  for (const auto* set : {static_cast<const APMPCommandEvaluator*>(&control), static_cast<const APMPCommandEvaluator*>(&comparison)}) {
    for (const std::u16string& opcode : set->allSupportedCommands()) {
      EXPECT_NE(registrar.handlerForFunctionName(opcode), nullptr);
    }
  }
  for (const char16_t* unassigned : {u"11", u"14", u"31", u"48", u"49", u"67", u"022", u""}) {
    EXPECT_EQ(registrar.handlerForFunctionName(unassigned), nullptr);
  }
  // A set answers undefined for an opcode it does not hold.
  APMPRef<APMPScope> scope = APMPScope::make();
  platform::ErrorRef error;
  EXPECT_TRUE(control.evaluateCommand(u"12", {}, *scope, error).isUndefined());
  EXPECT_FALSE(error);
  EXPECT_EQ(control.evaluateCommand(u"4", {}, *scope, error).type(), Value::Type::Break);
}

TEST(EvaluatorTest, CallsByName) {
  ScriptHarness h;
  platform::ErrorRef error;
  h.run({stmt("declare", {str("n"), num(4)})});
  EXPECT_TRUE(h.eval(stmt("n", {num(1)}), &error).isUndefined());
  EXPECT_TRUE(h.eval(stmt("unbound"), &error).isUndefined());
  EXPECT_TRUE(h.eval(stmt("14"), &error).isUndefined());
  EXPECT_FALSE(error);
  // Arguments are evaluated in the caller's scope; missing ones are
  // undefined, surplus ones ignored.
  h.run({function("50", "pair", {"a", "b"}, {stmt("record", {stmt("get", {str("a")}), stmt("get", {str("b")})})})});
  h.eval(stmt("pair", {num(1)}));
  h.eval(stmt("pair", {num(2), num(3), stmt("record", {str("surplus")})}));
  ASSERT_EQ(h.recorded.size(), 5u);
  EXPECT_TRUE(h.recorded[1].isUndefined());
  EXPECT_EQ(text(h.recorded[2]), "surplus");
  EXPECT_EQ(h.recorded[4].numberValue(), 3);
}

TEST(EvaluatorTest, PlatformObjectConversions) {
  ScriptHarness h;
  APMPScope& scope = h.runtime.globalScope();
  platform::ErrorRef error;
  using platform::Object;
  EXPECT_TRUE(APMPRuntimeEntityConverter::runtimeValueFromNSObject(Object(true), scope).isBoolean());
  EXPECT_EQ(APMPRuntimeEntityConverter::runtimeValueFromNSObject(Object(1), scope).numberValue(), 1);
  EXPECT_TRUE(APMPRuntimeEntityConverter::runtimeValueFromNSObject(Object(), scope).isNull());
  const Value map = APMPRuntimeEntityConverter::runtimeValueFromNSObject(
      Object(Object::Dictionary{{"list", Object(Object::Array{Object("a"), Object(2.5)})}}), scope);
  ASSERT_NE(map.asMap(), nullptr);
  EXPECT_EQ(map.asMap()->objectManager(), &h.runtime.objectManager());
  EXPECT_EQ(text(map.asMap()->valueForProperty(u"list")), "a,2.5");
  APMPRuntimeEntityConverter::runtimeValueFromNSObject(Object(platform::Bytes{1}), scope, &error);
  EXPECT_EQ(code(error), 13);

  // Back to platform objects.
  const APMPRef<APMPMapValue> source = APMPObjectManager::mapValueWithScope(scope);
  source->setValue(Value::null(), u"gone");
  source->setValue(Value(), u"empty");
  source->setValue(Value::string(u"007"), u"digits");
  source->setValue(Value::string(u"abc"), u"letters");
  source->setValue(Value::boolean(true), u"flag");
  source->setValue(Value(APMPMake<APMPArrayValue>(std::vector<Value>{Value::number(1), Value::null(), Value::hole()})),
                   u"list");
  error.reset();
  const Object::Dictionary dictionary = APMPRuntimeEntityConverter::dictionaryFromMapValue(Value(source), &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(dictionary.count("gone"), 0u);
  EXPECT_EQ(dictionary.at("empty"), Object(""));
  EXPECT_EQ(dictionary.at("digits"), Object(7.0));
  EXPECT_EQ(dictionary.at("letters"), Object("abc"));
  EXPECT_EQ(dictionary.at("flag"), Object(1.0));
  EXPECT_EQ(dictionary.at("list"), Object(Object::Array{Object(1.0), Object("")}));
  EXPECT_EQ(APMPRuntimeEntityConverter::objectFromRuntimeValue(Value::number(std::nan(""))), Object("NaN"));
  APMPRuntimeEntityConverter::objectFromRuntimeValue(APMPControlValue::breakValue(), &error);
  EXPECT_EQ(code(error), 5);

  // A map holding itself, and nesting past the limit, fail instead of
  // recursing.
  source->setValue(Value(source), u"self");
  error.reset();
  APMPRuntimeEntityConverter::objectFromRuntimeValue(Value(source), &error);
  EXPECT_EQ(code(error), 10);
  source->sweep();
  Value nested(APMPMake<APMPMapValue>());
  for (int i = 0; i < kAPMPMaxValueNesting + 1; ++i) {
    auto outer = APMPMake<APMPMapValue>();
    outer->setValue(nested, u"inner");
    nested = Value(outer);
  }
  error.reset();
  APMPRuntimeEntityConverter::objectFromRuntimeValue(nested, &error);
  EXPECT_EQ(code(error), 18);
}

TEST(EvaluatorTest, SharedRoutines) {
  EXPECT_EQ(APMPToInt32(-1), -1);
  EXPECT_EQ(APMPToInt32(4294967296.0 + 2), 2);
  EXPECT_EQ(APMPToInt32(-4294967296.0 - 2), -2);
  EXPECT_EQ(APMPToInt32(3000000000.0), 2147483647);
  EXPECT_EQ(APMPToInt32(-3000000000.0), -2147483647 - 1);
  EXPECT_EQ(APMPToInt32(-0.5), 0);
  EXPECT_EQ(APMPToInt32(7.9), 7);
  EXPECT_EQ(APMPToInt32(std::nan("")), 0);
  EXPECT_EQ(APMPToInt32(-std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(APMPToInt32(1e300), 0);  // a multiple of 2^32
  EXPECT_EQ(APMPToInteger(std::nan("")), 0);
  EXPECT_EQ(APMPToInteger(-2.7), -2);
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.0)));
  EXPECT_TRUE(std::isinf(APMPToInteger(std::numeric_limits<double>::infinity())));
  EXPECT_TRUE(APMPIsArrayIndex(Value::number(3)));
  EXPECT_TRUE(APMPIsArrayIndex(Value::string(u"01")));
  EXPECT_FALSE(APMPIsArrayIndex(Value::string(u"1.5")));
  EXPECT_FALSE(APMPIsArrayIndex(Value::number(-1)));
  EXPECT_FALSE(APMPIsArrayIndex(Value::boolean(true)));
  EXPECT_FALSE(APMPIsArrayIndex(Value::number(std::numeric_limits<double>::infinity())));
  const Value list[] = {Value(), Value()};
  platform::ErrorRef error;
  EXPECT_TRUE(APMPCheckMinArgumentCount(list, 2, error) && APMPCheckMaxArgumentCount(list, 2, error));
  EXPECT_FALSE(APMPCheckArgumentCount(list, 1, error));
  EXPECT_EQ(code(error), 9);
}

}  // namespace
}  // namespace script_test
