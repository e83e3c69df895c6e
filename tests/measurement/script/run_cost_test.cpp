// Hostile programs, sent as a server sends them (program bytes, decode,
// load, events), whose work once cost far more than the budget was
// charged for it; and the processor-time net under every charge.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <unordered_map>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"
#include "tests/support/text_concat.h"

namespace script_test {
namespace {

const APMPEvent kEvent("purchase", 100, {{"item", platform::Object("book")}});

Entity editCallbackRepeating(double count, std::vector<Entity> body) {
  std::vector<Entity> statements = repeat(count, std::move(body));
  statements.push_back(ret(num(0)));
  return editCallback(std::move(statements));
}

// Each call of x makes a closure over its own scope that makes the next the
// same way, so `x = x()` lengthens a chain kept across events by a scope a
// call; each call reads the global "code" from the chain's far end.
TEST(RunCostTest, AClosureChainGrowingAcrossEventsIsChargedPerScope) {
  EditingHarness h;
  const Entity next = function("51", "", {}, {stmt("5", {variable("code")})});
  ASSERT_EQ(h.loadSent({let("code", list({ret(next)})), let("x", next),
                        editCallbackRepeating(2000, {assign("x", stmt("x")), stmt("record", {num(1)})})}),
            0);
  std::vector<long> failures;
  for (int event = 0; event < 4; ++event) {
    h.recorded.clear();
    h.handle(kEvent, &failures.emplace_back());
    // Once the chain is thousands of scopes long, each call pays for all.
    if (event >= 2) {
      EXPECT_LT(h.recorded.size(), 1000u) << "event " << event;
    }
  }
  // The first event walks 2 million scopes; the second three times as many, past the budget.
  EXPECT_EQ(failures, (std::vector<long>{0, kAPMPErrorLimit, kAPMPErrorLimit, kAPMPErrorLimit}));
}

// 2,000 names chosen to share one bucket of an index hashed with the
// standard library's fixed seed, stored in a map by a map literal.
TEST(RunCostTest, NamesChosenToShareABucketAreSpread) {
  constexpr size_t kNames = 2000;
  std::unordered_map<std::u16string, uint32_t> sized;
  for (size_t i = 0; i < kNames; ++i) sized.emplace(u16(concat({"n", std::to_string(i)})), 0);
  std::vector<Entity> pairs;
  std::u16string name;
  for (uint64_t candidate = 0; pairs.size() < 2 * kNames; ++candidate) {
    name.clear();
    for (uint64_t rest = candidate; rest != 0 || name.empty(); rest /= 10) name.push_back(u'0' + rest % 10);
    if (std::hash<std::u16string_view>{}(name) % sized.bucket_count() != 0) continue;
    pairs.push_back(str(script_text::toUtf8(name)));
    pairs.push_back(num(1));
  }
  EditingHarness h;
  ASSERT_EQ(h.loadSent({let("m", stmt("8", pairs))}), 0);
  const APMPMapValue* map = h.editor.runtime().globalScope().valueForName(u"m").asMap();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->propertyMap().count(), kNames);
  EXPECT_LT(map->propertyMap().longestIndexBucket(), 16u);
}

// Evaluating a statement list ("46") of 2,000 statements as a value copies
// them, and each copy is charged.
TEST(RunCostTest, AStatementListIsChargedForEveryCopy) {
  EditingHarness h;
  const std::vector<Entity> statements(2000, str("x"));
  ASSERT_EQ(h.loadSent({declare("kept"), editCallbackRepeating(100, {assign("kept", list(statements))})}), 0);
  long failure = 0;
  h.handle(kEvent, &failure);
  EXPECT_EQ(failure, 0);
  EXPECT_GE(h.editor.runtime().initialScope().workCount(), 100u * 8 * statements.size());
}

Entity setParam(Entity value) { return onEvent("setParamValue", {str("p"), std::move(value)}); }
Entity logNamed(const char* name) { return stmt("logEvent", {variable(name), num(1), mapOf({})}); }

// What the event natives copy out of the runtime's values into events is
// held, with those values, to the memory bound: the run ends with error 18
// before the copy that would pass it. Beside 52 MiB of values, a few
// megabytes of copies reach it.
TEST(RunCostTest, CopiesIntoEventsAreHeldToTheMemoryBound) {
  const std::vector<Entity> values = doubledText("k", 21) + doubledText("l", 20) + doubledText("m", 18);
  const auto referencing = [](const char* name, size_t count) {
    return std::vector{let("list", stmt("7", std::vector<Entity>(count, variable(name)))),
                       editCallback({setParam(variable("list")), ret(num(0))})};
  };
  const struct {
    const char* name;
    std::vector<Entity> instructions;
  } cases[] = {
      {"a parameter of 24 references to a 512 KiB text", values + doubledText("t", 16) + referencing("t", 24)},
      {"a parameter of 2,000 references to an 8 KiB text", values + doubledText("t", 10) + referencing("t", 2000)},
      {"twelve events created under a 1 MiB name",
       values + doubledText("n", 17) + std::vector{editCallbackRepeating(12, {logNamed("n")})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EditingHarness h;
    ASSERT_EQ(h.loadSent(c.instructions), 0);
    long failure = 0;
    h.handle(kEvent, &failure);
    EXPECT_EQ(failure, kAPMPErrorLimit);
    size_t held = h.editor.runtime().objectManager().collectGarbageAndMeasure() + APMPEventBytes(h.output());
    for (const APMPEvent& created : h.editor.eventContext().eventsToLog()) held += APMPEventBytes(created);
    EXPECT_LE(held, kAPMPMaxLiveBytes);
  }
}

// Copies into events are charged as work by their units. Replaced and
// discarded ones give their bytes back, and what an event's run leaves in
// the event counts against its runtime no longer.
TEST(RunCostTest, CopiesIntoEventsArePaidForAndCountedWhileHeld) {
  // Ten edits of 192 KiB each, discarded; 128 KiB of created events.
  const std::vector<Entity> instructions =
      doubledText("t", 13) +
      std::vector(10, editCallback({setParam(variable("t")), setParam(variable("t")),
                                    onEvent("setEventName", {variable("t")})})) +
      std::vector{createCallback({logNamed("t"), logNamed("t")})};
  EditingHarness h;
  ASSERT_EQ(h.loadSent(instructions), 0);
  for (int event = 0; event < 2; ++event) {
    long failure = 0;
    h.handle(kEvent, &failure);
    EXPECT_EQ(failure, 0);
    EXPECT_GE(h.editor.runtime().initialScope().workCount(), 32u << 16);
    EXPECT_EQ(h.editor.eventContext().eventsToLog().size(), 2u);
    EXPECT_LT(h.editor.eventContext().heldBytes(), 3u << 16);
    EXPECT_EQ(h.editor.runtime().objectManager().memoryAccount().kept, 0u);
  }
}

// This thread's processor time in nanoseconds.
int64_t threadCpu() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// A test's bound on the processor time of its thread's runs, for its
// lifetime.
struct CpuBound {
  explicit CpuBound(int64_t nanoseconds) { APMPSetRunCpuBoundForTesting(nanoseconds); }
  ~CpuBound() { APMPSetRunCpuBoundForTesting(0); }
};

// spin(us, looking) uses `us` microseconds of the thread's processor time,
// looking at the run's as it goes when `looking`; sleep(ms, looking)
// leaves the processor for `ms` milliseconds, then looks when `looking`;
// nested() runs a spin(50, false) inside the runtime. `calls` counts spins.
void bindClockNatives(EditingHarness& h, size_t* calls = nullptr) {
  h.bind("spin", [calls](auto v, APMPScope& scope, platform::ErrorRef& error) {
    if (calls) ++*calls;
    const int64_t end = threadCpu() + static_cast<int64_t>(v[0].numberValue() * 1000);
    while (threadCpu() < end && (!v[1].booleanValue() || APMPWithinRunTime(scope, error))) {
    }
    return Value();
  });
  h.bind("sleep", [](auto v, APMPScope& scope, platform::ErrorRef& error) {
    const timespec pause{0, static_cast<long>(v[0].numberValue() * 1'000'000)};
    nanosleep(&pause, nullptr);
    if (v[1].booleanValue()) APMPWithinRunTime(scope, error);
    return Value();
  });
  h.bind("nested", [&h](auto, APMPScope&, platform::ErrorRef& error) {
    h.editor.runtime().executeStatements(std::vector<Entity>{stmt("spin", {num(50), boolean(false)})}, &error);
    return Value();
  });
}

Entity spin(double microseconds, bool looking) { return stmt("spin", {num(microseconds), boolean(looking)}); }

// Natives charged nothing for their processor time: the run ends with error
// 18 once it has used its bound, looked at every few thousand evaluations,
// inside natives that look, and over every run of the budget (an event's
// callbacks, a run nested in a native). The next event has the whole bound.
TEST(RunCostTest, ARunEndsOnceItHasUsedItsProcessorTime) {
  const CpuBound bound(20'000'000);
  const struct {
    const char* name;
    std::vector<Entity> instructions;
    size_t maxCalls;  // of "spin"
  } cases[] = {
      // 3,000 calls of 50 us take 150 ms; a look every 4,096 evaluations comes every 600 calls or so.
      {"uncharged native in a loop", {editCallbackRepeating(3000, {spin(50, false)})}, 1500},
      {"a native looking as it goes", {editCallbackRepeating(3, {spin(100'000, true)})}, 1},
      {"a run nested in a native", {editCallbackRepeating(3000, {stmt("nested")})}, 1500},
      {"the callbacks of one event",
       {editCallback({spin(15'000, true), ret(num(0))}), editCallback({spin(15'000, true), ret(num(0))})}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EditingHarness h;
    size_t calls = 0;
    bindClockNatives(h, &calls);
    ASSERT_EQ(h.loadSent(c.instructions), 0);
    for (size_t least : {size_t{0}, size_t{1}}) {
      calls = 0;
      long failure = 0;
      h.handle(kEvent, &failure);
      EXPECT_EQ(failure, kAPMPErrorLimit);
      EXPECT_LE(calls, c.maxCalls);
      EXPECT_GE(calls, least);
    }
  }
}

// Only processor time the thread spent in the event's runs counts: neither
// the time it slept (as a preempted or stopped thread does) nor the
// resolution of the clock that decides when to read the processor clock,
// which once added a few milliseconds to every callback of an event.
TEST(RunCostTest, OnlyTheProcessorTimeOfTheRunsCounts) {
  const auto sleep = [](bool looking) { return stmt("sleep", {num(2), boolean(looking)}); };
  const Entity small = editCallback({stmt("record", {num(1)}), ret(num(0))});
  const std::vector<Entity> longThenSmall =
      std::vector{editCallback({spin(30'000, true), ret(num(0))})} + std::vector(200, small);
  const struct {
    const char* name;
    int64_t bound;
    std::vector<Entity> instructions;
  } cases[] = {
      {"a long first callback, then 200 small ones", 100'000'000, longThenSmall},
      // 20 ms asleep against a bound of 10 ms.
      {"a thread asleep between looks", 10'000'000,
       {editCallbackRepeating(5, {sleep(false)}), editCallbackRepeating(5, {sleep(false)}), small}},
      {"a thread asleep, looking after each sleep", 10'000'000,
       {editCallbackRepeating(5, {sleep(true)}), editCallbackRepeating(5, {sleep(true)}), small}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CpuBound bound(c.bound);
    EditingHarness h;
    bindClockNatives(h);
    ASSERT_EQ(h.loadSent(c.instructions), 0);
    long failure = 0;
    h.handle(kEvent, &failure);
    EXPECT_EQ(failure, 0);
    EXPECT_FALSE(h.recorded.empty());
  }
}

}  // namespace
}  // namespace script_test
