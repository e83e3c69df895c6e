#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

TEST(LogicalCommandsTest, AndAndOrAnswerAnOperandAndShortCircuit) {
  ScriptHarness h;
  struct Case {
    const char* opcode;
    Entity first;
    const char* expected;  // text of the answer
    bool secondRuns;
  };
  const Case cases[] = {
      {"1", num(0), "0", false},     {"1", str(""), "", false},   {"1", num(2), "second", true},
      {"1", stmt("8"), "second", true}, {"30", str("x"), "x", false}, {"30", num(0), "second", true},
      {"30", stmt("44"), "second", true}, {"30", boolean(true), "true", false},
  };
  for (const Case& c : cases) {
    h.recorded.clear();
    const Value answer = h.eval(stmt(c.opcode, {c.first, stmt("13", {stmt("record", {num(1)}), str("second")})}));
    EXPECT_EQ(text(answer), c.expected) << c.opcode << " " << c.expected;
    EXPECT_EQ(h.recorded.size(), c.secondRuns ? 1u : 0u) << c.opcode << " " << c.expected;
  }
  // The first operand itself, not a boolean made from it.
  EXPECT_TRUE(h.eval(stmt("1", {num(0), num(1)})).isNumber());
}

TEST(LogicalCommandsTest, NotAndFailures) {
  ScriptHarness h;
  EXPECT_TRUE(h.eval(stmt("28", {str("")})).booleanValue());
  EXPECT_FALSE(h.eval(stmt("28", {stmt("8")})).booleanValue());
  EXPECT_TRUE(h.eval(stmt("28", {stmt("45")})).booleanValue());
  EXPECT_FALSE(h.eval(stmt("28", {str("0")})).booleanValue());
  const ExpectedFailure failures[] = {
      {stmt("1", {num(1)}), 9},
      {stmt("30", {num(1), num(2), num(3)}), 9},
      {stmt("28"), 9},
      {stmt("1", {stmt("4"), num(1)}), 3},  // break has no truth value
      {stmt("28", {stmt("6")}), 3},
  };
  expectFailures(h, failures);
  // A wrong count is refused before anything is evaluated.
  h.eval(stmt("30", {stmt("record", {num(1)})}));
  EXPECT_TRUE(h.recorded.empty());
}

}  // namespace
}  // namespace script_test
