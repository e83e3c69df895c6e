#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

// switch (d) with the given case values and bodies; each body records its
// index and ends with `ending` when given.
Entity switchOver(Entity discriminant, std::vector<double> cases, size_t bodies, std::map<size_t, Entity> endings = {}) {
  std::vector<Entity> caseList, bodyList;
  for (double c : cases) caseList.push_back(num(c));
  for (size_t i = 0; i < bodies; ++i) {
    std::vector<Entity> statements{stmt("record", {num(double(i))})};
    if (endings.count(i)) statements.push_back(endings[i]);
    bodyList.push_back(stmt("53", statements));
  }
  return stmt("38", {std::move(discriminant), list(caseList), list(bodyList)});
}

std::vector<double> numbers(const std::vector<Value>& values) {
  std::vector<double> out;
  for (const Value& v : values) out.push_back(v.numberValue());
  return out;
}

TEST(ControlCommandsTest, FunctionsAnswerReturnsOrTheirLastValue) {
  ScriptHarness h;
  platform::ErrorRef error;
  h.run({function("50", "last", {}, {num(1), str("implicit")}),
         function("50", "early", {}, {stmt("22", {boolean(true), list({stmt("36", {num(7)}), num(8)})}), num(9)}),
         function("50", "bare", {}, {stmt("36")}), function("50", "leaks", {}, {stmt("4"), num(1)}),
         function("50", "empty", {}, {})},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(text(h.eval(stmt("last"))), "implicit");
  EXPECT_EQ(h.eval(stmt("early")).numberValue(), 7);
  EXPECT_TRUE(h.eval(stmt("bare")).isUndefined());
  EXPECT_EQ(h.eval(stmt("leaks")).type(), Value::Type::Break);
  EXPECT_TRUE(h.eval(stmt("empty")).isUndefined());
  // A function expression is not bound; a declaration is, in the current scope.
  EXPECT_NE(h.eval(function("51", "anon", {"x"}, {})).asFunction(), nullptr);
  EXPECT_TRUE(h.runtime.globalScope().valueForName(u"anon").isUndefined());
  Entity badParameters = function("51", "bad", {}, {});
  badParameters.value[1] = str("x");
  h.eval(badParameters, &error);
  EXPECT_EQ(code(error), 10);
  error.reset();
  h.eval(stmt("51", {str("f")}), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  h.eval(stmt("50", {stmt("get", {str("f")}), list({})}), &error);
  EXPECT_EQ(code(error), 5);  // a name that is a statement has no text form
}

TEST(ControlCommandsTest, ControlValuesTravelUntilConsumed) {
  ScriptHarness h;
  platform::ErrorRef error;
  EXPECT_EQ(h.eval(stmt("5", {list({num(1), stmt("6"), num(2)})})).type(), Value::Type::Continue);
  EXPECT_EQ(h.eval(stmt("53", {stmt("22", {num(1), stmt("4")}), num(2)})).type(), Value::Type::Break);
  EXPECT_EQ(h.eval(stmt("9", {list({num(1), num(2)})})).numberValue(), 2);
  h.eval(stmt("13", {num(1), stmt("4")}), &error);
  EXPECT_EQ(code(error), 10);
  error.reset();
  h.eval(stmt("13"), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  EXPECT_EQ(h.eval(stmt("13", {num(1), str("b")})).asString()->value(), u"b");
  h.eval(stmt("4", {num(1)}), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  h.eval(stmt("5", {num(1)}), &error);
  EXPECT_EQ(code(error), 10);
  error.reset();
  h.eval(stmt("36", {num(1), num(2)}), &error);
  EXPECT_EQ(code(error), 9);
}

TEST(ControlCommandsTest, IfAndConditional) {
  ScriptHarness h;
  platform::ErrorRef error;
  EXPECT_TRUE(h.eval(stmt("22", {boolean(false), num(1)})).isUndefined());
  EXPECT_EQ(h.eval(stmt("22", {str(""), num(1), num(2)})).numberValue(), 2);
  // A branch list runs in the current scope: its declarations stay visible.
  APMPRef<APMPScope> scope = h.runtime.getRunScope();
  h.eval(stmt("22", {num(1), list({stmt("declare", {str("seen"), num(5)})})}), nullptr, scope.get());
  EXPECT_EQ(scope->contents().valueForName(u"seen").numberValue(), 5);
  // A block's declarations do not leak.
  h.eval(stmt("53", {stmt("declare", {str("hidden"), num(1)})}), nullptr, scope.get());
  EXPECT_FALSE(scope->hasName(u"hidden"));
  // The conditional expression answers arrays without running them.
  EXPECT_NE(h.eval(stmt("39", {num(1), list({stmt("record", {num(1)})}), num(2)})).asArray(), nullptr);
  EXPECT_TRUE(h.recorded.empty());
  h.eval(stmt("22"), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  h.eval(stmt("22", {stmt("4"), num(1)}), &error);
  EXPECT_EQ(code(error), 3);
}

TEST(ControlCommandsTest, SwitchFallsThroughUntilBreak) {
  ScriptHarness h;
  platform::ErrorRef error;
  // The second case matches: bodies 1, 2 and the default run.
  h.eval(switchOver(num(2), {1, 2, 3}, 4), &error);
  EXPECT_EQ(numbers(h.recorded), (std::vector<double>{1, 2, 3}));
  h.recorded.clear();
  // A break in body 1 ends the switch before the default.
  EXPECT_TRUE(h.eval(switchOver(num(2), {1, 2, 3}, 4, {{1, stmt("4")}})).isUndefined());
  EXPECT_EQ(numbers(h.recorded), (std::vector<double>{1}));
  h.recorded.clear();
  // No match: only the default; without a default, nothing.
  h.eval(switchOver(num(9), {1, 2}, 3));
  EXPECT_EQ(numbers(h.recorded), (std::vector<double>{2}));
  h.recorded.clear();
  EXPECT_TRUE(h.eval(switchOver(num(9), {1, 2}, 2)).isUndefined());
  EXPECT_TRUE(h.recorded.empty());
  // Strict comparison: the string "1" matches no number case.
  h.eval(switchOver(str("1"), {1}, 1));
  EXPECT_TRUE(h.recorded.empty());
  // A case without a body falls through to the next.
  h.eval(switchOver(num(1), {1, 2, 3}, 2));
  EXPECT_EQ(numbers(h.recorded), (std::vector<double>{0, 1}));
  h.recorded.clear();
  // A continue leaves the switch as it is.
  EXPECT_EQ(h.eval(switchOver(num(1), {1, 2}, 2, {{0, stmt("6")}})).type(), Value::Type::Continue);
  // A return inside a switch inside a function ends the function.
  h.run({function("50", "pick", {"x"},
                  {switchOver(stmt("get", {str("x")}), {1, 2}, 2, {{1, stmt("36", {str("two")})}}), str("fell out")})});
  h.recorded.clear();
  EXPECT_EQ(text(h.eval(stmt("pick", {num(2)}))), "two");
  EXPECT_EQ(text(h.eval(stmt("pick", {num(1)}))), "two");
  EXPECT_EQ(text(h.eval(stmt("pick", {num(3)}))), "fell out");
  h.eval(stmt("38", {num(1), list({}), num(2)}), &error);
  EXPECT_EQ(code(error), 9);
}

TEST(ControlCommandsTest, MethodCalls) {
  ScriptHarness h;
  platform::ErrorRef error;
  h.run({stmt("declare", {str("m"), stmt("newMap")}),
         stmt("setp", {stmt("get", {str("m")}), str("twice"), function("51", "twice", {"v"}, {stmt("13", {stmt("get", {str("v")})})})})});
  EXPECT_EQ(h.eval(stmt("2", {stmt("get", {str("m")}), str("twice"), list({num(21)})})).numberValue(), 21);
  EXPECT_TRUE(h.eval(stmt("2", {stmt("get", {str("m")}), str("hasOwnProperty"), list({str("twice")})})).booleanValue());
  EXPECT_EQ(text(h.eval(stmt("2", {num(1.5), str("toString"), list({})}))), "1.5");
  h.eval(stmt("2", {stmt("get", {str("m")}), num(1), list({})}), &error);
  EXPECT_EQ(code(error), 10);
  error.reset();
  h.eval(stmt("2", {stmt("get", {str("m")}), str("twice"), num(1)}), &error);
  EXPECT_EQ(code(error), 10);
  error.reset();
  h.eval(stmt("2", {stmt("unbound"), str("toString"), list({})}), &error);
  EXPECT_EQ(code(error), 7);
  error.reset();
  h.eval(stmt("2", {stmt("get", {str("m")}), str("twice")}), &error);
  EXPECT_EQ(code(error), 9);
}

// An argument array written as a literal passes what the same array made
// any other way passes, for the same evaluations and work (wrapping it in a
// sequence costs the sequence's one evaluation), and its values stay whole
// through a collection the method makes.
TEST(ControlCommandsTest, LiteralArgumentArraysPassWhatTheArrayHolds) {
  const std::vector<std::vector<Entity>> cases = {
      {},
      {num(1)},
      {stmt("get", {str("x")}), str("a")},
      {str("a"), stmt("8", {str("k"), str("kept")}), num(3), stmt("7", {num(4)}), str("e")},
  };
  for (const std::vector<Entity>& elements : cases) {
    ScriptHarness h;
    h.bind("collect", [&h](auto v, APMPScope&, auto&) {
      h.runtime.collectGarbage();
      for (const Value& value : v) h.recorded.push_back(value);
      return Value::number(double(v.size()));
    });
    h.run({stmt("declare", {str("m"), stmt("newMap")}), stmt("declare", {str("x"), num(5)}),
           stmt("setp", {stmt("get", {str("m")}), str("collect"), stmt("get", {str("collect")})})});
    struct Cost {
      uint32_t instructions;
      uint64_t work;
      std::vector<std::string> arguments;
    };
    auto call = [&](Entity array) {
      h.recorded.clear();
      platform::ErrorRef error;
      const Value answer = h.eval(stmt("2", {stmt("get", {str("m")}), str("collect"), std::move(array)}), &error);
      EXPECT_FALSE(error);
      EXPECT_EQ(answer.numberValue(), double(elements.size()));
      Cost cost{h.runtime.initialScope().instructionCount(), h.runtime.initialScope().workCount(), {}};
      for (const Value& value : h.recorded) {
        const APMPMapValue* map = value.asMap();
        cost.arguments.push_back(map ? text(map->valueForProperty(u"k")) : show(value));
      }
      return cost;
    };
    const Cost literal = call(stmt("7", elements));
    const Cost made = call(stmt("13", {stmt("7", elements)}));
    EXPECT_EQ(literal.instructions + 1, made.instructions);
    EXPECT_EQ(literal.work, made.work);
    EXPECT_EQ(literal.arguments, made.arguments);
    EXPECT_EQ(literal.arguments.size(), elements.size());
  }
}

TEST(ControlCommandsTest, LiteralArgumentArraysKeepTheFirstError) {
  ScriptHarness h;
  platform::ErrorRef error;
  // An element's failure comes before the name's kind is looked at.
  h.eval(stmt("2", {num(1), num(2), stmt("7", {stmt("2", {stmt("45"), str("toString"), stmt("7")})})}), &error);
  EXPECT_EQ(code(error), kAPMPErrorMethodOfNothing);
  error.reset();
  h.eval(stmt("2", {num(1), num(2), stmt("7", {num(3)})}), &error);
  EXPECT_EQ(code(error), kAPMPErrorArgumentKind);
  // Elements that recurse without end meet the nesting bound.
  error.reset();
  h.run({function("50", "down", {}, {stmt("2", {stmt("45"), str("toString"), stmt("7", {stmt("down")})})})});
  h.eval(stmt("down"), &error);
  EXPECT_EQ(code(error), kAPMPErrorLimit);
}

}  // namespace
}  // namespace script_test
