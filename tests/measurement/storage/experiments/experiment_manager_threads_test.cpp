// The experiment manager and its clients: registration, flag resolution,
// activation, status, experiment IDs, fetch results and their notices.
#include "measurement/storage/experiments/experiment_manager.h"

#include <gtest/gtest.h>

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/flag_values.h"
#include "measurement/storage/system/alarm.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using namespace experiments_testing;
using platform::Object;
using Method = APMEExperimentObserverDelegate::Method;

class Observer : public APMEExperimentObserverDelegate {
 public:
  explicit Observer(std::vector<Method> implemented) : implemented_(std::move(implemented)) {}
  bool respondsTo(Method method) const override {
    return std::find(implemented_.begin(), implemented_.end(), method) != implemented_.end();
  }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override {
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.emplace_back(client->SDKName(), platform::isMainThread());
  }
  void client(const std::shared_ptr<APMEClient>&, const platform::ErrorRef& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(error->code());
  }
  bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) override { return shouldFetch; }
  std::shared_ptr<platform::DispatchQueue> queue() override { return queue_; }

  std::vector<std::pair<std::string, bool>> notices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
  }
  std::vector<long> errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }

  bool shouldFetch = true;
  std::shared_ptr<platform::DispatchQueue> queue_;

 private:
  const std::vector<Method> implemented_;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, bool>> notices_;
  std::vector<long> errors_;
};

class ExperimentManagerTest : public ::testing::Test, public ManagerFixture {
 protected:
  void SetUp() override { startManager(); }
  std::shared_ptr<APMEClient> registerSDK(const std::string& name,
                                          Object::Dictionary defaults = {}) {
    return manager_->registerSDKProperty(std::make_shared<APMESDKProperty>(name), defaults);
  }
};

TEST_F(ExperimentManagerTest, RegistrationReplacesAndRefuses) {
  RecordingMonitor monitor;
  auto first = registerSDK("sdk", {{"a", Object(1)}});
  auto second = registerSDK("sdk", {{"b", Object(true)}});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  // Seen at once from the registering thread.
  EXPECT_EQ(manager_->clientForSDKName("sdk"), second);
  EXPECT_TRUE(manager_->flagValueForFlagName("a", "sdk").isNil());
  // A boolean default is kept as the integer 1.
  const Object b = second->valueForFlag("b");
  EXPECT_EQ(b.kind(), Object::Kind::Int);
  EXPECT_EQ(b.int64Value(), 1);
  EXPECT_EQ(monitor.first(800003).level, 3);

  EXPECT_EQ(manager_->registerSDKProperty(nullptr, std::nullopt), nullptr);
  EXPECT_EQ(registerSDK(""), nullptr);
  EXPECT_EQ(registerSDK("bad", {{"list", Object(Object::Array{})}}), nullptr);
  for (long code : {800000L, 800001L, 800002L}) {
    EXPECT_EQ(monitor.first(code).level, 0) << code;
  }
  EXPECT_EQ(manager_->clientForSDKName("bad"), nullptr);
  EXPECT_TRUE(manager_->flagValueForFlagName("x", "nobody").isNil());
  EXPECT_TRUE(monitor.contains(800012));
  EXPECT_TRUE(second->objectForKeyedSubscript(Object(3)).isNil());
  EXPECT_TRUE(second->valueForFlag("").isNil());
  EXPECT_TRUE(monitor.contains(830003));
  EXPECT_TRUE(monitor.contains(830002));
}

TEST_F(ExperimentManagerTest, FlagsResolveActivatedThenLaunchedThenDefault) {
  auto client = registerSDK("sdk", {{"f", Object("default")}, {"g", Object("default")},
                                    {"h", Object(2.5)}});
  auto valueless = APMPBFlag::initWithBuffer(nullptr);
  APMNanoSetString(valueless, FlagField::name, "g");
  auto activatedExperiment = experiment(5, {{"f", "activated"}});
  activatedExperiment->addFlag(valueless);
  fetched({snapshot("sdk", {activatedExperiment, experiment(0, {{"f", "launched"}, {"g", "launched"}})})});
  EXPECT_EQ(client->valueForFlag("f"), Object("default"));  // pending is not in force
  ASSERT_TRUE(client->activateLatestSnapshot());
  EXPECT_EQ(client->valueForFlag("f"), Object("activated"));
  // A flag without a value falls through to the launched one.
  EXPECT_EQ(client->valueForFlag("g"), Object("launched"));
  EXPECT_EQ(client->objectForKeyedSubscript(Object("h")), Object(2.5));
  EXPECT_TRUE(client->valueForFlag("none").isNil());

  client->resetToDefaults();
  EXPECT_EQ(client->valueForFlag("f"), Object("launched"));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);
}

TEST_F(ExperimentManagerTest, ActivationMovesExperimentZeroToLaunched) {
  auto client = registerSDK("sdk");
  fetched({snapshot("sdk", {experiment(0, {{"l", 1}}), experiment(3, {{"a", 1}})})});
  ASSERT_TRUE(manager_->activateSnapshotOfSDK("sdk"));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{3}));
  drain(taskManager_);
  taskManager_->dispatchSyncOnWorkerQueue([&] {
    EXPECT_EQ(taskManager_->database()->fetchAllLaunchedSnapshots()->front()->experimentIDs(),
              (std::vector<int64_t>{0}));
    EXPECT_EQ(taskManager_->database()->fetchAllActivatedSnapshots()->front()->experimentIDs(),
              (std::vector<int64_t>{3}));
  });
  // Only experiment 0: the activated snapshot is empty, launched values
  // answer, and the stored activated row is gone as well.
  fetched({snapshot("sdk", {experiment(0, {{"l", 2}})})});
  ASSERT_TRUE(client->activateLatestSnapshot());
  EXPECT_TRUE(manager_->experimentIDs().empty());
  EXPECT_EQ(client->valueForFlag("l"), Object(2));
  drain(taskManager_);
  taskManager_->dispatchSyncOnWorkerQueue(
      [&] { EXPECT_TRUE(taskManager_->database()->fetchAllActivatedSnapshots()->empty()); });

  // Nothing pending: false without an error; an empty name: code 1.
  platform::ErrorRef error;
  EXPECT_FALSE(manager_->activateSnapshotOfSDK("sdk", &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(manager_->activateSnapshotOfSDK("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "SDK name cannot be empty");
}

TEST_F(ExperimentManagerTest, StatusAndExperimentIDs) {
  auto a = registerSDK("a");
  auto b = registerSDK("b");
  auto keyed = registerSDK("keyed");
  keyed->SDKProperty()->setDiversionKey("abcde");
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("unknown"), -1);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("a"), -2);
  fetched({snapshot("a", {experiment(7), experiment(9)}), snapshot("b", {experiment(7)}),
           snapshot("keyed", {experiment(1)})});
  for (const char* name : {"a", "b", "keyed"}) ASSERT_TRUE(manager_->activateSnapshotOfSDK(name));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{7, 7, 9}));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("a"), 0);
  clock->advance(259'200);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("a"), 0);
  clock->advance(1);
  EXPECT_TRUE(a->hasStaleSnapshot());
  // A snapshot stamped in the future is stale as well.
  clock->advance(-2 * 259'201);
  EXPECT_TRUE(b->hasStaleSnapshot());
}

TEST_F(ExperimentManagerTest, FetchResultsBecomePendingAndNotifyOnTheRightQueue) {
  auto onMain = std::make_shared<Observer>(
      std::vector<Method>{Method::clientDidReceiveNewSnapshot, Method::clientDidReceiveFetchError});
  auto onQueue = std::make_shared<Observer>(
      std::vector<Method>{Method::clientDidReceiveNewSnapshot, Method::queue});
  onQueue->queue_ = platform::DispatchQueue::create("test.notices");
  registerSDK("main")->setDelegate(onMain);
  registerSDK("queued")->setDelegate(onQueue);
  registerSDK("silent");

  RecordingMonitor monitor;
  fetched({}, {});
  EXPECT_TRUE(monitor.contains(800020));
  fetched({snapshot("main", {experiment(1)}), snapshot("queued", {experiment(2)}),
           snapshot("silent", {experiment(3)})},
          {{"main", platform::Error::make("d", -3)}});
  EXPECT_EQ(onMain->errors(), (std::vector<long>{-3}));
  ASSERT_TRUE(waitUntil([&] { return !onMain->notices().empty() && !onQueue->notices().empty(); }));
  EXPECT_EQ(onMain->notices(), (std::vector<std::pair<std::string, bool>>{{"main", true}}));
  EXPECT_EQ(onQueue->notices(), (std::vector<std::pair<std::string, bool>>{{"queued", false}}));
  // Snapshots whose clients take notices are stored again, marked for
  // manual activation (the task manager stored all of them unmarked when
  // they arrived).
  taskManager_->dispatchSyncOnWorkerQueue([&] {
    const APMESnapshots stored = taskManager_->database()->fetchAllPendingSnapshots().value_or(APMESnapshots{});
    EXPECT_EQ(stored.size(), 2u);
    for (const auto& pending : stored) {
      EXPECT_TRUE(pending->manuallyActivated()) << pending->SDKName();
    }
  });
  EXPECT_TRUE(manager_->activateSnapshotOfSDK("silent"));
}

TEST_F(ExperimentManagerTest, FetchDecisionAndStart) {
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);
  auto refusing = std::make_shared<Observer>(std::vector<Method>{Method::shouldFetchExperimentsForClient});
  refusing->shouldFetch = false;
  registerSDK("a")->setDelegate(refusing);
  manager_->dispatchSyncOnSerialQueue([] {});
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), false);
  registerSDK("b");  // no delegate: fetch
  manager_->dispatchSyncOnSerialQueue([] {});
  EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), true);

  // Snapshots loaded at start count their age from the start.
  auto stored = snapshot("a", {experiment(4, {{"f", 1}})});
  stored->setTimestamp(1);
  manager_->taskManager(*taskManager_, {stored}, {}, {});
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("a"), 0);
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{4}));

  manager_->clearAndDelete();
  manager_->dispatchSyncOnSerialQueue([] {});
  EXPECT_TRUE(manager_->experimentIDs().empty());
  EXPECT_NE(manager_->clientForSDKName("a"), nullptr);
}

TEST_F(ExperimentManagerTest, ClientsOutliveTheirManagerQuietly) {
  auto client = registerSDK("sdk", {{"f", Object(1)}});
  EXPECT_EQ(client->valueForFlag("f"), Object(1));
  manager_.reset();
  taskManager_->setDelegate(std::weak_ptr<APMETaskManagerDelegate>());
  EXPECT_TRUE(client->valueForFlag("f").isNil());
  EXPECT_FALSE(client->activateLatestSnapshot());
  EXPECT_FALSE(client->hasStaleSnapshot());
  client->resetToDefaults();
  EXPECT_EQ(APMEManager::version(), 10000);
}

TEST_F(ExperimentManagerTest, SerialQueueSwallowsExceptionsAfterLoggingThem) {
  RecordingMonitor monitor;
  manager_->dispatchAsyncOnSerialQueue([] { throw std::runtime_error("async"); });
  int produced = 0;
  manager_->dispatchSyncOnSerialQueue([&] {
    produced = 1;
    throw std::runtime_error("sync");
  });
  EXPECT_EQ(produced, 1);
  EXPECT_EQ(monitor.first(800017).contexts, std::vector<Object>{"async"});
  EXPECT_EQ(monitor.first(800018).contexts, std::vector<Object>{"sync"});
}

}  // namespace
