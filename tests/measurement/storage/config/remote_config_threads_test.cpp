// The remote configuration across threads: experiment snapshots noticed on
// the framework's side and activated on the worker side, and settings read
// while configurations are swapped in.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "measurement/engine/measurement_errors.h"
#include "measurement/storage/config/remote_config.h"
#include "tests/measurement/script/editing_test_support.h"
#include "tests/measurement/storage/config/config_builder.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using namespace config_testing;
using namespace experiments_testing;
using platform::Object;

std::shared_ptr<APMPBMeasurementConfig> retryCountConfig(const char* value) {
  return ConfigBuilder().setting("measurement.upload.retry_count", value).build();
}

// The configuration's own log codes, without the experiment framework's.
std::vector<long> configurationCodes(const RecordingMonitor& monitor) {
  std::vector<long> codes;
  for (long code : monitor.codes()) {
    if (code >= 29000 && code < 30000) codes.push_back(code);
  }
  return codes;
}

class RemoteConfigExperimentsTest : public ::testing::Test, public ManagerFixture {
 protected:
  void SetUp() override { startManager(); }
  // Nothing of a test may still run on the framework's queues after it.
  void TearDown() override { settle(); }
};

TEST_F(RemoteConfigExperimentsTest, NoticedSnapshotsActivateAndTheirFlagsWin) {
  auto remote = APMRemoteConfig::initWithAppID(kAppID, nullptr, nullptr, manager_);
  ASSERT_TRUE(remote->experimentClient());
  EXPECT_EQ(remote->experimentClient()->SDKProperty()->version(), 110300);
  RecordingMonitor monitor;
  EXPECT_FALSE(remote->activateNewSnapshot());  // nothing noticed
  EXPECT_TRUE(remote->regionalDefaultsEnabled());
  EXPECT_FALSE(remote->sessionStitchingTokenFeatureEnabled());

  fetched({snapshot(kAPMRemoteConfigSDKName,
                    {experiment(3, {{"regional_defaults_enabled", Object(0)},
                                    {"session_stitching_token_feature_enabled", Object("true")}})})});
  // The notice comes through the main queue.
  ASSERT_TRUE(waitUntil([&] { return remote->activateNewSnapshot(); }));
  EXPECT_FALSE(remote->regionalDefaultsEnabled());
  EXPECT_TRUE(remote->sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(remote->experimentIDs(), std::vector<int64_t>{3});
  EXPECT_TRUE(configurationCodes(monitor).empty());

  // A noticed snapshot that cannot be activated stays noticed.
  remote->clientDidReceiveNewSnapshot(remote->experimentClient());
  EXPECT_FALSE(remote->activateNewSnapshot());
  EXPECT_FALSE(remote->activateNewSnapshot());
  EXPECT_EQ(configurationCodes(monitor), (std::vector<long>{29024, 29024}));
  monitor.clear();
  remote->client(remote->experimentClient(), apm_errorWithCode(2, "offline"));
  EXPECT_EQ(monitor.first(29025).level, 2);

  remote->reset();
  EXPECT_TRUE(remote->regionalDefaultsEnabled());
}

TEST_F(RemoteConfigExperimentsTest, ANoticeDuringActivationIsKept) {
  auto remote = APMRemoteConfig::initWithAppID(kAppID, nullptr, nullptr, manager_);
  fetched({snapshot(kAPMRemoteConfigSDKName, {experiment(4)})});
  remote->clientDidReceiveNewSnapshot(remote->experimentClient());
  // The manager logs its success while the activation is still running:
  // a second snapshot is noticed right then.
  APMMeasurement::monitor()->setObserver([&](long, long code, const std::string&, const APMMonitor::Contexts&,
                                             const std::string&) {
    if (code == 800028) remote->clientDidReceiveNewSnapshot(remote->experimentClient());
  });
  const bool activated = remote->activateNewSnapshot();
  APMMeasurement::monitor()->setObserver(nullptr);
  ASSERT_TRUE(activated);
  RecordingMonitor monitor;
  EXPECT_FALSE(remote->activateNewSnapshot());  // tried again: nothing is pending yet
  EXPECT_EQ(configurationCodes(monitor), std::vector<long>{29024});
}

// A reader thread while two configurations are parsed in turn sees the
// answer of one or the other, never a configuration half swapped in.
TEST(RemoteConfigThreadsTest, ReadersSeeOneConfigurationOrTheNext) {
  struct Case {
    const char* name;
    std::shared_ptr<APMPBMeasurementConfig> first, second;
    std::function<int64_t(const APMRemoteConfig&)> read;
    int64_t firstAnswer, secondAnswer;
  };
  const auto failingProgram = script_test::programMessage({script_test::ret(script_test::num(1))});
  const Case cases[] = {
      {"setting texts", retryCountConfig("10"), retryCountConfig("20"),
       [](const APMRemoteConfig& remote) { return remote.uploadingRetryCount(); }, 10, 20},
      {"PSM numbers", ConfigBuilder().psm(40).build(), ConfigBuilder().psm(41).build(),
       [](const APMRemoteConfig& remote) { return remote.hashPrefixBitLengthEmail(); }, 40, 41},
      // A program that cannot load keeps the PSM numbers in force.
      {"PSM numbers kept", ConfigBuilder().psm(40).build(), ConfigBuilder().psm(41).program(failingProgram).build(),
       [](const APMRemoteConfig& remote) { return remote.hashPrefixBitLengthEmail(); }, 40, 40},
      // One configuration blocklists the event by its event configuration,
      // the other by the blocklist setting: an answer made of the second's
      // event configurations and the first's settings would say no.
      {"event configurations with their settings", ConfigBuilder().event("picked_colour", true).build(),
       ConfigBuilder().setting("measurement.upload.blacklist_public", "1").build(),
       [](const APMRemoteConfig& remote) { return int64_t{remote.isEventBlocklisted("picked_colour")}; }, 1, 1},
  };
  // The failing program's 29026 line is not printed at every parse.
  const long logLevel = APMMeasurement::monitor()->logLevel();
  APMMeasurement::monitor()->setLogLevel(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto remote = std::make_shared<APMRemoteConfig>(kAppID, nullptr, nullptr);
    remote->parseRemoteConfigFromMeasurementConfig(*c.first);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
      readers.emplace_back([&] {
        while (!done.load()) {
          const int64_t value = c.read(*remote);
          if (value != c.firstAnswer && value != c.secondAnswer) wrong.fetch_add(1);
        }
      });
    }
    for (int i = 0; i < 500; ++i) remote->parseRemoteConfigFromMeasurementConfig(*(i % 2 ? c.first : c.second));
    done.store(true);
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    // Answers memoised from earlier configurations are gone.
    EXPECT_EQ(c.read(*remote), c.firstAnswer);
    remote->parseRemoteConfigFromMeasurementConfig(*c.second);
    EXPECT_EQ(c.read(*remote), c.secondAnswer);
  }
  APMMeasurement::monitor()->setLogLevel(logLevel);
}

}  // namespace
