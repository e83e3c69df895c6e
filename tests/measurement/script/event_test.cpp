#include "measurement/script/event.h"

#include <gtest/gtest.h>

#include <cmath>

#include "measurement/script/event_context.h"
#include "tests/support/text_concat.h"

namespace {

using platform::Object;

// Kind and value, as the equality of events sees them.
void expectSame(const Object& actual, const Object& expected, const std::string& label) {
  EXPECT_EQ(actual.kind(), expected.kind()) << label;
  EXPECT_TRUE(actual == expected) << label << ": " << actual.description();
}

TEST(EventTest, NumbersAreNormalisedByNameAndCurrentKind) {
  struct Case {
    const char* name;
    Object current;
    Object value;
    Object expected;
  };
  const Case cases[] = {
      {"count", Object(int64_t{7}), Object(3.0), Object(int64_t{3})},
      {"count", Object(int64_t{7}), Object(-3.9), Object(int64_t{-3})},
      {"count", Object(int64_t{7}), Object(1e300), Object(INT64_MAX)},
      {"count", Object(uint64_t{7}), Object(3.0), Object(int64_t{3})},
      {"ratio", Object(2.5), Object(3.0), Object(3.0)},
      {"label", Object("x"), Object(3.0), Object("3")},
      {"label", Object("x"), Object(2.5), Object("2.5")},
      {"fresh", Object(), Object(3.0), Object(3.0)},
      {"fresh", Object(), Object(int64_t{3}), Object(int64_t{3})},
      {"_c", Object(int64_t{1}), Object(5.0), Object(int64_t{1})},
      {"_c", Object(2.5), Object(5.0), Object(5.0)},
      {"_err", Object(), Object(2.7), Object(int64_t{2})},
      {"_syn", Object(1.5), Object(-2.7), Object(int64_t{-2})},
      {"_el", Object("t"), Object(9.0), Object(int64_t{9})},
      {"_err", Object(), Object(std::nan("")), Object(int64_t{0})},
      // Values that are not numbers are stored as they are.
      {"count", Object(int64_t{7}), Object("text"), Object("text")},
      {"_c", Object(int64_t{1}), Object("text"), Object("text")},
  };
  for (const Case& c : cases) {
    APMPEvent event("e", 0, {});
    if (!c.current.isNil()) event.mutableParameters().emplace(c.name, c.current);
    event.setParameter(c.value, c.name);
    expectSame(event.parameterForName(c.name), c.expected, std::string(c.name) + " over " + c.current.description());
  }
}

TEST(EventTest, NilRemovesAndCopiesAreIndependent) {
  APMPEvent event("purchase", 12.5, {{"value", Object(3.0)}, {"item", Object("book")}});
  APMPEvent copy = event;
  copy.setParameter(Object(), "value");
  copy.setName("refund");
  EXPECT_FALSE(copy.hasParameterName("value"));
  EXPECT_TRUE(copy.parameterForName("value").isNil());
  EXPECT_TRUE(event.hasParameterName("value"));
  EXPECT_EQ(event.name(), "purchase");
  copy.setParameter(Object(), "absent");
  EXPECT_EQ(copy.parameters().size(), 1u);
}

TEST(EventTest, EqualityToleratesEpsilonAndSeesKindsAndBothParameterSets) {
  const APMPEvent base("e", 0, {{"n", Object(int64_t{1})}, {"t", Object("x")}});
  auto with = [&](auto change) {
    APMPEvent other = base;
    change(other);
    return other;
  };
  EXPECT_TRUE(base.isEqualToEvent(base));
  EXPECT_TRUE(base.isEqualToEvent(with([](APMPEvent& e) { e.setTimestamp(1e-17); })));
  EXPECT_FALSE(base.isEqualToEvent(with([](APMPEvent& e) { e.setTimestamp(1e-15); })));
  EXPECT_FALSE(base.isEqualToEvent(with([](APMPEvent& e) { e.setName("f"); })));
  EXPECT_FALSE(base.isEqualToEvent(with([](APMPEvent& e) { e.mutableParameters()["n"] = Object(1.0); })));
  EXPECT_TRUE(base.isEqualToEvent(with([](APMPEvent& e) { e.mutableParameters()["n"] = Object(uint64_t{1}); })));
  EXPECT_FALSE(base.isEqualToEvent(with([](APMPEvent& e) { e.mutableParameters()["t"] = Object("y"); })));
  // A removed parameter, and an added one, make the events differ whichever
  // is the receiver.
  const APMPEvent removed = with([](APMPEvent& e) { e.setParameter(Object(), "t"); });
  const APMPEvent added = with([](APMPEvent& e) { e.setParameter(Object("z"), "u"); });
  for (const APMPEvent* other : {&removed, &added}) {
    EXPECT_FALSE(base.isEqualToEvent(*other));
    EXPECT_FALSE(other->isEqualToEvent(base));
  }
}

TEST(EventContextTest, DiscardRestoresTheOutputAsAtTheLastBeginAndCreatedEventsNormalise) {
  APMPEventContext context(APMPEvent("e", 1, {{"a", Object(int64_t{1})}, {"b", Object("x")}}));
  // Until written, the output is the input itself.
  EXPECT_FALSE(context.outputWritten());
  EXPECT_EQ(&context.outputEvent(), &context.inputEvent());
  context.beginEdit();
  context.setOutputParameter(Object(5.0), "a");
  context.beginEdit();
  context.setOutputName("renamed");
  context.setOutputParameter(Object(6.0), "a");
  context.setOutputParameter(Object(7.0), "a");
  context.setOutputParameter(Object(), "b");
  context.setOutputParameter(Object("new"), "c");
  context.setOutputName("again");
  context.discardEdit();
  const APMPEvent expected("e", 1, {{"a", Object(int64_t{5})}, {"b", Object("x")}});
  EXPECT_TRUE(context.outputEvent().isEqualToEvent(expected));
  EXPECT_TRUE(context.inputEvent().parameterForName("a") == Object(int64_t{1}));

  context.logEventWithName("made", 2, {{"a", Object(9.5)}, {"b", Object(4.0)}, {"z", Object(1.5)}});
  ASSERT_EQ(context.eventsToLog().size(), 1u);
  const APMPEvent& made = context.eventsToLog()[0];
  expectSame(made.parameterForName("a"), Object(int64_t{9}), "a against the input's integer");
  expectSame(made.parameterForName("b"), Object("4"), "b against the input's text");
  expectSame(made.parameterForName("z"), Object(1.5), "z without an input value");
  context.setInputEvent(APMPEvent("next", 3, {{"n", Object(2.0)}}));
  EXPECT_TRUE(context.eventsToLog().empty());
  EXPECT_FALSE(context.outputWritten());
  EXPECT_TRUE(context.outputEvent().isEqualToEvent(APMPEvent("next", 3, {{"n", Object(2.0)}})));
  context.setOutputParameter(Object(), "n");
  EXPECT_FALSE(context.outputEvent().hasParameterName("n"));
  EXPECT_TRUE(context.inputEvent().hasParameterName("n"));
}

// Whether the output still equals the input is told from the names written
// alone, and the input is rebuilt exactly; both agree with comparing whole
// events.
TEST(EventContextTest, TheOutputIsComparedWithTheInputByWhatWasWritten) {
  const APMPEvent input("e", 1, {{"a", Object(int64_t{1})}, {"b", Object("x")}, {"f", Object(2.0)}});
  using Write = std::pair<std::string, Object>;  // "" renames to the text
  struct Case {
    const char* what;
    std::vector<Write> writes;
    bool differs;
  };
  // More names than the context keeps the input's values of, written and
  // then written back.
  std::vector<Write> many, manyUndone;
  for (int i = 0; i < 40; ++i) many.emplace_back(concat({"p", std::to_string(i)}), Object(int64_t{i}));
  many.emplace_back("a", Object(int64_t{9}));
  manyUndone = many;
  for (int i = 0; i < 40; ++i) manyUndone.emplace_back(concat({"p", std::to_string(i)}), Object());
  manyUndone.emplace_back("a", Object(int64_t{1}));
  const Case cases[] = {
      {"many names", many, true},
      {"many names written back", manyUndone, false},
      {"nothing written", {}, false},
      {"the same value", {{"a", Object(int64_t{1})}}, false},
      {"changed and changed back", {{"a", Object(int64_t{4})}, {"a", Object(int64_t{1})}}, false},
      {"removed and put back", {{"b", Object()}, {"b", Object("x")}}, false},
      {"added and removed", {{"n", Object(int64_t{3})}, {"n", Object()}}, false},
      {"renamed and renamed back", {{"", Object("other")}, {"", Object("e")}}, false},
      {"renamed", {{"", Object("other")}}, true},
      {"added", {{"n", Object(int64_t{3})}}, true},
      {"removed", {{"b", Object()}}, true},
      {"a floating value made integer", {{"f", Object(int64_t{2})}}, true},
      {"an absent parameter removed", {{"absent", Object()}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMPEventContext context(input);
    for (const Write& write : c.writes) {
      if (write.first.empty()) {
        context.setOutputName(*write.second.string());
      } else {
        context.setOutputParameter(write.second, write.first);
      }
    }
    EXPECT_EQ(context.outputDiffersFromInput(), c.differs);
    EXPECT_TRUE(context.inputEvent().isEqualToEvent(input));
    EXPECT_EQ(context.outputDiffersFromInput(), c.differs);
    EXPECT_EQ(context.outputEvent().isEqualToEvent(input), !c.differs);
    // Writes after the input was rebuilt leave it as it was.
    context.setOutputParameter(Object("late"), "b");
    EXPECT_TRUE(context.outputDiffersFromInput());
    EXPECT_TRUE(context.inputEvent().isEqualToEvent(input));
  }
}

}  // namespace
