#include "measurement/script/runtime_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/object_manager.h"
#include "measurement/script/scope.h"
#include "script_test_support.h"

namespace script_test {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

std::string numberText(double value) { return script_text::toUtf8(APMPNumberText(value)); }

TEST(RuntimeValueTest, NumberTexts) {
  EXPECT_EQ(numberText(1234.5), "1234.5");
  EXPECT_EQ(numberText(-0.0), "0");
  EXPECT_EQ(numberText(0.0), "0");
  EXPECT_EQ(numberText(1e21), "1e+21");
  EXPECT_EQ(numberText(1e-7), "1e-7");
  EXPECT_EQ(numberText(-1.5e-7), "-1.5e-7");
  EXPECT_EQ(numberText(1e-6), "0.000001");
  EXPECT_EQ(numberText(123e18), "123000000000000000000");
  EXPECT_EQ(numberText(0.1), "0.1");
  EXPECT_EQ(numberText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(numberText(-42), "-42");
  // Whole numbers below 2^53 print every digit; above it, only the
  // shortest digits that read back.
  EXPECT_EQ(numberText(9007199254740991.0), "9007199254740991");
  EXPECT_EQ(numberText(-9007199254740991.0), "-9007199254740991");
  EXPECT_EQ(numberText(9007199254740994.0), "9007199254740994");
  EXPECT_EQ(numberText(1152921504606846976.0), "1152921504606847000");
  EXPECT_EQ(numberText(1.7976931348623157e308), "1.7976931348623157e+308");
  EXPECT_EQ(numberText(kNaN), "NaN");
  EXPECT_EQ(numberText(kInfinity), "Infinity");
  EXPECT_EQ(numberText(-kInfinity), "-Infinity");
}

TEST(RuntimeValueTest, NumberFormsOfTexts) {
  EXPECT_EQ(APMPNumberFromText(u"  12 \n"), 12);
  EXPECT_EQ(APMPNumberFromText(u"\u00A012\u3000"), 12);
  EXPECT_TRUE(std::isnan(APMPNumberFromText(u"12abc")));
  EXPECT_EQ(APMPNumberFromText(u""), 0);
  EXPECT_EQ(APMPNumberFromText(u"   "), 0);
  EXPECT_EQ(APMPNumberFromText(u"Infinity"), kInfinity);
  EXPECT_EQ(APMPNumberFromText(u"-Infinity"), -kInfinity);
  EXPECT_TRUE(std::isnan(APMPNumberFromText(u"NaN")));
  EXPECT_TRUE(std::isnan(APMPNumberFromText(u"infinity")));
  EXPECT_EQ(APMPNumberFromText(u"+5"), 5);
  EXPECT_EQ(APMPNumberFromText(u".5"), 0.5);
  EXPECT_EQ(APMPNumberFromText(u"5."), 5);
  EXPECT_EQ(APMPNumberFromText(u"-1.5E3"), -1500);
  EXPECT_EQ(APMPNumberFromText(u"007"), 7);
  EXPECT_EQ(APMPNumberFromText(u"1e400"), kInfinity);
  for (const char16_t* bad : {u".", u"1e", u"0x10", u"1 2", u"--1", u"e5", u"1.2.3"}) {
    EXPECT_TRUE(std::isnan(APMPNumberFromText(bad))) << script_text::toUtf8(bad);
  }
}

// A number is read from a text of any length through a short literal: the
// digits that cannot change the nearest double are left out, and those
// that can only break a tie stand as one more digit.
TEST(RuntimeValueTest, NumberFormsOfLongTexts) {
  const std::u16string zeros(1000, u'0');
  const struct {
    std::u16string text;
    double number;
  } cases[] = {
      {u"1" + zeros + u"e-1000", 1},
      {zeros + u"42", 42},
      {u"0." + zeros + u"5e1001", 5},
      {u"-" + zeros + u"." + zeros, -0.0},
      // Halfway between two doubles, then just past it far beyond 800 digits.
      {u"9007199254740993." + zeros, 9007199254740992.0},
      {u"9007199254740993." + zeros + u"1", 9007199254740994.0},
      {u"1e" + zeros + u"99999999999", kInfinity},
      {u"1e-99999999999", 0},
      {u"123456789" + zeros + u"e-1000", 123456789},
  };
  for (const auto& c : cases) {
    const double number = APMPNumberFromText(c.text);
    EXPECT_EQ(number, c.number) << script_text::toUtf8(c.text.substr(0, 40));
    EXPECT_EQ(std::signbit(number), std::signbit(c.number));
  }
}

TEST(RuntimeValueTest, ConversionsByType) {
  platform::ErrorRef error;
  EXPECT_TRUE(std::isnan(Value().doubleValueOrError(error)));
  EXPECT_EQ(Value::null().doubleValueOrError(error), 0);
  EXPECT_TRUE(Value::string(u"0").booleanValueOrError(error));
  EXPECT_FALSE(Value::number(0).booleanValueOrError(error));
  EXPECT_FALSE(Value::number(-0.0).booleanValueOrError(error));
  EXPECT_FALSE(Value::number(kNaN).booleanValueOrError(error));
  EXPECT_FALSE(Value::string(u"").booleanValueOrError(error));
  EXPECT_EQ(Value::boolean(true).doubleValueOrError(error), 1);
  EXPECT_EQ(text(Value::null()), "null");
  EXPECT_EQ(text(Value()), "undefined");
  const Value map(APMPMake<APMPMapValue>());
  EXPECT_EQ(text(map), "[object Object]");
  EXPECT_TRUE(std::isnan(map.doubleValueOrError(error)));
  EXPECT_TRUE(map.booleanValueOrError(error));
  const Value array(APMPMake<APMPArrayValue>(
      std::vector<Value>{Value::number(1), Value::hole(), Value::null(), Value(), Value::string(u"x")}));
  EXPECT_EQ(text(array), "1,,,,x");
  EXPECT_EQ(Value(APMPMake<APMPArrayValue>(std::vector<Value>{Value::number(5)})).doubleValueOrError(error), 5);
  EXPECT_FALSE(error);

  // Control values and statements have no forms; the error is 5, 4 or 3.
  const Value control = APMPControlValue::breakValue();
  EXPECT_EQ(control.stringValueOrError(error), u"");
  EXPECT_EQ(code(error), 5);
  error.reset();
  EXPECT_TRUE(std::isnan(APMPControlValue::returnValueWithData(Value()).doubleValueOrError(error)));
  EXPECT_EQ(code(error), 4);
  error.reset();
  EXPECT_FALSE(convert(stmt("x")).booleanValueOrError(error));
  EXPECT_EQ(code(error), 3);
  EXPECT_EQ(error->domain(), "com.voraza.vuv.measurement.pixie.ErrorDomain");
}

TEST(RuntimeValueTest, MethodCallsByType) {
  APMPRef<APMPScope> scope = APMPScope::make();
  platform::ErrorRef error;
  EXPECT_EQ(text(Value::boolean(true).applyWithName(u"toString", {}, *scope, error)), "true");
  EXPECT_EQ(text(Value::number(-0.0).applyWithName(u"toString", {}, *scope, error)), "0");
  EXPECT_FALSE(error);
  Value::number(1).applyWithName(u"toFixed", {}, *scope, error);
  EXPECT_EQ(code(error), 17);
  error.reset();
  Value::null().applyWithName(u"toString", {}, *scope, error);
  EXPECT_EQ(code(error), 7);
  error.reset();
  APMPControlValue::continueValue().applyWithName(u"toString", {}, *scope, error);
  EXPECT_EQ(code(error), 5);

  // Maps: own function properties first, then hasOwnProperty and toString.
  const APMPRef<APMPMapValue> map = APMPMake<APMPMapValue>();
  map->setValue(Value::number(1), u"n");
  map->setValue(Value(APMPMake<TestNative>("f", [](auto v, auto&, auto&) { return Value::number(double(v.size())); })),
                u"toString");
  error.reset();
  const Value args[] = {Value::string(u"n"), Value::number(2)};
  EXPECT_EQ(map->applyWithName(u"toString", args, *scope, error).numberValue(), 2);
  EXPECT_TRUE(map->applyWithName(u"hasOwnProperty", std::span(args, 1), *scope, error).booleanValue());
  EXPECT_FALSE(error);
  map->applyWithName(u"hasOwnProperty", args, *scope, error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  map->applyWithName(u"n", {}, *scope, error);
  EXPECT_EQ(code(error), 17);
}

TEST(RuntimeValueTest, StructuralEquality) {
  EXPECT_TRUE(Value::number(kNaN).isEqualToRuntimeValue(Value::number(kNaN)));
  EXPECT_TRUE(Value::null().isEqualToRuntimeValue(Value::null()));
  EXPECT_FALSE(Value::null().isEqualToRuntimeValue(Value()));
  EXPECT_TRUE(APMPControlValue::returnValueWithData(Value::number(1))
                  .isEqualToRuntimeValue(APMPControlValue::returnValueWithData(Value::number(1))));
  EXPECT_TRUE(convert(stmt("22", {num(1), str("a")})).isEqualToRuntimeValue(convert(stmt("22", {num(1), str("a")}))));

  const Value f(APMPMake<APMPFunctionValue>(u"f")), g(APMPMake<APMPFunctionValue>(u"f"));
  const Value anonymous1(APMPMake<APMPFunctionValue>(u"")), anonymous2(APMPMake<APMPFunctionValue>(u""));
  EXPECT_TRUE(f.isEqualToRuntimeValue(g));
  EXPECT_FALSE(anonymous1.isEqualToRuntimeValue(anonymous2));
  EXPECT_TRUE(anonymous1.isEqualToRuntimeValue(anonymous1));

  const APMPRef<APMPMapValue> a = APMPMake<APMPMapValue>(), b = APMPMake<APMPMapValue>();
  a->setValue(Value::number(1), u"x");
  a->setValue(Value::string(u"s"), u"y");
  b->setValue(Value::string(u"s"), u"y");
  b->setValue(Value::number(1), u"x");
  EXPECT_TRUE(Value(a).isEqualToRuntimeValue(Value(b)));
  b->setValue(Value::number(2), u"x");
  EXPECT_FALSE(Value(a).isEqualToRuntimeValue(Value(b)));

  // Cycles and exponential sharing end in bounded time.
  a->setValue(Value(a), u"self");
  b->setValue(Value::number(1), u"x");
  b->setValue(Value(b), u"self");
  EXPECT_FALSE(Value(a).isEqualToRuntimeValue(Value(b)));
  APMPRef<APMPMapValue> left = APMPMake<APMPMapValue>(), right = APMPMake<APMPMapValue>();
  for (int i = 0; i < 60; ++i) {
    auto l = APMPMake<APMPMapValue>(), r = APMPMake<APMPMapValue>();
    l->setValue(Value(left), u"p"), l->setValue(Value(left), u"q");
    r->setValue(Value(right), u"p"), r->setValue(Value(right), u"q");
    left = l, right = r;
  }
  EXPECT_FALSE(Value(left).isEqualToRuntimeValue(Value(right)));
  a->sweep();
  b->sweep();
}

TEST(RuntimeValueTest, PropertyMapImmutability) {
  APMPPropertyMap map;
  map.setImmutableValue(Value::number(1), u"c");
  map.setValue(Value::number(2), u"c");
  map.removeValueForName(u"c");
  map.setImmutableValue(Value::number(3), u"c");
  EXPECT_EQ(map.valueForName(u"c").numberValue(), 1);
  for (int i = 0; i < 20; ++i) map.setValue(Value::number(i), std::u16string{u'n', char16_t(u'a' + i)});
  map.removeValueForName(u"nb");
  EXPECT_FALSE(map.hasName(u"nb"));
  EXPECT_EQ(map.valueForName(u"nt").numberValue(), 19);
  EXPECT_TRUE(map.valueForName(u"missing").isUndefined());
  map.makeImmutable();
  map.setValue(Value::number(9), u"nt");
  map.setValue(Value::number(9), u"new");
  EXPECT_EQ(map.valueForName(u"nt").numberValue(), 19);
  EXPECT_EQ(map.count(), 20u);
}

TEST(RuntimeValueTest, ReleasingDeepStructuresTakesNoStack) {
  // A million nested arrays: freeing them recursively would overflow.
  Value chain(APMPMake<APMPArrayValue>());
  for (int i = 0; i < 1000000; ++i) chain = Value(APMPMake<APMPArrayValue>(std::vector<Value>{chain}));
  platform::ErrorRef error;
  chain.stringValueOrError(error);
  EXPECT_EQ(code(error), 18);
  chain = Value();
  static_assert(sizeof(Value) == 16);
}

}  // namespace
}  // namespace script_test
