// One process stores events into a shared database while two others bundle
// and upload: every stored event reaches the collector, never in two
// bundles (a bundle posted twice by two processes is allowed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "examples/event_road.h"
#include "examples/loopback_collector.h"
#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "platform/paths.h"
#include "sdk_core/gzip.h"
#include "tests/support/temp_container.h"

extern char** environ;

namespace {

constexpr const char* kShareVariable = "APM_ROAD_SHARE";  // "<role> <collector URL>"
constexpr int64_t kEvents = 2'000;

// The test program started again as one of the road's processes.
struct ShareProcess : testing::Environment {
  void SetUp() override {
    const char* variable = std::getenv(kShareVariable);
    if (!variable) return;
    alarm(120);  // a stuck child dies rather than hold the suite
    const std::string spec = variable, role = spec.substr(0, spec.find(' '));
    const std::string done = std::string(std::getenv("APM_CONTAINER_DIR")) + "/stored";
    EventRoadShare share;
    share.collectorURL = spec.substr(spec.find(' ') + 1);
    share.streamLength = kEvents;
    if (role == "store") {
      // Store only once both others are at work, so that their steps meet.
      for (int wait = 0; wait < 20'000 &&
                         !(platform::fileExists(done + ".1") && platform::fileExists(done + ".2"));
           ++wait) {
        usleep(1'000);
      }
      share.storedCount = kEvents;
    } else {
      share.bundleAndUpload = true;
      share.finished = [done, ready = done + "." + role] {
        if (!platform::fileExists(ready)) std::ofstream(ready.c_str()) << "ready";
        return platform::fileExists(done);
      };
    }
    _exit(runEventRoadShare(share));
  }
};
testing::Environment* const shareProcess = testing::AddGlobalTestEnvironment(new ShareProcess);

pid_t start(const std::string& role, const std::string& container, const std::string& url) {
  std::vector<std::string> variables = {std::string(kShareVariable) + "=" + role + " " + url,
                                        "APM_CONTAINER_DIR=" + container};
  for (char** variable = environ; *variable; ++variable) {
    if (std::string_view(*variable).substr(0, 4) != "APM_") variables.emplace_back(*variable);
  }
  std::vector<char*> environment;
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  char program[] = "/proc/self/exe", filter[] = "--gtest_filter=EventRoadShareTest.*";
  char* arguments[] = {program, filter, nullptr};
  const pid_t child = fork();
  if (child == 0) {
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);  // the road's printed lines
    execve(program, arguments, environment.data());
    _exit(127);
  }
  return child;
}

int exitCodeOf(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
// Notes the bundles (named by the identities they hold) that carried each event
// identity ("n", "+" when the program created it), and events met twice in one batch.
struct BundleCollector {
  std::mutex mutex;
  std::map<std::string, std::set<std::string>> carriers;
  int64_t repeatedInOneBatch = 0;
  LoopbackCollector server{[this](const platform::Bytes& body) { return receive(body); }};

  LoopbackCollector::Answer receive(const platform::Bytes& body) {
    auto bytes = gul_dataByInflatingGzippedData(body);
    auto batch = bytes ? APMPBMeasurementBatch::initWithBuffer(*bytes) : nullptr;
    if (!batch) return {400, ""};
    const NANOMessageClass bundleClass = APMPBMeasurementBundle::messageClass();
    const NANOMessageClass eventClass = APMPBEvent::messageClass();
    const std::vector<APMNanoValue> none;
    std::lock_guard<std::mutex> lock(mutex);
    std::set<std::string> inBatch;
    for (const APMNanoValue& item :
         APMNanoGetRepeated(batch, MeasurementBatchField::bundles, &bundleClass).value_or(none)) {
      std::vector<std::string> identities;
      std::string name;
      for (const APMNanoValue& message :
           APMNanoGetRepeated(std::get<std::shared_ptr<NANOMessageBase>>(item),
                              MeasurementBundleField::events, &eventClass)
               .value_or(none)) {
        auto event = APMEvent::initWithEventProto(static_cast<const APMPBEvent*>(
            std::get<std::shared_ptr<NANOMessageBase>>(message).get()));
        auto n = event ? event->parameters().find("n") : APMEvent::Parameters::const_iterator();
        identities.push_back(!event || n == event->parameters().end()
                                 ? "?"
                                 : std::to_string(n->second.int64Value()) +
                                       (event->origin() == "app" ? "" : "+"));
        name += identities.back() + " ";
      }
      for (const std::string& identity : identities) {
        carriers[identity].insert(name);
        repeatedInOneBatch += !inBatch.insert(identity).second;
      }
    }
    return {200, ""};
  }
};

TEST(EventRoadShareTest, TwoProcessesBundlingAndUploadingLoseAndRepeatNothing) {
  TempContainer container;
  BundleCollector collector;
  const std::string done = container.path() + "/stored";
  const std::string url = collector.server.url("/a");
  const pid_t storer = start("store", container.path(), url);
  const pid_t first = start("1", container.path(), url);
  const pid_t second = start("2", container.path(), url);
  ASSERT_TRUE(storer > 0 && first > 0 && second > 0);
  EXPECT_EQ(exitCodeOf(storer), 0);
  // Once every event is stored, the others finish what is left and stop.
  { std::ofstream(done.c_str()) << "done"; }
  EXPECT_EQ(exitCodeOf(first), 0);
  EXPECT_EQ(exitCodeOf(second), 0);

  // The stream's events, and the big purchases the program creates: n = 1
  // mod 4, with a doubled value over 90.
  std::set<std::string> expected;
  for (int64_t n = 0; n < kEvents; ++n) {
    expected.insert(std::to_string(n));
    if (n % 4 == 1 && n % 50 >= 45) expected.insert(std::to_string(n) + "+");
  }
  std::lock_guard<std::mutex> lock(collector.mutex);
  std::set<std::string> carried;
  int64_t inTwoBundles = 0;
  for (const auto& [identity, bundles] : collector.carriers) {
    carried.insert(identity);
    inTwoBundles += bundles.size() > 1;
  }
  EXPECT_EQ(carried, expected) << "every stored event, and no other, reaches the collector";
  EXPECT_EQ(inTwoBundles, 0) << "events bundled twice";
  EXPECT_EQ(collector.repeatedInOneBatch, 0) << "events bundled twice in one batch";
}

}  // namespace
