#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "script_test_support.h"

namespace script_test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BitwiseCommandsTest, OperandsSaturateAndCountsKeepFiveBits) {
  struct Case {
    const char* opcode;
    double a, b;  // b unused by "58"
    double expected;
  };
  const Case cases[] = {
      {"56", 12, 10, 8},
      {"56", 3e9, 1, 1},  // 3e9 saturates to 2147483647, not a wrapped negative
      {"56", -3e9, -1, -2147483648.0},
      {"56", kNaN, -1, 0},
      {"56", kInf, -1, 0},
      {"56", -kInf, -1, 0},
      {"56", 4294967296.0 + 5, 7, 5},
      {"59", 3e9, 0, 2147483647},
      {"59", -3e9, 0, -2147483648.0},
      {"59", kNaN, 5, 5},
      {"62", 3e9, -1, -2147483648.0},
      {"62", kInf, 7, 7},
      {"62", -0.5, 3, 3},
      {"58", 0, 0, -1},
      {"58", 3e9, 0, -2147483648.0},
      {"58", -3e9, 0, 2147483647},
      {"58", kNaN, 0, -1},
      {"58", -kInf, 0, -1},
      {"57", 1, 31, -2147483648.0},
      {"57", 1, 32, 1},
      {"57", 1, 33, 2},
      {"57", 3e9, 1, -2},
      {"57", 1, 3e9, -2147483648.0},  // count 2147483647 & 31 = 31
      {"57", 1, -3e9, 1},  // count 0x80000000 & 31 = 0
      {"57", 1, -1, -2147483648.0},
      {"57", 1, kNaN, 1},
      {"57", 1, kInf, 1},
      {"60", -8, 1, -4},
      {"60", -8, 33, -4},
      {"60", -3e9, 31, -1},
      {"60", 3e9, 31, 0},
      {"60", kNaN, 1, 0},
      {"60", 1, 40, 0},
      {"61", -8, 1, 2147483644},
      {"61", -1, 0, 4294967295.0},
      {"61", -1, 32, 4294967295.0},
      {"61", -3e9, 0, 2147483648.0},
      {"61", 3e9, 0, 2147483647},
      {"61", -3e9, 31, 1},
      {"61", -kInf, 0, 0},
      {"61", 1, 3e9, 0},
  };
  ScriptHarness h;
  for (const Case& c : cases) {
    std::vector<Entity> operands{num(c.a)};
    if (std::string(c.opcode) != "58") operands.push_back(num(c.b));
    platform::ErrorRef error;
    const Value result = h.eval(stmt(c.opcode, operands), &error);
    EXPECT_FALSE(error) << c.opcode << " " << c.a << " " << c.b;
    EXPECT_EQ(result.numberValue(), c.expected) << c.opcode << " " << c.a << " " << c.b;
  }
}

TEST(BitwiseCommandsTest, OperandsAreNumberFormsAndCountsAreChecked) {
  ScriptHarness h;
  EXPECT_EQ(h.eval(stmt("56", {str(" 12 "), str("10")})).numberValue(), 8);
  EXPECT_EQ(h.eval(stmt("59", {boolean(true), stmt("45")})).numberValue(), 1);
  const ExpectedFailure failures[] = {
      {stmt("56", {num(1)}), 9},
      {stmt("58", {num(1), num(2)}), 9},
      {stmt("61", {num(1), num(2), num(3)}), 9},
      {stmt("57", {stmt("4"), num(1)}), 4},  // break has no number form
      {stmt("60", {num(1), stmt("6")}), 4},
  };
  expectFailures(h, failures);
}

TEST(BitwiseCommandsTest, UnsignedConversionReadsTheSignedBits) {
  EXPECT_EQ(APMPToUint32(-1), 4294967295u);
  EXPECT_EQ(APMPToUint32(-8), 4294967288u);
  EXPECT_EQ(APMPToUint32(3e9), 2147483647u);
  EXPECT_EQ(APMPToUint32(-3e9), 2147483648u);
  EXPECT_EQ(APMPToUint32(kNaN), 0u);
  EXPECT_EQ(APMPToUint32(-kInf), 0u);
  EXPECT_EQ(APMPToUint32(4294967296.0 + 2), 2u);
}

}  // namespace
}  // namespace script_test
