// Hostile programs, sent as a server sends them, whose natives once did far
// more work than the budget was charged for: each event must end, with
// error 18 or done, after a bounded amount of that work.
#include <gtest/gtest.h>

#include <unicode/normalizer2.h>
#include <unicode/uclean.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"
#include "measurement/script/script_text.h"

namespace script_test {
namespace {

const APMPEvent kPurchase("purchase", 100, {{"item", platform::Object("book")}});

Entity setParam(std::string name, Entity value) {
  return onEvent("setParamValue", {str(std::move(name)), std::move(value)});
}
Entity add(Entity a, Entity b) { return stmt("0", {std::move(a), std::move(b)}); }
Entity callOn(const char* target, const char* method, std::vector<Entity> arguments = {}) {
  return methodCall(variable(target), method, std::move(arguments));
}
std::string repeated(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Binds `name` to `seed` doubled `doublings` times, so that long texts
// travel as short programs.
std::vector<Entity> doubled(const char* name, const std::string& seed, int doublings) {
  std::vector<Entity> statements{let(name, str(seed))};
  for (int i = 0; i < doublings; ++i) statements.push_back(assign(name, callOn(name, "concat", {variable(name)})));
  return statements;
}

struct Outcome {
  long failure = 0;
  size_t rounds = 0;  // begun by the callback's loop
  bool done = false;  // the callback reached its end
};

// Loads `setup` (run once, at load) and an edit callback that runs `body`
// `times` times, with i counting from 0, each round recorded; the program
// travels as bytes, is decoded and loaded, and one event is handled.
Outcome runEvent(std::vector<Entity> setup, std::vector<Entity> body, int times) {
  std::vector<Entity> instructions = preamble();
  for (Entity& statement : setup) instructions.push_back(std::move(statement));
  body.insert(body.begin(), stmt("record", {num(1)}));
  instructions.push_back(editCallback({let("i", num(0)),
                                       stmt("42", {stmt("23", {variable("i"), num(times)}),
                                                   assign("i", add(variable("i"), num(1))), boolean(false),
                                                   list(std::move(body))}),
                                       setParam("done", num(1)), ret(num(0))}));
  const auto message = programMessage(APMPEditingProgram{instructions, {}});
  const auto decoded = APMPBProgram::initWithBuffer(*message->protoBuffer());
  EditingHarness h;
  platform::ErrorRef error;
  EXPECT_TRUE(decoded);
  if (!decoded) return {};
  h.editor.loadProgram(*decoded, &error);
  EXPECT_FALSE(error);
  Outcome outcome;
  h.handle(kPurchase, &outcome.failure);
  outcome.rounds = h.recorded.size();
  outcome.done = h.output().hasParameterName("done");
  return outcome;
}

struct Case {
  const char* name;
  std::vector<Entity> setup;
  std::vector<Entity> body;
  int times;
  long failure;      // expected: 18, or 0 for an event that completes
  size_t maxRounds;  // begun before the budget ended the run
};

void expectOutcomes(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Outcome outcome = runEvent(c.setup, c.body, c.times);
    EXPECT_EQ(outcome.failure, c.failure) << c.name;
    EXPECT_EQ(outcome.done, c.failure == 0) << c.name;
    EXPECT_LE(outcome.rounds, c.maxRounds) << c.name;
  }
}

const std::string kCaselessSet = "(?i)[\\p{Any}]";

// Compiling is charged by what it costs and compiled patterns are kept;
// matching is charged by the time it takes, however few steps ICU counts.
TEST(NativeCostsTest, RegularExpressions) {
  std::vector<Case> cases;
  // Each pattern differs, so each compiles: a few fit in the budget (how
  // many depends on the machine's speed).
  cases.push_back({"distinct caseless patterns", {let("s", str("abc"))},
                   {callOn("s", "search", {add(str(kCaselessSet), variable("i"))})}, 200, 18, 100});
  // One pattern compiles once, however often it is used.
  cases.push_back({"one caseless pattern", {let("s", str("abc"))}, {callOn("s", "search", {str(kCaselessSet)})},
                   2000, 0, 2000});
  // Refused before compiling: it would take the budget many times over.
  cases.push_back({"a hundred caseless sets", {let("s", str("abc"))},
                   {callOn("s", "search", {str(repeated(kCaselessSet, 100))})}, 1, 18, 1});
  // One back-reference step compares up to the whole text: refused.
  std::vector<Entity> as = doubled("s", "a", 15);
  cases.push_back({"back-references", as, {callOn("s", "search", {str("^(a+)\\1+b")})}, 20, 18, 2});
  // Short enough to start; each search is charged the time it took.
  cases.push_back({"back-references over 2^11 units", doubled("s", "a", 11),
                   {callOn("s", "search", {str("^(a+)\\1+b")})}, 1000, 18, 999});
  // Compared through case folding, each unit costs ten times more.
  cases.push_back({"caseless back-references", as, {callOn("s", "search", {str("(?i)^(a+)\\1+b")})}, 20, 18, 2});
  expectOutcomes(cases);
}

// Ordering texts decomposes them only from where they differ, and pays for
// each segment it decomposes, reordered marks included; so do searches.
TEST(NativeCostsTest, TextOrdering) {
  const std::string acute = "\xC3\xA9";                 // U+00E9, precomposed
  const std::string marks = "\xCC\x81\xCC\x96";        // U+0301 (class 230), U+0316 (class 220)
  // Not "e": the callback's event argument has that name.
  std::vector<Entity> acutes = doubled("acutes", acute, 20);
  std::vector<Entity> reordered = doubled("m", marks, 13);
  reordered.push_back(assign("m", methodCall(str("a"), "concat", {variable("m")})));
  std::vector<Entity> among = acutes;
  for (Entity& statement : doubled("b", "b", 10)) among.push_back(std::move(statement));
  among.push_back(let("list", callOn("b", "split", {str("")})));
  among.push_back(callOn("list", "push", {variable("acutes")}));
  std::vector<Case> cases;
  cases.push_back({"2^20 acutes against one", acutes, {stmt("23", {variable("acutes"), str(acute)})}, 100, 0, 100});
  cases.push_back({"2^20 acutes sorted among 1,024 letters", among, {callOn("list", "sort")}, 1, 0, 1});
  // One segment of 16,385 units, its marks in the wrong order.
  cases.push_back({"a long run of marks to reorder", reordered, {stmt("23", {variable("m"), str("a")})}, 20, 18, 1});
  // A search through canonical equivalents decomposes the same way.
  cases.push_back({"a long run of marks, searched", reordered, {callOn("m", "indexOf", {str("b")})}, 20, 18, 1});
  reordered.push_back(let("l", stmt("7", {variable("m"), str("a"), str("b")})));
  cases.push_back({"a long run of marks, sorted", reordered,
                   {callOn("l", "sort")},
                   20, 18, 1});
  expectOutcomes(cases);
}

// Case mapping is charged for both passes it makes over the text and for
// the text it makes, and refuses a result past the length limit before
// making it.
TEST(NativeCostsTest, CaseMapping) {
  std::vector<Entity> expanding = doubled("t", "\xCE\x90", 20);  // U+0390 upper-cases to three units
  std::vector<Entity> plain = doubled("t", "x", 23);
  std::vector<Case> cases;
  cases.push_back({"2^20 expanding letters, upper-cased", expanding, {callOn("t", "toUpperCase")}, 20, 18, 3});
  cases.push_back({"2^23 letters, lower-cased", plain, {callOn("t", "toLowerCase")}, 1, 18, 1});
  cases.push_back({"2^20 letters, lower-cased in the locale", doubled("t", "X", 20), {callOn("t", "toLocaleLowerCase")},
                   20, 18, 4});
  expectOutcomes(cases);
}

// ICU's allocations above `limit` bytes fail while this lives; every other
// allocation goes to malloc, so blocks pass freely between the two states.
class IcuAllocationLimit {
 public:
  explicit IcuAllocationLimit(size_t limit) {
    static const bool installed = [] {
      UErrorCode status = U_ZERO_ERROR;
      u_setMemoryFunctions(nullptr, allocate, reallocate, release, &status);
      return U_SUCCESS(status);
    }();
    EXPECT_TRUE(installed);
    limit_ = limit;
  }
  ~IcuAllocationLimit() { limit_ = SIZE_MAX; }

 private:
  static void* U_CALLCONV allocate(const void*, size_t size) { return size > limit_ ? nullptr : std::malloc(size); }
  static void* U_CALLCONV reallocate(const void*, void* block, size_t size) {
    return size > limit_ ? nullptr : std::realloc(block, size);
  }
  static void U_CALLCONV release(const void*, void* block) { std::free(block); }
  static inline std::atomic<size_t> limit_{SIZE_MAX};
};

// A failed allocation inside ICU ends the run with error 18: it never
// passes for an answer (an empty text, a literal search or order, an
// invalid pattern).
TEST(NativeCostsTest, AFailedAllocationInsideIcuIsErrorEighteen) {
  const std::string marks = repeated("\xCC\x96", 4096);  // U+0316, a mark of class 220
  struct Row {
    const char* name;
    std::vector<Entity> setup;
    Entity answer;        // recorded
    const char* correct;  // the answer when nothing fails; null when only error 18 will do
  };
  std::vector<Row> rows;
  rows.push_back({"upper-casing", doubled("t", "\xCE\x90", 15), getProperty(callOn("t", "toUpperCase"), str("length")),
                  "98304"});
  rows.push_back({"a match's backtracking", doubled("t", "a", 17), callOn("t", "search", {str("(a|b)*c")}), nullptr});
  rows.push_back({"a compile", doubled("t", "a", 15), callOn("t", "search", {str(repeated("a", 20000))}), "0"});
  rows.push_back({"an equivalent search", {let("t", str("\xC3\xA9" "be" + marks))},
                  callOn("t", "indexOf", {str("e\xCC\x81")}), "0"});
  rows.push_back({"an ordering", {let("t", str("e\xCC\x81" + marks))}, stmt("23", {variable("t"), str("e\xCC\x96\xCC\x96")}),
                  "false"});
  // What ICU loads once per process is loaded before the limit.
  uint64_t allowance = kAPMPWorkLimit;
  script_text::compareTexts(u"\u00E9", u"e\u0301", allowance);
  for (const Row& row : rows) {
    std::vector<Entity> instructions = preamble();
    for (const Entity& statement : row.setup) instructions.push_back(statement);
    instructions.push_back(editCallback({stmt("record", {row.answer}), ret(num(0))}));
    const auto message = programMessage(APMPEditingProgram{instructions, {}});
    const auto decoded = APMPBProgram::initWithBuffer(*message->protoBuffer());
    ASSERT_TRUE(decoded);
    EditingHarness h;
    platform::ErrorRef error;
    h.editor.loadProgram(*decoded, &error);
    ASSERT_FALSE(error) << row.name;
    long failure = 0;
    {
      const IcuAllocationLimit limit(4096);
      h.handle(kPurchase, &failure);
    }
    if (failure == 18) continue;
    EXPECT_EQ(failure, 0) << row.name;
    if (row.correct) {
      EXPECT_EQ(h.recorded, std::vector<std::string>{row.correct}) << row.name;
    }
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
  const auto draw = [&](const std::u16string& prefix) {
    std::u16string text = prefix;
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
    ASSERT_EQ(*order, expected < 0 ? -1 : (expected > 0 ? 1 : 0)) << text(Value::string(a)) << " vs "
                                                                   << text(Value::string(b));
  }
}

}  // namespace
}  // namespace script_test
