#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

Value global(ScriptHarness& h, const char16_t* name) { return h.runtime.globalScope().valueForName(name); }

TEST(VariableCommandsTest, DeclarationsAndAssignmentsFollowTheScopeRules) {
  ScriptHarness h;
  platform::ErrorRef error;
  // An assignment from a block reaches the enclosing declaration.
  h.run({let("outer", num(1)), stmt("53", {assign("outer", num(2))})}, &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(global(h, u"outer").numberValue(), 2);
  // Undeclared: error 2, nothing bound.
  h.run({assign("nowhere", num(1))}, &error);
  EXPECT_EQ(code(error), 2);
  EXPECT_FALSE(h.runtime.globalScope().hasName(u"nowhere"));
  // A constant answers the new value and keeps the old one.
  error.reset();
  EXPECT_EQ(h.run({stmt("52", {str("k"), num(1)}), assign("k", num(5))}, &error).numberValue(), 5);
  EXPECT_FALSE(error);
  EXPECT_EQ(h.run({variable("k")}).numberValue(), 1);
  h.run({stmt("52", {str("k"), num(9)})});
  EXPECT_EQ(global(h, u"k").numberValue(), 1);
  // A second declaration in the same scope resets to undefined.
  h.run({let("v", num(5)), declare("v")});
  EXPECT_TRUE(global(h, u"v").isUndefined());
  EXPECT_TRUE(h.runtime.globalScope().hasName(u"v"));
  // Pairs and lists: an odd count binds nothing; a bad name stops where it is.
  EXPECT_TRUE(h.run({stmt("52")}, &error).isUndefined());
  EXPECT_FALSE(error);
  h.run({stmt("52", {str("c1"), num(1), str("c2")})}, &error);
  EXPECT_EQ(code(error), 9);
  EXPECT_FALSE(h.runtime.globalScope().hasName(u"c1"));
  error.reset();
  h.run({stmt("52", {str("c3"), num(1), num(7), num(2)})}, &error);
  EXPECT_EQ(code(error), 10);
  EXPECT_TRUE(h.runtime.globalScope().hasName(u"c3"));
  error.reset();
  h.run({stmt("41", {str("d1"), num(2), str("d2")})}, &error);
  EXPECT_EQ(code(error), 10);
  EXPECT_TRUE(h.runtime.globalScope().hasName(u"d1"));
  EXPECT_FALSE(h.runtime.globalScope().hasName(u"d2"));
  // Reads: unbound names are undefined; a name must be a string value.
  error.reset();
  EXPECT_TRUE(h.eval(variable("unbound"), &error).isUndefined());
  EXPECT_FALSE(error);
  h.eval(stmt("15", {num(1)}), &error);
  EXPECT_EQ(code(error), 10);
}

TEST(VariableCommandsTest, LiteralsTypesNullAndUndefined) {
  ScriptHarness h;
  platform::ErrorRef error;
  const Value map = h.eval(stmt("8", {num(1), str("a"), str("1"), str("b"), str("x"), stmt("45")}));
  ASSERT_NE(map.asMap(), nullptr);
  EXPECT_EQ(map.asMap()->allPropertyNames(), (std::vector<std::u16string>{u"1", u"x"}));
  EXPECT_EQ(text(map.asMap()->valueForProperty(u"1")), "b");
  EXPECT_TRUE(h.runtime.objectManager().trackedObjects().size() > 0);
  h.eval(stmt("8", {str("a")}), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  h.eval(stmt("8", {stmt("6"), num(1)}), &error);
  EXPECT_EQ(code(error), 5);
  const Value array = h.eval(stmt("7", {num(1), str("b"), stmt("44")}));
  ASSERT_NE(array.asArray(), nullptr);
  EXPECT_EQ(text(array), "1,b,");

  struct Type {
    Entity value;
    const char* name;
  };
  const Type types[] = {
      {stmt("45"), "object"},   {stmt("7"), "object"},     {stmt("8"), "object"},
      {stmt("44"), "undefined"}, {boolean(false), "boolean"}, {num(1), "number"},
      {str(""), "string"},       {function("51", "", {}, {}), "function"},
      {stmt("require", {str("internal.platform")}), "function"},
  };
  for (const Type& t : types) EXPECT_EQ(text(h.eval(stmt("40", {t.value}))), t.name) << t.name;
  h.eval(stmt("40"), &error);
  EXPECT_EQ(code(error), 9);
  // Null and undefined evaluate and ignore their arguments.
  EXPECT_TRUE(h.eval(stmt("45", {stmt("record", {num(1)})})).isNull());
  EXPECT_TRUE(h.eval(stmt("44", {stmt("record", {num(2)})})).isUndefined());
  EXPECT_EQ(h.recorded.size(), 2u);
}

TEST(VariableCommandsTest, PropertyReadsAndWritesByTargetKind) {
  ScriptHarness h;
  platform::ErrorRef error;
  struct Read {
    Entity property;
    const char* expected;  // text form; "undefined" for undefined
  };
  const Read stringReads[] = {
      {str("length"), "3"}, {num(1), "b"},  {str("1"), "b"},        {str("01"), "b"},
      {num(1.5), "undefined"}, {num(-1), "undefined"}, {num(3), "undefined"}, {num(1e300), "undefined"},
      {str("x"), "undefined"}, {stmt("7", {str("length")}), "3"},
  };
  for (const Read& r : stringReads) {
    EXPECT_EQ(text(h.eval(getProperty(str("abc"), r.property))), r.expected) << r.expected;
  }
  // UTF-16 code units: an emoji is two.
  EXPECT_EQ(h.eval(getProperty(str("a\xF0\x9F\x98\x80"), str("length"))).numberValue(), 3);
  // Maps and functions by the property's text form.
  h.run({let("m", stmt("8")), setProperty(variable("m"), num(1), str("one")), let("f", function("51", "f", {}, {})),
         setProperty(variable("f"), str("p"), num(7))},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(text(h.eval(getProperty(variable("m"), str("1")))), "one");
  EXPECT_EQ(h.eval(stmt("17", {variable("f"), str("p")})).numberValue(), 7);
  EXPECT_TRUE(h.eval(getProperty(variable("m"), str("absent"))).isUndefined());
  // Arrays: "length", elements, holes and named properties.
  h.run({let("a", stmt("7")), setProperty(variable("a"), num(5), str("e")), setProperty(variable("a"), str("p"), num(1))},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(h.eval(getProperty(variable("a"), str("length"))).numberValue(), 6);
  EXPECT_TRUE(h.eval(getProperty(variable("a"), num(2))).isUndefined());
  EXPECT_EQ(text(h.eval(getProperty(variable("a"), str("5")))), "e");
  EXPECT_EQ(h.eval(getProperty(variable("a"), str("p"))).numberValue(), 1);
  // Indexes beyond what an array may hold are refused before any
  // conversion to an integer.
  for (double index : {1e300, 9007199254740992.0, 4294967296.0}) {
    error.reset();
    h.eval(setProperty(variable("a"), num(index), num(1)), &error);
    EXPECT_EQ(code(error), 11) << index;
    EXPECT_TRUE(h.eval(getProperty(variable("a"), num(index))).isUndefined());
  }
  EXPECT_EQ(h.eval(getProperty(variable("a"), str("length"))).numberValue(), 6);
  // Other targets: reads answer undefined; writes on null and undefined are
  // error 6, on numbers they store nothing and answer the value.
  error.reset();
  for (const Entity& target : {stmt("45"), stmt("44"), num(1), boolean(true)}) {
    EXPECT_TRUE(h.eval(getProperty(target, str("x")), &error).isUndefined());
  }
  EXPECT_FALSE(error);
  EXPECT_EQ(h.eval(setProperty(num(1), str("x"), num(2)), &error).numberValue(), 2);
  EXPECT_EQ(h.eval(setProperty(str("s"), num(0), num(2)), &error).numberValue(), 2);
  EXPECT_FALSE(error);
  for (const Entity& target : {stmt("45"), stmt("44")}) {
    error.reset();
    EXPECT_TRUE(h.eval(setProperty(target, str("x"), num(1)), &error).isUndefined());
    EXPECT_EQ(code(error), 6);
  }
  error.reset();
  h.eval(getProperty(variable("m"), stmt("4")), &error);
  EXPECT_EQ(code(error), 5);
  error.reset();
  h.eval(stmt("16", {variable("m")}), &error);
  EXPECT_EQ(code(error), 9);
}

}  // namespace
}  // namespace script_test
