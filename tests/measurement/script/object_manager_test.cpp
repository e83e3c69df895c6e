#include "measurement/script/object_manager.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "script_test_support.h"

namespace script_test {
namespace {

bool tracks(APMPObjectManager& manager, const APMPCell* cell) {
  auto objects = manager.trackedObjects();
  return std::find(objects.begin(), objects.end(), cell) != objects.end();
}

TEST(ObjectManagerTest, UnreachableCycleIsSweptAndFreed) {
  ScriptHarness h;
  int destroyed = 0;
  APMPCollectableValue* cell = nullptr;
  {
    APMPRef<APMPMapValue> map = APMPObjectManager::mapValueWithScope(h.runtime.globalScope());
    map->setValue(Value(map), u"self");
    map->setValue(Value(APMPMake<TestNative>("watch", nullptr, &destroyed)), u"watch");
    cell = map.get();
  }
  EXPECT_TRUE(tracks(h.runtime.objectManager(), cell));
  h.runtime.collectGarbage();
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(tracks(h.runtime.objectManager(), cell));
}

TEST(ObjectManagerTest, ReachableValuesSurviveEveryCollection) {
  ScriptHarness h;
  // A tracked map held only by an untracked one: with marks that outlive a
  // collection, the second collection would find the untracked map still
  // marked, skip its contents and sweep the tracked map.
  APMPRef<APMPMapValue> holder = APMPMake<APMPMapValue>();
  APMPRef<APMPMapValue> inner = APMPObjectManager::mapValueWithScope(h.runtime.globalScope());
  inner->setValue(Value::number(7), u"x");
  holder->setValue(Value(inner), u"inner");
  h.runtime.globalScope().addValue(Value(holder), u"holder");
  for (int i = 0; i < 3; ++i) h.runtime.collectGarbage();
  EXPECT_EQ(inner->valueForProperty(u"x").numberValue(), 7);

  // A value held only by the host is not a root: it is swept.
  APMPRef<APMPMapValue> orphan = APMPObjectManager::mapValueWithScope(h.runtime.globalScope());
  orphan->setValue(Value::number(1), u"x");
  h.runtime.collectGarbage();
  EXPECT_FALSE(orphan->hasProperty(u"x"));
}

TEST(ObjectManagerTest, ClosuresKeepTheirWholeScopeChainAcrossEvents) {
  ScriptHarness h;
  // function outer() { declare m = newMap(); m.x = 41; { function inner() { return m.x } ; keep = inner } }
  // The closure's defining scope is the block; `m` lives in outer's scope,
  // the block's parent.
  platform::ErrorRef error;
  h.run({function("50", "outer", {},
                  {stmt("declare", {str("m"), stmt("newMap")}),
                   stmt("setp", {stmt("get", {str("m")}), str("x"), num(41)}),
                   stmt("53", {function("50", "inner", {}, {stmt("36", {stmt("getp", {stmt("get", {str("m")}), str("x")})})}),
                               stmt("assign", {str("keep"), stmt("get", {str("inner")})})})}),
         stmt("declare", {str("keep")}), stmt("outer")},
        &error);
  ASSERT_FALSE(error);
  for (int event = 0; event < 3; ++event) {
    h.runtime.collectGarbage();
    // Garbage of an event: a cycle made in a run scope.
    APMPRef<APMPScope> scope = h.runtime.getRunScope();
    h.eval(stmt("declare", {str("g"), stmt("newMap")}), nullptr, scope.get());
    h.eval(stmt("setp", {stmt("get", {str("g")}), str("self"), stmt("get", {str("g")})}), nullptr, scope.get());
    EXPECT_EQ(h.eval(stmt("keep")).numberValue(), 41) << event;
  }
}

TEST(ObjectManagerTest, RequireCacheIsTraced) {
  ScriptHarness h;
  h.runtime.setModuleCreator(
      [&h] {
        APMPRef<APMPMapValue> module = APMPObjectManager::mapValueWithScope(h.runtime.globalScope());
        module->setValue(Value::string(u"kept"), u"v");
        return std::optional<Value>(Value(module));
      },
      "test.module");
  const Value first = h.eval(stmt("require", {str("test.module")}));
  h.runtime.collectGarbage();
  const Value second = h.eval(stmt("require", {str("test.module")}));
  EXPECT_TRUE(first.isSameObject(second));
  EXPECT_EQ(text(second.asMap()->valueForProperty(u"v")), "kept");
}

TEST(ObjectManagerTest, RuntimeTeardownFreesCycles) {
  int destroyed = 0;
  {
    ScriptHarness h;
    h.bind("watch", [&destroyed](auto, APMPScope&, auto&) {
      return Value(APMPMake<TestNative>("w", nullptr, &destroyed));
    });
    // A global function closing over the global scope, a map holding
    // itself, and a native module holding a closure.
    h.run({function("50", "f", {}, {}), stmt("declare", {str("m"), stmt("newMap")}),
           stmt("setp", {stmt("get", {str("m")}), str("self"), stmt("get", {str("m")})}),
           stmt("setp", {stmt("get", {str("m")}), str("w"), stmt("watch")}),
           stmt("2", {stmt("require", {str("internal.platform")}), str("hasOwnProperty"), list({str("x")})})});
    APMPFunctionValue* platformModule = h.eval(stmt("require", {str("internal.platform")})).asFunction();
    ASSERT_NE(platformModule, nullptr);
    platformModule->setValue(h.eval(stmt("get", {str("f")})), u"f");
    platformModule->setValue(h.eval(stmt("watch")), u"w");
  }
  EXPECT_EQ(destroyed, 2);
}

TEST(ObjectManagerTest, CollectingInTheMiddleOfARunKeepsWhatTheRunUses) {
  ScriptHarness h;
  h.bind("collect", [&h](auto, APMPScope&, auto&) {
    h.runtime.collectGarbage();
    return Value();
  });
  APMPRef<APMPScope> run = h.runtime.getRunScope();
  platform::ErrorRef error;
  auto eval = [&](Entity entity) { return h.eval(entity, &error, run.get()); };
  // A function of the run scope whose body collects: its body, its scope
  // and its locals stay whole while it runs, and after.
  eval(function("50", "f", {"p"},
                {let("local", stmt("8", {str("x"), num(1)})), stmt("collect"),
                 stmt("36", {stmt("0", {getProperty(variable("local"), str("x")), getProperty(variable("p"), num(0))})})}));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(eval(stmt("f", {stmt("7", {num(2)})})).numberValue(), 3);
  // Values on the way: evaluated arguments not yet stored, a statement
  // list being run, the items of a loop, a method's own function.
  EXPECT_EQ(eval(getProperty(getProperty(stmt("7", {stmt("8", {str("a"), num(4)}), stmt("collect")}), num(0)), str("a")))
                .numberValue(),
            4);
  EXPECT_TRUE(eval(stmt("12", {stmt("7", {num(1)}), stmt("13", {stmt("collect"), num(1)})})).booleanValue());
  eval(stmt("5", {list({stmt("collect"), stmt("record", {num(5)})})}));
  eval(stmt("64", {str("e"), stmt("7", {stmt("8", {str("v"), num(6)})}),
                   list({stmt("collect"), stmt("record", {getProperty(variable("e"), str("v"))})})}));
  ASSERT_FALSE(error);
  ASSERT_EQ(h.recorded.size(), 2u);
  EXPECT_EQ(h.recorded[0].numberValue(), 5);
  EXPECT_EQ(h.recorded[1].numberValue(), 6);
  EXPECT_EQ(eval(stmt("2", {stmt("8", {str("m"), function("51", "m", {}, {stmt("collect"), stmt("36", {num(7)})})}),
                            str("m"), list({})}))
                .numberValue(),
            7);

  // Once the run is over, a function the host still holds has been swept:
  // calling it fails instead of running nothing.
  const Value held = eval(variable("f"));
  run = nullptr;
  h.runtime.collectGarbage();
  ASSERT_NE(held.asFunction(), nullptr);
  error.reset();
  EXPECT_TRUE(held.asFunction()->invokeWithEvaluatedArguments({}, error).isUndefined());
  EXPECT_EQ(code(error), 17);
}

TEST(ObjectManagerTest, RootsAndObjectsAreHeldWeakly) {
  APMPObjectManager manager;
  {
    APMPRef<APMPScope> root = APMPScope::make();
    manager.addRoot(root.get());
    manager.addRoot(nullptr);
    EXPECT_EQ(manager.roots().size(), 1u);
  }
  EXPECT_TRUE(manager.roots().empty());
  APMPRef<APMPMapValue> survivor = APMPMake<APMPMapValue>();
  {
    APMPRef<APMPMapValue> map = APMPMake<APMPMapValue>();
    manager.addObject(map.get());
    manager.addObject(survivor.get());
    manager.addObject(survivor.get());
    EXPECT_EQ(manager.trackedObjects().size(), 2u);
  }
  EXPECT_EQ(manager.trackedObjects().size(), 1u);
  manager.collectGarbage();
  EXPECT_EQ(manager.trackedObjects().size(), 1u);
}

}  // namespace
}  // namespace script_test
