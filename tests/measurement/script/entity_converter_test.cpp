// Program conversion: how a converted program lies in memory, how long its
// parts live, where a list's conversion error is reported, and how function
// names resolve to opcodes.
#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

// The statements under `value` in the order evaluation meets them.
void preorder(const Value& value, std::vector<const APMPStatementValue*>& out) {
  const APMPStatementValue* statement = value.asStatement();
  if (!statement) return;
  out.push_back(statement);
  for (const Value& argument : statement->arguments()) preorder(argument, out);
}

Entity line(double n) {
  return stmt("22", {stmt("23", {num(n), num(n + 1)}), stmt("39", {boolean(true), stmt("20", {str("a"), str("a")}), num(0)}),
                     stmt("13", {stmt("29", {num(n), str("x")}), stmt("12", {num(n), num(n)})})});
}

TEST(EntityConverterTest, AProgramLiesInEvaluationOrder) {
  const std::vector<Entity> program{line(1), num(7), line(2), stmt("f", {line(3)})};
  const APMPConvertedStatements converted = APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(program);
  ASSERT_FALSE(converted.error);
  ASSERT_EQ(converted.values.size(), program.size());
  std::vector<const APMPStatementValue*> statements;
  for (const Value& value : converted.values) preorder(value, statements);
  ASSERT_EQ(statements.size(), 3 * 7 + 1u);
  // Each statement starts where the one before it (and its arguments) ends.
  for (size_t i = 1; i < statements.size(); ++i) {
    const auto* previous = reinterpret_cast<const char*>(statements[i - 1]);
    EXPECT_EQ(reinterpret_cast<const char*>(statements[i]),
              previous + APMPStatementBlock::statementBytes(statements[i - 1]->arguments().size()))
        << "statement " << i;
  }
  // Equal texts share one string value.
  const auto& compare = *statements[3];  // "20" of the first line
  EXPECT_EQ(compare.arguments()[0].cell(), compare.arguments()[1].cell());
  EXPECT_EQ(compare.arguments()[0].cell(), statements[10]->arguments()[0].cell());
}

TEST(EntityConverterTest, PartsOfAProgramOutliveIt) {
  Value inner;
  {
    const APMPConvertedStatements converted = APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(
        std::vector<Entity>{line(1), stmt("0", {str("b"), stmt("0", {num(1), num(2)})})});
    inner = converted.values[1].asStatement()->arguments()[1];
  }
  ScriptHarness h;
  platform::ErrorRef error;
  EXPECT_EQ(text(APMPEvaluator::evaluateStatement(inner, h.runtime.globalScope(), error)), "3");

  // A function keeps its body after the program that declared it is gone.
  EXPECT_EQ(text(h.runtime.executeStatements(
                std::vector<Entity>{function("50", "twice", {"x"}, {stmt("36", {stmt("26", {variable("x"), num(2)})})})},
                &error)),
            "twice");
  h.runtime.collectGarbage();
  EXPECT_EQ(text(h.runtime.executeStatements(std::vector<Entity>{stmt("twice", {num(21)})}, &error)), "42");
  EXPECT_FALSE(error);
}

TEST(EntityConverterTest, AListReportsItsFirstErrorWhereTheRunReachesIt) {
  Entity unnamed = stmt("x");
  unnamed.name.reset();
  Entity unknown;
  unknown.type = 7;
  Entity deep = num(1);
  for (int i = 0; i < kAPMPMaxProgramDepth; ++i) deep = stmt("34", {std::move(deep)});
  Entity deepest = stmt("34", {deep});
  struct Case {
    std::vector<Entity> program;
    size_t converted;
    long error;
    bool declared;  // the declaration before the failure ran
  };
  const Case cases[] = {
      {{let("v", num(1)), unnamed, unknown}, 1, 14, true},
      {{let("v", num(1)), stmt("13", {num(1), unknown})}, 1, 12, true},
      // An evaluation error before the entity that does not convert wins.
      {{stmt("4", {num(1)}), let("v", num(1)), unknown}, 2, 9, false},
      {{deep, let("v", num(1)), deepest}, 2, 18, true},
      {{let("v", num(1)), deep}, 2, 0, true},
  };
  for (const Case& c : cases) {
    const APMPConvertedStatements converted = APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(c.program);
    EXPECT_EQ(converted.values.size(), c.converted);
    ScriptHarness h;
    platform::ErrorRef error;
    const Value answer = h.runtime.executeStatements(c.program, &error);
    EXPECT_EQ(code(error), c.error) << c.converted;
    EXPECT_EQ(h.runtime.globalScope().hasName(u"v"), c.declared) << c.converted;
    EXPECT_TRUE(!error || answer.isUndefined());
  }
}

TEST(EntityConverterTest, OnlyOpcodeTextsNameCommands) {
  const APMPCommandRegistrar& registrar = APMPCommandRegistrar::sharedInstance();
  struct Case {
    const char* name;
    const char16_t* opcode;  // null: a call of a script function
  };
  const Case cases[] = {{"0", u"0"},   {"5", u"5"},     {"22", u"22"},  {"66", u"66"}, {"05", nullptr},
                        {"11", nullptr}, {"67", nullptr}, {"100", nullptr}, {"", nullptr},  {"5 ", nullptr},
                        {"require", nullptr}, {"\xD9\xA5", nullptr}};
  for (const Case& c : cases) {
    const auto* command = registrar.commandForUtf8Name(c.name);
    const Value statement = convert(stmt(c.name));
    ASSERT_NE(statement.asStatement(), nullptr);
    if (c.opcode) {
      ASSERT_NE(command, nullptr) << c.name;
      EXPECT_EQ(command, registrar.commandForFunctionName(c.opcode));
      EXPECT_EQ(statement.asStatement()->handler(), command->second);
    } else {
      EXPECT_EQ(command, nullptr) << c.name;
      EXPECT_EQ(statement.asStatement()->handler(), nullptr) << c.name;
      EXPECT_EQ(statement.asStatement()->functionName(), u16(c.name));
    }
  }
}

}  // namespace
}  // namespace script_test
