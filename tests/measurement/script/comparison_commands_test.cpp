#include <gtest/gtest.h>

#include <cmath>

#include "script_test_support.h"

namespace script_test {
namespace {

class ComparisonCommandsTest : public ::testing::Test {
 protected:
  // The answer of `opcode` over two trees: 1 true, 0 false, -1 undefined.
  int compare(const char* opcode, Entity a, Entity b, long expectedError = 0) {
    platform::ErrorRef error;
    const Value result = h.eval(stmt(opcode, {std::move(a), std::move(b)}), &error);
    EXPECT_EQ(code(error), expectedError);
    return result.isBoolean() ? result.booleanValue() : -1;
  }
  Entity undefined() { return stmt("nothing"); }
  Entity null() { return stmt("null"); }
  Entity map() { return stmt("newMap"); }

  void SetUp() override {
    h.bind("null", [](auto, auto&, auto&) { return Value::null(); });
  }
  ScriptHarness h;
};

TEST_F(ComparisonCommandsTest, LooseEqualityTiers) {
  EXPECT_EQ(compare("12", null(), undefined()), 1);
  EXPECT_EQ(compare("12", null(), num(0)), 0);
  EXPECT_EQ(compare("12", undefined(), num(NAN)), 0);
  EXPECT_EQ(compare("12", str("1"), num(1)), 1);
  EXPECT_EQ(compare("12", boolean(true), num(1)), 1);
  EXPECT_EQ(compare("12", boolean(true), str("1")), 1);
  EXPECT_EQ(compare("12", str(" 1 "), num(1)), 1);
  EXPECT_EQ(compare("12", num(NAN), num(NAN)), 0);
  EXPECT_EQ(compare("12", map(), map()), 0);
  EXPECT_EQ(compare("12", map(), str("[object Object]")), 1);
  EXPECT_EQ(compare("12", list({num(1), num(2)}), str("1,2")), 1);
  EXPECT_EQ(compare("12", list({num(5)}), num(5)), 1);
  EXPECT_EQ(compare("12", str("a"), str("a")), 1);
  EXPECT_EQ(compare("29", str("a"), str("b")), 1);
  EXPECT_EQ(compare("29", null(), undefined()), 0);
  // A map equals itself only.
  h.runtime.globalScope().addValue(Value(APMPMake<APMPMapValue>()), u"m");
  EXPECT_EQ(compare("12", stmt("get", {str("m")}), stmt("get", {str("m")})), 1);
  // Control values have no number or text form.
  EXPECT_EQ(compare("12", num(1), stmt("4"), 4), -1);
  EXPECT_EQ(compare("12", str("x"), stmt("6"), 5), -1);
  EXPECT_EQ(compare("29", num(1), stmt("4"), 4), -1);
}

TEST_F(ComparisonCommandsTest, StrictEquality) {
  EXPECT_EQ(compare("20", str("1"), num(1)), 0);
  EXPECT_EQ(compare("20", num(1), num(1)), 1);
  EXPECT_EQ(compare("20", num(-0.0), num(0)), 1);
  EXPECT_EQ(compare("20", num(NAN), num(NAN)), 0);
  EXPECT_EQ(compare("20", boolean(true), num(1)), 0);
  EXPECT_EQ(compare("20", null(), undefined()), 0);
  EXPECT_EQ(compare("20", undefined(), undefined()), 1);
  EXPECT_EQ(compare("20", map(), map()), 0);
  EXPECT_EQ(compare("21", str("a"), str("a")), 0);
  EXPECT_EQ(compare("21", str("1"), num(1)), 1);
}

TEST_F(ComparisonCommandsTest, Orderings) {
  EXPECT_EQ(compare("18", str("b"), str("a")), 1);
  EXPECT_EQ(compare("23", str("10"), str("9")), 1);
  EXPECT_EQ(compare("23", str("10"), num(9)), 0);
  EXPECT_EQ(compare("23", num(1), num(NAN)), 0);
  EXPECT_EQ(compare("18", num(1), num(NAN)), 0);
  EXPECT_EQ(compare("19", num(NAN), num(NAN)), 0);
  EXPECT_EQ(compare("24", num(NAN), num(NAN)), 0);
  EXPECT_EQ(compare("24", num(2), num(2)), 1);
  EXPECT_EQ(compare("19", str("a"), str("a")), 1);
  EXPECT_EQ(compare("23", null(), num(1)), 1);
  EXPECT_EQ(compare("23", boolean(false), boolean(true)), 1);
  EXPECT_EQ(compare("23", list({num(1), num(2)}), str("1,3")), 1);
  // Text order is by UTF-16 code unit: "Z" before "a", and U+1F600 (a
  // surrogate pair from U+D83D) before U+E000.
  EXPECT_EQ(compare("23", str("Z"), str("a")), 1);
  EXPECT_EQ(compare("18", str("\xEE\x80\x80"), str("\xF0\x9F\x98\x80")), 1);
  EXPECT_EQ(compare("23", stmt("4"), num(1), 4), -1);
}

TEST_F(ComparisonCommandsTest, TextOrderTreatsCanonicalEquivalentsAsEqual) {
  // U+00E9 and "e" followed by U+0301 are one letter written two ways: the
  // orderings find them equal, while equality wants identical code units.
  const std::string precomposed = "caf\xC3\xA9", decomposed = "cafe\xCC\x81";
  EXPECT_EQ(compare("23", str(precomposed), str(decomposed)), 0);
  EXPECT_EQ(compare("24", str(precomposed), str(decomposed)), 1);
  EXPECT_EQ(compare("19", str(decomposed), str(precomposed)), 1);
  EXPECT_EQ(compare("12", str(precomposed), str(decomposed)), 0);
  EXPECT_EQ(compare("20", str(precomposed), str(decomposed)), 0);
  // The letter orders by its base letter, not by its precomposed code unit.
  EXPECT_EQ(compare("23", str(precomposed), str("caff")), 1);
  EXPECT_EQ(compare("18", str("cafz"), str(precomposed)), 1);
  // Combining marks in either order are the same letter.
  EXPECT_EQ(compare("24", str("a\xCC\x81\xCC\xA3"), str("a\xCC\xA3\xCC\x81")), 1);
  EXPECT_EQ(compare("19", str("a\xCC\x81\xCC\xA3"), str("a\xCC\xA3\xCC\x81")), 1);
}

TEST_F(ComparisonCommandsTest, ArgumentsAreCheckedThenEvaluated) {
  platform::ErrorRef error;
  h.eval(stmt("12", {num(1)}), &error);
  EXPECT_EQ(code(error), 9);
  h.eval(stmt("23", {num(1), num(2), stmt("record", {num(1)})}), &error);
  EXPECT_TRUE(h.recorded.empty());
  // An error in the first argument leaves the second unevaluated.
  error.reset();
  h.eval(stmt("20", {stmt("4", {num(1)}), stmt("record", {num(1)})}), &error);
  EXPECT_EQ(code(error), 9);
  EXPECT_TRUE(h.recorded.empty());
}

}  // namespace
}  // namespace script_test
