// An experiment answer arriving while another process holds the snapshot
// database's write lock.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "measurement/storage/database/sqlite_store.h"
#include "measurement/storage/experiments/task_manager.h"
#include "measurement/storage/system/alarm.h"
#include "measurement/storage/system/file_paths.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/recording_monitor.h"

namespace {

using namespace experiments_testing;
using testing_support::LoopbackHttpServer;

// A child process holding the write lock of a database file until `release`.
struct LockHoldingProcess {
  explicit LockHoldingProcess(const std::string& path) {
    int locked[2];
    EXPECT_TRUE(pipe(locked) == 0 && pipe(letGo) == 0);
    APMMeasurement::monitor()->flush();
    char byte = 0;
    if ((child = fork()) == 0) {
      silenceMonitorInForkedChild();
      sqlite3* handle = nullptr;
      const bool held = sqlite3_open(path.c_str(), &handle) == SQLITE_OK &&
                        sqlite3_exec(handle, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
      _exit(held && write(locked[1], &byte, 1) == 1 && read(letGo[0], &byte, 1) == 1 ? 0 : 3);
    }
    close(locked[1]);
    holding = read(locked[0], &byte, 1) == 1;
    close(locked[0]);
  }
  // Lets the lock go; the child's exit code.
  int release() {
    char byte = 'r';
    EXPECT_EQ(write(letGo[1], &byte, 1), 1);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int letGo[2] = {-1, -1};
  pid_t child = -1;
  bool holding = false;
};

class ExperimentExchangeProcesses : public ::testing::Test, public TaskManagerFixture {
 protected:
  void SetUp() override {
    taskManager_ = startedTaskManager(server_.url("/sdk-exp"));
    taskManager_->alarm()->cancel();
    network->setTimeoutInterval(5);
    // The store waits seconds for a lock; the test need not.
    taskManager_->dispatchSyncOnWorkerQueue([&] {
      sqlite3_busy_timeout(taskManager_->database()->sqliteStore()->sqliteHandle(), 20);
    });
  }
  void fetch(RecordingMonitor& monitor) {
    taskManager_->dispatchAsyncOnWorkerQueue([this] { taskManager_->fetchExperiments(); });
    ASSERT_TRUE(waitUntil([&] { return monitor.contains(820003) || monitor.contains(820002); }));
    drain(taskManager_);
  }
  size_t pendingRows() {
    size_t count = 0;
    taskManager_->dispatchSyncOnWorkerQueue([&] { count = taskManager_->database()->fetchAllPendingSnapshots()->size(); });
    return count;
  }

  LoopbackHttpServer server_;
  std::shared_ptr<APMETaskManager> taskManager_;
};

TEST_F(ExperimentExchangeProcesses, AnswerThatCannotBeStoredIsAFailedFetchAndIsRetried) {
  const double now = clock->now();
  server_.setReply({200, {}, gzipped(answer({snapshot("sdk", {experiment(4, {{"f", 1}})})}))});
  {
    LockHoldingProcess other(APMApplicationSupportFilePath(kAPMEDatabaseName));
    ASSERT_TRUE(other.holding);
    RecordingMonitor monitor;
    fetch(monitor);
    EXPECT_EQ(monitor.first(820022).level, 1);
    EXPECT_FALSE(hasStored(kAPMExperimentFetchSuccessTimestampKey));
    EXPECT_EQ(stored(kAPMExperimentFetchFailureTimestampKey), now);
    EXPECT_TRUE(delegate->fetched().empty());
    // The retry step after a failure, not the interval after a success.
    ASSERT_TRUE(taskManager_->alarm()->scheduledTimestamp());
    EXPECT_NEAR(*taskManager_->alarm()->scheduledTimestamp(), now + APMETaskManager::kRetryInterval, 1e-3);
    EXPECT_EQ(other.release(), 0);
  }
  EXPECT_EQ(pendingRows(), 0u);

  // The retry, with the file free again, stores the answer.
  taskManager_->alarm()->cancel();
  RecordingMonitor monitor;
  fetch(monitor);
  EXPECT_FALSE(monitor.contains(820022));
  EXPECT_TRUE(hasStored(kAPMExperimentFetchSuccessTimestampKey));
  EXPECT_FALSE(hasStored(kAPMExperimentFetchFailureTimestampKey));
  ASSERT_EQ(delegate->fetched().size(), 1u);
  EXPECT_EQ(delegate->fetched().front().first.size(), 1u);
  EXPECT_EQ(pendingRows(), 1u);
}

}  // namespace
