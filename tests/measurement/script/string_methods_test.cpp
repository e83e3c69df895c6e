#include "measurement/script/string_methods.h"

#include <gtest/gtest.h>

#include <limits>

#include "measurement/script/object_manager.h"
#include "measurement/script/script_regex.h"
#include "measurement/script/text_search.h"
#include "platform/property_list.h"
#include "script_test_support.h"

namespace script_test {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Value U;
Value n(double x) { return Value::number(x); }
Value s(const std::string& x) { return Value::string(u16(x)); }

class StringMethodsTest : public ::testing::Test {
 protected:
  APMPScope& scope() { return h.runtime.globalScope(); }
  Value call(const std::string& receiver, const char* method, std::vector<Value> arguments,
             platform::ErrorRef& error) {
    return s(receiver).applyWithName(u16(method), arguments, scope(), error);
  }
  ScriptHarness h;
};

TEST_F(StringMethodsTest, Methods) {
  struct Case {
    std::string receiver;
    const char* method;
    std::vector<Value> arguments;
    std::string result;
  };
  const std::string emoji = "a\xF0\x9F\x98\x80" "b";  // a, U+1F600 (two code units), b
  const Case cases[] = {
      {"abc", "charAt", {}, "'a'"},
      {"abc", "charAt", {n(-1)}, "''"},
      {"abc", "charAt", {n(3)}, "''"},
      {"abc", "charAt", {n(1.9)}, "'b'"},
      {"abc", "charAt", {n(kNaN)}, "'a'"},
      {"abc", "charAt", {n(1e300)}, "''"},
      {emoji, "charAt", {n(3)}, "'b'"},
      {"ab", "concat", {n(1), U, Value::null()}, "'ab1undefinednull'"},
      {"abc", "hasOwnProperty", {s("length")}, "true"},
      {"abc", "hasOwnProperty", {n(2)}, "true"},
      {"abc", "hasOwnProperty", {s("2")}, "true"},
      {"abc", "hasOwnProperty", {n(3)}, "false"},
      {"abc", "hasOwnProperty", {n(1.5)}, "false"},
      {emoji, "hasOwnProperty", {n(3)}, "true"},
      // Searches: empty needles are never found; positions clamp.
      {"banana", "indexOf", {s("")}, "-1"},
      {"banana", "indexOf", {s("a"), n(2)}, "3"},
      {"banana", "indexOf", {s("a"), n(-5)}, "1"},
      {"banana", "indexOf", {s("a"), n(1e300)}, "-1"},
      {"an undefined", "indexOf", {}, "3"},
      {emoji, "indexOf", {s("b")}, "3"},
      {"banana", "lastIndexOf", {s("a")}, "5"},
      {"banana", "lastIndexOf", {s("a"), n(4)}, "3"},
      {"banana", "lastIndexOf", {s("a"), n(-1)}, "-1"},
      {"banana", "lastIndexOf", {s("b"), n(-1)}, "0"},
      {"banana", "lastIndexOf", {s("a"), n(kNaN)}, "5"},
      {"banana", "lastIndexOf", {s("a"), U}, "5"},
      {"banana", "lastIndexOf", {s("ana"), n(3)}, "3"},
      {"banana", "lastIndexOf", {s("ana"), n(2)}, "1"},
      {"banana", "lastIndexOf", {s("")}, "-1"},
      // Canonically equivalent forms match; a match never splits a letter
      // from its combining mark.
      {"caf\xC3\xA9!", "indexOf", {s("e\xCC\x81")}, "3"},
      {"cafe\xCC\x81!", "indexOf", {s("\xC3\xA9!")}, "3"},
      {"cafe\xCC\x81", "indexOf", {s("e")}, "-1"},
      {"cafe\xCC\x81 e", "lastIndexOf", {s("e")}, "6"},
      {"\xC3\xA9" "a\xC3\xA9", "lastIndexOf", {s("e\xCC\x81"), n(0)}, "0"},
      {"\xC3\xA9" "a\xC3\xA9", "lastIndexOf", {s("e\xCC\x81"), n(1)}, "2"},  // may run past the position
      // Regular expressions.
      {"caaab", "match", {s("a+")}, "['aaa']"},
      {"caaab", "match", {s("x")}, "null"},
      {"caaab", "match", {}, "['']"},
      {"caaab", "match", {s("")}, "['']"},
      {"a\nb", "match", {s("^b")}, "null"},
      {"a\nb", "match", {s("a.b")}, "null"},
      {"ab1", "search", {s("[0-9]")}, "2"},
      {"ab1", "search", {s("")}, "0"},
      {"xundefined", "search", {}, "1"},
      {emoji, "search", {s("b")}, "3"},
      {"ab", "search", {s("B")}, "-1"},
      // Literal replacement of the first occurrence.
      {"banana", "replace", {s("a"), s("o")}, "'bonana'"},
      {"a$b", "replace", {s("$"), s("$&$1")}, "'a$&$1b'"},
      {"banana", "replace", {s("an")}, "'bundefinedana'"},
      {"banana", "replace", {s(""), s("x")}, "'xbanana'"},
      {"banana", "replace", {s("z"), s("x")}, "'banana'"},
      {"cafe\xCC\x81s", "replace", {s("\xC3\xA9"), s("E")}, "'cafEs'"},
      // Slices and substrings.
      {"abcdef", "slice", {n(-3)}, "'def'"},
      {"abcdef", "slice", {n(4), n(2)}, "''"},
      {"abcdef", "slice", {n(0), U}, "''"},
      {"abcdef", "slice", {n(-100), n(-1)}, "'abcde'"},
      {"abcdef", "slice", {n(2), n(1e300)}, "'cdef'"},
      {"abcdef", "substring", {n(4), n(1)}, "'bcd'"},
      {"abcdef", "substring", {n(-4), n(2)}, "'ab'"},
      {"abcdef", "substring", {U, n(kNaN)}, "''"},
      {"abcdef", "substring", {n(2)}, "'cdef'"},
      {emoji, "slice", {n(1), n(2)}, "'\xEF\xBF\xBD'"},  // half a pair converts as U+FFFD
      // Splits and their limits.
      {"a,,b", "split", {s(",")}, "['a' '' 'b']"},
      {"a,,b", "split", {s(","), n(2)}, "['a' '']"},
      {"a,,b", "split", {s(","), n(0)}, "[]"},
      {"a,,b", "split", {s(","), U}, "[]"},
      {"a,,b", "split", {s(","), n(-1)}, "['a' '' 'b']"},
      {"a,,b", "split", {s(","), n(3e9)}, "['a' '' 'b']"},
      {"a,,b", "split", {}, "['a,,b']"},
      {"abc", "split", {s("")}, "['a' 'b' 'c']"},
      {"abc", "split", {s(""), n(2)}, "['a' 'b']"},
      {"", "split", {s(",")}, "['']"},
      {"a.b", "split", {s(".")}, "['a' 'b']"},
      {"ab", "split", {s("ab")}, "['' '']"},
      // Case mappings and trimming.
      {"Stra\xC3\x9F" "e", "toUpperCase", {}, "'STRASSE'"},
      {"\xC4\xB0Z", "toLowerCase", {}, "'i\xCC\x87z'"},
      {"AbC", "toLocaleLowerCase", {}, "'abc'"},
      {"AbC", "toLocaleUpperCase", {}, "'ABC'"},
      {"AbC", "toString", {}, "'AbC'"},
      {" \t\xC2\xA0x y\n\xE2\x80\xA8\r\xC2\x85", "trim", {}, "'x y'"},
      {"\xE2\x80\x8Bx", "trim", {}, "'\xE2\x80\x8Bx'"},  // a zero-width space is no white space
  };
  for (const Case& c : cases) {
    platform::ErrorRef error;
    const Value result = call(c.receiver, c.method, c.arguments, error);
    EXPECT_FALSE(error) << c.receiver << "." << c.method;
    EXPECT_EQ(show(result), c.result) << c.receiver << "." << c.method << " "
                                      << show(Value(APMPMake<APMPArrayValue>(c.arguments)));
  }
}

TEST_F(StringMethodsTest, CountsAndUnknownNames) {
  struct Case {
    const char* method;
    size_t count;
  };
  const Case cases[] = {{"charAt", 2},  {"hasOwnProperty", 0}, {"hasOwnProperty", 2}, {"indexOf", 3},
                        {"match", 2},   {"replace", 3},        {"search", 2},         {"slice", 3},
                        {"split", 3},   {"substring", 3},      {"toLowerCase", 1},    {"toLocaleUpperCase", 1},
                        {"toString", 1}, {"trim", 1}};
  for (const Case& c : cases) {
    platform::ErrorRef error;
    EXPECT_TRUE(call("abc", c.method, std::vector<Value>(c.count, n(1)), error).isUndefined()) << c.method;
    EXPECT_EQ(code(error), 9) << c.method;
  }
  platform::ErrorRef error;
  call("abc", "length", {}, error);
  EXPECT_EQ(code(error), 17);
  error.reset();
  call("abc", "concat", {APMPControlValue::breakValue()}, error);
  EXPECT_EQ(code(error), 5);
}

TEST_F(StringMethodsTest, ReplaceCallsAFunction) {
  std::vector<std::string> seen;
  const Value replacer(APMPMake<TestNative>("r", [&](auto v, auto&, auto&) {
    for (const Value& value : v) seen.push_back(show(value));
    return n(42);
  }));
  platform::ErrorRef error;
  EXPECT_EQ(show(call("banana", "replace", {s("na"), replacer}, error)), "'ba42na'");
  EXPECT_EQ(seen, (std::vector<std::string>{"'na'", "2", "'banana'"}));
  const Value failing(APMPMake<TestNative>("r", [](auto, auto&, platform::ErrorRef& e) {
    e = APMPScriptError(4);
    return Value();
  }));
  EXPECT_TRUE(call("banana", "replace", {s("na"), failing}, error).isUndefined());
  EXPECT_EQ(code(error), 4);
}

TEST_F(StringMethodsTest, RegularExpressionFailures) {
  platform::ErrorRef error;
  EXPECT_TRUE(call("caaab", "match", {s("(")}, error).isNull());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), platform::kCocoaErrorDomain);
  EXPECT_EQ(error->code(), kAPMPRegexErrorCode);
  error.reset();
  EXPECT_TRUE(call("caaab", "search", {s("[")}, error).isUndefined());
  EXPECT_EQ(error ? error->code() : 0, kAPMPRegexErrorCode);

  // Catastrophic backtracking ends with error 18, like any spent budget,
  // not a hang.
  const std::string hostile = std::string(40, 'a') + "!";
  for (const char* method : {"match", "search"}) {
    error.reset();
    h.runtime.resetInstructionCount();
    call(hostile, method, {s("^(a+)+$")}, error);
    EXPECT_EQ(code(error), 18) << method;
  }

  // Unbounded recursion in the matcher meets the stack limit, a resource
  // like the budget.
  error.reset();
  call(std::string(200000, 'a'), "match", {s("(a|b)*c")}, error);
  EXPECT_EQ(code(error), 18);

  // Matching pays for its steps: a spent budget stops it with error 18.
  error.reset();
  h.runtime.resetInstructionCount();
  ASSERT_TRUE(APMPChargeWork(scope(), kAPMPWorkLimit - 1000, error));
  call(hostile, "match", {s("^(a+)+$")}, error);
  EXPECT_EQ(code(error), 18);
}

TEST_F(StringMethodsTest, TextsStayWithinTheLengthLimit) {
  platform::ErrorRef error;
  const Value big = Value::string(std::u16string(kAPMPMaxTextLength / 2 + 1, u'x'));
  EXPECT_TRUE(big.applyWithName(u"concat", std::vector<Value>{big}, scope(), error).isUndefined());
  EXPECT_EQ(code(error), 18);
  error.reset();
  EXPECT_TRUE(big.applyWithName(u"replace", std::vector<Value>{s("x"), big}, scope(), error).isUndefined());
  EXPECT_EQ(code(error), 18);
  // A split may not make more pieces than an array can hold.
  error.reset();
  const Value wide = Value::string(std::u16string(kAPMPMaxArrayLength + 1, u'y'));
  wide.applyWithName(u"split", std::vector<Value>{s("")}, scope(), error);
  EXPECT_EQ(code(error), 11);
}

TEST(TextSearchTest, LastOccurrenceWithinARange) {
  using script_text::findLastText;
  EXPECT_EQ(findLastText(u"abcabc", u"abc", 6).location, 3u);
  EXPECT_EQ(findLastText(u"abcabc", u"abc", 5).location, 0u);
  EXPECT_FALSE(findLastText(u"abcabc", u"abc", 2).found());
  EXPECT_FALSE(findLastText(u"ab", u"abc", 100).found());
  // Decomposed searches report lengths in the searched text.
  const auto match = script_text::findText(u"x\u00E9y", u"e\u0301y");
  EXPECT_EQ(match.location, 1u);
  EXPECT_EQ(match.length, 2u);
  const auto last = findLastText(u"e\u0301-\u00E9", u"\u00E9", 4);
  EXPECT_EQ(last.location, 3u);
  EXPECT_EQ(last.length, 1u);
  EXPECT_EQ(findLastText(u"e\u0301-\u00E9", u"\u00E9", 3).location, 0u);
  EXPECT_EQ(findLastText(u"e\u0301-\u00E9", u"\u00E9", 3).length, 2u);
}

// A program sees the same code units: the emoji counts two in "length" and
// in every index.
TEST(StringMethodProgramsTest, IndexesCountCodeUnits) {
  ScriptHarness h;
  platform::ErrorRef error;
  const auto call = [](const char* name, std::vector<Entity> arguments) {
    return methodCall(variable("s"), name, std::move(arguments));
  };
  h.run({let("s", str("a\xF0\x9F\x98\x80" "b"))}, &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(show(h.eval(getProperty(variable("s"), str("length")))), "4");
  EXPECT_EQ(show(h.eval(call("charAt", {num(3)}))), "'b'");
  EXPECT_EQ(show(h.eval(call("indexOf", {str("b")}))), "3");
  EXPECT_EQ(show(h.eval(call("slice", {num(1), num(3)}))), "'\xF0\x9F\x98\x80'");
  EXPECT_EQ(show(h.eval(getProperty(call("split", {str("")}), str("length")))), "4");
}

}  // namespace
}  // namespace script_test
