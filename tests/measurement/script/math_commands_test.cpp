#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "script_test_support.h"

namespace script_test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(MathCommandsTest, ArithmeticInDoubles) {
  struct Case {
    const char* opcode;
    std::vector<Entity> operands;
    double expected;  // NaN for NaN
  };
  const Case cases[] = {
      {"0", {boolean(true), num(1)}, 2},
      {"0", {stmt("45"), num(1)}, 1},
      {"0", {stmt("44"), num(1)}, NAN},
      {"10", {num(1), num(0)}, kInf},
      {"10", {num(-1), num(0)}, -kInf},
      {"10", {num(0), num(0)}, NAN},
      {"25", {num(-7), num(2)}, -1},
      {"25", {num(7), num(-2)}, 1},
      {"25", {num(5.5), num(2)}, 1.5},
      {"25", {num(1), num(0)}, NAN},
      {"25", {num(kInf), num(2)}, NAN},
      {"25", {num(5), num(-kInf)}, 5},
      {"26", {str("3"), num(-2)}, -6},
      {"37", {num(1), str("x")}, NAN},
      {"37", {num(10), stmt("45")}, 10},
      {"27", {str("4")}, -4},
  };
  ScriptHarness h;
  for (const Case& c : cases) {
    platform::ErrorRef error;
    const Value result = h.eval(stmt(c.opcode, c.operands), &error);
    EXPECT_FALSE(error) << c.opcode;
    ASSERT_TRUE(result.isNumber()) << c.opcode;
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(result.numberValue())) << c.opcode;
    } else {
      EXPECT_EQ(result.numberValue(), c.expected) << c.opcode;
    }
  }
  // The sign of a zero remainder follows the dividend.
  EXPECT_TRUE(std::signbit(h.eval(stmt("25", {num(-4), num(2)})).numberValue()));
}

TEST(MathCommandsTest, AdditionConcatenatesWhenEitherValueHasMethods) {
  ScriptHarness h;
  EXPECT_EQ(text(h.eval(stmt("0", {num(1), str("2")}))), "12");
  EXPECT_EQ(text(h.eval(stmt("0", {str("a"), stmt("45")}))), "anull");
  EXPECT_EQ(text(h.eval(stmt("0", {stmt("44"), str("")}))), "undefined");
  EXPECT_EQ(text(h.eval(stmt("0", {stmt("7", {num(1), num(2)}), num(3)}))), "1,23");
  EXPECT_EQ(text(h.eval(stmt("0", {stmt("8"), str("!")}))), "[object Object]!");
  EXPECT_EQ(text(h.eval(stmt("0", {function("51", "f", {}, {}), num(0.5)}))), "f0.5");
  // The budget: doubling a text stops at the length bound with error 18.
  platform::ErrorRef error;
  h.run({let("s", str("x")), stmt("42", {boolean(true), num(0), boolean(false),
                                         list({assign("s", stmt("0", {variable("s"), variable("s")}))})})},
        &error);
  EXPECT_EQ(code(error), 18);
  EXPECT_EQ(h.runtime.globalScope().valueForName(u"s").asString()->value().size(), kAPMPMaxTextLength);
}

TEST(MathCommandsTest, PassThroughFormsAndFailures) {
  ScriptHarness h;
  h.run({let("m", stmt("8"))});
  EXPECT_TRUE(h.eval(stmt("34", {variable("m")})).isSameObject(h.runtime.globalScope().valueForName(u"m")));
  EXPECT_TRUE(h.eval(stmt("35", {variable("m")})).asMap());
  // "32": the first value; the second was evaluated for its effect.
  EXPECT_EQ(h.eval(stmt("32", {num(1), assign("m", num(2))})).numberValue(), 1);
  EXPECT_EQ(h.runtime.globalScope().valueForName(u"m").numberValue(), 2);
  EXPECT_EQ(text(h.eval(stmt("33", {str("a"), num(2)}))), "a");
  const ExpectedFailure failures[] = {
      {stmt("0", {num(1)}), 9},           {stmt("27", {num(1), num(2)}), 9}, {stmt("34"), 9},
      {stmt("32", {num(1)}), 9},          {stmt("26", {stmt("4"), num(1)}), 4},
      {stmt("0", {str("a"), stmt("6")}), 5},  // continue has no text form
      {stmt("0", {stmt("6"), num(1)}), 4},
  };
  expectFailures(h, failures);
}

}  // namespace
}  // namespace script_test
