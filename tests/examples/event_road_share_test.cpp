// The road's steps shared by real processes over one database file, as an
// app and its extensions share it: one process stores events while two
// others bundle and upload. Every stored event must reach the collector,
// and an event may arrive twice only inside the same bundle posted twice
// (two processes read the queue before either deleted what it sent): never
// in two bundles, nor twice in one batch.
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

constexpr const char* kRoleVariable = "APM_ROAD_SHARE_ROLE";
constexpr const char* kURLVariable = "APM_ROAD_SHARE_URL";
constexpr const char* kDoneVariable = "APM_ROAD_SHARE_DONE";
constexpr int64_t kEvents = 2'000;
// A child still running after this long is stuck; it dies rather than hold
// the suite.
constexpr unsigned kChildSeconds = 120;

// The test program started again as one of the road's processes: it runs
// its part before any test and ends with the part's exit code.
class ShareProcess : public testing::Environment {
 public:
  void SetUp() override {
    const char* role = std::getenv(kRoleVariable);
    if (!role) return;
    alarm(kChildSeconds);
    EventRoadShare share;
    share.collectorURL = std::getenv(kURLVariable);
    share.streamLength = kEvents;
    const std::string done = std::getenv(kDoneVariable);
    if (std::string(role) == "store") {
      // The events come while both others are at work, so that their
      // steps meet the stores and each other all along.
      for (int wait = 0; wait < 20'000 && !(platform::fileExists(done + ".1") && platform::fileExists(done + ".2"));
           ++wait) {
        usleep(1'000);
      }
      share.storedCount = kEvents;
    } else {
      const std::string ready = done + "." + role;
      share.bundleAndUpload = true;
      share.finished = [done, ready] {
        if (!platform::fileExists(ready)) std::ofstream(ready.c_str()) << "ready";
        return platform::fileExists(done);
      };
    }
    _exit(runEventRoadShare(share));
  }
};

testing::Environment* const shareProcess = testing::AddGlobalTestEnvironment(new ShareProcess);

// Starts this test program as the road process `role`, its output on
// standard output dropped.
pid_t start(const std::string& role, const std::string& container, const std::string& url,
            const std::string& done) {
  std::vector<std::string> variables = {std::string(kRoleVariable) + "=" + role,
                                        std::string(kURLVariable) + "=" + url,
                                        std::string(kDoneVariable) + "=" + done,
                                        "APM_CONTAINER_DIR=" + container};
  for (char** variable = environ; *variable; ++variable) {
    if (std::string(*variable).rfind("APM_", 0) != 0) variables.emplace_back(*variable);
  }
  std::vector<char*> environment;
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=EventRoadShareTest.*";
  char* arguments[] = {program.data(), filter.data(), nullptr};
  pid_t child = fork();
  if (child == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
    execve(program.c_str(), arguments, environment.data());
    _exit(127);
  }
  return child;
}

int exitCodeOf(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Accepts every batch and notes, for each event identity ("n", and whether
// the program created it), the bundles that carried it. A bundle is named
// by the identities it holds, in order.
class BundleCollector {
 public:
  BundleCollector() : server_([this](const platform::Bytes& body) { return receive(body); }) {}

  std::string url() const { return server_.url("/a"); }
  std::map<std::string, std::vector<std::string>> carriers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return carriers_;
  }
  int64_t batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }
  // Events met twice inside one batch: in two bundles of the queue.
  int64_t repeatedInOneBatch() {
    std::lock_guard<std::mutex> lock(mutex_);
    return repeatedInOneBatch_;
  }

 private:
  LoopbackCollector::Answer receive(const platform::Bytes& body) {
    auto bytes = gul_dataByInflatingGzippedData(body);
    auto batch = bytes ? APMPBMeasurementBatch::initWithBuffer(*bytes) : nullptr;
    if (!batch) return {400, ""};
    const NANOMessageClass bundleClass = APMPBMeasurementBundle::messageClass();
    const NANOMessageClass eventClass = APMPBEvent::messageClass();
    std::lock_guard<std::mutex> lock(mutex_);
    ++batches_;
    std::set<std::string> inBatch;
    for (const APMNanoValue& item :
         APMNanoGetRepeated(batch, MeasurementBatchField::bundles, &bundleClass).value_or(std::vector<APMNanoValue>{})) {
      const auto& bundle = std::get<std::shared_ptr<NANOMessageBase>>(item);
      std::vector<std::string> identities;
      for (const APMNanoValue& message :
           APMNanoGetRepeated(bundle, MeasurementBundleField::events, &eventClass).value_or(std::vector<APMNanoValue>{})) {
        auto event = APMEvent::initWithEventProto(
            static_cast<const APMPBEvent*>(std::get<std::shared_ptr<NANOMessageBase>>(message).get()));
        auto n = event ? event->parameters().find("n") : APMEvent::Parameters::const_iterator();
        if (!event || n == event->parameters().end()) {
          identities.emplace_back("?");
          continue;
        }
        identities.push_back(std::to_string(n->second.int64Value()) + (event->origin() == "app" ? "" : "+"));
      }
      std::string name;
      for (const std::string& identity : identities) name += identity + " ";
      for (const std::string& identity : identities) {
        carriers_[identity].push_back(name);
        repeatedInOneBatch_ += !inBatch.insert(identity).second;
      }
    }
    return {200, ""};
  }

  std::mutex mutex_;
  std::map<std::string, std::vector<std::string>> carriers_;
  int64_t batches_ = 0;
  int64_t repeatedInOneBatch_ = 0;
  LoopbackCollector server_;
};

TEST(EventRoadShareTest, TwoProcessesBundlingAndUploadingLoseAndRepeatNothing) {
  TempContainer container;
  BundleCollector collector;
  const std::string done = container.path() + "/stored";
  const pid_t storer = start("store", container.path(), collector.url(), done);
  const pid_t first = start("1", container.path(), collector.url(), done);
  const pid_t second = start("2", container.path(), collector.url(), done);
  ASSERT_GT(storer, 0);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
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
  std::map<std::string, std::vector<std::string>> carriers = collector.carriers();
  int64_t lost = 0, inTwoBundles = 0, postedAgain = 0;
  for (const std::string& identity : expected) {
    auto found = carriers.find(identity);
    if (found == carriers.end()) {
      ++lost;
      continue;
    }
    const std::set<std::string> bundles(found->second.begin(), found->second.end());
    inTwoBundles += bundles.size() > 1;
    postedAgain += found->second.size() > 1 && bundles.size() == 1;
  }
  for (const auto& [identity, bundles] : carriers) {
    EXPECT_TRUE(expected.count(identity)) << "an event that was never stored: " << identity;
  }
  EXPECT_EQ(lost, 0) << "of " << expected.size() << " stored events";
  EXPECT_EQ(inTwoBundles, 0) << "events bundled twice";
  EXPECT_EQ(collector.repeatedInOneBatch(), 0) << "events bundled twice";
  std::printf("%zu events in %lld batches; %lld posted again inside the same bundle\n", expected.size(),
              static_cast<long long>(collector.batches()), static_cast<long long>(postedAgain));
}

}  // namespace
