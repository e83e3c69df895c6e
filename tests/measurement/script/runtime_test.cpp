#include "measurement/script/runtime.h"

#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

TEST(ScopeTest, DeclarationAssignmentAndShadowing) {
  ScriptHarness h;
  platform::ErrorRef error;
  // An assignment inside a function reaches the global binding; an
  // undeclared name is bound where the assignment runs.
  h.run({stmt("declare", {str("g"), num(1)}),
         function("50", "f", {}, {stmt("assign", {str("g"), num(2)}), stmt("assign", {str("local"), num(3)})}),
         stmt("f")},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(h.runtime.globalScope().contents().valueForName(u"g").numberValue(), 2);
  EXPECT_FALSE(h.runtime.globalScope().hasName(u"local"));

  APMPRef<APMPScope> parent = APMPScope::make();
  APMPRef<APMPScope> child = parent->createChildScope();
  parent->addValue(Value::number(1), u"x");
  child->addValue(Value::number(2), u"x");
  EXPECT_EQ(child->valueForName(u"x").numberValue(), 2);
  EXPECT_EQ(parent->valueForName(u"x").numberValue(), 1);
  EXPECT_TRUE(child->valueForName(u"nothing").isUndefined());

  // Constants and frozen scopes refuse assignments silently.
  parent->addImmutableValue(Value::number(5), u"c");
  child->setValue(Value::number(6), u"c");
  parent->addValue(Value::number(7), u"c");
  EXPECT_EQ(child->valueForName(u"c").numberValue(), 5);
  APMPRef<APMPScope> grandchild = child->createChildScope();
  child->makeImmutable();
  grandchild->setValue(Value::number(9), u"x");
  EXPECT_EQ(child->valueForName(u"x").numberValue(), 2);
  grandchild->setValue(Value::number(9), u"fresh");
  EXPECT_EQ(grandchild->contents().valueForName(u"fresh").numberValue(), 9);
}

TEST(RuntimeTest, RequireAndModules) {
  ScriptHarness h;
  platform::ErrorRef error;
  const Value platformModule = h.eval(stmt("require", {str("internal.platform")}), &error);
  EXPECT_TRUE(platformModule.isSameObject(h.eval(stmt("require", {str("internal.platform")}))));
  EXPECT_EQ(text(platformModule), "internal.platform");
  const Value version =
      h.eval(stmt("2", {stmt("require", {str("internal.platform")}), str("getVersion"), list({})}), &error);
  EXPECT_TRUE(version.isNumber());
  EXPECT_EQ(version.numberValue(), 0);
  EXPECT_TRUE(h.eval(stmt("require", {str("no.such.module")}), &error).isUndefined());
  EXPECT_FALSE(error);

  h.eval(stmt("require"), &error);
  EXPECT_EQ(code(error), 9);
  error.reset();
  h.eval(stmt("require", {str("a"), str("b")}), &error);
  EXPECT_EQ(code(error), 9);

  // A name without a creator is not cached: a creator registered later
  // answers the next "require".
  error.reset();
  EXPECT_TRUE(h.eval(stmt("require", {str("late.module")}), &error).isUndefined());
  h.runtime.setModuleCreator([] { return std::optional<Value>(Value::string(u"late")); }, "late.module");
  EXPECT_EQ(text(h.eval(stmt("require", {str("late.module")}))), "late");
  EXPECT_FALSE(error);

  int calls = 0;
  h.runtime.setModuleCreator([&calls] { return ++calls < 2 ? std::optional<Value>() : Value::number(3); }, "later");
  error.reset();
  EXPECT_TRUE(h.eval(stmt("require", {str("later")}), &error).isUndefined());
  EXPECT_EQ(code(error), 15);
  EXPECT_EQ(h.eval(stmt("require", {str("later")})).numberValue(), 3);
  EXPECT_EQ(h.eval(stmt("require", {str("later")})).numberValue(), 3);
  EXPECT_EQ(calls, 2);
}

TEST(RuntimeTest, ObjectProviderAnswersConvertedObjects) {
  ScriptHarness h;
  h.runtime.globalScope().addValue(Value(APMPMake<APMPObjectProvider>(u"facts", [] {
                                     return platform::Object(platform::Object::Dictionary{{"platform", "ios"}});
                                   })),
                                   u"facts");
  h.runtime.globalScope().addValue(Value(APMPMake<APMPObjectProvider>(u"nothing", [] { return platform::Object(); })),
                                   u"nothing");
  const Value facts = h.eval(stmt("facts", {num(1)}));
  ASSERT_NE(facts.asMap(), nullptr);
  EXPECT_EQ(text(facts.asMap()->valueForProperty(u"platform")), "ios");
  EXPECT_TRUE(h.eval(stmt("nothing")).isNull());
}

TEST(RuntimeTest, RunScopesAndTheBudgetAreTheRuntimes) {
  ScriptHarness h;
  APMPRef<APMPScope> first = h.runtime.getRunScope(), second = h.runtime.getRunScope();
  EXPECT_NE(first.get(), second.get());
  h.eval(stmt("declare", {str("v"), num(1)}), nullptr, first.get());
  EXPECT_TRUE(second->valueForName(u"v").isUndefined());

  // The budget is not a variable: binding or assigning the old counter name
  // changes nothing.
  platform::ErrorRef error;
  h.run({stmt("assign", {str("runtime.counter"), num(0)}), stmt("declare", {str("runtime.counter"), num(0)}),
         num(1), num(2)},
        &error);
  EXPECT_FALSE(error);
  // Two host calls of a statement and two literals each, then two literals.
  EXPECT_EQ(h.runtime.getInstructionCount(), 2 * 3 + 2);
  h.runtime.resetInstructionCount();
  EXPECT_EQ(h.runtime.getInstructionCount(), 0);

  // Conversion and evaluation errors stop the run; control values do not.
  EXPECT_EQ(h.run({stmt("4"), num(3)}, &error).numberValue(), 3);
  EXPECT_FALSE(error);
  Entity bad;
  bad.type = 7;
  EXPECT_TRUE(h.run({stmt("assign", {str("after"), num(1)}), bad, stmt("assign", {str("after"), num(2)})}, &error)
                  .isUndefined());
  EXPECT_EQ(code(error), 12);
  EXPECT_EQ(h.runtime.globalScope().valueForName(u"after").numberValue(), 1);
}

}  // namespace
}  // namespace script_test
