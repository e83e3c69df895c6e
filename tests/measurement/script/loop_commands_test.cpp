#include <gtest/gtest.h>

#include "script_test_support.h"

namespace script_test {
namespace {

std::vector<std::string> texts(const std::vector<Value>& values) {
  std::vector<std::string> out;
  for (const Value& v : values) out.push_back(v.isUndefined() ? "undefined" : text(v));
  return out;
}

Entity record(Entity value) { return stmt("record", {std::move(value)}); }

// An array with a named property "p", "x" at 0, a hole at 1 and "z" at 2.
std::vector<Entity> sparseArray() {
  return {let("a", stmt("7", {str("x")})), setProperty(variable("a"), num(2), str("z")),
          setProperty(variable("a"), str("p"), num(1))};
}

TEST(LoopCommandsTest, ItemsOfStringsArraysMapsAndOthers) {
  struct Case {
    const char* opcode;
    Entity target;
    std::vector<std::string> visited;
  };
  const Case cases[] = {
      {"47", str("ab"), {"0", "1"}},
      {"64", str("ab"), {"a", "b"}},
      {"55", str("a\xF0\x9F\x98\x80"), {"0", "1", "2"}},
      {"47", variable("a"), {"p", "0", "2"}},
      {"64", variable("a"), {"x", "undefined", "z"}},
      {"54", stmt("8", {str("k"), num(1), str("j"), num(2)}), {"k", "j"}},
      {"47", num(5), {}},
      {"55", stmt("45"), {}},
  };
  for (const Case& c : cases) {
    ScriptHarness h;
    platform::ErrorRef error;
    std::vector<Entity> program = sparseArray();
    program.push_back(stmt(c.opcode, {str("k"), c.target, list({record(variable("k"))})}));
    EXPECT_TRUE(h.run(program, &error).isUndefined());
    EXPECT_FALSE(error) << c.opcode;
    EXPECT_EQ(texts(h.recorded), c.visited) << c.opcode;
  }
  // Element loops refuse anything but strings and arrays; bodies must be
  // arrays even when there is nothing to visit.
  const ExpectedFailure failures[] = {
      {stmt("64", {str("k"), num(1), list({})}), 16},
      {stmt("66", {str("k"), stmt("8"), list({})}), 16},
      {stmt("47", {str("k"), num(1), num(2)}), 10},
      {stmt("65", {str("k"), str(""), str("body")}), 10},
      {stmt("47", {str("k"), str("ab")}), 9},
      {stmt("55", {stmt("4"), str("ab"), list({})}), 5},
  };
  ScriptHarness h;
  expectFailures(h, failures);
}

TEST(LoopCommandsTest, ItemListsAreSnapshots) {
  ScriptHarness h;
  platform::ErrorRef error;
  // Properties added in the body are not visited; removed ones still are;
  // element loops see the elements as they were.
  h.run({let("m", stmt("8", {str("a"), num(1), str("b"), num(2)})),
         stmt("47", {str("k"), variable("m"),
                     list({record(variable("k")), setProperty(variable("m"), stmt("0", {variable("k"), str("+")}), num(0))})}),
         let("a", stmt("7", {num(1), num(2)})),
         stmt("64", {str("e"), variable("a"),
                     list({record(variable("e")), setProperty(variable("a"), num(1), num(9)),
                           setProperty(variable("a"), getProperty(variable("a"), str("length")), num(3))})})},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"a", "b", "1", "2"}));
}

TEST(LoopCommandsTest, ItemsAreChargedToTheWorkBudget) {
  // A string's items are made as the loop reaches them, each charged as a
  // value made: with room for three (the name's text and the one-statement
  // body take two units more), the fourth item ends the loop with error 18.
  for (const char* opcode : {"47", "64"}) {
    ScriptHarness h;
    h.runtime.resetInstructionCount();
    h.runtime.initialScope().workCount() = kAPMPWorkLimit - 2 - 4 * kAPMPValueWork + 1;
    platform::ErrorRef error;
    h.runtime.executeStatements(std::vector<Entity>{stmt(opcode, {str("k"), str("abcdef"), list({record(variable("k"))})})},
                                &error);
    EXPECT_EQ(code(error), 18) << opcode;
    EXPECT_EQ(h.recorded.size(), 3u) << opcode;
  }
}

TEST(LoopCommandsTest, BindingsOfTheItemLoops) {
  // "47" and "64" assign in the current scope (an outer variable, else a
  // new binding there) and leave the last item; the others bind in a child
  // scope per iteration and leave nothing outside.
  struct Case {
    const char* opcode;
    const char* left;  // what an outer variable holds afterwards
  };
  for (const Case& c : {Case{"47", "1"}, Case{"64", "y"}, Case{"54", "before"}, Case{"55", "before"},
                        Case{"65", "before"}, Case{"66", "before"}}) {
    const bool assigns = std::string(c.left) != "before";
    ScriptHarness h;
    platform::ErrorRef error;
    h.run({stmt(c.opcode, {str("k"), str("xy"), list({})})}, &error);
    ASSERT_FALSE(error);
    EXPECT_EQ(h.runtime.globalScope().hasName(u"k"), assigns) << c.opcode;
    h.run({let("outer", str("before")), stmt("53", {stmt(c.opcode, {str("outer"), str("xy"), list({})})})});
    EXPECT_EQ(text(h.runtime.globalScope().valueForName(u"outer")), c.left) << c.opcode;
  }
  // A constant per iteration: assigning it in the body changes nothing.
  ScriptHarness h;
  h.run({stmt("65", {str("c"), str("ab"), list({assign("c", str("z")), record(variable("c"))})})});
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"a", "b"}));
}

TEST(LoopCommandsTest, BreakContinueAndReturn) {
  struct Case {
    const char* opcode;
    const char* skipped;  // continue there
    const char* last;     // break there
  };
  for (const Case& c : {Case{"47", "1", "3"}, Case{"54", "1", "3"}, Case{"55", "1", "3"}, Case{"64", "b", "d"},
                        Case{"65", "b", "d"}, Case{"66", "b", "d"}}) {
    ScriptHarness h;
    platform::ErrorRef error;
    const Value answer = h.run({stmt(c.opcode, {str("k"), str("abcde"),
                                                list({stmt("22", {stmt("12", {variable("k"), str(c.skipped)}), stmt("6")}),
                                                      stmt("22", {stmt("12", {variable("k"), str(c.last)}), stmt("4")}),
                                                      record(variable("k"))})})},
                               &error);
    EXPECT_FALSE(error);
    EXPECT_TRUE(answer.isUndefined()) << c.opcode;
    EXPECT_EQ(h.recorded.size(), 2u) << c.opcode;
  }
  ScriptHarness h;
  platform::ErrorRef error;
  // A return leaves the function from inside any loop.
  h.run({function("50", "firstOver", {"limit"},
                  {stmt("63", {list({str("i")}), boolean(true), assign("i", stmt("0", {variable("i"), num(1)})),
                               list({stmt("22", {stmt("18", {variable("i"), variable("limit")}), stmt("36", {variable("i")})})})}),
                   str("unreached")}),
         let("i", num(0))},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(h.eval(stmt("firstOver", {num(3)})).numberValue(), 4);
}

TEST(LoopCommandsTest, CountedLoopCopiesItsVariablesPerIteration) {
  ScriptHarness h;
  platform::ErrorRef error;
  // for (i = 0; i < 3; i = i + 1) fs.push(function () { return i })
  h.run({let("i", num(0)), let("fs", stmt("7")),
         stmt("63", {list({str("i")}), stmt("23", {variable("i"), num(3)}), assign("i", stmt("0", {variable("i"), num(1)})),
                     list({setProperty(variable("fs"), variable("i"), function("51", "f", {}, {stmt("36", {variable("i")})}))})}),
         // The loop's copies never reach the outer variable.
         record(variable("i"))},
        &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(h.recorded.at(0).numberValue(), 0);
  for (int k = 0; k < 3; ++k) {
    const Value f = h.eval(getProperty(variable("fs"), num(k)));
    ASSERT_NE(f.asFunction(), nullptr);
    EXPECT_EQ(f.asFunction()->invokeWithEvaluatedArguments({}, error).numberValue(), k);
  }
  // A change the body makes carries into the next iteration.
  h.recorded.clear();
  h.run({stmt("63", {list({str("i")}), stmt("23", {variable("i"), num(10)}), assign("i", stmt("0", {variable("i"), num(1)})),
                     list({assign("i", stmt("0", {variable("i"), num(1)})), record(variable("i"))})})});
  EXPECT_EQ(h.recorded.size(), 5u);
  EXPECT_EQ(h.recorded.back().numberValue(), 9);
  // Each iteration starts from the loop variables alone: a variable the body
  // declares, or a loop variable it makes a constant, stays in its own
  // iteration.
  h.recorded.clear();
  h.run({stmt("63", {list({str("i")}), stmt("23", {variable("i"), num(3)}), assign("i", stmt("0", {variable("i"), num(1)})),
                     list({record(variable("x")), declare("x"), assign("x", variable("i")),
                           stmt("52", {str("i"), variable("i")})})})},
        &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"undefined", "undefined", "undefined"}));
  // An unbound loop variable starts undefined; a false condition runs nothing.
  h.recorded.clear();
  h.run({stmt("63", {list({str("u")}), stmt("28", {variable("u")}), num(0), list({record(variable("u")), stmt("4")})}),
         stmt("63", {list({}), boolean(false), record(num(1)), list({record(num(2))})})},
        &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"undefined"}));
  for (const Entity& bad : {stmt("63", {str("i"), boolean(false), num(0), list({})}),
                            stmt("63", {list({}), boolean(false), num(0), num(1)})}) {
    error.reset();
    h.eval(bad, &error);
    EXPECT_EQ(code(error), 10);
  }
}

TEST(LoopCommandsTest, WhileLoopAndItsFirstPass) {
  ScriptHarness h;
  platform::ErrorRef error;
  // The flag set and a condition false from the start: one pass, no update.
  h.run({stmt("42", {boolean(false), record(str("update")), boolean(true), list({record(str("body"))})})}, &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"body"}));
  // Without the flag: test, body, update, in the current scope.
  h.recorded.clear();
  h.run({let("n", num(0)),
         stmt("42", {stmt("23", {variable("n"), num(2)}), stmt("13", {record(str("update")), assign("n", stmt("0", {variable("n"), num(1)}))}),
                     boolean(false), list({record(variable("n")), stmt("6"), record(str("skipped"))})})},
        &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(texts(h.recorded), (std::vector<std::string>{"0", "update", "1", "update"}));
  for (const Entity& bad : {stmt("42", {boolean(true), num(0), boolean(false)}),
                            stmt("42", {boolean(true), num(0), boolean(false), num(1)})}) {
    error.reset();
    h.eval(bad, &error);
    EXPECT_EQ(code(error), bad.value.size() == 3 ? 9 : 10);
  }
}

TEST(LoopCommandsTest, TheBudgetCannotBeReachedFromScripts) {
  // Declaring or assigning the old counter name in every form, in a loop
  // that would run forever: the budget still ends it.
  ScriptHarness h;
  platform::ErrorRef error;
  h.run({declare("runtime.counter"),
         stmt("42", {boolean(true), assign("runtime.counter", num(0)), boolean(false),
                     list({assign("runtime.counter", num(0)), stmt("41", {str("runtime.counter")}),
                           stmt("52", {str("runtime.counter"), num(-1e9)}),
                           stmt("55", {str("runtime.counter"), str("0"), list({})}),
                           stmt("63", {list({str("runtime.counter")}), boolean(false), num(0), list({})})})})},
        &error);
  EXPECT_EQ(code(error), 18);
  EXPECT_EQ(h.runtime.getInstructionCount(), static_cast<int32_t>(kAPMPInstructionLimit));
}

}  // namespace
}  // namespace script_test
