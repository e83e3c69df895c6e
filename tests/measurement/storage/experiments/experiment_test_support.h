// Builders shared by the experiment suites: flags, experiments and
// snapshots from short literals.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "measurement/storage/experiments/flag_values.h"
#include "measurement/storage/experiments/snapshot.h"

namespace experiments_testing {

using FlagList = std::initializer_list<std::pair<const char*, platform::Object>>;

inline APMEFlags flags(FlagList list) {
  APMEFlags out;
  for (const auto& [name, value] : list) out.push_back(APMPBFlagWithNameValue(name, value));
  return out;
}

inline std::shared_ptr<APMEExperiment> experiment(int64_t id, FlagList list = {}) {
  return APMEExperiment::initWithExperimentID(id, flags(list));
}

inline APMESnapshotRef snapshot(const std::string& sdk, APMEExperiments experiments) {
  return APMESnapshot::initWithSDKName(sdk, experiments);
}

}  // namespace experiments_testing

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_manager.h"
#include "measurement/storage/experiments/request_builder.h"
#include "measurement/storage/experiments/task_manager.h"
#include "measurement/storage/settings/identity.h"
#include "measurement/storage/settings/user_defaults.h"
#include "measurement/storage/system/alarm.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"
#include "tests/support/temp_container.h"

namespace experiments_testing {

// Polls `done` every millisecond for up to 20 s.
inline bool waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 20'000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

inline std::string asText(const platform::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// An ExperimentResponse with one snapshot per SDK in `snapshots` and one
// result per (name, status) in `results`.
inline platform::Bytes answer(std::vector<APMESnapshotRef> snapshots,
                              std::vector<std::pair<std::string, int32_t>> results = {}) {
  auto response = APMPBExperimentResponse::initWithBuffer(nullptr);
  std::vector<APMNanoValue> items;
  for (const auto& snapshot : snapshots) items.emplace_back(snapshot->proto());
  APMNanoSetRepeated(response, ExperimentResponseField::snapshots, &items);
  std::vector<APMNanoValue> resultItems;
  for (const auto& [name, status] : results) {
    auto result = APMPBSdkResponse::initWithBuffer(nullptr);
    APMNanoSetString(result, SdkResponseField::sdk_name, name);
    APMNanoSetInt32(result, SdkResponseField::status, status);
    resultItems.emplace_back(result);
  }
  APMNanoSetRepeated(response, ExperimentResponseField::sdk_responses, &resultItems);
  return *response->protoBuffer();
}

inline std::string gzipped(const platform::Bytes& bytes) {
  return asText(*gul_dataByGzippingData(bytes));
}

// Records what a task manager tells its delegate.
class RecordingTaskDelegate : public APMETaskManagerDelegate {
 public:
  std::optional<bool> shouldFetch;

  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager&) override {
    return shouldFetch;
  }
  void taskManager(APMETaskManager&, const APMESnapshots& activated, const APMESnapshots& pending,
                   const APMESnapshots& launched) override {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = {activated, pending, launched};
  }
  void taskManager(APMETaskManager&, const APMESnapshots& snapshots,
                   const APMESnapshotErrors& errors) override {
    std::lock_guard<std::mutex> lock(mutex_);
    fetched_.emplace_back(snapshots, errors);
  }
  void taskManager(APMETaskManager&, const APMESnapshots& upserted) override {
    std::lock_guard<std::mutex> lock(mutex_);
    upserted_.push_back(upserted);
  }

  auto fetched() const { return read(fetched_); }
  auto started() const { return read(started_); }
  auto upserted() const { return read(upserted_); }

 private:
  template <typename T>
  T read(const T& field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }

  mutable std::mutex mutex_;
  std::vector<APMESnapshots> started_;
  std::vector<std::pair<APMESnapshots, APMESnapshotErrors>> fetched_;
  std::vector<APMESnapshots> upserted_;
};

// A temporary container, a manual clock and the parts of a task manager
// that tests replace: the HTTP client, the schedule's suite and a request
// builder of their own.
class TaskManagerFixture {
 public:
  static constexpr double kStart = 1.7e9;
  // Where the task managers of tests that never fetch would send requests.
  static constexpr const char* kNoServerURL = "http://127.0.0.1:9/sdk-exp";

  std::shared_ptr<APMETaskManager> makeTaskManager(const std::string& url = kNoServerURL) {
    auto taskManager = std::make_shared<APMETaskManager>(nullptr, nullptr, network, store,
                                                         std::string(), clock->now(), url, builder);
    taskManager->setDelegate(delegate);
    return taskManager;
  }
  // Starts and waits for the start to finish.
  static void start(const std::shared_ptr<APMETaskManager>& taskManager) {
    taskManager->startTaskManager();
    drain(taskManager);
  }
  std::shared_ptr<APMETaskManager> startedTaskManager(const std::string& url = kNoServerURL) {
    auto taskManager = makeTaskManager(url);
    start(taskManager);
    return taskManager;
  }
  // Waits for the work queued so far.
  static void drain(const std::shared_ptr<APMETaskManager>& taskManager) {
    taskManager->dispatchSyncOnWorkerQueue([] {});
  }
  double stored(const char* key) { return store->doubleForKey(key); }
  bool hasStored(const char* key) { return !store->objectForKey(key).isNil(); }

  TempContainer container;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(kStart);
  platform::ScopedCurrentClock scopedClock{clock};
  std::shared_ptr<VADErivoro> network = std::make_shared<VADErivoro>("127.0.0.1");
  std::shared_ptr<APMUserDefaults> store = std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName);
  std::shared_ptr<APMEExperimentRequestBuilder> builder =
      std::make_shared<APMEExperimentRequestBuilder>(std::make_shared<APMIdentity>(nullptr));
  std::shared_ptr<RecordingTaskDelegate> delegate = std::make_shared<RecordingTaskDelegate>();
};

// A manager over a started task manager whose alarm is cancelled, so that
// nothing is fetched unless a test hands the manager its results.
class ManagerFixture : public TaskManagerFixture {
 public:
  void startManager() {
    taskManager_ = makeTaskManager();
    manager_ = APMEManager::initWithTaskManager(taskManager_);
    start(taskManager_);
    taskManager_->alarm()->cancel();
  }
  // Hands fetched snapshots to the manager as the task manager does, and
  // waits until they are pending.
  void fetched(APMESnapshots snapshots, APMESnapshotErrors errors = {}) {
    manager_->taskManager(*taskManager_, snapshots, errors);
    manager_->dispatchSyncOnSerialQueue([] {});
  }

  // Waits for the work both queues were given so far (a reset or an
  // activation stores on the task manager's queue after the manager's).
  void settle() {
    manager_->dispatchSyncOnSerialQueue([] {});
    drain(taskManager_);
    manager_->dispatchSyncOnSerialQueue([] {});
  }

  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<APMEManager> manager_;
};

}  // namespace experiments_testing
