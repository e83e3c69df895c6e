#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/charged_conversions.h"
#include "measurement/script/object_manager.h"
#include "script_test_support.h"

namespace script_test {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

APMPRef<APMPArrayValue> arrayOf(std::vector<Value> elements) { return APMPMake<APMPArrayValue>(std::move(elements)); }

class ArrayValueTest : public ::testing::Test {
 protected:
  ScriptHarness h;
  APMPScope& scope = h.runtime.globalScope();
};
using WorkBudgetTest = ArrayValueTest;

TEST_F(ArrayValueTest, IndexesLengthAndNamesAreToldApart) {
  platform::ErrorRef error;
  auto a = arrayOf({});
  ASSERT_TRUE(a->setValue(Value::string(u"x"), Value::number(5), scope, error));
  EXPECT_EQ(show(Value(a)), "[_ _ _ _ _ 'x']");
  EXPECT_EQ(a->valueForProperty(Value::string(u"length"), scope, error).numberValue(), 6);
  EXPECT_TRUE(a->valueForProperty(Value::number(2), scope, error).isUndefined());
  EXPECT_FALSE(a->hasProperty(Value::number(2), scope, error));
  EXPECT_TRUE(a->hasProperty(Value::number(5), scope, error));
  EXPECT_FALSE(a->hasProperty(Value::string(u"length"), scope, error));

  // 1, "1", "01" and 1.0 are one position; "1.5", -1 and " x" are names.
  for (Value key : {Value::number(1), Value::string(u"1"), Value::string(u"01"), Value::number(1.0)}) {
    ASSERT_TRUE(a->setValue(Value::string(u16(concat({"k", text(key)}))), key, scope, error));
    EXPECT_EQ(text(a->valueForProperty(Value::number(1), scope, error)), concat({"k", text(key)}));
  }
  for (Value key : {Value::string(u"1.5"), Value::number(-1), Value::number(kNaN), Value::string(u"Infinity")}) {
    ASSERT_TRUE(a->setValue(Value::boolean(true), key, scope, error));
  }
  EXPECT_EQ(a->count(), 6u);
  EXPECT_TRUE(a->valueForProperty(Value::string(u"-1"), scope, error).booleanValue());
  std::vector<std::string> names;
  for (const Value& name : a->allPropertyNames()) names.push_back(text(name));
  EXPECT_EQ(names, (std::vector<std::string>{"1.5", "-1", "NaN", "Infinity", "1", "5"}));

  // Removing an index leaves a hole and keeps the count; past it, nothing.
  a->removeValueForProperty(Value::number(5), scope, error);
  a->removeValueForProperty(Value::number(50), scope, error);
  a->removeValueForProperty(Value::string(u"1.5"), scope, error);
  EXPECT_EQ(show(Value(a)), "[_ 'k1' _ _ _ _]");
  EXPECT_FALSE(a->hasProperty(Value::string(u"1.5"), scope, error));
  EXPECT_FALSE(error);

  // A property without a text form changes nothing.
  a->setValue(Value::number(1), APMPControlValue::breakValue(), scope, error);
  EXPECT_EQ(code(error), 5);
  EXPECT_EQ(a->count(), 6u);

  // Only the string "length" is the count: an array whose text form is
  // "length" names a property like any other, which the string then finds
  // and removes as a name.
  error.reset();
  const Value lengthList(arrayOf({Value::string(u"length")}));
  ASSERT_TRUE(a->setValue(Value::number(2), lengthList, scope, error));
  EXPECT_EQ(a->count(), 6u);
  EXPECT_EQ(a->valueForProperty(lengthList, scope, error).numberValue(), 2);
  EXPECT_EQ(a->valueForProperty(Value::string(u"length"), scope, error).numberValue(), 6);
  EXPECT_TRUE(a->hasProperty(Value::string(u"length"), scope, error));
  a->removeValueForProperty(Value::string(u"length"), scope, error);
  EXPECT_FALSE(a->hasProperty(lengthList, scope, error));
  EXPECT_EQ(a->count(), 6u);
  EXPECT_FALSE(error);
}

TEST_F(ArrayValueTest, LengthTakesOnlyWholeNumbersUpToTheLimit) {
  auto a = arrayOf({Value::number(1), Value::number(2), Value::number(3), Value::number(4), Value::number(5)});
  const Value length = Value::string(u"length");
  platform::ErrorRef error;
  ASSERT_TRUE(a->setValue(Value::number(2), length, scope, error));
  EXPECT_EQ(show(Value(a)), "[1 2]");
  ASSERT_TRUE(a->setValue(Value::string(u"3"), length, scope, error));
  EXPECT_EQ(show(Value(a)), "[1 2 _]");
  const double limit = static_cast<double>(kAPMPMaxArrayLength);
  struct Refused {
    Value value;
    long code;
  };
  for (const Refused& refused : std::vector<Refused>{{Value::number(1.5), 11},
                                                     {Value::number(-1), 11},
                                                     {Value::string(u"x"), 11},
                                                     {Value::number(kNaN), 11},
                                                     {Value::number(limit + 1), 11},
                                                     {Value::number(1e300), 11},
                                                     {Value::number(std::numeric_limits<double>::infinity()), 11}}) {
    error.reset();
    EXPECT_FALSE(a->setValue(refused.value, length, scope, error)) << text(refused.value);
    EXPECT_EQ(code(error), refused.code) << text(refused.value);
    EXPECT_EQ(a->count(), 3u);
  }
  // Indexes are compared as doubles before any conversion.
  for (double index : {limit, 1e19, 1.8446744073709552e19, 1e300}) {
    error.reset();
    EXPECT_FALSE(a->setValue(Value::number(1), Value::number(index), scope, error));
    EXPECT_EQ(code(error), 11);
    platform::ErrorRef readError;
    EXPECT_TRUE(a->valueForProperty(Value::number(index), scope, readError).isUndefined());
  }
  error.reset();
  EXPECT_TRUE(a->setValue(Value::number(1), Value::number(limit - 1), scope, error));
  EXPECT_EQ(a->count(), kAPMPMaxArrayLength);
  EXPECT_TRUE(a->setValue(Value::number(0), length, scope, error));
  EXPECT_EQ(a->count(), 0u);
}

TEST_F(ArrayValueTest, GrowthIsChargedToTheWorkBudget) {
  platform::ErrorRef error;
  auto a = arrayOf({});
  const Value length = Value::string(u"length");
  const double limit = static_cast<double>(kAPMPMaxArrayLength);
  // Growing and cutting back over and over ends with error 18; most of the
  // budget is spent beforehand to keep the test short.
  ASSERT_TRUE(APMPChargeWork(scope, kAPMPWorkLimit - 3 * kAPMPMaxArrayLength - 10, error));
  size_t rounds = 0;
  while (a->setValue(Value::number(limit), length, scope, error) && rounds < 1000) {
    a->setLength(0, scope, error);
    ++rounds;
  }
  EXPECT_EQ(code(error), 18);
  EXPECT_EQ(rounds, 3u);
  EXPECT_EQ(a->count(), 0u);
}

TEST_F(ArrayValueTest, TextFormsOfHolesNullsAndCycles) {
  platform::ErrorRef error;
  auto a = arrayOf({Value::number(1), Value::hole(), Value::null(), Value(), Value::string(u"x")});
  EXPECT_EQ(text(Value(a)), "1,,,,x");
  EXPECT_EQ(script_text::toUtf8(a->stringValueWithSeparator(u"-", error)), "1----x");
  EXPECT_EQ(text(Value(arrayOf({}))), "");
  EXPECT_EQ(Value(arrayOf({})).doubleValueOrError(error), 0);
  EXPECT_TRUE(std::isnan(Value(arrayOf({Value::number(1), Value::number(2)})).doubleValueOrError(error)));
  EXPECT_EQ(Value(arrayOf({Value::string(u" 7 ")})).doubleValueOrError(error), 7);

  // A cycle contributes the empty text; it is equal to nothing but itself.
  auto cyclic = arrayOf({Value::number(1)});
  cyclic->elements().push_back(Value(cyclic));
  auto inner = arrayOf({Value(cyclic), Value::number(2)});
  cyclic->elements().push_back(Value(inner));
  EXPECT_EQ(text(Value(cyclic)), "1,,,2");
  EXPECT_FALSE(error);
  auto twin = arrayOf({Value::number(1)});
  twin->elements().push_back(Value(twin));
  twin->elements().push_back(Value(inner));
  EXPECT_TRUE(Value(cyclic).isEqualToRuntimeValue(Value(cyclic)));
  EXPECT_FALSE(Value(cyclic).isEqualToRuntimeValue(Value(twin)));
  cyclic->sweep();
  twin->sweep();

  // Too deep is error 18.
  Value deep(arrayOf({Value::number(1)}));
  for (int i = 0; i < kAPMPMaxValueNesting + 5; ++i) deep = Value(arrayOf({deep}));
  EXPECT_EQ(text(deep), "");
  deep.stringValueOrError(error);
  EXPECT_EQ(code(error), 18);
}

TEST_F(ArrayValueTest, SharedSubarraysAreBoundedAndCharged) {
  // Each level holds the one below many times over: the tree is far larger
  // than the values, and its text would be too.
  Value level(arrayOf({Value::string(std::u16string(64, u'x'))}));
  for (int i = 0; i < 6; ++i) level = Value(arrayOf(std::vector<Value>(64, level)));
  platform::ErrorRef error;
  EXPECT_EQ(APMPChargedText(level, scope, error).text(), u"");
  EXPECT_EQ(code(error), 18);

  // A long text form is paid for: repeated conversions run out of budget.
  error.reset();
  auto wide = arrayOf(std::vector<Value>(1 << 16, Value::string(std::u16string(100, u'y'))));
  int conversions = 0;
  while (!error && conversions < 1000) {
    APMPChargedText(Value(wide), scope, error);
    ++conversions;
  }
  EXPECT_EQ(code(error), 18);
  EXPECT_LT(conversions, 1000);
}

TEST_F(ArrayValueTest, ListOperations) {
  auto a = arrayOf({Value::number(1), Value::number(2), Value::number(3), Value::number(4)});
  const std::vector<Value> items{Value::string(u"a"), Value::string(u"b")};
  const std::vector<Value> removed = a->spliceFrom(1, 2, items);
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(show(Value(a)), "[1 'a' 'b' 4]");
  EXPECT_EQ(a->spliceFrom(10, 10, items).size(), 0u);
  EXPECT_EQ(show(Value(a)), "[1 'a' 'b' 4 'a' 'b']");
  platform::ErrorRef error;
  auto b = arrayOf({Value::hole(), Value(arrayOf({Value::number(9)}))});
  ASSERT_TRUE(b->concat(Value(b), error));
  EXPECT_EQ(b->count(), 4u);
  EXPECT_TRUE(b->elements()[2].isHole());
  EXPECT_FALSE(b->concat(APMPControlValue::continueValue(), error));
  EXPECT_EQ(code(error), 10);
  EXPECT_TRUE(arrayOf({Value::hole()})->removeFirstElement().isUndefined());
  EXPECT_TRUE(arrayOf({})->removeLastElement().isUndefined());
  auto c = arrayOf({Value::number(kNaN), Value::hole(), Value(), Value::number(1), Value()});
  error.reset();
  EXPECT_EQ(c->indexOfValue(Value::number(kNaN), 0, scope, error), -1);
  EXPECT_EQ(c->indexOfValue(Value(), 0, scope, error), 2);
  EXPECT_EQ(c->lastIndexOfValue(Value(), 100, scope, error), 4);
  EXPECT_EQ(c->lastIndexOfValue(Value(), 3, scope, error), 2);
  EXPECT_EQ(c->lastIndexOfValue(Value::number(1), 2, scope, error), -1);
  EXPECT_EQ(c->prependElements(items), 7u);
  EXPECT_EQ(text(c->elementAt(0)), "a");
}

// Comparing long texts is paid for, in searches and in the comparison
// commands alike: repeating it runs out of budget instead of running for
// hours. Most of the budget is spent beforehand to keep the test short.
TEST_F(WorkBudgetTest, TextComparisonsAreCharged) {
  const size_t length = 1 << 17;
  std::u16string longText(length, u'x');
  const Value shared = Value::string(longText);
  longText.back() = u'y';
  const Value sought = Value::string(longText);
  auto copies = arrayOf(std::vector<Value>(64, shared));
  platform::ErrorRef error;
  ASSERT_TRUE(APMPChargeWork(scope, kAPMPWorkLimit - 10 * length, error));
  EXPECT_EQ(copies->lastIndexOfValue(shared, 63, scope, error), 63);  // a shared text costs nothing to compare
  EXPECT_EQ(copies->indexOfValue(sought, 0, scope, error), -1);
  EXPECT_EQ(code(error), 18);

  for (const char* opcode : {"20", "12", "23"}) {
    h.runtime.resetInstructionCount();
    ASSERT_TRUE(APMPChargeWork(scope, kAPMPWorkLimit - 10 * length, error));
    scope.addValue(shared, u"a");
    scope.addValue(sought, u"b");
    error.reset();
    int evaluations = 0;
    while (!error && evaluations < 10000) {
      APMPEvaluator::evaluateStatement(convert(stmt(opcode, {variable("a"), variable("b")})), scope, error);
      ++evaluations;
    }
    EXPECT_EQ(code(error), 18) << opcode;
    EXPECT_LE(evaluations, 11) << opcode;
  }
}

TEST(PropertyMapTest, RemovalsKeepOrderAndLookups) {
  APMPPropertyMap map;
  const int n = 40;
  for (int i = 0; i < n; ++i) map.setValue(Value::number(i), u16(concat({"p", std::to_string(i)})));
  // Remove every name but the multiples of 3, in a scattered order.
  for (int i = n - 1; i >= 0; i -= 2) map.removeValueForName(u16(concat({"p", std::to_string(i)})));
  for (int i = 0; i < n; i += 2) {
    if (i % 3 != 0) map.removeValueForName(u16(concat({"p", std::to_string(i)})));
  }
  map.setValue(Value::number(-1), u"p1");  // a removed name comes back last
  std::vector<std::string> names;
  for (const auto& name : map.allNames()) names.push_back(script_text::toUtf8(name));
  EXPECT_EQ(names, (std::vector<std::string>{"p0", "p6", "p12", "p18", "p24", "p30", "p36", "p1"}));
  EXPECT_EQ(map.count(), 8u);
  EXPECT_EQ(map.valueForName(u"p18").numberValue(), 18);
  EXPECT_FALSE(map.hasName(u"p19"));
  EXPECT_EQ(map.entries().size(), 8u);
}

TEST(PropertyMapTest, RemovingManyNamesIsLinear) {
  // 200,000 names removed in insertion order: quadratic removal would take
  // minutes; linear removal a fraction of a second.
  APMPPropertyMap map;
  const int n = 200000;
  std::vector<std::u16string> keys;
  for (int i = 0; i < n; ++i) keys.push_back(u16(std::to_string(i)));
  for (const auto& key : keys) map.setValue(Value::number(1), key);
  for (const auto& key : keys) map.removeValueForName(key);
  EXPECT_EQ(map.count(), 0u);
  EXPECT_TRUE(map.entries().empty());
}

}  // namespace
}  // namespace script_test
