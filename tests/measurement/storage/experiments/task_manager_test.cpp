// The fetch schedule: the fetch-time table, the backoff floor, giving up,
// times from a clock that moved back, and the start and reset work.
#include "measurement/storage/experiments/task_manager.h"

#include <gtest/gtest.h>

#include "measurement/storage/system/alarm.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/paths.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using namespace experiments_testing;

class TaskManagerSchedule : public ::testing::Test, public TaskManagerFixture {
 protected:
  // Runs one scheduling pass on the worker queue with the given stored
  // times (nullopt: absent) and answers when the alarm is armed for.
  std::optional<double> scheduleWith(const std::shared_ptr<APMETaskManager>& taskManager,
                                     std::optional<double> success, std::optional<double> failure,
                                     std::optional<double> backoff) {
    const std::pair<const char*, std::optional<double>> times[] = {
        {kAPMExperimentFetchSuccessTimestampKey, success},
        {kAPMExperimentFetchFailureTimestampKey, failure},
        {kAPMExperimentFetchBackoffTimestampKey, backoff}};
    for (const auto& [key, time] : times) {
      store->setObject(time ? platform::Object(*time) : platform::Object(), key);
    }
    taskManager->alarm()->cancel();
    schedule(taskManager);
    return taskManager->alarm()->scheduledTimestamp();
  }
  // One scheduling pass on the worker queue.
  static void schedule(const std::shared_ptr<APMETaskManager>& taskManager) {
    taskManager->dispatchSyncOnWorkerQueue([&] { taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
  }
};

TEST_F(TaskManagerSchedule, FetchTimeTable) {
  auto taskManager = makeTaskManager();
  const double now = clock->now();
  // The first computation of a process waits at least 10 s and ignores
  // failures.
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(0, now - 5), now + 10);

  const double success = now - 20'000;
  const double base = success + 14'400;
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(success, 0), base);
  // Each failure at the previous retry time moves to the next step; the
  // failure after the sixth step gives up.
  const double steps[] = {1'800, 5'400, 12'600, 27'000, 55'800, 113'400};
  double failure = base;
  for (double step : steps) {
    clock->set(failure);
    EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(success, failure), base + step);
    failure = base + step;
  }
  clock->set(failure);
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(success, failure), 0);
  // Without a success the steps count from the creation time.
  clock->set(kStart + 100);
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(0, kStart + 100), kStart + 1'800);
  clock->set(kStart + 113'401);
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(0, kStart + 113'401), 0);
}

TEST_F(TaskManagerSchedule, FirstFetchOfAProcess) {
  struct Case {
    std::optional<double> success;
    double expected;
  };
  const double now = clock->now();
  const Case cases[] = {
      {std::nullopt, now + 10},        // never fetched
      {now - 7'200, now + 7'200},      // success two hours ago: success + 14,400
      {now - 20'000, now + 10},        // overdue: not before now + 10
      {now + 3'600, now + 14'400},     // clock moved back: the success counts as now
      {now + 1e9, now + 14'400},
  };
  for (const Case& c : cases) {
    auto taskManager = makeTaskManager();
    store->setObject(c.success ? platform::Object(*c.success) : platform::Object(),
                     kAPMExperimentFetchSuccessTimestampKey);
    start(taskManager);
    ASSERT_TRUE(taskManager->alarm()->scheduledTimestamp());
    EXPECT_NEAR(*taskManager->alarm()->scheduledTimestamp(), c.expected, 1e-3);
  }
}

TEST_F(TaskManagerSchedule, BackoffFloorAndGivingUp) {
  auto taskManager = startedTaskManager();
  const double now = clock->now();
  // After a 503 at b: not before b + 43,200, whatever the steps allow.
  EXPECT_NEAR(*scheduleWith(taskManager, now - 1'000, now, now), now + 43'200, 1e-3);
  EXPECT_NEAR(*scheduleWith(taskManager, now - 1'000, now, now - 43'200), now + 15'200, 1e-3);
  // A backoff time from a clock that moved back counts as now: twelve
  // hours, not decades.
  EXPECT_NEAR(*scheduleWith(taskManager, now - 100, std::nullopt, now + 1e9), now + 43'200, 1e-3);
  // No failure: success + 14,400; overdue: at once.
  EXPECT_NEAR(*scheduleWith(taskManager, now - 100, std::nullopt, std::nullopt), now + 14'300, 1e-3);

  RecordingMonitor monitor;
  EXPECT_FALSE(scheduleWith(taskManager, now - 200'000, now, now - 50'000));
  EXPECT_TRUE(monitor.contains(820024));
  EXPECT_FALSE(hasStored(kAPMExperimentFetchSuccessTimestampKey));
  EXPECT_TRUE(hasStored(kAPMExperimentFetchFailureTimestampKey));
  EXPECT_TRUE(hasStored(kAPMExperimentFetchBackoffTimestampKey));

  // Overdue: armed to fire at once (it then fires for real; the delegate
  // postpones rather than fetch).
  delegate->shouldFetch = false;
  monitor.clear();
  scheduleWith(taskManager, now - 20'000, std::nullopt, std::nullopt);
  EXPECT_EQ(monitor.first(2002).contexts.at(0), platform::Object(0.001));
}

TEST_F(TaskManagerSchedule, AnEarlierArmingStaysALaterOneIsReplaced) {
  auto taskManager = startedTaskManager();
  const double now = clock->now();
  ASSERT_NEAR(*taskManager->alarm()->scheduledTimestamp(), now + 10, 1e-3);
  RecordingMonitor monitor;
  store->setDouble(now - 100, kAPMExperimentFetchSuccessTimestampKey);
  schedule(taskManager);
  EXPECT_TRUE(monitor.contains(820017));
  EXPECT_NEAR(*taskManager->alarm()->scheduledTimestamp(), now + 10, 1e-3);

  taskManager->alarm()->runAfterDelay(1e6, [] {});
  schedule(taskManager);
  EXPECT_NEAR(*taskManager->alarm()->scheduledTimestamp(), now + 14'300, 1e-3);
}

TEST_F(TaskManagerSchedule, PostponingCountsAsASuccess) {
  auto taskManager = startedTaskManager();
  store->setDouble(1, kAPMExperimentFetchFailureTimestampKey);
  store->setDouble(1, kAPMExperimentFetchBackoffTimestampKey);
  taskManager->alarm()->cancel();
  taskManager->dispatchSyncOnWorkerQueue([&] { taskManager->postponeFetchExperiments(); });
  EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), clock->now());
  EXPECT_FALSE(hasStored(kAPMExperimentFetchFailureTimestampKey));
  EXPECT_FALSE(hasStored(kAPMExperimentFetchBackoffTimestampKey));
  EXPECT_NEAR(*taskManager->alarm()->scheduledTimestamp(), clock->now() + 14'400, 1e-3);
}

TEST_F(TaskManagerSchedule, StartActivatesAndHandsEverySnapshotOver) {
  {
    auto database = APMEDatabase::initWithPath(APMApplicationSupportFilePath(kAPMEDatabaseName));
    auto pending = snapshot("auto", {experiment(0, {{"a", 1}}), experiment(3)});
    auto manual = snapshot("manual", {experiment(4)});
    manual->setManuallyActivated(true);
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots({pending, manual}));
    ASSERT_TRUE(database->performTransaction(
        [&] { return database->activateSnapshot(snapshot("stale", {experiment(9)}), kStart - 259'200); }));
  }
  auto taskManager = startedTaskManager();
  auto started = delegate->started();
  ASSERT_EQ(started.size(), 3u);
  ASSERT_EQ(started[0].size(), 1u);  // activated: "auto"; "stale" went
  EXPECT_EQ(started[0][0]->SDKName(), "auto");
  ASSERT_EQ(started[1].size(), 1u);  // pending: "manual"
  EXPECT_EQ(started[1][0]->SDKName(), "manual");
  ASSERT_EQ(started[2].size(), 1u);  // launched: "auto"
  EXPECT_EQ(started[2][0]->experimentIDs(), (std::vector<int64_t>{0}));
}

TEST_F(TaskManagerSchedule, ADamagedPendingRowDoesNotStopTheStart) {
  {
    auto database = APMEDatabase::initWithPath(APMApplicationSupportFilePath(kAPMEDatabaseName));
    APMRecord damaged{{"sdk_name", "damaged"},
                      {"snapshotProto", platform::Bytes{0x0a, 0xff}},
                      {"timestamp", kStart},
                      {"manually_activated", 0}};
    ASSERT_TRUE(database->sqliteStore()->upsertRecord(damaged, kAPMEPendingSnapshotTable));
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots({snapshot("auto", {experiment(3)})}));
  }
  RecordingMonitor monitor;
  auto taskManager = startedTaskManager();
  EXPECT_FALSE(monitor.contains(820008));
  EXPECT_TRUE(monitor.contains(810008));
  auto started = delegate->started();
  ASSERT_EQ(started.size(), 3u);
  ASSERT_EQ(started[0].size(), 1u);
  EXPECT_EQ(started[0][0]->SDKName(), "auto");
  EXPECT_TRUE(started[1].empty());
  // The row went with the start: the next one logs nothing about it.
  RecordingMonitor next;
  taskManager->dispatchSyncOnWorkerQueue([&] { taskManager->fetchAllSnapshotsOnWorkerQueue(); });
  EXPECT_FALSE(next.contains(810008));
}

TEST_F(TaskManagerSchedule, ResetRestartsAndClearAndDeleteStopsEverything) {
  auto taskManager = startedTaskManager();
  store->setDouble(clock->now() - 10, kAPMExperimentFetchSuccessTimestampKey);
  store->setDouble(clock->now() - 10, kAPMExperimentFetchFailureTimestampKey);
  delegate->shouldFetch = false;
  {
    RecordingMonitor monitor;
    taskManager->reset();
    drain(taskManager);
    EXPECT_FALSE(hasStored(kAPMExperimentFetchFailureTimestampKey));
    // Without a success time the next fetch is due at once.
    EXPECT_EQ(monitor.first(2002).contexts.at(0), platform::Object(0.001));
  }

  const std::string path = APMApplicationSupportFilePath(kAPMEDatabaseName);
  taskManager->clearAndDelete();
  drain(taskManager);
  EXPECT_FALSE(taskManager->alarm()->scheduledTimestamp());
  EXPECT_FALSE(platform::fileExists(path));

  RecordingMonitor monitor;
  taskManager->activatePendingSnapshot(snapshot("sdk", {experiment(1)}), 1);
  taskManager->upsertPendingSnapshots({snapshot("sdk", {experiment(1)})});
  taskManager->reset();
  drain(taskManager);
  EXPECT_EQ(monitor.first(820014).contexts.at(1).error()->code(), 2);
  EXPECT_TRUE(monitor.contains(820021));
  EXPECT_TRUE(delegate->upserted().empty());
  // An answer still in flight when everything was deleted moves nothing.
  VADErivoro::Response ok;
  ok.statusCode = 200;
  taskManager->dispatchSyncOnWorkerQueue(
      [&] { taskManager->handleFetchingExperimentsResponse(ok, std::nullopt, nullptr); });
  EXPECT_FALSE(hasStored(kAPMExperimentFetchSuccessTimestampKey));
  EXPECT_TRUE(delegate->fetched().empty());
  // Nothing is scheduled again and no file comes back.
  schedule(taskManager);
  EXPECT_FALSE(taskManager->alarm()->scheduledTimestamp());
  EXPECT_FALSE(platform::fileExists(path));
}

TEST_F(TaskManagerSchedule, WorkForTheManagerReachesTheDatabase) {
  auto taskManager = startedTaskManager();
  auto pending = snapshot("sdk", {experiment(5, {{"f", 1}})});
  pending->setManuallyActivated(true);
  taskManager->upsertPendingSnapshots({pending});
  drain(taskManager);
  ASSERT_EQ(delegate->upserted().size(), 1u);
  taskManager->dispatchSyncOnWorkerQueue([&] {
    EXPECT_TRUE(taskManager->database()->fetchAllPendingSnapshots()->front()->manuallyActivated());
  });
  taskManager->activatePendingSnapshot(pending, clock->now());
  taskManager->resetToDefaultsForSDKName("");
  drain(taskManager);
  taskManager->dispatchSyncOnWorkerQueue([&] {
    EXPECT_TRUE(taskManager->database()->fetchAllPendingSnapshots()->empty());
    EXPECT_EQ(taskManager->database()->fetchAllActivatedSnapshots()->size(), 1u);
  });
  taskManager->resetToDefaultsForSDKName("sdk");
  drain(taskManager);
  taskManager->dispatchSyncOnWorkerQueue([&] {
    EXPECT_TRUE(taskManager->database()->fetchAllActivatedSnapshots()->empty());
  });
}

TEST_F(TaskManagerSchedule, QueueWrappersLogExceptionsAndGoOn) {
  auto taskManager = makeTaskManager();
  RecordingMonitor monitor;
  taskManager->dispatchAsyncOnWorkerQueue([] { throw std::runtime_error("async boom"); });
  EXPECT_THROW(taskManager->dispatchSyncOnWorkerQueue([] { throw std::runtime_error("sync boom"); }),
               std::runtime_error);
  bool ran = false;
  taskManager->dispatchSyncOnWorkerQueue([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(monitor.first(820026).contexts, std::vector<platform::Object>{"async boom"});
  EXPECT_EQ(monitor.first(820027).contexts, std::vector<platform::Object>{"sync boom"});
  EXPECT_EQ(monitor.first(820027).level, 1);
}

}  // namespace
