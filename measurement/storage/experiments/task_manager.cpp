#include "measurement/storage/experiments/task_manager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <strings.h>

#include "measurement/engine/measurement_errors.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/message_routines.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "measurement/storage/experiments/request_builder.h"
#include "measurement/storage/settings/user_defaults.h"
#include "measurement/storage/system/alarm.h"
#include "measurement/storage/system/file_paths.h"
#include "measurement/storage/system/scheduler.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// Arming delay of a fetch that is already due.
constexpr double kImmediateDelay = 0.001;

std::shared_ptr<APMEMonitor> monitor() { return APMEMonitor::monitor(); }

double now() { return platform::Clock::current()->now(); }

// Whether the bytes begin as a gzip member or a zlib stream does.
bool hasCompressionFraming(const platform::Bytes& data) {
  if (data.size() < 2) return false;
  if (data[0] == 0x1f && data[1] == 0x8b) return true;
  const unsigned header = (unsigned{data[0]} << 8) | data[1];
  return (data[0] & 0x0f) == 8 && (data[0] >> 4) <= 7 && header % 31 == 0;
}

bool announcesCompression(const std::optional<VADErivoro::Response>& response) {
  if (!response) return false;
  std::optional<std::string> encoding = response->header("Content-Encoding");
  return encoding && (strcasecmp(encoding->c_str(), "gzip") == 0 ||
                      strcasecmp(encoding->c_str(), "deflate") == 0);
}

platform::ErrorRef databaseNotOpen() {
  return apm_errorWithCode(2, "Experiment database is not open");
}

// --- Decoding an answer ------------------------------------------------------

// The caps of one answer, offered each item by the decoder itself: the
// items it decodes are the items counted, however their fields are sent.
class AnswerCaps : public messages::DecodeItemCaps {
 public:
  const char* admitItem(const messages::MessageSchema& element, uint32_t inRecord) override {
    if (&element == &messages::kSnapshotSchema || &element == &messages::kSdkResponseSchema) {
      return ++snapshots_ > APMETaskManager::kMaxAnswerSnapshots ? "too many snapshots" : nullptr;
    }
    // A result's snapshot sent in several pieces is one record, whose
    // experiments add up.
    if (&element == &messages::kExperimentSchema) {
      return inRecord > APMETaskManager::kMaxSnapshotExperiments
                 ? "too many experiments in a snapshot"
                 : nullptr;
    }
    if (&element == &messages::kFlagSchema) {
      return ++flags_ > APMETaskManager::kMaxAnswerFlags ? "too many flags" : nullptr;
    }
    return nullptr;
  }

 private:
  size_t snapshots_ = 0;
  size_t flags_ = 0;
};

// The answer as a message; null, as the decoder leaves it, for bytes that
// do not decode or an answer past a cap, which prints the decoder's line.
std::shared_ptr<APMPBExperimentResponse> decodedAnswer(const platform::Bytes* data) {
  AnswerCaps caps;
  messages::DecodeItemCapsScope scope(caps);
  return APMPBExperimentResponse::initWithBuffer(data);
}

}  // namespace

APMETaskManager::APMETaskManager()
    : APMETaskManager(nullptr, nullptr, nullptr, nullptr, std::string(), now()) {}

APMETaskManager::APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue,
                                 std::shared_ptr<APMAlarm> alarm,
                                 std::shared_ptr<VADErivoro> network,
                                 std::shared_ptr<APMConfigStore> persistedStorage,
                                 std::string databasePath, double initTimestamp,
                                 std::string fetchURL,
                                 std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder)
    : queue_(queue ? std::move(queue)
                   : platform::DispatchQueue::create(kAPMExperimentWorkerQueueLabel)),
      alarm_(alarm ? std::move(alarm) : std::make_shared<APMAlarm>(queue_, kAPMExperimentAlarmName)),
      network_(network ? std::move(network)
                       : std::make_shared<VADErivoro>(kAPMEExperimentServiceHost)),
      persistedStorage_(persistedStorage ? std::move(persistedStorage)
                                         : std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName)),
      databasePath_(databasePath.empty() ? APMApplicationSupportFilePath(kAPMEDatabaseName)
                                         : std::move(databasePath)),
      initializationTimestamp_(initTimestamp),
      fetchURL_(std::move(fetchURL)),
      requestBuilder_(requestBuilder ? std::move(requestBuilder)
                                     : APMEExperimentRequestBuilder::sharedInstance()) {}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

// --- Queues ------------------------------------------------------------------

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  if (!block) return;
  queue_->async([block = std::move(block)] {
    APMERunLoggingExceptions(block, 820026, "Exception on async worker queue", false);
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  if (!block) return;
  queue_->sync([&block] {
    APMERunLoggingExceptions(block, 820027, "Exception on sync worker queue", true);
  });
}

void APMETaskManager::onWorkerQueue(std::function<void(APMETaskManager&)> work) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

bool APMETaskManager::isActive() const { return database_ && database_->sqliteStore(); }

bool APMETaskManager::withDatabase(
    const std::function<bool(APMEDatabase&, platform::ErrorRef*)>& work,
    platform::ErrorRef* error) {
  if (!isActive()) {
    platform::setError(error, databaseNotOpen());
    return false;
  }
  return work(*database_, error);
}

bool APMETaskManager::upsertPendingInOneTransaction(const APMESnapshots& snapshots,
                                                   platform::ErrorRef* error) {
  // One commit, and one sync of the file, for the whole answer rather than
  // one per snapshot.
  return withDatabase(
      [&](APMEDatabase& database, platform::ErrorRef* out) {
        return database.performTransaction(
            [&] { return database.upsertPendingExperimentSnapshots(snapshots, out); });
      },
      error);
}

// --- Stored times ------------------------------------------------------------

double APMETaskManager::storedTime(const char* key, double now) const {
  return std::min(persistedStorage_->doubleForKey(key), now);
}

void APMETaskManager::setStoredTime(const char* key, std::optional<double> time) {
  if (time) {
    persistedStorage_->setDouble(*time, key);
  } else {
    persistedStorage_->removeObjectForKey(key);
  }
}

void APMETaskManager::recordSuccess(double time) {
  setStoredTime(kAPMExperimentFetchSuccessTimestampKey, time);
  setStoredTime(kAPMExperimentFetchFailureTimestampKey, std::nullopt);
  setStoredTime(kAPMExperimentFetchBackoffTimestampKey, std::nullopt);
}

void APMETaskManager::forgetSchedule() {
  for (const char* key : {kAPMExperimentFetchBackoffTimestampKey,
                          kAPMExperimentFetchFailureTimestampKey,
                          kAPMExperimentFetchSuccessTimestampKey}) {
    setStoredTime(key, std::nullopt);
  }
}

// --- Start -------------------------------------------------------------------

void APMETaskManager::startTaskManager() {
  onWorkerQueue([](APMETaskManager& self) { self.startTaskManagerOnWorkerQueue(); });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  database_ = APMEDatabase::initWithPath(databasePath_);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  if (!isActive()) return;
  APMEDatabase& database = *database_;
  bool committed = database.performTransaction([&] {
    platform::ErrorRef error;
    if (!database.deleteStaleActivatedSnapshots(&error)) {
      if (error) {
        monitor()->logWithLevel(1, 820006, "Cannot delete stale activated snapshots. Error", error);
      }
      return false;
    }
    if (!database.activatePendingSnapshotsAutomatically(&error)) {
      if (error) {
        monitor()->logWithLevel(1, 820007, "Cannot activate pending snapshots automatically. Error",
                                error);
      }
      return false;
    }
    return true;
  });
  if (!committed) {
    monitor()->logWithLevel(2, 820008, "Failed to start the task manager");
    return;
  }
  monitor()->logWithLevel(8, 820009, "Successfully start the task manager");
  auto delegate = this->delegate();
  if (!delegate) return;
  auto read = [](std::optional<APMESnapshots> snapshots, const platform::ErrorRef& error, long code,
                 const char* message) {
    if (!snapshots && error) monitor()->logWithLevel(2, code, message, error);
    return snapshots.value_or(APMESnapshots{});
  };
  platform::ErrorRef errors[3];
  APMESnapshots activated =
      read(database.fetchAllActivatedSnapshots(&errors[0]), errors[0], 820010,
           "Error in fetching all activated snapshots. Error");
  APMESnapshots pending = read(database.fetchAllPendingSnapshots(&errors[1]), errors[1], 820011,
                               "Error in fetching all pending snapshots. Error");
  APMESnapshots launched = read(database.fetchAllLaunchedSnapshots(&errors[2]), errors[2], 820012,
                                "Error in fetching all launched snapshots. Error");
  delegate->taskManager(*this, activated, pending, launched);
}

// --- Schedule ----------------------------------------------------------------

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess,
                                                             double lastFailure) {
  const double current = now();
  // A success stamped in the future (the clock was set back) counts as
  // now: otherwise the retry steps would all fall before the failure and
  // fetching would stop.
  const double success = std::min(lastSuccess, current);
  const double failure = std::min(lastFailure, current);
  const double next = success + kFetchInterval;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(next, current + kFirstFetchDelay);
  }
  if (failure <= 0) return next;
  double base = success != 0 ? next : initializationTimestamp_;
  for (int step = 0; step < kRetrySteps; ++step) {
    base += kRetryInterval * static_cast<double>(1 << step);
    if (base > failure) return base;
  }
  return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  if (!isActive()) return;
  const double current = now();
  double fetchTime =
      fetchTimeFromLastSuccessfulTimestamp(storedTime(kAPMExperimentFetchSuccessTimestampKey, current),
                                           storedTime(kAPMExperimentFetchFailureTimestampKey, current));
  if (std::fabs(fetchTime) < kEpsilon) {
    setStoredTime(kAPMExperimentFetchSuccessTimestampKey, std::nullopt);
    monitor()->logWithLevel(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  std::optional<double> armed = alarm_->scheduledTimestamp();
  if (armed && *armed <= fetchTime) {
    monitor()->logWithLevel(
        8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
        *armed - current);
    return;
  }
  const double backoff = storedTime(kAPMExperimentFetchBackoffTimestampKey, current);
  if (std::fabs(backoff) >= kEpsilon && current - backoff < kBackoffInterval) {
    fetchTime = std::max(fetchTime, backoff + kBackoffInterval);
  }
  double delay = fetchTime - current;
  if (delay < 0 || std::fabs(delay) < kEpsilon) delay = kImmediateDelay;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto delegate = self->delegate();
    std::optional<bool> shouldFetch =
        delegate ? delegate->taskManagerShouldFetchExperiments(*self) : std::nullopt;
    if (shouldFetch == false) {
      self->postponeFetchExperiments();
    } else {
      self->fetchExperiments();
    }
  });
}

void APMETaskManager::postponeFetchExperiments() {
  recordSuccess(now());
  scheduleFetchingExperimentsOnWorkerQueue();
}

// --- Exchange ----------------------------------------------------------------

void APMETaskManager::fetchExperiments() {
  if (!isActive()) return;
  auto request = requestBuilder_->request();
  platform::Bytes body = request ? request->protoBuffer().value_or(platform::Bytes{}) : platform::Bytes{};
  monitor()->logWithLevel(8, 820001, "Fetching new experiments. Request", body);
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  network_->postURL(fetchURL_, body, queue_, false,
                    [weak](std::optional<VADErivoro::Response> response,
                           std::optional<platform::Bytes> data, platform::ErrorRef error) {
                      auto self = weak.lock();
                      if (!self) return;
                      self->handleFetchingExperimentsResponse(response, answerBody(response, data),
                                                              error);
                    });
}

std::optional<platform::Bytes> APMETaskManager::answerBody(
    const std::optional<VADErivoro::Response>& response,
    const std::optional<platform::Bytes>& data) {
  if (!data || data->empty()) return std::nullopt;
  if (!hasCompressionFraming(*data) && announcesCompression(response)) return data;
  platform::ErrorRef error;
  std::optional<platform::Bytes> inflated = gul_dataByInflatingGzippedData(*data, &error);
  if (!inflated && error) {
    monitor()->logWithLevel(2, 820023, "Cannot inflate downloaded experiment data. Error", error);
  }
  return inflated;
}

void APMETaskManager::handleFetchingExperimentsResponse(
    const std::optional<VADErivoro::Response>& response,
    const std::optional<platform::Bytes>& data, const platform::ErrorRef& error) {
  // An answer arriving after clearAndDelete moves nothing.
  if (!isActive()) return;
  const long status = response ? response->statusCode : 0;
  const double current = now();
  if (status != 200 && status != 204) {
    setStoredTime(kAPMExperimentFetchFailureTimestampKey, current);
    if (status == 503 || status == 429) setStoredTime(kAPMExperimentFetchBackoffTimestampKey, current);
    monitor()->logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error", status,
                            error);
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }
  auto message = decodedAnswer(data ? &*data : nullptr);
  monitor()->logWithLevel(8, 820003, "Successful fetch. Got network response. Code, data", status,
                          data ? platform::Object(*data) : platform::Object());
  APMESnapshots snapshots =
      experimentSnapshotsFromExperimentResponse(message.get()).value_or(APMESnapshots{});
  APMESnapshotErrors errors = errorsFromExperimentResponse(message.get()).value_or(APMESnapshotErrors{});
  if (!snapshots.empty()) {
    platform::ErrorRef upsertError;
    if (!upsertPendingInOneTransaction(snapshots, &upsertError)) {
      // Snapshots held only in memory would be lost at exit while the
      // schedule waits a full interval: fetch them again instead.
      monitor()->logWithLevel(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                              upsertError, static_cast<int64_t>(snapshots.size()));
      setStoredTime(kAPMExperimentFetchFailureTimestampKey, current);
      scheduleFetchingExperimentsOnWorkerQueue();
      return;
    }
  }
  recordSuccess(current);
  if (auto delegate = this->delegate()) delegate->taskManager(*this, snapshots, errors);
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* response) const {
  if (!response) {
    monitor()->logWithLevel(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<APMPBSnapshot>> messages =
      APMERepeatedMessages<APMPBSnapshot>(response, ExperimentResponseField::snapshots);
  if (messages.empty()) {
    for (const auto& result :
         APMERepeatedMessages<APMPBSdkResponse>(response, ExperimentResponseField::sdk_responses)) {
      if (!APMNanoHasField(result, SdkResponseField::snapshot)) continue;
      auto snapshot = APMNanoGetMessage<APMPBSnapshot>(result, SdkResponseField::snapshot);
      if (!snapshot) continue;
      std::string name = APMNanoGetString(result, SdkResponseField::sdk_name).value_or("");
      if (!name.empty()) APMNanoSetString(snapshot, SnapshotField::sdk_name, name);
      messages.push_back(std::move(snapshot));
    }
  }
  APMESnapshots snapshots;
  for (const auto& message : messages) {
    if (APMESnapshotRef snapshot = APMESnapshot::initWithProtobuf(message.get())) {
      snapshots.push_back(std::move(snapshot));
    } else {
      monitor()->logWithLevel(2, 820016, "Cannot create a snapshot from the proto");
    }
  }
  return snapshots;
}

std::optional<APMESnapshotErrors> APMETaskManager::errorsFromExperimentResponse(
    const APMPBExperimentResponse* response) const {
  if (!response) return std::nullopt;
  APMESnapshotErrors errors;
  for (const auto& result :
       APMERepeatedMessages<APMPBSdkResponse>(response, ExperimentResponseField::sdk_responses)) {
    if (!APMNanoHasField(result, SdkResponseField::status)) continue;
    const int32_t status = APMNanoGetInt32(result, SdkResponseField::status);
    std::string name = APMNanoGetString(result, SdkResponseField::sdk_name).value_or("");
    if (status == 0 || name.empty()) continue;
    errors.insert_or_assign(std::move(name),
                            platform::Error::make(messages::kExperimentErrorDomain,
                                                  messages::experimentErrorCodeForStatus(status)));
  }
  return errors;
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromData(
    const platform::Bytes& data) const {
  if (data.empty()) {
    monitor()->logWithLevel(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  auto message = decodedAnswer(&data);
  return experimentSnapshotsFromExperimentResponse(message.get());
}

// --- Work for the manager ----------------------------------------------------

void APMETaskManager::activatePendingSnapshot(APMESnapshotRef snapshot, double timestamp) {
  onWorkerQueue([snapshot = std::move(snapshot), timestamp](APMETaskManager& self) {
    if (!snapshot) {
      monitor()->logWithLevel(0, 820013, "Cannot activate an empty snapshot");
      return;
    }
    platform::ErrorRef error;
    bool activated = self.withDatabase(
        [&](APMEDatabase& database, platform::ErrorRef* out) {
          return database.performTransaction(
              [&] { return database.activateSnapshot(snapshot, timestamp, out); });
        },
        &error);
    if (!activated && error) {
      monitor()->logWithLevel(1, 820014, "Cannot activate snapshot for SDK Name. Error",
                              snapshot->SDKName(), error);
    }
  });
}

void APMETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
  onWorkerQueue([SDKName = std::move(SDKName)](APMETaskManager& self) {
    if (SDKName.empty()) {
      monitor()->logWithLevel(1, 820018, "Cannot reset to defaults for empty SDK name");
      return;
    }
    platform::ErrorRef error;
    bool deleted = self.withDatabase(
        [&](APMEDatabase& database, platform::ErrorRef* out) {
          return database.deleteActivatedExperimentsOfSDKName(SDKName, out);
        },
        &error);
    if (!deleted && error) {
      monitor()->logWithLevel(1, 820019, "Cannot reset to defaults in the database. SDK Name, error",
                              SDKName, error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(APMESnapshots snapshots) {
  onWorkerQueue([snapshots = std::move(snapshots)](APMETaskManager& self) {
    if (snapshots.empty()) {
      monitor()->logWithLevel(2, 820020, "Cannot upsert empty pending snapshot list");
      return;
    }
    platform::ErrorRef error;
    if (!self.upsertPendingInOneTransaction(snapshots, &error)) {
      monitor()->logWithLevel(1, 820021, "Cannot upsert pending snapshots into the database. Error",
                              error);
      return;
    }
    if (auto delegate = self.delegate()) delegate->taskManager(self, snapshots);
  });
}

void APMETaskManager::reset() {
  onWorkerQueue([](APMETaskManager& self) {
    if (self.database_) self.database_->reset();
    self.forgetSchedule();
    self.scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  onWorkerQueue([](APMETaskManager& self) {
    self.alarm_->cancel();
    if (self.database_) self.database_->closeAndDelete();
    self.forgetSchedule();
  });
}
