// Event editing under arbitrary programs: loads a program made from the
// input, then hands it several events, reading back what the engine reads
// (the output event when edited, the created events and their origin).
//
// The first byte chooses the form. Odd: the rest is decoded as a wire
// Program message. Even: the rest drives a generator that writes a program
// in the shape editing programs have (modules bound to names, callbacks
// registered with options, activities naming functions), with statements
// drawn from every opcode, the event methods, the modules' methods and
// literals, bounded in depth and size. The logger and settings modules are
// installed; log lines go to a delegate that only maps their levels.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measurement/script/event_editing.h"
#include "measurement/script/logger_module.h"
#include "measurement/script/remote_config_module.h"
#include "platform/log.h"

namespace {

using Entity = APMPProgramEntity;
using platform::Object;

constexpr int kMaxDepth = 8;
constexpr size_t kMaxNodes = 400;
constexpr int kMaxCallbacks = 6;
constexpr int kMaxActivities = 2;

const char* const kOpcodes[] = {
    "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11", "12", "13", "14", "15", "16",
    "17", "18", "19", "20", "21", "22", "23", "24", "25", "26", "27", "28", "29", "30", "31", "32", "33",
    "34", "35", "36", "37", "38", "39", "40", "41", "42", "43", "44", "45", "46", "47", "48", "49", "50",
    "51", "52", "53", "54", "55", "56", "57", "58", "59", "60", "61", "62", "63", "64", "65", "66",
    // Functions called by name: the bound modules and the program's own.
    "reg", "logEvent", "require", "rule", "f"};
// Names a program binds, and the callback's argument.
const char* const kVariables[] = {"e", "reg", "logEvent", "logger", "config", "rule", "f", "kept", "data"};
const char* const kEventMethods[] = {"getEventName", "getParams",    "getParamValue",  "getTimestamp",
                                     "setEventName", "setParamValue", "hasOwnProperty", "toString", "other"};
const char* const kTexts[] = {"purchase", "value", "count", "_o", "_err", "_syn", "_el", "_c", "item", "",
                              "edit",     "create", "type", "priority", "log", "silent", "unmonitored",
                              "getValue", "internal.registerCallback", "internal.eventLogger", "internal.logger",
                              "internal.remoteConfig", "internal.platform", "12", "2.5", "\xC3\xBC", "\xFF"};
const double kNumbers[] = {0,  -0.0, 1,   -1,       2,     0.5,   4294967295.0, 2147483647.0, 1e21,
                           -3, 1e-7, 1e300, -1e300, 5.9, 1000, 1001, 1.0 / 0.0,   -1.0 / 0.0};

class Generator {
 public:
  explicit Generator(FuzzedDataProvider& input) : input_(input) {}

  template <class T, size_t N>
  const T& pick(const T (&table)[N]) {
    return table[input_.ConsumeIntegralInRange<size_t>(0, N - 1)];
  }

  Entity expression(int depth) {
    ++nodes_;
    const bool leaf = depth >= kMaxDepth || nodes_ >= kMaxNodes || input_.remaining_bytes() == 0;
    switch (input_.ConsumeIntegralInRange<int>(0, leaf ? 3 : 9)) {
      case 0:
        return Entity::number(input_.ConsumeBool() ? pick(kNumbers) : input_.ConsumeFloatingPoint<double>());
      case 1:
        return Entity::string(pick(kTexts));
      case 2:
        return Entity::boolean(input_.ConsumeBool());
      case 3:
        return variable(pick(kVariables));
      case 4:
        return methodCall(variable("e"), pick(kEventMethods), depth);
      case 5:
        return methodCall(variable(input_.ConsumeBool() ? "logger" : "config"), pick(kTexts), depth);
      case 6:
        return Entity::statement("logEvent", {expression(depth + 1), expression(depth + 1), map(depth + 1)});
      case 7:
        return registration(depth + 1);
      default: {
        Entity statement = Entity::statement(pick(kOpcodes));
        const int operands = input_.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < operands; ++i) statement.value.push_back(expression(depth + 1));
        return statement;
      }
    }
  }

  // reg("rule", function (e) { ... }, { type: ..., priority: ... })
  Entity registration(int depth) {
    std::vector<Entity> body;
    const int statements = input_.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < statements; ++i) body.push_back(expression(depth + 1));
    if (input_.ConsumeBool()) body.push_back(Entity::statement("36", {expression(depth + 1)}));
    std::vector<Entity> function{Entity::string(""), Entity::statement("7", {Entity::string("e")})};
    for (Entity& statement : body) function.push_back(std::move(statement));
    std::vector<Entity> options;
    if (input_.ConsumeIntegralInRange<int>(0, 7) != 0) {
      options.push_back(Entity::string("type"));
      options.push_back(Entity::string(input_.ConsumeBool() ? "edit" : input_.ConsumeBool() ? "create" : "x"));
    }
    if (input_.ConsumeBool()) {
      options.push_back(Entity::string("priority"));
      options.push_back(expression(depth + 1));
    }
    return Entity::statement("reg", {Entity::string("rule"), Entity::statement("51", std::move(function)),
                                     Entity::statement("8", std::move(options))});
  }

  APMPEditingProgram program() {
    APMPEditingProgram program;
    for (const auto& [name, module] :
         {std::pair{"reg", "internal.registerCallback"}, std::pair{"logEvent", "internal.eventLogger"},
          std::pair{"logger", "internal.logger"}, std::pair{"config", "internal.remoteConfig"}}) {
      program.instructions.push_back(Entity::statement(
          "52", {Entity::string(name), Entity::statement("require", {Entity::string(module)})}));
    }
    const int callbacks = input_.ConsumeIntegralInRange<int>(0, kMaxCallbacks);
    for (int i = 0; i < callbacks; ++i) program.instructions.push_back(registration(0));
    while (input_.remaining_bytes() > 0 && nodes_ < kMaxNodes && input_.ConsumeBool()) {
      program.instructions.push_back(expression(0));
    }
    const int activities = input_.ConsumeIntegralInRange<int>(0, kMaxActivities);
    for (int i = 0; i < activities; ++i) {
      APMPEditingActivity activity{pick(kVariables), {}};
      const int rules = input_.ConsumeIntegralInRange<int>(0, 2);
      for (int r = 0; r < rules; ++r) activity.data.push_back(input_.ConsumeBool() ? map(0) : expression(0));
      program.activities.push_back(std::move(activity));
    }
    return program;
  }

 private:
  static Entity variable(const char* name) { return Entity::statement("15", {Entity::string(name)}); }
  Entity methodCall(Entity target, const char* method, int depth) {
    std::vector<Entity> arguments;
    const int count = input_.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < count; ++i) arguments.push_back(expression(depth + 1));
    return Entity::statement("2", {std::move(target), Entity::string(method),
                                   Entity::statement("7", std::move(arguments))});
  }
  Entity map(int depth) {
    std::vector<Entity> pairs;
    const int count = input_.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < count; ++i) {
      pairs.push_back(Entity::string(pick(kTexts)));
      pairs.push_back(expression(depth + 1));
    }
    return Entity::statement("8", std::move(pairs));
  }

  FuzzedDataProvider& input_;
  size_t nodes_ = 0;
};

// Maps the level, as the measurement logger would, and writes nowhere.
class SilentLogger final : public APMPLoggerDelegate {
 public:
  void logWithLevel(int64_t level, const std::string&, const std::vector<std::string>&, bool silent,
                    bool monitored) override {
    volatile long mapped = APMPMeasurementLogLevel(level, silent, monitored);
    (void)mapped;
  }
};

const APMPEvent kEvents[] = {
    APMPEvent("purchase", 1700000000.5,
              {{"value", Object(12.5)}, {"count", Object(int64_t{3})}, {"item", Object("book")},
               {"_c", Object(int64_t{1})}, {"_err", Object(int64_t{0})}}),
    APMPEvent("", 0, {}),
    APMPEvent("screen_view", -1, {{"_o", Object("auto")}, {"12", Object(uint64_t{7})}}),
};

void handleEvents(APMPEventEditing& editor) {
  for (const APMPEvent& event : kEvents) {
    platform::ErrorRef error;
    editor.handleEvent(event, &error);
    if (error) continue;
    if (editor.hasEdits()) {
      const APMPEvent edited = editor.eventContext().outputEvent();
      (void)edited.isEqualToEvent(event);
    }
    for (const APMPEvent& created : editor.eventContext().eventsToLog()) {
      const Object origin = created.parameterForName("_o");
      (void)(origin.isString() ? *origin.string() : std::string("app"));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  APMPEventEditing editor;
  editor.setModuleCreator(
      [] {
        return std::optional<APMPRuntimeValue>(
            APMPRuntimeValue(APMPMake<APMPMessageLogger>(std::make_shared<SilentLogger>())));
      },
      "internal.logger");
  editor.setModuleCreator(APMPRemoteConfigModuleCreator([](const std::string& key) {
                            if (key == "value") return Object(int64_t{10});
                            if (key == "item") return Object("blue");
                            return Object();
                          }),
                          "internal.remoteConfig");
  platform::ErrorRef error;
  if (size > 0 && (data[0] & 1)) {
    // The decoder prints its failures on standard output; keep them quiet.
    platform::LogCapture quiet;
    const auto program = APMPBProgram::initWithBuffer(platform::Bytes(data + 1, data + size));
    if (!program) return 0;
    editor.loadProgram(*program, &error);
  } else {
    FuzzedDataProvider input(data + (size > 0), size - (size > 0));
    Generator generator(input);
    editor.loadProgram(generator.program(), &error);
  }
  handleEvents(editor);
  return 0;
}
