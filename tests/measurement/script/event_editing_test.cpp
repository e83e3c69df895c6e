#include "measurement/script/event_editing.h"

#include <gtest/gtest.h>

#include "measurement/messages/nano_accessors.h"
#include "measurement/script/editing_error.h"
#include "editing_test_support.h"

namespace script_test {
namespace {

using platform::Object;

const APMPEvent kPurchase("purchase", 100, {{"count", Object(int64_t{7})}, {"price", Object(2.5)},
                                            {"item", Object("book")}, {"_c", Object(int64_t{1})}});

Entity setParam(std::string name, Entity value) { return onEvent("setParamValue", {str(std::move(name)), std::move(value)}); }

TEST(EventEditingTest, ResultCodesKeepOrDiscardAnEdit) {
  struct Case {
    const char* label;
    std::vector<Entity> tail;  // after the edit
    bool kept;
  };
  const Case cases[] = {
      {"returns nothing", {stmt("36")}, false},
      {"ends with an undefined value", {variable("nothing")}, false},
      // A body without return answers its last statement's value: here the
      // number that setParamValue answers.
      {"ends with the edit", {}, true},
      {"returns 0", {ret(num(0))}, true},
      {"returns 1", {ret(num(1))}, true},
      {"returns 2", {ret(num(2))}, false},
      {"returns -1", {ret(num(-1))}, false},
      {"returns 4294967295", {ret(num(4294967295.0))}, true},
      {"returns 4294967294", {ret(num(4294967294.0))}, true},
      {"returns a text", {ret(str("0"))}, false},
  };
  for (const Case& c : cases) {
    EditingHarness h;
    std::vector<Entity> body{setParam("count", num(3))};
    for (const Entity& e : c.tail) body.push_back(e);
    ASSERT_EQ(h.load({editCallback(body)}), 0) << c.label;
    long failure = -1;
    EXPECT_EQ(h.handle(kPurchase, &failure), c.kept) << c.label;
    EXPECT_EQ(failure, 0);
    EXPECT_EQ(h.editor.hasEdits(), c.kept) << c.label;
    EXPECT_TRUE(h.output().parameterForName("count") == Object(int64_t{c.kept ? 3 : 7})) << c.label;
  }
}

TEST(EventEditingTest, CallbacksRunByPriorityAndCollisionsMoveUp) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback(5, {stmt("record", {str("five"), onEvent("getParamValue", {str("seen")})}),
                                     ret(num(0))}),
                    editCallback(1, {stmt("record", {str("one")}), setParam("seen", str("by one")), ret(num(0))}),
                    editCallback({}), editCallback({}), editCallback(1001, {}), editCallback(4294967295.0, {}),
                    editCallback(4294967295.0, {})}),
            0);
  EXPECT_EQ(h.editor.callbackHandler().sortedEditPriorities(),
            (std::vector<int64_t>{1, 5, 1000, 1001, 1002, 2147483647, 2147483648}));
  h.handle(kPurchase);
  EXPECT_EQ(h.recorded, (std::vector<std::string>{"one", "five", "by one"}));
}

TEST(EventEditingTest, AnEditErrorRestoresThatEditAndStopsEverything) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback(1, {setParam("kept", num(1)), ret(num(0))}),
                    editCallback(2, {setParam("count", num(9)), onEvent("setEventName", {variable("nothing")})}),
                    editCallback(3, {stmt("record", {str("late edit")})}),
                    createCallback({stmt("record", {str("create")})})}),
            0);
  long failure = 0;
  EXPECT_FALSE(h.handle(kPurchase, &failure));
  EXPECT_EQ(failure, kAPMPErrorArgumentKind);
  EXPECT_TRUE(h.recorded.empty());
  EXPECT_TRUE(h.output().hasParameterName("kept"));
  EXPECT_TRUE(h.output().parameterForName("count") == Object(int64_t{7}));
  EXPECT_EQ(h.output().name(), "purchase");
}

TEST(EventEditingTest, CreateCallbacksLogEventsInOrder) {
  EditingHarness h;
  ASSERT_EQ(h.load({createCallback({stmt("logEvent", {str("first"), num(5.9), mapOf({{"count", num(2.8)},
                                                                                    {"item", num(4)},
                                                                                    {"_o", str("auto")},
                                                                                    {"gone", onEvent("getParamValue", {str("x")})}})}),
                                    stmt("logEvent", {str("second"), num(-1e30), mapOf({})}), ret(num(2))})}),
            0);
  EXPECT_TRUE(h.handle(kPurchase));
  EXPECT_FALSE(h.editor.hasEdits());
  ASSERT_TRUE(h.editor.hasCreatedEvents());
  const std::vector<APMPEvent>& created = h.editor.eventContext().eventsToLog();
  ASSERT_EQ(created.size(), 2u);
  EXPECT_TRUE(created[0].isEqualToEvent(APMPEvent(
      "first", 5, {{"count", Object(int64_t{2})}, {"item", Object("4")}, {"_o", Object("auto")}})));
  EXPECT_EQ(created[1].name(), "second");
  EXPECT_EQ(created[1].timestamp(), -1e30 < static_cast<double>(INT64_MIN) ? static_cast<double>(INT64_MIN) : -1e30);
  // The next event starts with no created events.
  EditingHarness quiet;
  ASSERT_EQ(quiet.load({}), 0);
  EXPECT_FALSE(quiet.handle(kPurchase));
}

TEST(EventEditingTest, EventNativesReadAndWriteTheOutputEvent) {
  EditingHarness h;
  ASSERT_EQ(
      h.load({editCallback(
          {stmt("record", {onEvent("getEventName"), onEvent("getTimestamp"), onEvent("getParamValue", {str("price")}),
                           onEvent("getParamValue", {str("absent")}),
                           getProperty(onEvent("getParams"), str("item"))}),
           stmt("record", {onEvent("setEventName", {str("sale")}), onEvent("getEventName"),
                           setParam("_c", num(5)), setParam("price", num(3)), setParam("item", num(3)),
                           setParam("count", num(3)), setParam("undefined", variable("nothing")),
                           setParam("_err", num(2.7)),
                           setParam("item2", onEvent("getParamValue", {str("absent")}))}),
           setParam("count", onEvent("getParamValue", {str("absent")})), ret(num(0))})}),
      0);
  EXPECT_TRUE(h.handle(kPurchase));
  EXPECT_EQ(h.recorded, (std::vector<std::string>{"purchase", "100", "2.5", "null", "book", "sale", "sale", "5", "3",
                                                  "3", "3", "undefined", "2.7", "null"}));
  EXPECT_TRUE(h.output().isEqualToEvent(APMPEvent("sale", 100,
                                                  {{"price", Object(3.0)},
                                                   {"item", Object("3")},
                                                   {"_c", Object(int64_t{1})},
                                                   {"undefined", Object("")},
                                                   {"_err", Object(int64_t{2})}})));
}

TEST(EventEditingTest, TextsCrossTheBoundaryAsUtf8) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback({setParam("caf\xC3\xA9", onEvent("getParamValue", {str("\xE2\x82\xAC")})),
                                  setParam("plain", str("ascii")), setParam("bad", str("a\xFF")),
                                  setParam(std::string(40, 'n'), str("long")),
                                  onEvent("setParamValue", {num(7), str("seven")}), ret(num(0))})}),
            0);
  h.handle(APMPEvent("e", 0, {{"\xE2\x82\xAC", Object("\xC3\xBC\xF0\x9F\x98\x80")}}));
  EXPECT_TRUE(h.output().parameterForName("caf\xC3\xA9") == Object("\xC3\xBC\xF0\x9F\x98\x80"));
  EXPECT_TRUE(h.output().parameterForName("plain") == Object("ascii"));
  EXPECT_TRUE(h.output().parameterForName("bad") == Object("a\xEF\xBF\xBD"));
  EXPECT_TRUE(h.output().parameterForName(std::string(40, 'n')) == Object("long"));
  EXPECT_TRUE(h.output().parameterForName("7") == Object("seven"));
}

TEST(EventEditingTest, NativeArgumentCountsAndKinds) {
  struct Case {
    Entity statement;
    long code;
  };
  const Case cases[] = {
      {onEvent("getEventName", {num(1)}), kAPMPErrorArgumentCount},
      {onEvent("getParamValue"), kAPMPErrorArgumentCount},
      {onEvent("setParamValue", {str("a")}), kAPMPErrorArgumentCount},
      // Every argument is evaluated before the count is checked: a failing
      // extra one reports its own error.
      {onEvent("getEventName", {stmt("2", {stmt("45"), str("toString"), stmt("7")})}), kAPMPErrorMethodOfNothing},
      {onEvent("getParamValue", {str("price"), str("extra"), str("more")}), kAPMPErrorArgumentCount},
      {onEvent("setEventName", {onEvent("getParamValue", {str("absent")})}), kAPMPErrorArgumentKind},
      {onEvent("noSuchMethod"), kAPMPErrorUnknownMethod},
      {stmt("reg", {str("r"), num(1), mapOf({{"type", str("edit")}})}), kAPMPErrorArgumentKind},
      {stmt("reg", {str("r"), variable("reg")}), kAPMPErrorArgumentCount},
      {stmt("logEvent", {str("n"), num(1), num(2)}), kAPMPErrorArgumentKind},
      {stmt("logEvent", {str("n"), num(1)}), kAPMPErrorArgumentCount},
  };
  for (const Case& c : cases) {
    EditingHarness h;
    ASSERT_EQ(h.load({editCallback({c.statement, ret(num(0))})}), 0);
    long failure = 0;
    EXPECT_FALSE(h.handle(kPurchase, &failure));
    EXPECT_EQ(failure, c.code);
    EXPECT_TRUE(h.output().isEqualToEvent(kPurchase));
  }
}

TEST(EventEditingTest, LoadingErrors) {
  auto loadError = [](std::vector<Entity> instructions, std::vector<APMPEditingActivity> activities = {}) {
    const platform::ErrorRef error = EditingHarness().loadError(std::move(instructions), std::move(activities));
    return std::make_pair(error ? error->domain() : std::string(), code(error));
  };
  const std::string editing = kAPMPEditingErrorDomain;
  const std::string script = kAPMPErrorDomain;
  using Result = std::pair<std::string, long>;
  const Entity declareRule = function("50", "rule", {"data"}, {stmt("record", {variable("data")})});
  EXPECT_EQ(loadError({ret(num(1))}), Result(editing, 5));
  EXPECT_EQ(loadError({stmt("4")}), Result(editing, 5));
  EXPECT_EQ(loadError({declareRule}, {{"rule", {num(3)}}}), Result(editing, 6));
  EXPECT_EQ(loadError({declareRule}, {{"missing", {mapOf({})}}}), Result(editing, 7));
  EXPECT_EQ(loadError({let("notFunction", num(1))}, {{"notFunction", {mapOf({})}}}),
            Result(editing, 7));
  EXPECT_EQ(loadError({registration({}, mapOf({{"priority", num(1)}}))}), Result(editing, 2));
  EXPECT_EQ(loadError({registration({}, mapOf({{"type", str("delete")}}))}), Result(editing, 3));
  EXPECT_EQ(loadError({declareRule}, {{"rule", {stmt("4")}}}), Result(editing, 6));
  EXPECT_EQ(loadError({declareRule}, {{"rule", {Entity{}}}}), Result(script, 12));
  EXPECT_EQ(loadError({}), Result("", 0));
}

TEST(EventEditingTest, ActivitiesCallTheirFunctionWithEachRule) {
  EditingHarness h;
  // An activity whose rules say which parameter to set.
  const Entity rule = function("50", "setFlag", {"data"},
                               {editCallback({setParam("flag", getProperty(variable("data"), str("value"))),
                                              ret(num(0))})});
  ASSERT_EQ(h.load({rule}, {{"setFlag", {mapOf({{"value", str("a")}}), mapOf({{"value", str("b")}})}}}), 0);
  EXPECT_EQ(h.editor.callbackHandler().sortedEditPriorities(), (std::vector<int64_t>{1000, 1001}));
  h.handle(kPurchase);
  EXPECT_TRUE(h.output().parameterForName("flag") == Object("b"));
}

TEST(EventEditingTest, TheMessageFormLoadsLikeTheTreeForm) {
  std::vector<Entity> instructions = preamble();
  instructions.push_back(function("50", "rule", {"data"}, {editCallback({setParam("ruled", num(1)), ret(num(0))})}));
  const auto program = programMessage(APMPEditingProgram{instructions, {{"rule", {mapOf({})}}}});
  const auto decoded = APMPBProgram::initWithBuffer(*program->protoBuffer());
  ASSERT_TRUE(decoded);

  EditingHarness h;
  platform::ErrorRef error;
  h.editor.loadProgram(*decoded, &error);
  ASSERT_FALSE(error);
  EXPECT_TRUE(h.handle(kPurchase));
  EXPECT_TRUE(h.output().parameterForName("ruled") == Object(1.0));
}

TEST(EventEditingTest, AnEditThatOnlyRemovesIsAnEdit) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback({setParam("item", onEvent("getParamValue", {str("absent")})), ret(num(0))})}), 0);
  EXPECT_TRUE(h.handle(kPurchase));
  EXPECT_TRUE(h.editor.hasEdits());
  EXPECT_FALSE(h.output().hasParameterName("item"));
}

TEST(EventEditingTest, ATableOfAThousandCallbacksRefusesTheNext) {
  EditingHarness h;
  std::vector<Entity> instructions;
  for (int i = 0; i < 999; ++i) instructions.push_back(editCallback(i % 7, {}));
  instructions.push_back(createCallback({}));
  ASSERT_EQ(h.load(instructions), 0);
  EXPECT_EQ(h.editor.callbackHandler().callbackCount(), 1000u);
  EXPECT_EQ(h.load({createCallback({})}), kAPMPEditingErrorTooManyCallbacks);
  const std::vector<int64_t> priorities = h.editor.callbackHandler().sortedEditPriorities();
  EXPECT_TRUE(std::is_sorted(priorities.begin(), priorities.end()));
  EXPECT_EQ(std::adjacent_find(priorities.begin(), priorities.end()), priorities.end());
}

TEST(EventEditingTest, ACallbackRegisteredWhileTriggeringRunsFromTheNextEvent) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback(1, {stmt("record", {str("first")}),
                                     editCallback(0, {stmt("record", {str("added")})}), ret(num(0))})}),
            0);
  h.handle(kPurchase);
  EXPECT_EQ(h.recorded, (std::vector<std::string>{"first"}));
  h.recorded.clear();
  h.handle(kPurchase);
  EXPECT_EQ(h.recorded, (std::vector<std::string>{"added", "first"}));
}

TEST(EventEditingTest, EachEventHasTheWholeBudget) {
  EditingHarness h;
  // About 330,000 evaluations per event: three events would exhaust one
  // budget.
  std::vector<Entity> body(330000, num(1));
  body.push_back(setParam("done", num(1)));
  body.push_back(ret(num(0)));
  ASSERT_EQ(h.load({editCallback(body)}), 0);
  for (int i = 0; i < 4; ++i) {
    long failure = 0;
    EXPECT_TRUE(h.handle(kPurchase, &failure));
    EXPECT_EQ(failure, 0);
  }
  std::vector<Entity> tooLong(1000001, num(1));
  EditingHarness limited;
  ASSERT_EQ(limited.load({editCallback(tooLong)}), 0);
  long failure = 0;
  EXPECT_FALSE(limited.handle(kPurchase, &failure));
  EXPECT_EQ(failure, kAPMPErrorLimit);
}

TEST(EventEditingTest, AChainKeptAcrossEventsStopsAtTheMemoryBound) {
  EditingHarness h;
  // Each event: for 50,000 times chain = {n: chain}, some 7 MB more held
  // by a global, event after event.
  ASSERT_EQ(h.load({let("chain", stmt("45")),
                    editCallback({let("i", num(0)),
                                  stmt("42", {stmt("23", {variable("i"), num(50000)}),
                                              assign("i", stmt("0", {variable("i"), num(1)})), boolean(false),
                                              list({assign("chain", mapOf({{"n", variable("chain")}}))})}),
                                  ret(num(0))})}),
            0);
  long failure = 0;
  for (int i = 0; i < 12 && failure == 0; ++i) h.handle(kPurchase, &failure);
  EXPECT_EQ(failure, kAPMPErrorLimit);
  APMPObjectManager& manager = h.editor.runtime().objectManager();
  EXPECT_LE(manager.collectGarbageAndMeasure(), kAPMPMaxLiveBytes);
  // Every later event stops there too, and the memory stays where it is.
  h.handle(kPurchase, &failure);
  EXPECT_EQ(failure, kAPMPErrorLimit);
  EXPECT_LE(manager.collectGarbageAndMeasure(), kAPMPMaxLiveBytes);
}

TEST(EventEditingTest, RuntimesSharingAThreadAreEachHeldToTheBound) {
  // Side by side on one thread: one runtime makes an 8 MiB temporary per
  // event and keeps nothing, the other keeps 1 MiB more per event. The
  // keeper must be stopped near the bound, however much the other's
  // temporaries take meanwhile, and the other must never be stopped.
  std::vector<Entity> passing = doubledText("t", 19);
  passing.push_back(ret(num(0)));
  std::vector<Entity> keeping = doubledText("t", 16);
  keeping.push_back(call(variable("keep"), "push", {variable("t")}));
  keeping.push_back(ret(num(0)));
  EditingHarness passer;
  EditingHarness keeper;
  ASSERT_EQ(passer.loadSent({editCallback(passing)}), 0);
  ASSERT_EQ(keeper.loadSent({let("keep", stmt("7")), editCallback(keeping)}), 0);
  long kept = 0;
  for (int i = 0; i < 100 && kept == 0; ++i) {
    long passed = 0;
    passer.handle(kPurchase, &passed);
    ASSERT_EQ(passed, 0) << "event " << i;
    keeper.handle(kPurchase, &kept);
  }
  EXPECT_EQ(kept, kAPMPErrorLimit);
  EXPECT_LE(keeper.editor.runtime().objectManager().collectGarbageAndMeasure(), kAPMPMaxLiveBytes);
  long passed = 0;
  passer.handle(kPurchase, &passed);
  EXPECT_EQ(passed, 0);
}

TEST(EventEditingTest, ClosuresInNestedBlocksSurviveEveryCollection) {
  EditingHarness h;
  // { declare seen = "block value"; reg(function (e) { e.setParamValue("seen", seen) }) }
  ASSERT_EQ(h.load({stmt("53", {let("seen", str("block value")),
                                editCallback({setParam("seen", variable("seen")), ret(num(0))})})}),
            0);
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(h.handle(kPurchase));
    EXPECT_TRUE(h.output().parameterForName("seen") == Object("block value")) << "event " << i;
  }
}

TEST(EventEditingTest, KeptEventObjectsLeakNothing) {
  EditingHarness h;
  // Each event: the event object goes into a global, and into a map that
  // is one of its own properties (a cycle through the event object).
  ASSERT_EQ(h.load({declare("kept"),
                    editCallback({assign("kept", variable("e")),
                                  setProperty(variable("e"), str("self"), mapOf({{"event", variable("e")}})),
                                  onEvent("getParams"), ret(num(0))})}),
            0);
  APMPObjectManager& manager = h.editor.runtime().objectManager();
  size_t settled = 0;
  for (int i = 0; i < 100000; ++i) {
    h.handle(kPurchase);
    if (i == 10) settled = manager.trackedObjects().size();
    if (i > 10 && i % 10000 == 0) {
      ASSERT_EQ(manager.trackedObjects().size(), settled) << "event " << i;
    }
  }
  EXPECT_EQ(manager.trackedObjects().size(), settled);
}

TEST(EventEditingTest, TheEngineRoadEndToEnd) {
  EditingHarness h;
  ASSERT_EQ(h.load({editCallback({setParam("value", num(10)), ret(num(0))}),
                    createCallback({stmt("logEvent", {str("bonus"), onEvent("getTimestamp"),
                                                      mapOf({{"_o", str("script")}})}),
                                    stmt("logEvent", {str("plain"), num(0), mapOf({})})})}),
            0);
  // The engine's event: public name, timestamp, parameters.
  APMPEvent stored("purchase", 1700000000.25, {{"value", Object(int64_t{5})}, {"currency", Object("EUR")}});
  std::vector<std::pair<std::string, std::string>> logged;  // name, origin
  platform::ErrorRef error;
  h.editor.handleEvent(stored, &error);
  ASSERT_FALSE(error);
  if (h.editor.hasEdits()) stored = h.editor.eventContext().outputEvent();
  if (h.editor.hasCreatedEvents()) {
    for (const APMPEvent& created : h.editor.eventContext().eventsToLog()) {
      const Object origin = created.parameterForName("_o");
      logged.emplace_back(created.name(), origin.isString() ? *origin.string() : "app");
    }
  }
  EXPECT_TRUE(stored.parameterForName("value") == Object(int64_t{10}));
  EXPECT_EQ(logged, (std::vector<std::pair<std::string, std::string>>{{"bonus", "script"}, {"plain", "app"}}));
  EXPECT_EQ(h.editor.eventContext().eventsToLog()[0].timestamp(), 1700000000);
}

}  // namespace
}  // namespace script_test
