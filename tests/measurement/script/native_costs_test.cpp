// Hostile programs, sent as a server sends them, whose natives once did far
// more work than the budget was charged for: each event must end, with
// error 18 or done, after a bounded amount of that work.
#include <gtest/gtest.h>

#include <unicode/normalizer2.h>
#include <unicode/uclean.h>

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <random>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"
#include "measurement/script/script_text.h"

namespace script_test {
namespace {

std::string repeated(const std::string& piece, size_t times) {
  std::string text;
  while (times-- > 0) text += piece;
  return text;
}

// ICU's allocations above `icuLimit` bytes fail; all go to malloc, so blocks
// pass freely whatever the limit.
std::atomic<size_t> icuLimit{SIZE_MAX};
const bool icuAllocationsLimited = [] {
  UErrorCode status = U_ZERO_ERROR;
  u_setMemoryFunctions(
      nullptr, [](const void*, size_t size) { return size > icuLimit ? nullptr : std::malloc(size); },
      [](const void*, void* block, size_t size) { return size > icuLimit ? nullptr : std::realloc(block, size); },
      [](const void*, void* block) { std::free(block); }, &status);
  return U_SUCCESS(status);
}();

struct Outcome {
  long failure = 0;
  std::vector<std::string> recorded;  // "1" for each round begun, then what the body records
  bool done = false;                  // the callback reached its end
};

// Loads `setup` and an edit callback running `body` `times` times (i from
// 0) from program bytes, and handles one event, ICU's allocations limited
// to `limit` bytes.
Outcome runEvent(std::vector<Entity> setup, std::vector<Entity> body, int times, size_t limit = SIZE_MAX,
                 APMPEvent event = APMPEvent("purchase", 100, {{"item", platform::Object("book")}})) {
  body.insert(body.begin(), stmt("record", {num(1)}));
  setup.push_back(editCallback(repeat(times, std::move(body)) +
                               std::vector{onEvent("setParamValue", {str("done"), num(1)}), ret(num(0))}));
  EditingHarness h;
  EXPECT_EQ(h.loadSent(std::move(setup)), 0);
  EXPECT_TRUE(icuAllocationsLimited);
  long failure = 0;
  icuLimit = limit;
  h.handle(std::move(event), &failure);
  icuLimit = SIZE_MAX;
  return {failure, h.recorded, h.output().hasParameterName("done")};
}

// Regular-expression compiles are charged and kept, matches charged by their
// time; text ordering and searches decompose only from where texts differ,
// paying per segment; case mapping pays both passes and its result, refused
// past the length limit before it is made. A failed allocation inside ICU
// ends the run with error 18, never passing for an answer (an empty text, a
// literal search or order, an invalid pattern).
TEST(NativeCostsTest, HostileNativesEndWithinTheBudget) {
  const std::string caseless = "(?i)[\\p{Any}]", acute = "\xC3\xA9", marks220 = repeated("\xCC\x96", 4096);
  const std::vector<Entity> abc{let("s", str("abc"))}, as = doubled("s", "a", 15);
  const std::vector<Entity> acutes = doubled("acutes", acute, 20);  // not "e": the event argument
  // One segment of 16,385 units, U+0301 (class 230) before U+0316 (220).
  const std::vector<Entity> marks =
      doubled("m", "\xCC\x81\xCC\x96", 13) + std::vector{assign("m", methodCall(str("a"), "concat", {variable("m")}))};
  const std::vector<Entity> among = acutes + doubled("b", "b", 10) +
                                    std::vector{let("list", callOn("b", "split", {str("")})),
                                                callOn("list", "push", {variable("acutes")})};
  const auto record = [](Entity answer) { return std::vector{stmt("record", {std::move(answer)})}; };
  // A map of one key: it compares a name asked for only to a name of its length.
  const std::vector<Entity> map{let("m", mapOf({{"k", num(1)}}))};
  // 2^20 references to one text of 15 units, whose text form is 2^24 - 1 units long.
  std::vector<Entity> references = doubled("r", "", 20);
  references[0] = let("r", stmt("7", {str("abcdefghijklmno")}));
  const std::vector<Entity> text24 = doubled("t", "a", 24), text22 = doubled("t", "a", 22),
                            text20 = doubled("t", "a", 20);
  struct Case {
    const char* name;
    std::vector<Entity> setup, body;
    int times;
    long failure;                // 18, or 0 for an event that completes
    size_t maxRecorded;          // rounds begun before the budget ended the run, and answers
    size_t icuLimit = SIZE_MAX;  // where ICU's allocations fail, error 18 always does
    const char* answer = nullptr;
  };
  const Case cases[] = {
      // Each differs and compiles: a few fit (how many depends on the machine).
      {"distinct caseless patterns", abc, {callOn("s", "search", {stmt("0", {str(caseless), variable("i")})})}, 200,
       18, 100},
      {"one caseless pattern, compiled once", abc, {callOn("s", "search", {str(caseless)})}, 2000, 0, 2000},
      {"a hundred caseless sets, refused before compiling", abc,
       {callOn("s", "search", {str(repeated(caseless, 100))})}, 1, 18, 1},
      // One back-reference step compares up to the whole text.
      {"back-references", as, {callOn("s", "search", {str("^(a+)\\1+b")})}, 20, 18, 2},
      {"back-references over 2^11 units, charged their time", doubled("s", "a", 11),
       {callOn("s", "search", {str("^(a+)\\1+b")})}, 1000, 18, 999},
      {"caseless back-references", as, {callOn("s", "search", {str("(?i)^(a+)\\1+b")})}, 20, 18, 2},
      {"2^20 acutes against one", acutes, {stmt("23", {variable("acutes"), str(acute)})}, 100, 0, 100},
      {"2^20 acutes sorted among 1,024 letters", among, {callOn("list", "sort")}, 1, 0, 1},
      {"a long run of marks to reorder", marks, {stmt("23", {variable("m"), str("a")})}, 20, 18, 1},
      {"a long run of marks, searched", marks, {callOn("m", "indexOf", {str("b")})}, 20, 18, 1},
      {"a long run of marks, sorted", marks + std::vector{let("l", stmt("7", {variable("m"), str("a"), str("b")}))},
       {callOn("l", "sort")}, 20, 18, 1},
      // U+0390 upper-cases to three units.
      {"2^20 expanding letters, upper-cased", doubled("t", "\xCE\x90", 20), {callOn("t", "toUpperCase")}, 20, 18, 3},
      {"2^23 letters, lower-cased", doubled("t", "x", 23), {callOn("t", "toLowerCase")}, 1, 18, 1},
      {"2^20 letters, lower-cased in the locale", doubled("t", "X", 20), {callOn("t", "toLocaleLowerCase")}, 20, 18, 4},
      {"upper-casing, allocation failing", doubled("t", "\xCE\x90", 15),
       record(getProperty(callOn("t", "toUpperCase"), str("length"))), 1, 0, 2, 4096, "98304"},
      {"a match's backtracking, allocation failing", doubled("t", "a", 17),
       record(callOn("t", "search", {str("(a|b)*c")})), 1, 18, 2, 4096},
      {"a compile, allocation failing", doubled("t", "a", 15),
       record(callOn("t", "search", {str(repeated("a", 20000))})), 1, 0, 2, 4096, "0"},
      {"an equivalent search, allocation failing", {let("t", str(acute + "be" + marks220))},
       record(callOn("t", "indexOf", {str("e\xCC\x81")})), 1, 0, 2, 4096, "0"},
      {"an ordering, allocation failing", {let("t", str("e\xCC\x81" + marks220))},
       record(stmt("23", {variable("t"), str("e\xCC\x96\xCC\x96")})), 1, 0, 2, 4096, "false"},
      // Natives that copied, converted or hashed a whole text uncharged.
      {"an array of 2^20 references, as a key", references + map, {callOn("m", "hasOwnProperty", {variable("r")})},
       10, 18, 2},
      {"a 32 MiB text, as a key", text24 + map, {callOn("m", "hasOwnProperty", {variable("t")})}, 10, 18, 6},
      {"a 32 MiB text, required", text24, {stmt("require", {variable("t")})}, 10, 18, 6},
      {"an array of 2^20 references, as a parameter name", references,
       {onEvent("getParamValue", {variable("r")})}, 10, 18, 3},
      {"an 8 MiB text, as a property", text22 + map, {getProperty(variable("m"), variable("t"))}, 40, 18, 24},
      {"an 8 MiB text, as itself", text22, {callOn("t", "toString")}, 40, 18, 24},
      // A scope of its own binds the name, then reads it: each compares it whole.
      {"a variable named by a 2 MiB text", text20,
       {stmt("53", {stmt("41", {variable("t")}), stmt("15", {variable("t")})})}, 40, 18, 34},
      {"the names of a map holding an 8 MiB one",
       text22 + map + std::vector{stmt("43", {variable("m"), variable("t"), num(1)})},
       {stmt("47", {str("k"), variable("m"), list({})})}, 40, 18, 24},
  };
  // What ICU loads once per process is loaded before any limit.
  uint64_t allowance = kAPMPWorkLimit;
  script_text::compareTexts(u"\u00E9", u"e\u0301", allowance);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = runEvent(c.setup, c.body, c.times, c.icuLimit);
    if (c.icuLimit != SIZE_MAX && outcome.failure == 18) continue;
    EXPECT_EQ(outcome.failure, c.failure);
    EXPECT_EQ(outcome.done, c.failure == 0);
    EXPECT_LE(outcome.recorded.size(), c.maxRecorded);
    if (c.answer) {
      EXPECT_EQ(outcome.recorded, (std::vector<std::string>{"1", c.answer}));
    }
  }
}

// An event's values are copied into the run at each read: a large one read
// over and over pays for every copy.
TEST(NativeCostsTest, ReadingALargeEventBackIsCharged) {
  const std::string big(size_t{4} << 20, 'a');
  const Entity reads[] = {onEvent("getParamValue", {str("big")}), onEvent("getParams"), onEvent("getEventName")};
  for (const Entity& read : reads) {
    const Outcome outcome = runEvent({}, {read}, 40, SIZE_MAX, APMPEvent(big, 100, {{"big", platform::Object(big)}}));
    EXPECT_EQ(outcome.failure, 18);
    EXPECT_LE(outcome.recorded.size(), 10u);
  }
}

// Read incrementally, the order is still that of the whole decompositions,
// wherever the texts differ: before, inside or after a run of marks, or in
// a surrogate pair.
TEST(NativeCostsTest, TextOrderIsThatOfTheWholeDecompositions) {
  const std::u16string pieces[] = {u"a", u"e", u"\u00E9", u"\u0301", u"\u0316", u"\u0323", u"\u1E09",
                                   u"\uAC01", u"\U0001F600", u"\U0001D15E", u"z"};
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  ASSERT_TRUE(U_SUCCESS(status));
  const auto decomposed = [&](const std::u16string& text) {
    UErrorCode failure = U_ZERO_ERROR;
    const icu::UnicodeString result =
        nfd->normalize(icu::UnicodeString(text.data(), static_cast<int32_t>(text.size())), failure);
    return std::u16string(reinterpret_cast<const char16_t*>(result.getBuffer()), static_cast<size_t>(result.length()));
  };
  std::mt19937 random(7);
  const auto draw = [&](std::u16string text) {
    for (size_t n = random() % 5; n > 0; --n) text += pieces[random() % std::size(pieces)];
    return text;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::u16string common = draw(u"");
    const std::u16string a = draw(common), b = draw(common);
    const int expected = decomposed(a).compare(decomposed(b));
    uint64_t allowance = kAPMPWorkLimit;
    const std::optional<int> order = script_text::compareTexts(a, b, allowance);
    ASSERT_TRUE(order);
    ASSERT_EQ(*order, (expected > 0) - (expected < 0)) << text(Value::string(a)) << " vs " << text(Value::string(b));
  }
}

}  // namespace
}  // namespace script_test
