// Hostile programs, sent as a server sends them, whose natives once did far
// more work than the budget was charged for: each event must end, with
// error 18 or done, after a bounded amount of that work.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"

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
  // Each pattern differs, so each compiles: a few fit in the budget.
  cases.push_back({"distinct caseless patterns", {let("s", str("abc"))},
                   {callOn("s", "search", {add(str(kCaselessSet), variable("i"))})}, 200, 18, 10});
  // One pattern compiles once, however often it is used.
  cases.push_back({"one caseless pattern", {let("s", str("abc"))}, {callOn("s", "search", {str(kCaselessSet)})},
                   2000, 0, 2000});
  // Refused before compiling: it would take the budget many times over.
  cases.push_back({"a hundred caseless sets", {let("s", str("abc"))},
                   {callOn("s", "search", {str(repeated(kCaselessSet, 100))})}, 1, 18, 1});
  // One back-reference step compares up to the whole text.
  std::vector<Entity> as = doubled("s", "a", 15);
  cases.push_back({"back-references", as, {callOn("s", "search", {str("^(a+)\\1+b")})}, 20, 18, 2});
  // Compared through case folding, each unit costs ten times more.
  cases.push_back({"caseless back-references", as, {callOn("s", "search", {str("(?i)^(a+)\\1+b")})}, 20, 18, 2});
  expectOutcomes(cases);
}

}  // namespace
}  // namespace script_test
