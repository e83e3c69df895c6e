// Every native and operator, given hostile arguments, under a meter of what
// its thread holds: one event's run, whatever it sorts, joins, splits or
// converts, holds no more than the runtime's memory bound and a little
// slack (the program, the event, the harness), and, in an optimised build,
// uses at most half a second of processor time. Temporaries (text forms,
// sort keys, buffers) once went uncounted and uncharged.
#include <gtest/gtest.h>
#include <time.h>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"
#include "tests/support/failing_allocation.h"

namespace script_test {
namespace {

// What an event's run may hold beyond what the bound lets its values take:
// its scopes, the event's copies, the short text forms natives keep
// uncounted.
constexpr size_t kSlack = size_t{2} << 20;
// Processor time is only bounded in an optimised build without sanitizers:
// elsewhere the same work takes up to twenty times as long.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr int64_t kMostNanoseconds = 500'000'000;
#else
constexpr int64_t kMostNanoseconds = INT64_MAX;
#endif

int64_t threadCpu() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

Entity on(const char* target, const char* method, std::vector<Entity> arguments = {}) {
  return callOn(target, method, std::move(arguments));
}

TEST(NativeMemoryTest, HostileArgumentsStayWithinTheMemoryBound) {
  const std::vector<Entity> digits24 = doubled("t", "1", 24);
  const struct {
    const char* name;
    std::vector<Entity> setup;
    Entity body;
  } cases[] = {
      // A number read from a text of 2^24 digits.
      {"a 2^24-digit number, negated", digits24, stmt("27", {variable("t")})},
      // 52 MiB of values, and the number read beside them.
      {"a 2^24-digit number beside 20 MiB more, negated", digits24 + doubled("p", "a", 23) + doubled("q", "a", 21),
       stmt("27", {variable("t")})},
      {"a 2^24-digit number, multiplied", digits24, stmt("26", {variable("t"), num(2)})},
      {"a 2^24-digit number, compared", digits24, stmt("23", {variable("t"), num(2)})},
      {"a 2^24-digit number, as a position", digits24, on("t", "charAt", {variable("t")})},
      {"a 2^24-digit number, as a split limit", digits24, on("t", "split", {str("x"), variable("t")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EditingHarness h;
    ASSERT_EQ(h.loadSent(c.setup + std::vector{editCallback({c.body, ret(num(0))})}), 0);
    // What the values take already, then what the event's run adds.
    const size_t values = h.editor.runtime().objectManager().collectGarbageAndMeasure();
    ASSERT_LE(values, kAPMPMaxLiveBytes);
    const size_t most = kAPMPMaxLiveBytes + kSlack - values;
    long failure = 0;
    const HeldBytes held(most);
    const int64_t began = threadCpu();
    h.handle(APMPEvent("purchase", 100, {}), &failure);
    EXPECT_LE(threadCpu() - began, kMostNanoseconds);
    EXPECT_TRUE(failure == 0 || failure == kAPMPErrorLimit || failure == kAPMPErrorArrayLength) << failure;
    EXPECT_FALSE(held.refused());
    EXPECT_LE(held.peak(), most);
  }
}

}  // namespace
}  // namespace script_test
