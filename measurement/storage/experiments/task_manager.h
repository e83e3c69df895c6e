// `APMETaskManager`: the worker of the experiment framework. On its serial
// queue "APMExperimentWorkerQueue" it opens the snapshot database at start,
// activates what was waiting, decides when the next experiment fetch is due
// (the alarm "APMExperimentAlarm"), POSTs the experiment request to
// "/sdk-exp", turns the answer into pending snapshots and per-SDK errors, and
// does the database work its delegate (the experiment manager) asks for.
//
// Schedule: the first fetch of a process comes no sooner than 10 s after
// start, a success is followed 14,400 s later, failures are retried 1,800,
// 5,400, 12,600, 27,000, 55,800 and 113,400 s after the base (the last
// success + 14,400 s, or the creation time), never sooner than 43,200 s
// after a 503 or 429, and fetching stops for the process after the sixth
// failed retry. The times live in the user-defaults suite
// "APMExperimentSuiteName", so the schedule survives restarts; a stored
// time later than now (the clock was set back) counts as now.
//
// Answers are bounded by count as well as by size: a snapshot costs about a
// hundred times its few wire bytes in memory and one row written on this
// queue, so a small answer listing a million snapshots would exhaust the
// device. The decoder itself holds an answer to the caps below: it offers
// each item it meets to them while it counts, before anything of the item
// is built, so an answer cannot carry more than it lets through. Past a
// cap the answer is refused as an answer that does not decode is (the
// decoder's "<ERROR> ExperimentResponse decoder failed: ..." line, then no
// snapshots and no errors).
//
// The snapshots of one answer are written in one transaction. An answer
// whose snapshots cannot be written (another process holds the file past
// the busy timeout, the disk is full) is a failed fetch: the failure time
// is set instead of the success time, the manager hears nothing of it, and
// the fetch is retried on the failure schedule.
//
// The transfer runs off the worker queue (the HTTP client's own threads);
// only its completion is posted here. After `clearAndDelete`, or when the
// database could not be opened, fetching stops and database work does
// nothing but log its failure.
//
// Threads: public operations only queue work and may be called from any
// thread. The operations named "...OnWorkerQueue", `fetchExperiments`,
// `postponeFetchExperiments`, `handleFetchingExperimentsResponse` and
// `fetchTimeFromLastSuccessfulTimestamp` must run on the worker queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/messages/message_wrappers.h"
#include "measurement/storage/experiments/experiment_database.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "sdk_core/http_client.h"

class APMAlarm;
class APMConfigStore;
class APMEExperimentRequestBuilder;
class APMETaskManager;

// SDK name to the error of its answer.
using APMESnapshotErrors = std::map<std::string, platform::ErrorRef>;

inline constexpr const char* kAPMExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr const char* kAPMExperimentFetchSuccessTimestampKey =
    "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* kAPMExperimentFetchFailureTimestampKey =
    "APMExperimentFetchFailureTimestamp";
inline constexpr const char* kAPMExperimentFetchBackoffTimestampKey =
    "APMExperimentFetchBackoffTimestamp";
inline constexpr const char* kAPMExperimentWorkerQueueLabel = "APMExperimentWorkerQueue";
inline constexpr const char* kAPMExperimentAlarmName = "APMExperimentAlarm";
inline constexpr const char* kAPMEExperimentServiceHost = "measurement.voraza.com";
inline constexpr const char* kAPMEExperimentFetchURL = "https://measurement.voraza.com/sdk-exp";

class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  // Optional: whether a due fetch should go out; nullopt when not
  // implemented (the fetch goes out). On the worker queue.
  virtual std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager&) {
    return std::nullopt;
  }
  // didStartWithActivatedSnapshots:pendingSnapshots:launchedSnapshots:, on
  // the worker queue after the start transaction.
  virtual void taskManager(APMETaskManager& taskManager, const APMESnapshots& activated,
                           const APMESnapshots& pending, const APMESnapshots& launched) = 0;
  // didFinishFetchingExperimentSnapshots:withErrors:, on the worker queue
  // after a 200 or 204 answer.
  virtual void taskManager(APMETaskManager& taskManager, const APMESnapshots& snapshots,
                           const APMESnapshotErrors& errors) = 0;
  // didUpsertPendingSnapshots:, on the worker queue.
  virtual void taskManager(APMETaskManager& taskManager, const APMESnapshots& upserted) = 0;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  static constexpr double kFetchInterval = 14'400;
  static constexpr double kFirstFetchDelay = 10;
  static constexpr double kBackoffInterval = 43'200;
  static constexpr double kRetryInterval = 1'800;
  static constexpr int kRetrySteps = 6;
  // Caps on an answer. The service sends one snapshot (or per-SDK result)
  // for each registered SDK, and this system registers one; a snapshot
  // holds the few experiments that SDK takes part in, each with a few
  // flags. The caps lie far above any such answer and far below what
  // would exhaust memory or hold the queue.
  //
  // Snapshots and per-SDK results of one answer, together.
  static constexpr size_t kMaxAnswerSnapshots = 100;
  // Experiments of one snapshot.
  static constexpr size_t kMaxSnapshotExperiments = 1'000;
  // Flags of one answer, over all its experiments.
  static constexpr size_t kMaxAnswerFlags = 10'000;

  // The default configuration: its own worker queue and alarm, an HTTP
  // client for the service host, the suite "APMExperimentSuiteName", the
  // database file in the measurement folder, now, the service URL and the
  // shared request builder.
  APMETaskManager();
  // Null arguments take their default.
  APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
                  std::shared_ptr<VADErivoro> network,
                  std::shared_ptr<APMConfigStore> persistedStorage, std::string databasePath,
                  double initTimestamp, std::string fetchURL = kAPMEExperimentFetchURL,
                  std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder = nullptr);
  APMETaskManager(const APMETaskManager&) = delete;
  APMETaskManager& operator=(const APMETaskManager&) = delete;

  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate);

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return queue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<APMEExperimentRequestBuilder>& requestBuilder() const {
    return requestBuilder_;
  }
  const std::shared_ptr<APMConfigStore>& persistedStorage() const { return persistedStorage_; }
  // Worker queue only; null before start or when the file could not open.
  const std::shared_ptr<APMEDatabase>& database() const { return database_; }

  // Queue work and return at once.
  void startTaskManager();
  void activatePendingSnapshot(APMESnapshotRef snapshot, double timestamp);
  void resetToDefaultsForSDKName(std::string SDKName);
  void upsertPendingSnapshots(APMESnapshots snapshots);
  // Empties the database and forgets the schedule; the next fetch is due
  // at once.
  void reset();
  // Cancels the alarm, deletes the database file and forgets the schedule.
  void clearAndDelete();

  // --- Worker queue ---------------------------------------------------------

  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  // The next fetch time (seconds since 1970) from the stored success and
  // failure times; 0 to give up.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  void scheduleFetchingExperimentsOnWorkerQueue();
  void fetchExperiments();
  // Counts as a success without asking the service.
  void postponeFetchExperiments();
  // `data` is the answer's body as the service meant it (already
  // inflated).
  void handleFetchingExperimentsResponse(const std::optional<VADErivoro::Response>& response,
                                         const std::optional<platform::Bytes>& data,
                                         const platform::ErrorRef& error);

  // --- Answers --------------------------------------------------------------

  // The snapshots of an answer (from the per-SDK results when it lists none
  // of its own); nullopt for no answer.
  std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(
      const APMPBExperimentResponse* response) const;
  std::optional<APMESnapshotErrors> errorsFromExperimentResponse(
      const APMPBExperimentResponse* response) const;
  std::optional<APMESnapshots> experimentSnapshotsFromData(const platform::Bytes& data) const;
  // The answer's body to decode: inflated once when it still carries gzip
  // or zlib framing, as it is when the HTTP layer already undid the
  // compression it announced, and none (820023) when it can be neither.
  static std::optional<platform::Bytes> answerBody(
      const std::optional<VADErivoro::Response>& response,
      const std::optional<platform::Bytes>& data);

  // Exceptions are logged (820026) and the queue goes on.
  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  // Exceptions are logged (820027) and rethrown to the caller.
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

 private:
  // Queues `work` with a strong reference taken from a weak one, so that
  // work pending when the task manager goes away is dropped.
  void onWorkerQueue(std::function<void(APMETaskManager&)> work);
  // Whether the database is open; fetching and scheduling need it.
  bool isActive() const;
  // A stored time; one later than `now` counts as `now`.
  double storedTime(const char* key, double now) const;
  void setStoredTime(const char* key, std::optional<double> time);
  // Stores a success at `time` and forgets the failure and backoff times.
  void recordSuccess(double time);
  // Removes the three stored times.
  void forgetSchedule();
  // Runs `work` on the open database; without one fails with a code 2 error.
  bool withDatabase(const std::function<bool(APMEDatabase&, platform::ErrorRef*)>& work,
                    platform::ErrorRef* error);
  // Writes the snapshots into the pending table in one transaction: all of
  // them or none.
  bool upsertPendingInOneTransaction(const APMESnapshots& snapshots, platform::ErrorRef* error);

  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::shared_ptr<APMAlarm> alarm_;
  const std::shared_ptr<VADErivoro> network_;
  const std::shared_ptr<APMConfigStore> persistedStorage_;
  const std::string databasePath_;
  const double initializationTimestamp_;
  const std::string fetchURL_;
  const std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder_;

  mutable std::mutex delegateMutex_;
  std::weak_ptr<APMETaskManagerDelegate> delegate_;

  // Worker queue only.
  std::shared_ptr<APMEDatabase> database_;
  bool hasMadeInitialFetch_ = false;
};
