#include "measurement/script/array_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/object_manager.h"
#include "script_test_support.h"

namespace script_test {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Value H = Value::hole();
const Value U;
const Value N = Value::null();
Value n(double x) { return Value::number(x); }
Value s(const char* x) { return Value::string(u16(x)); }

class ArrayMethodsTest : public ::testing::Test {
 protected:
  APMPScope& scope() { return h.runtime.globalScope(); }
  // Calls `method` on an array of `elements`; the array as it is afterwards
  // goes to `after`.
  Value call(std::vector<Value> elements, const char* method, std::vector<Value> arguments,
             platform::ErrorRef& error, std::string* after = nullptr) {
    auto array = APMPObjectManager::arrayValueWithArray(std::move(elements), scope());
    const Value result = Value(array).applyWithName(u16(method), arguments, scope(), error);
    if (after) *after = show(Value(array));
    return result;
  }
  Value native(TestNative::Body body) { return Value(APMPMake<TestNative>("cb", std::move(body))); }

  ScriptHarness h;
};

TEST_F(ArrayMethodsTest, MethodsWithoutCallbacks) {
  struct Case {
    std::vector<Value> array;
    const char* method;
    std::vector<Value> arguments;
    std::string result;
    std::string after;  // empty: unchanged
  };
  const std::vector<Value> five{n(1), n(2), n(3), n(4), n(5)};
  const std::vector<Value> abcde{s("a"), s("b"), s("c"), s("d"), s("e")};
  const Case cases[] = {
      {{n(1), H}, "concat", {n(3), Value(APMPMake<APMPArrayValue>(std::vector<Value>{H, Value(APMPMake<APMPArrayValue>())}))},
       "[1 _ 3 _ []]", ""},
      {{}, "concat", {}, "[]", ""},
      {{n(1), H, U}, "hasOwnProperty", {s("length")}, "true", ""},
      {{n(1), H, U}, "hasOwnProperty", {n(1)}, "false", ""},
      {{n(1), H, U}, "hasOwnProperty", {s("2")}, "true", ""},
      {{n(1), H, U}, "hasOwnProperty", {n(3)}, "false", ""},
      // indexOf: strict equality, never a hole; starts relative to the end.
      {{n(kNaN), H, U}, "indexOf", {n(kNaN)}, "-1", ""},
      {{n(kNaN), H, U}, "indexOf", {}, "2", ""},
      {{s("1"), n(1)}, "indexOf", {n(1)}, "1", ""},
      {five, "indexOf", {n(3), n(-2)}, "-1", ""},
      {five, "indexOf", {n(4), n(-2)}, "3", ""},
      {five, "indexOf", {n(1), n(-100)}, "0", ""},
      {five, "indexOf", {n(5), n(5)}, "-1", ""},
      {five, "indexOf", {n(5), n(4.9)}, "4", ""},
      {five, "indexOf", {n(1), U}, "0", ""},
      {five, "indexOf", {n(1), n(-1.0 / 0.0)}, "0", ""},
      {five, "indexOf", {n(1), n(1.0 / 0.0)}, "-1", ""},
      // lastIndexOf: NaN is no start; negative starts count from the end.
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(1)}, "2", ""},
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(1), n(kNaN)}, "2", ""},
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(1), U}, "2", ""},
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(1), n(1)}, "0", ""},
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(1), n(-3)}, "0", ""},
      {{n(1), n(2), n(1), n(2)}, "lastIndexOf", {n(2), n(-4)}, "-1", ""},
      {five, "lastIndexOf", {n(1), n(-10)}, "-1", ""},
      {five, "lastIndexOf", {n(5), n(1e300)}, "4", ""},
      {{}, "lastIndexOf", {U}, "-1", ""},
      {{}, "lastIndexOf", {U, n(0)}, "-1", ""},  // no last position to start from
      {{H, U}, "lastIndexOf", {}, "1", ""},
      // join: null and undefined separate with nothing; elements likewise.
      {{n(1), N, U, H, s("x")}, "join", {}, "'1,,,,x'", ""},
      {{n(1), N, U, H, s("x")}, "join", {U}, "'1x'", ""},
      {{n(1), N, U, H, s("x")}, "join", {N}, "'1x'", ""},
      {{n(1), n(2)}, "join", {n(0)}, "'102'", ""},
      {{n(1), n(2)}, "toString", {}, "'1,2'", ""},
      {{n(1), H}, "pop", {}, "undefined", "[1]"},
      {{}, "pop", {}, "undefined", ""},
      {{H, n(2)}, "shift", {}, "undefined", "[2]"},
      {{n(1)}, "push", {n(2), H}, "3", "[1 2 _]"},
      {{n(1)}, "unshift", {n(2), n(3)}, "3", "[2 3 1]"},
      {{n(1), H, n(3)}, "reverse", {}, "[3 _ 1]", "[3 _ 1]"},
      // slice: undefined is NaN, which is 0; negatives count from the end.
      {abcde, "slice", {n(-2)}, "['d' 'e']", ""},
      {abcde, "slice", {n(0), U}, "[]", ""},
      {abcde, "slice", {U}, "['a' 'b' 'c' 'd' 'e']", ""},
      {abcde, "slice", {n(1), n(-1)}, "['b' 'c' 'd']", ""},
      {abcde, "slice", {n(3), n(1)}, "[]", ""},
      {abcde, "slice", {n(-100), n(100)}, "['a' 'b' 'c' 'd' 'e']", ""},
      {{n(1), H, n(3)}, "slice", {n(1)}, "[_ 3]", ""},
      // splice: start, delete count, items.
      {{n(1), n(2), n(3), n(4)}, "splice", {n(1), n(2), s("a"), s("b")}, "[2 3]", "[1 'a' 'b' 4]"},
      {{n(1), n(2), n(3), n(4)}, "splice", {}, "[]", ""},
      {{n(1), n(2), n(3), n(4)}, "splice", {n(-1)}, "[4]", "[1 2 3]"},
      {{n(1), H, n(3), n(4)}, "splice", {n(1), n(-5)}, "[]", ""},
      {{n(1), H, n(3), n(4)}, "splice", {n(0), n(2)}, "[1 _]", "[3 4]"},
      {{n(1), n(2)}, "splice", {n(5), n(1), n(9)}, "[]", "[1 2 9]"},
      // sort by text form; undefined, then holes, at the end.
      {{n(10), n(9), n(1)}, "sort", {}, "[1 10 9]", "[1 10 9]"},
      {{H, U, n(2), H, s("b"), U, n(1)}, "sort", {}, "[1 2 'b' u u _ _]", "[1 2 'b' u u _ _]"},
      {{H}, "sort", {n(1)}, "[_]", ""},
  };
  for (const Case& c : cases) {
    platform::ErrorRef error;
    std::string after;
    const std::string before = show(Value(APMPMake<APMPArrayValue>(c.array)));
    const Value result = call(c.array, c.method, c.arguments, error, &after);
    const std::string label = before + "." + c.method + " " + show(Value(APMPMake<APMPArrayValue>(c.arguments)));
    EXPECT_FALSE(error) << label;
    EXPECT_EQ(show(result), c.result) << label;
    EXPECT_EQ(after, c.after.empty() ? before : c.after) << label;
  }
}

TEST_F(ArrayMethodsTest, CountsAndKindsAreChecked) {
  struct Case {
    const char* method;
    std::vector<Value> arguments;
    long code;
  };
  const Value f = native([](auto, auto&, auto&) { return Value(); });
  const Case cases[] = {
      {"every", {}, 9},         {"every", {n(1)}, 10},      {"some", {f, f}, 9},      {"map", {s("f")}, 10},
      {"toString", {n(1)}, 9},  {"pop", {n(1)}, 9},          {"join", {n(1), n(2)}, 9}, {"indexOf", {U, U, U}, 9},
      {"reduce", {}, 9},        {"reduce", {n(1)}, 10},     {"reduce", {f, f, f}, 9}, {"slice", {U, U, U}, 9},
      {"sort", {f, f}, 9},      {"sort", {n(1)}, 10},       {"hasOwnProperty", {}, 9},
      {"concat", {APMPControlValue::breakValue()}, 10},   {"reduce", {f, APMPControlValue::breakValue()}, 10},
      {"nothing", {}, 17},      {"reduce", {f}, 8},
  };
  for (const Case& c : cases) {
    platform::ErrorRef error;
    std::vector<Value> elements{n(2), n(1)};
    if (std::string(c.method) == "reduce" && c.code == 8) elements = {H, H};
    const Value result = call(elements, c.method, c.arguments, error);
    EXPECT_EQ(code(error), c.code) << c.method;
  }
  // A failing sort leaves the array unchanged for a bad comparator kind.
  platform::ErrorRef error;
  std::string after;
  call({n(2), n(1)}, "sort", {n(1)}, error, &after);
  EXPECT_EQ(after, "[2 1]");
}

TEST_F(ArrayMethodsTest, IterationSkipsHolesAndSeesChanges) {
  std::vector<std::string> seen;
  const Value recordAll = native([&](auto v, auto&, auto&) {
    seen.push_back(text(v[1]) + ":" + show(v[0]));
    return Value::boolean(true);
  });
  platform::ErrorRef error;
  call({n(1), H, U, H}, "forEach", {recordAll}, error);
  EXPECT_EQ(seen, (std::vector<std::string>{"0:1", "2:undefined"}));

  // map: results at the elements' indexes; trailing holes shorten it.
  const Value twice = native([](auto v, auto&, platform::ErrorRef& e) { return n(2 * v[0].doubleValueOrError(e)); });
  EXPECT_EQ(show(call({n(1), H, n(3), H}, "map", {twice}, error)), "[2 _ 6]");
  EXPECT_EQ(show(call({H, H, n(5)}, "map", {twice}, error)), "[_ _ 10]");
  EXPECT_EQ(show(call({H, H}, "map", {twice}, error)), "[]");
  EXPECT_EQ(show(call({n(1), n(0), H, n(2)}, "filter", {native([](auto v, auto&, auto&) { return v[0]; })}, error)),
            "[1 2]");
  // "filter" keeps each element as the callback received it.
  const Value overwrite = native([](auto v, APMPScope& sc, platform::ErrorRef& e) {
    v[2].asArray()->setValue(s("changed"), v[1], sc, e);
    return Value::boolean(true);
  });
  EXPECT_EQ(show(call({n(1), n(2)}, "filter", {overwrite}, error)), "[1 2]");
  EXPECT_EQ(show(call({}, "every", {recordAll}, error)), "true");
  EXPECT_EQ(show(call({H, H}, "some", {recordAll}, error)), "false");
  seen.clear();
  EXPECT_EQ(show(call({n(0), n(1), n(2)}, "some", {native([&](auto v, auto&, platform::ErrorRef& e) {
                         seen.push_back(text(v[0]));
                         return Value::boolean(v[0].doubleValueOrError(e) >= 1);
                       })},
                      error)),
            "true");
  EXPECT_EQ(seen.size(), 2u);  // stopped at the first true
  ASSERT_FALSE(error);

  // Elements appended by the callback are not visited; positions it cut
  // off are skipped; the array passed is the array itself.
  auto array = APMPObjectManager::arrayValueWithArray({n(1), n(2), n(3), n(4)}, scope());
  seen.clear();
  const Value changer = native([&](auto v, APMPScope& sc, platform::ErrorRef& e) {
    seen.push_back(text(v[0]));
    APMPArrayValue* self = v[2].asArray();
    self->appendElements(std::vector<Value>{n(9)});
    if (v[1].numberValue() == 1) self->setLength(3, sc, e);
    return Value();
  });
  Value(array).applyWithName(u"forEach", std::vector<Value>{changer}, scope(), error);
  // [1 2 3 4 9], [1 2 3], [1 2 3 9], [1 2 3 9 9]: index 3 is visited again
  // as it holds an element, index 4 never.
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3", "9"}));
  EXPECT_EQ(array->count(), 5u);

  // An error in the callback ends the iteration with it.
  seen.clear();
  const Value failing = native([&](auto v, auto&, platform::ErrorRef& e) {
    seen.push_back(text(v[0]));
    e = APMPScriptError(2);
    return Value();
  });
  EXPECT_TRUE(call({n(1), n(2)}, "map", {failing}, error).isUndefined());
  EXPECT_EQ(code(error), 2);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ArrayMethodsTest, Reductions) {
  std::vector<std::string> calls;
  const Value concatenate = native([&](auto v, auto&, platform::ErrorRef& e) {
    calls.push_back(text(v[2]));
    return Value::string(v[0].stringValueOrError(e) + v[1].stringValueOrError(e));
  });
  platform::ErrorRef error;
  EXPECT_EQ(show(call({H, s("a"), H, s("b"), s("c")}, "reduce", {concatenate}, error)), "'abc'");
  EXPECT_EQ(calls, (std::vector<std::string>{"3", "4"}));
  calls.clear();
  EXPECT_EQ(show(call({s("a"), s("b"), H}, "reduceRight", {concatenate, s(">")}, error)), "'>ba'");
  EXPECT_EQ(calls, (std::vector<std::string>{"1", "0"}));
  calls.clear();
  EXPECT_EQ(show(call({H, n(7), H}, "reduce", {concatenate}, error)), "7");
  EXPECT_EQ(show(call({}, "reduceRight", {concatenate, U}, error)), "undefined");
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(error);
  call({}, "reduceRight", {concatenate}, error);
  EXPECT_EQ(code(error), 8);
}

TEST_F(ArrayMethodsTest, SortWithComparators) {
  platform::ErrorRef error;
  const Value descending = native([](auto v, auto&, platform::ErrorRef& e) {
    return n(v[1].doubleValueOrError(e) - v[0].doubleValueOrError(e));
  });
  EXPECT_EQ(show(call({n(3), H, U, n(10), n(1), n(2)}, "sort", {descending}, error)), "[10 3 2 1 u _]");
  // NaN and 0 are "equal": the order stays.
  EXPECT_EQ(show(call({n(3), n(1), n(2)}, "sort", {native([](auto, auto&, auto&) { return n(kNaN); })}, error)),
            "[3 1 2]");

  // Inconsistent answers, or a comparator that empties, grows or shrinks
  // the array, never take a sort out of bounds; the elements sorted are
  // written back.
  int round = 0;
  std::vector<Value> many;
  for (int i = 0; i < 200; ++i) many.push_back(n((i * 37) % 101));
  const Value chaotic = native([&](auto v, APMPScope& sc, platform::ErrorRef& e) {
    ++round;
    if (APMPArrayValue* target = h.recorded.empty() ? nullptr : h.recorded[0].asArray()) {
      if (round % 7 == 0) target->setLength(round % 3, sc, e);
      if (round % 11 == 0) target->appendElements(std::vector<Value>{v[0], v[1], H});
      if (round == 50) target->sweep();
    }
    return n(round % 3 - 1.0);
  });
  auto array = APMPObjectManager::arrayValueWithArray(many, scope());
  h.recorded.push_back(Value(array));
  const Value sorted = Value(array).applyWithName(u"sort", std::vector<Value>{chaotic}, scope(), error);
  EXPECT_FALSE(error);
  EXPECT_EQ(sorted.asArray(), array.get());
  ASSERT_GE(array->count(), 200u);
  double sum = 0;
  for (size_t i = 0; i < 200; ++i) sum += array->elements()[i].numberValue();
  double expected = 0;
  for (const Value& v : many) expected += v.numberValue();
  EXPECT_EQ(sum, expected);  // the same 200 elements, in some order
  h.recorded.clear();

  // An error stops the comparisons; the array keeps what the sort did.
  int calls = 0;
  const Value failing = native([&](auto, auto&, platform::ErrorRef& e) {
    if (++calls == 3) e = APMPScriptError(3);
    return n(-1);
  });
  std::string after;
  EXPECT_TRUE(call({n(5), n(4), n(3), n(2), n(1)}, "sort", {failing}, error, &after).isUndefined());
  EXPECT_EQ(code(error), 3);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(after, "[4 5 2 3 1]");

  // A text that has no text form fails the default sort.
  error.reset();
  call({n(1), Value(APMPStatementValue::make(u"nothing", {}))}, "sort", {}, error);
  EXPECT_EQ(code(error), 5);
}

TEST_F(ArrayMethodsTest, OwnFunctionPropertiesComeFirst) {
  platform::ErrorRef error;
  auto array = APMPObjectManager::arrayValueWithArray({n(1)}, scope());
  array->propertyMap().setValue(native([](auto, auto&, auto&) { return s("own"); }), u"push");
  array->propertyMap().setValue(n(1), u"pop");
  EXPECT_EQ(show(Value(array).applyWithName(u"push", std::vector<Value>{n(2)}, scope(), error)), "'own'");
  EXPECT_EQ(array->count(), 1u);
  Value(array).applyWithName(u"pop", {}, scope(), error);
  EXPECT_EQ(code(error), 17);
}

TEST_F(ArrayMethodsTest, GrowthStopsAtTheLimit) {
  platform::ErrorRef error;
  auto big = APMPObjectManager::arrayValueWithArray(std::vector<Value>(kAPMPMaxArrayLength / 2 + 1, n(1)), scope());
  EXPECT_TRUE(Value(big).applyWithName(u"concat", std::vector<Value>{Value(big)}, scope(), error).isUndefined());
  EXPECT_EQ(code(error), 11);
  error.reset();
  big->elements().resize(kAPMPMaxArrayLength, n(1));
  Value(big).applyWithName(u"push", std::vector<Value>{n(1)}, scope(), error);
  EXPECT_EQ(code(error), 11);
  EXPECT_EQ(big->count(), kAPMPMaxArrayLength);
  // Copying a large array over and over runs out of work budget (most of
  // it is spent beforehand to keep the test short).
  error.reset();
  h.runtime.resetInstructionCount();
  ASSERT_TRUE(APMPChargeWork(scope(), kAPMPWorkLimit - 5 * kAPMPMaxArrayLength, error));
  int copies = 0;
  while (!error && copies < 1000) {
    Value(big).applyWithName(u"slice", {}, scope(), error);
    ++copies;
  }
  EXPECT_EQ(code(error), 18);
  EXPECT_EQ(copies, 6);
}

// A collection run from inside a callback keeps what the method is working
// on: the new array of "filter" and "map", the accumulator of "reduce", and
// the elements being sorted even when the comparator removed them.
TEST_F(ArrayMethodsTest, CollectionsInsideCallbacksKeepTheMethodsValues) {
  platform::ErrorRef error;
  const auto fresh = [&] {
    return Value(APMPObjectManager::arrayValueWithArray({n(1), n(2)}, scope()));
  };
  const Value collectAndKeep = native([&](auto v, auto&, auto&) {
    h.runtime.collectGarbage();
    return v.size() > 1 && v[0].isNumber() ? fresh() : Value::boolean(true);
  });
  const std::vector<Value> three{fresh(), fresh(), fresh()};
  EXPECT_EQ(show(call(three, "filter", {collectAndKeep}, error)), "[[1 2] [1 2] [1 2]]");
  EXPECT_EQ(show(call({n(1), n(2)}, "map", {collectAndKeep}, error)), "[[1 2] [1 2]]");
  const Value accumulate = native([&](auto v, auto&, auto&) {
    h.runtime.collectGarbage();
    return Value(APMPObjectManager::arrayValueWithArray({v[0], v[1]}, scope()));
  });
  EXPECT_EQ(show(call({n(1), n(2), n(3)}, "reduce", {accumulate}, error)), "[[1 2] 3]");

  auto array = APMPObjectManager::arrayValueWithArray({fresh(), fresh(), fresh()}, scope());
  const Value emptying = native([&](auto, APMPScope& sc, platform::ErrorRef& e) {
    array->setLength(0, sc, e);
    h.runtime.collectGarbage();
    return n(0);
  });
  h.runtime.globalScope().addValue(Value(array), u"kept");
  Value(array).applyWithName(u"sort", std::vector<Value>{emptying}, scope(), error);
  EXPECT_FALSE(error);
  EXPECT_EQ(show(Value(array)), "[[1 2] [1 2] [1 2]]");
}

// Programs reach the methods through the method-call command, with script
// functions as callbacks and comparators.
TEST(ArrayMethodProgramsTest, ScriptCallbacks) {
  ScriptHarness h;
  platform::ErrorRef error;
  const Entity twice = function("51", "twice", {"x"}, {stmt("36", {stmt("26", {variable("x"), num(2)})})});
  const Entity descending = function("51", "desc", {"a", "b"}, {stmt("36", {stmt("37", {variable("b"), variable("a")})})});
  const Value result = h.run({let("a", stmt("7", {num(3), num(10), num(2)})),
                              methodCall(methodCall(methodCall(variable("a"), "map", {twice}), "sort", {descending}),
                                         "join", {str("-")})},
                             &error);
  ASSERT_FALSE(error) << code(error);
  EXPECT_EQ(show(result), "'20-6-4'");
  // "sort" without a comparator orders by text.
  EXPECT_EQ(show(h.eval(methodCall(variable("a"), "sort", {}))), "[10 2 3]");
}

}  // namespace
}  // namespace script_test
