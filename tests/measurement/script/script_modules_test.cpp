// The logger and settings modules as scripts use them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/logger_module.h"
#include "measurement/script/remote_config_module.h"
#include "editing_test_support.h"
#include "tests/support/recording_monitor.h"

namespace script_test {
namespace {

using platform::Object;

TEST(LoggerModuleTest, LevelTable) {
  struct Case {
    int64_t level;
    bool silent;
    bool monitored;
    long expected;
  };
  const Case cases[] = {
      {2, false, true, 8}, {2, true, false, 8},  {3, false, false, 7}, {3, true, true, 7},
      {5, true, true, 5},  {5, true, false, 5},  {5, false, true, 4},  {5, false, false, 3},
      {6, true, true, 2},  {6, true, false, 2},  {6, false, true, 1},  {6, false, false, 0},
      {4, true, false, 6}, {1, false, true, 6},  {0, false, true, 6},  {7, false, true, 6},
      {-6, false, false, 6}, {INT64_MAX, false, false, 6}, {INT64_MIN, true, true, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMPMeasurementLogLevel(c.level, c.silent, c.monitored), c.expected)
        << c.level << " silent " << c.silent << " monitored " << c.monitored;
  }
}

class ScriptLogTest : public ::testing::Test {
 protected:
  ScriptLogTest() { h.editor.setModuleCreator(APMPLoggerModuleCreator(), "internal.logger"); }

  // Runs `statement` with "logger" bound to the module; the error's code.
  long run(Entity statement) {
    long failure = 0;
    h.run({let("logger", stmt("require", {str("internal.logger")})), std::move(statement)}, &failure);
    return failure;
  }

  EditingHarness h;
  RecordingMonitor monitor;
};

Entity logger(std::vector<std::string> path) {
  Entity target = variable("logger");
  for (const std::string& property : path) target = getProperty(std::move(target), str(property));
  return target;
}

TEST_F(ScriptLogTest, LinesCarryTheMappedLevelCodeAndAtMostThreeContexts) {
  struct Case {
    std::vector<std::string> path;
    std::vector<Entity> arguments;
    long level;
    std::string message;
    std::vector<std::string> contexts;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {{}, {str("hello")}, 6, "hello", {}},
      {{}, {num(6), str("m"), str("a"), str("b"), str("c"), str("d")}, 1, "m", {"a", "b", "c"}},
      {{}, {num(6), num(1.5), num(2), str("x")}, 1, "1.5", {"2", "x"}},
      {{"silent"}, {num(6), str("m")}, 2, "m", {}},
      {{"unmonitored"}, {num(6), str("m")}, 0, "m", {}},
      {{"unmonitored"}, {num(5), str("m")}, 3, "m", {}},
      {{}, {num(5.9), str("m")}, 4, "m", {}},
      {{}, {num(-5.9), str("m")}, 6, "m", {}},
      {{}, {str(" 2 "), str("m")}, 8, "m", {}},
      {{}, {num(nan), str("m")}, 6, "m", {}},
      {{}, {num(infinity), str("m")}, 6, "m", {}},
      {{}, {num(-infinity), str("m")}, 6, "m", {}},
      {{}, {num(6e18 * 4), str("m")}, 6, "m", {}},
  };
  for (const Case& c : cases) {
    monitor.clear();
    ASSERT_EQ(run(stmt("2", {logger(c.path), str("log"), list(c.arguments)})), 0) << c.message;
    const std::vector<RecordedLog> logs = monitor.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].level, c.level) << c.message << " level " << c.level;
    EXPECT_EQ(logs[0].code, 24005);
    EXPECT_EQ(logs[0].message, c.message);
    std::vector<std::string> contexts;
    for (const Object& context : logs[0].contexts) contexts.push_back(context.description());
    EXPECT_EQ(contexts, c.contexts);
  }
}

TEST_F(ScriptLogTest, FailedCallsWriteNothing) {
  EXPECT_EQ(run(stmt("2", {logger({}), str("log"), list({})})), kAPMPErrorArgumentCount);
  EXPECT_EQ(run(stmt("2", {logger({}), str("log"), list({num(6), str("m"), stmt("4")})})), kAPMPErrorNoTextForm);
  EXPECT_EQ(run(stmt("2", {logger({}), str("log"), list({stmt("4"), str("m")})})), kAPMPErrorNoNumberForm);
  EXPECT_TRUE(monitor.logs().empty());
  // The module and its "silent" answer undefined and themselves when called.
  EXPECT_EQ(run(stmt("record", {stmt("logger"), stmt("2", {logger({}), str("silent"), list({})}),
                                stmt("2", {logger({}), str("unmonitored"), list({})})})),
            0);
  EXPECT_EQ(h.recorded, (std::vector<std::string>{"undefined", "silent", "unmonitored"}));
}

TEST(RemoteConfigModuleTest, GetValueAnswersTextsOrTheDefault) {
  EditingHarness h;
  const std::map<std::string, Object> settings{{"ten", Object(int64_t{10})}, {"name", Object("blue")},
                                               {"ratio", Object(0.25)}, {"list", Object(Object::Array{})}};
  h.editor.setModuleCreator(APMPRemoteConfigModuleCreator([&](const std::string& key) {
                              auto it = settings.find(key);
                              return it == settings.end() ? Object() : it->second;
                            }),
                            "internal.remoteConfig");
  // The answer as `show` writes it (texts quoted), and the error's code.
  struct Case {
    std::vector<Entity> arguments;
    std::string shown;
    long failure;
  };
  const Case cases[] = {
      {{str("absent"), num(42)}, "42", 0},       {{str("ten"), num(0)}, "'10'", 0},
      {{str("name"), num(0)}, "'blue'", 0},      {{str("ratio"), num(0)}, "'0.25'", 0},
      {{str("list"), str("fallback")}, "'fallback'", 0},
      {{str("ten")}, "undefined", kAPMPErrorArgumentCount}, {{stmt("4"), num(1)}, "undefined", kAPMPErrorNoTextForm},
  };
  for (const Case& c : cases) {
    long failure = -1;
    const Value answer =
        h.run({stmt("2", {stmt("require", {str("internal.remoteConfig")}), str("getValue"), list(c.arguments)})},
              &failure);
    EXPECT_EQ(show(answer), c.shown);
    EXPECT_EQ(failure, c.failure) << c.shown;
  }
}

}  // namespace
}  // namespace script_test
