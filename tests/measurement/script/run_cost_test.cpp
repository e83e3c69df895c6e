// Hostile programs, sent as a server sends them (program bytes, decode,
// load, events), whose work once cost far more than the budget was
// charged for it; and the processor-time net under every charge.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"

namespace script_test {
namespace {

const APMPEvent kEvent("purchase", 100, {{"item", platform::Object("book")}});

// Loads the preamble and `instructions` from the bytes of a program
// message; the loading error's code.
long loadAsSent(EditingHarness& h, std::vector<Entity> instructions) {
  APMPEditingProgram program{preamble(), {}};
  for (Entity& instruction : instructions) program.instructions.push_back(std::move(instruction));
  const auto decoded = APMPBProgram::initWithBuffer(*programMessage(program)->protoBuffer());
  if (!decoded) return -1;
  platform::ErrorRef error;
  h.editor.loadProgram(*decoded, &error);
  return code(error);
}

// for (i = 0; i < count; i = i + 1) { body }, as a while loop.
std::vector<Entity> repeat(double count, std::vector<Entity> body) {
  return {let("i", num(0)),
          stmt("42", {stmt("23", {variable("i"), num(count)}), assign("i", stmt("0", {variable("i"), num(1)})),
                      boolean(false), list(std::move(body))})};
}

Entity editCallbackRepeating(double count, std::vector<Entity> body) {
  std::vector<Entity> statements = repeat(count, std::move(body));
  statements.push_back(ret(num(0)));
  return editCallback(std::move(statements));
}

// A closure made by each call, over that call's scope, that makes the
// next one the same way: `x = x()` lengthens the chain by a scope a call,
// and the chain stays across events. Each call reads the global "code"
// from the far end of the chain.
TEST(RunCostTest, AClosureChainGrowingAcrossEventsIsChargedPerScope) {
  EditingHarness h;
  const Entity next = function("51", "", {}, {stmt("5", {variable("code")})});
  ASSERT_EQ(loadAsSent(h, {let("code", list({ret(next)})), let("x", next),
                           editCallbackRepeating(2000, {assign("x", stmt("x")), stmt("record", {num(1)})})}),
            0);
  long firstFailure = 0;
  for (int event = 0; event < 4; ++event) {
    h.recorded.clear();
    long failure = 0;
    h.handle(kEvent, &failure);
    if (firstFailure == 0 && failure != 0) {
      firstFailure = event + 1;
      EXPECT_EQ(failure, kAPMPErrorLimit);
    } else if (firstFailure != 0) {
      // The chain is thousands of scopes long now: each call is charged
      // for all of them, and the event ends after a few hundred.
      EXPECT_EQ(failure, kAPMPErrorLimit) << "event " << event;
      EXPECT_LT(h.recorded.size(), 1000u) << "event " << event;
    }
  }
  // The first event walks 2 million scopes; the second three times as
  // many, past the budget.
  EXPECT_EQ(firstFailure, 2);
}

// 2,000 names chosen to share one bucket of an index hashed with the
// standard library's fixed seed, stored in a map by a map literal.
TEST(RunCostTest, NamesChosenToShareABucketAreSpread) {
  constexpr size_t kNames = 2000;
  std::unordered_map<std::u16string, uint32_t> sized;
  for (size_t i = 0; i < kNames; ++i) sized.emplace(u16("n" + std::to_string(i)), 0);
  const size_t buckets = sized.bucket_count();
  std::vector<Entity> pairs;
  std::u16string name;
  for (uint64_t candidate = 0; pairs.size() < 2 * kNames; ++candidate) {
    name.clear();
    for (uint64_t rest = candidate; rest != 0 || name.empty(); rest /= 10) name.push_back(u'0' + rest % 10);
    if (std::hash<std::u16string_view>{}(name) % buckets != 0) continue;
    pairs.push_back(str(script_text::toUtf8(name)));
    pairs.push_back(num(1));
  }
  EditingHarness h;
  ASSERT_EQ(loadAsSent(h, {let("m", stmt("8", pairs))}), 0);
  const APMPMapValue* map = h.editor.runtime().globalScope().valueForName(u"m").asMap();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->propertyMap().count(), kNames);
  EXPECT_LT(map->propertyMap().longestIndexBucket(), 16u);
}

// A loop whose pass evaluates a statement list ("46") of 2,000 statements
// as a value: each pass copies them, and is charged for it.
TEST(RunCostTest, AStatementListIsChargedForEveryCopy) {
  EditingHarness h;
  const std::vector<Entity> statements(2000, str("x"));
  ASSERT_EQ(loadAsSent(h, {declare("kept"), editCallbackRepeating(100, {assign("kept", list(statements))})}), 0);
  long failure = 0;
  h.handle(kEvent, &failure);
  EXPECT_EQ(failure, 0);
  EXPECT_GE(h.editor.runtime().initialScope().workCount(), 100u * 8 * statements.size());
}

// This thread's processor time in nanoseconds.
int64_t threadCpu() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Lowers the processor-time bound of runs on this thread for the test's
// length.
class RunCpuBound {
 public:
  explicit RunCpuBound(int64_t nanoseconds) { APMPSetRunCpuBoundForTesting(nanoseconds); }
  ~RunCpuBound() { APMPSetRunCpuBoundForTesting(0); }
};

// Natives charged nothing for the processor time they take: the run ends
// with error 18 once it has used its bound, looked at every few thousand
// evaluations, inside natives that look, and over every run of the budget
// (an event's callbacks, a run nested in a native).
TEST(RunCostTest, ARunEndsOnceItHasUsedItsProcessorTime) {
  const RunCpuBound bound(20'000'000);
  struct Case {
    const char* name;
    std::vector<Entity> instructions;
    size_t maxCalls;  // of "spin"
  };
  const auto spin = [](double microseconds, bool looking) {
    return stmt("spin", {num(microseconds), boolean(looking)});
  };
  const Case cases[] = {
      // 3,000 calls of 50 us would take 150 ms; the look every 4,096
      // evaluations comes every 600 calls or so.
      {"uncharged native in a loop", {editCallbackRepeating(3000, {spin(50, false)})}, 1500},
      {"a native looking as it goes", {editCallbackRepeating(3, {spin(100'000, true)})}, 1},
      {"a run nested in a native", {editCallbackRepeating(3000, {stmt("nested")})}, 1500},
      {"the callbacks of one event",
       {editCallback({spin(15'000, true), ret(num(0))}), editCallback({spin(15'000, true), ret(num(0))})},
       2},
  };
  for (const Case& c : cases) {
    EditingHarness h;
    size_t calls = 0;
    h.bind("spin", [&calls](auto v, APMPScope& scope, platform::ErrorRef& error) {
      ++calls;
      const int64_t end = threadCpu() + static_cast<int64_t>(v[0].numberValue() * 1000);
      while (threadCpu() < end) {
        if (v[1].booleanValue() && !APMPWithinRunTime(scope, error)) break;
      }
      return Value();
    });
    h.bind("nested", [&h](auto, APMPScope&, platform::ErrorRef& error) {
      h.editor.runtime().executeStatements(std::vector<Entity>{stmt("spin", {num(50), boolean(false)})}, &error);
      return Value();
    });
    ASSERT_EQ(loadAsSent(h, c.instructions), 0) << c.name;
    long failure = 0;
    h.handle(kEvent, &failure);
    EXPECT_EQ(failure, kAPMPErrorLimit) << c.name;
    EXPECT_LE(calls, c.maxCalls) << c.name;
    // The next event has the whole bound again.
    calls = 0;
    h.handle(kEvent, &failure);
    EXPECT_EQ(failure, kAPMPErrorLimit) << c.name;
    EXPECT_GE(calls, 1u) << c.name;
  }
}

}  // namespace
}  // namespace script_test
