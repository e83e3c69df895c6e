// Helpers for the event-editing tests: an editor whose runtime has the host
// function "record" (appends the text forms of its arguments to
// `recorded`), and builders for the statements editing programs are made
// of.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measurement/script/event_editing.h"
#include "script_test_support.h"

namespace script_test {

// The statements of `a`, then those of `b`.
inline std::vector<Entity> operator+(std::vector<Entity> a, std::vector<Entity> b) {
  for (Entity& statement : b) a.push_back(std::move(statement));
  return a;
}
// A map literal of key, value pairs.
inline Entity mapOf(std::vector<std::pair<std::string, Entity>> pairs) {
  std::vector<Entity> operands;
  for (auto& [key, value] : pairs) {
    operands.push_back(str(key));
    operands.push_back(std::move(value));
  }
  return stmt("8", std::move(operands));
}
// target.method(arguments...)
inline Entity call(Entity target, std::string method, std::vector<Entity> arguments = {}) {
  return stmt("2", {std::move(target), str(std::move(method)), list(std::move(arguments))});
}
// A method of the callback's event argument "e".
inline Entity onEvent(std::string method, std::vector<Entity> arguments = {}) {
  return call(variable("e"), std::move(method), std::move(arguments));
}
inline Entity ret(Entity value) { return stmt("36", {std::move(value)}); }
// Binds the modules every editing program uses: "reg" and "logEvent".
inline std::vector<Entity> preamble() {
  return {let("reg", stmt("require", {str("internal.registerCallback")})),
          let("logEvent", stmt("require", {str("internal.eventLogger")}))};
}
// reg("rule", function (e) { body }, options)
inline Entity registration(std::vector<Entity> body, Entity options) {
  return stmt("reg", {str("rule"), function("51", "", {"e"}, std::move(body)), std::move(options)});
}
inline Entity editCallback(std::vector<Entity> body) {
  return registration(std::move(body), mapOf({{"type", str("edit")}}));
}
inline Entity editCallback(double priority, std::vector<Entity> body) {
  return registration(std::move(body), mapOf({{"type", str("edit")}, {"priority", num(priority)}}));
}
inline Entity createCallback(std::vector<Entity> body) {
  return registration(std::move(body), mapOf({{"type", str("create")}}));
}

// for (i = 0; i < count; i = i + 1) { body }, as a while loop.
inline std::vector<Entity> repeat(double count, std::vector<Entity> body) {
  return {let("i", num(0)), stmt("42", {stmt("23", {variable("i"), num(count)}),
                                        assign("i", stmt("0", {variable("i"), num(1)})), boolean(false),
                                        list(std::move(body))})};
}

// Binds `name` to a text of 8 * 2^doublings units, made by doubling a
// short one: each step makes a text and frees the one before.
inline std::vector<Entity> doubledText(std::string name, int doublings) {
  return {let(name, str("abcdefgh")), let("step", num(0)),
          stmt("42", {stmt("23", {variable("step"), num(doublings)}),
                      assign("step", stmt("0", {variable("step"), num(1)})), boolean(false),
                      list({assign(name, stmt("0", {variable(name), variable(name)}))})})};
}

// target.method(arguments...) on a variable, the arguments as an array literal.
inline Entity callOn(const char* target, const char* method, std::vector<Entity> arguments = {}) {
  return methodCall(variable(target), method, std::move(arguments));
}
// Binds `name` to `seed` doubled `doublings` times by "concat": long texts
// and arrays travel as short programs.
inline std::vector<Entity> doubled(const char* name, Entity seed, int doublings) {
  std::vector<Entity> statements{let(name, std::move(seed))};
  for (int i = 0; i < doublings; ++i) statements.push_back(assign(name, callOn(name, "concat", {variable(name)})));
  return statements;
}
inline std::vector<Entity> doubled(const char* name, const std::string& seed, int doublings) {
  return doubled(name, str(seed), doublings);
}

// The wire form of a program in memory; an activity's empty name and empty
// rules are left absent.
inline std::shared_ptr<APMPBProgram> programMessage(const APMPEditingProgram& program) {
  auto message = programMessage(program.instructions);
  std::vector<APMNanoValue> activities;
  for (const APMPEditingActivity& activity : program.activities) {
    auto item = APMPBOgtActivity::initWithMessageInfo(nullptr);
    if (!activity.name.empty()) APMNanoSetString(*item, OgtActivityField::name, activity.name);
    std::vector<APMNanoValue> rules;
    for (const Entity& rule : activity.data) rules.emplace_back(toMessage(rule));
    if (!rules.empty()) APMNanoSetRepeated(*item, OgtActivityField::data, &rules);
    activities.emplace_back(item);
  }
  auto holder = APMPBOgtActivities::initWithMessageInfo(nullptr);
  APMNanoSetRepeated(*holder, OgtActivitiesField::activities, &activities);
  APMNanoSetMessage(*message, ProgramField::ogt_activities, holder.get());
  return message;
}

class EditingHarness {
 public:
  EditingHarness() : runtime_(std::make_shared<APMPRuntime>()), editor(runtime_) {
    bind("record", [this](auto v, APMPScope&, auto&) {
      for (const Value& value : v) recorded.push_back(text(value));
      return Value();
    });
  }

  void bind(std::string name, TestNative::Body body) {
    runtime_->globalScope().addValue(Value(APMPMake<TestNative>(name, std::move(body))), u16(name));
  }

  // Loads the preamble followed by `instructions`; the loading error (null
  // when none), or its code.
  platform::ErrorRef loadError(std::vector<Entity> instructions, std::vector<APMPEditingActivity> activities = {}) {
    APMPEditingProgram program{preamble(), std::move(activities)};
    for (Entity& instruction : instructions) program.instructions.push_back(std::move(instruction));
    platform::ErrorRef error;
    editor.loadProgram(program, &error);
    return error;
  }
  long load(std::vector<Entity> instructions, std::vector<APMPEditingActivity> activities = {}) {
    return code(loadError(std::move(instructions), std::move(activities)));
  }

  // As `load`, but as a server sends the program: its message is written
  // to bytes, decoded, and the decoded message is loaded.
  long loadSent(std::vector<Entity> instructions) {
    APMPEditingProgram program{preamble(), {}};
    for (Entity& instruction : instructions) program.instructions.push_back(std::move(instruction));
    const auto decoded = APMPBProgram::initWithBuffer(*programMessage(program)->protoBuffer());
    if (!decoded) return -1;
    platform::ErrorRef error;
    editor.loadProgram(*decoded, &error);
    return code(error);
  }

  // Runs `statements` in the editor's runtime with a whole budget; the
  // error's code (0 when none) in `failure`.
  Value run(const std::vector<Entity>& statements, long* failure = nullptr) {
    platform::ErrorRef error;
    editor.runtime().resetInstructionCount();
    Value value = editor.runtime().executeStatements(statements, &error);
    if (failure) *failure = code(error);
    return value;
  }

  // Handles `event`; the error's code (0 when none) in `failure`.
  bool handle(const APMPEvent& event, long* failure = nullptr) {
    platform::ErrorRef error;
    const bool changed = editor.handleEvent(event, &error);
    if (failure) *failure = code(error);
    return changed;
  }

  const APMPEvent& output() const { return editor.eventContext().outputEvent(); }

 private:
  std::shared_ptr<APMPRuntime> runtime_;

 public:
  APMPEventEditing editor;
  std::vector<std::string> recorded;
};

}  // namespace script_test
