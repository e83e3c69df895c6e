#include "examples/event_road.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "examples/collector_ledger.h"
#include "examples/config_messages.h"
#include "examples/loopback_collector.h"
#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/event_editing.h"
#include "measurement/script/program_entity.h"
#include "measurement/storage/config/remote_config.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/models/raw_event_data.h"
#include "measurement/storage/system/scheduler.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sdk_core/http_client.h"

namespace {

using Entity = APMPProgramEntity;
using Clock = std::chrono::steady_clock;

constexpr const char* kAppID = "1:1024:example";
constexpr int64_t kProgressEvery = 100'000;
// Events stored, bundled and uploaded at a time in load mode.
constexpr int64_t kLoadChunk = 10'000;
// Events stored under one commit at most.
constexpr int64_t kEventsPerCommit = 500;

// ---- The measurement configuration ----------------------------------------

// const reg = require("internal.registerCallback"), logEvent = require("internal.eventLogger");
// reg("double", function (e) {
//   if (e.getEventName() === "purchase") { e.setParamValue("value", e.getParamValue("value") * 2); return 0; }
// }, {type: "edit"});
// reg("currency", function (e) {
//   if (e.getEventName() === "purchase") {
//     e.setParamValue("currency", e.getParamValue("currency").toUpperCase()); return 0;
//   }
// }, {type: "edit"});
// reg("big", function (e) {
//   if (e.getEventName() === "purchase")
//     if (90 < e.getParamValue("value"))
//       logEvent("big_purchase", e.getTimestamp(), {_o: "script", n: e.getParamValue("n")});
// }, {type: "create"});
//
// A purchase without a currency fails "currency" (a method of null): the
// engine then stores the event as it came, edits and creations dropped.
std::vector<Entity> editingProgram() {
  auto call = [](const char* method, std::vector<Entity> arguments) {
    return methodCall(variable("e"), method, std::move(arguments));
  };
  auto isPurchase = statement("20", {call("getEventName", {}), literal("purchase")});
  auto value = call("getParamValue", {literal("value")});
  return {
      statement("52", {literal("reg"), statement("require", {literal("internal.registerCallback")}),
                       literal("logEvent"), statement("require", {literal("internal.eventLogger")})}),
      registerCallback(
          "double", "edit",
          {statement("22", {isPurchase,
                            statement("46", {call("setParamValue",
                                                  {literal("value"), statement("26", {value, literal(2)})}),
                                             statement("36", {literal(0.0)})})})}),
      registerCallback(
          "currency", "edit",
          {statement("22", {isPurchase,
                            statement("46", {call("setParamValue",
                                                  {literal("currency"),
                                                   methodCall(call("getParamValue", {literal("currency")}),
                                                              "toUpperCase", {})}),
                                             statement("36", {literal(0.0)})})})}),
      registerCallback(
          "big", "create",
          {statement("22", {isPurchase,
                            statement("22", {statement("23", {literal(90), value}),
                                             statement("logEvent",
                                                       {literal("big_purchase"), call("getTimestamp", {}),
                                                        statement("8", {literal("_o"), literal("script"),
                                                                        literal("n"), call("getParamValue", {literal("n")})})})})})})};
}

// The configuration: the program, and the settings that bound the road.
std::shared_ptr<APMPBMeasurementConfig> measurementConfig() {
  auto config = newMeasurementConfig(7, kAppID,
                                     {{"measurement.store.max_stored_events_per_app", "20000"},
                                      {"measurement.upload.max_events_per_bundle", "250"},
                                      {"measurement.upload.max_bundles", "4"},
                                      {"measurement.upload.max_batch_size", "40000"}});
  setEditingProgram(*config, editingProgram());
  return config;
}

// ---- The event stream --------------------------------------------------------

// Event `index` of the stream: screen views, purchases and level-ups in
// turn, each numbered by the parameter "n", its identity. One purchase in
// 25 comes without a currency, which the program refuses.
APMPEvent streamEvent(int64_t index, double start) {
  const double timestamp = start + static_cast<double>(index) * 1e-4;
  APMPEvent::Parameters parameters{{"n", platform::Object(index)}};
  const char* name = "screen_view";
  switch (index % 4) {
    case 1:
      name = "purchase";
      parameters.emplace("value", platform::Object(int64_t{index % 50 + 1}));
      if (index % 100 != 1) parameters.emplace("currency", platform::Object("eur"));
      break;
    case 2:
      name = "level_up";
      parameters.emplace("level", platform::Object(int64_t{index % 10}));
      break;
    default:
      parameters.emplace("screen", platform::Object(index % 3 ? "home" : "cart"));
  }
  return APMPEvent(name, timestamp, std::move(parameters));
}

// The metadata the events of one app version share (one fingerprint).
std::shared_ptr<APMPBMeasurementBundle> metadata(const char* appVersion) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMNanoSetInt32(bundle, MeasurementBundleField::protocol_version, 1);
  APMNanoSetString(bundle, MeasurementBundleField::platform, "linux");
  APMNanoSetString(bundle, MeasurementBundleField::app_id, "com.example.road");
  APMNanoSetString(bundle, MeasurementBundleField::vuv_app_id, kAppID);
  APMNanoSetString(bundle, MeasurementBundleField::app_version, appVersion);
  return bundle;
}

// The engine's form of an edited or created event; null when it refuses
// one (a parameter value it has no kind for, an invalid name).
std::shared_ptr<APMEvent> engineEvent(const APMPEvent& event) {
  std::string origin = "app";
  APMEvent::Parameters parameters;
  for (const auto& [name, value] : event.parameters()) {
    if (name == APMEvent::kOriginParameter) {
      if (value.isString()) origin = *value.string();
    } else if (auto converted = APMValue::valueFromObject(value)) {
      parameters.emplace(name, *converted);
    }
  }
  return APMEvent::initWithOrigin(origin, true, event.name(), event.timestamp(), 0, std::move(parameters));
}

// ---- Measuring -------------------------------------------------------------------

// A "Vm..." line of the process's status, in KiB: "VmRSS:" resident now,
// "VmHWM:" the peak since start or since the last reset.
int64_t statusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, length, key) == 0) return std::strtoll(line.c_str() + length, nullptr, 10);
  }
  return 0;
}
int64_t residentKiB() { return statusKiB("VmRSS:"); }

// Brings the peak down to what is resident now, so that the road reports
// its own peak and not that of what the program did before it; false when
// the system does not let it.
bool resetPeakResident() {
  std::ofstream clearRefs("/proc/self/clear_refs");
  clearRefs << "5";
  clearRefs.flush();
  return static_cast<bool>(clearRefs);
}

// The database file with its write-ahead log.
int64_t databaseBytes(const std::string& path) {
  int64_t total = 0;
  for (const std::string& file : {path, path + "-wal"}) {
    std::error_code ignored;
    auto size = std::filesystem::file_size(file, ignored);
    if (!ignored) total += static_cast<int64_t>(size);
  }
  return total;
}

// The container folder of the road's files while it runs: `given`, or a
// fresh one, removed at the end.
class RoadContainer {
 public:
  explicit RoadContainer(const std::string& given) : path_(given), scratch_(given.empty()) {
    if (scratch_) {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/apm-road-XXXXXX";
      if (mkdtemp(pattern.data())) path_ = pattern;
    }
    previous_ = platform::containerDirectory();
    if (!path_.empty()) platform::setContainerDirectory(path_);
  }
  ~RoadContainer() {
    if (path_.empty()) return;
    platform::setContainerDirectory(previous_);
    std::error_code ignored;
    if (scratch_) std::filesystem::remove_all(path_, ignored);
  }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
  const bool scratch_;
  std::string previous_;
};

// ---- The road ----------------------------------------------------------------------

class Road {
 public:
  // `ledger`, when given, hears of every event stored.
  Road(const EventRoadOptions& options, std::string url, CollectorLedger* ledger)
      : options_(options), url_(std::move(url)), ledger_(ledger) {}

  // This process's part of a shared road (see `EventRoadShare`).
  bool runShare(const EventRoadShare& share) {
    // Another process may be creating or checking the file: the engine
    // tries again, and so does each process here, a while.
    if (!patiently([this] { return configure(); })) return false;
    const double start = platform::Clock::current()->now();
    // Small commits with a pause between them, as events come in: SQLite's
    // locks are not fair, and a writer committing back to back would keep
    // the other processes waiting past their busy timeout.
    constexpr int64_t kStoredPerCommit = 25;
    const int64_t end = share.firstStored + share.storedCount;
    for (int64_t from = share.firstStored; from < end; from += kStoredPerCommit) {
      if (from > share.firstStored) usleep(2'000);
      const int64_t to = std::min(end, from + kStoredPerCommit);
      if (!patiently([&] { return storeEvents(from, to, start); })) return false;
    }
    if (!share.bundleAndUpload) return true;
    for (;;) {
      const bool finished = !share.finished || share.finished();
      const int64_t before = bundlesMade_ + batches_;
      if (!patiently([this] { return makeBundles() && upload(); })) return false;
      if (bundlesMade_ + batches_ != before) continue;
      if (finished) return true;
      // Nothing to do yet: a pass at once would only take the lock from
      // the process storing.
      usleep(2'000);
    }
  }

  // The steps, in order; false with a line on standard error when one fails.
  bool run() {
    peakReset_ = resetPeakResident();
    startResident_ = residentKiB();
    if (!configure()) return false;
    const double start = platform::Clock::current()->now();
    started_ = Clock::now();
    const int64_t chunk = options_.loadTest ? kLoadChunk : options_.eventCount;
    for (int64_t from = 0; from < options_.eventCount; from += chunk) {
      const int64_t to = std::min(options_.eventCount, from + chunk);
      if (!storeEvents(from, to, start) || !makeBundles() || !upload()) return false;
      if (options_.loadTest && to / kProgressEvery != from / kProgressEvery) progress(to);
    }
    // Bundles refused on the way get their next attempt here.
    for (int attempt = 0; attempt < 3 && queuedBundles() > 0; ++attempt) {
      if (!upload()) return false;
    }
    return finish();
  }

 private:
  bool fail(const char* step, const platform::ErrorRef& error) {
    return fail(std::string(step) + ": " + (error ? error->localizedDescription() : "failed"));
  }
  bool fail(const std::string& line) {
    if (holdFailures_) {
      heldFailure_ = line;
    } else {
      std::fprintf(stderr, "error: %s\n", line.c_str());
    }
    return false;
  }

  // Runs `step` until it succeeds, up to 50 times with a pause between
  // attempts: in a shared road another process may hold the file past the
  // busy timeout, and the engine would try again later. Only the last
  // failure is printed, when all attempts fail. A failed step changed
  // nothing it did not commit, so running it again repeats nothing, except
  // a batch posted before its bundles could be deleted, which goes again.
  bool patiently(const std::function<bool()>& step) {
    holdFailures_ = true;
    bool succeeded = false;
    for (int attempt = 0; !succeeded && attempt < 50; ++attempt) {
      if (attempt > 0) usleep(10'000);
      succeeded = step();
    }
    holdFailures_ = false;
    return succeeded || fail(heldFailure_);
  }

  bool configure() {
    platform::ErrorRef error;
    if (!database_) database_ = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr, &error);
    if (!database_) return fail("cannot open the measurement database", error);
    remoteConfig_ = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
    if (!remoteConfig_ || !remoteConfig_->updateMeasurementConfig(measurementConfig())) {
      return fail("the measurement configuration was not stored", nullptr);
    }
    editor_ = remoteConfig_->eventEditing();
    if (!editor_) return fail("the configuration's editing program did not load", nullptr);
    auto config = remoteConfig_;
    database_->setStorageLimitsSource([config] {
      return APMStorageLimits{config->maxEventsStored(), config->maxQueueTime(),
                              config->databaseDeleteStaleBundlesInterval()};
    });
    std::printf("configuration version %lld stored for %s; editing program loaded\n",
                static_cast<long long>(remoteConfig_->version()), kAppID);
    std::printf("limits: %d raw events stored, %lld events a bundle, %lld bundles and %lld bytes a batch\n",
                remoteConfig_->maxEventsStored(), static_cast<long long>(remoteConfig_->uploadMaxEventsPerBundle()),
                static_cast<long long>(remoteConfig_->uploadMaxBundlesLimit()),
                static_cast<long long>(remoteConfig_->uploadMaxSizeLimitBytes()));
    std::printf("database %s\n", database_->sqliteStore()->databasePath().c_str());
    return true;
  }

  // Edits events [from, to) and stores the results as raw events.
  bool storeEvents(int64_t from, int64_t to, double start) {
    int64_t edited = 0, created = 0, stored = 0, failed = 0;
    platform::ErrorRef error;
    // The events of the current commit, as (n, created by the program).
    std::vector<std::pair<int64_t, bool>> pending;
    auto store = [&](const APMPEvent& event, int64_t index, bool byProgram) {
      auto engine = engineEvent(event);
      if (engine && database_->storeRawEvent(engine, sharedMetadata(index), false, &error)) {
        ++stored;
        pending.emplace_back(index, byProgram);
      }
    };
    auto handle = [&](int64_t index) {
      APMPEvent event = streamEvent(index, start);
      platform::ErrorRef editError;
      // After an error the context holds a half-run program's work: the
      // event goes as it came, and nothing it created.
      if (!editor_->handleEvent(event, &editError) && editError) {
        ++failed;
        store(event, index, false);
        return;
      }
      if (editor_->hasEdits()) {
        ++edited;
        store(editor_->eventContext().outputEvent(), index, false);
      } else {
        store(event, index, false);
      }
      for (const APMPEvent& extra : editor_->eventContext().eventsToLog()) {
        ++created;
        store(extra, index, true);
      }
    };
    // Each store is a change of its own; a run of them shares one commit
    // (one sync of the file) instead of paying one each. An event counts as
    // stored once its commit is through.
    for (int64_t first = from; first < to; first += kEventsPerCommit) {
      pending.clear();
      const int64_t storedBefore = stored;
      const bool committed = database_->performTransaction([&] {
        for (int64_t index = first; index < std::min(to, first + kEventsPerCommit); ++index) handle(index);
        return true;
      });
      if (!committed) {
        stored = storedBefore;
        break;
      }
      if (ledger_) {
        for (const auto& [n, byProgram] : pending) ledger_->acknowledge(n, byProgram);
      }
    }
    totalStored_ += stored;
    if (stored != to - from + created) return fail("raw events were not stored", error);
    if (!options_.loadTest) {
      std::printf("editor: %lld events in, %lld edited, %lld created, %lld failed (stored as they came)\n",
                  static_cast<long long>(to - from), static_cast<long long>(edited),
                  static_cast<long long>(created), static_cast<long long>(failed));
      std::printf("raw events: %lld stored under %lld fingerprints; database %lld bytes\n",
                  static_cast<long long>(stored), static_cast<long long>(count("raw_events_metadata")),
                  static_cast<long long>(databaseSize()));
    }
    return true;
  }

  // The app is updated after a third of the stream and rolled back after
  // two thirds, so the first metadata comes back after the second.
  const std::shared_ptr<APMPBMeasurementBundle>& sharedMetadata(int64_t index) const {
    const int64_t third = 3 * index / options_.eventCount;
    return third == 1 ? after_ : before_;
  }

  // Bundles the raw events, oldest fingerprint first, until none is left.
  bool makeBundles() {
    int64_t bundles = 0, events = 0;
    for (;;) {
      platform::ErrorRef error;
      const char* failure = nullptr;
      size_t bundled = 0;
      bool setAside = false;
      // Another process (an extension of the app) may bundle the same file:
      // the events are read, queued and deleted under one write lock, so
      // that no two bundles take the same event. A failed read commits what
      // it cleaned up (unreadable rows it deleted) and ends the step.
      const bool committed = database_->performTransaction([&] {
        failure = bundleOldest(&bundled, &setAside, &error);
        return failure == nullptr || std::strcmp(failure, kQueueFailure) != 0;
      });
      if (!committed) return fail(kQueueFailure, error);
      if (failure) return fail(failure, error);
      if (setAside) {
        if (!options_.loadTest) {
          std::printf("raw events set aside with their metadata: %s\n",
                      error ? error->localizedDescription().c_str() : "unreadable");
        }
        continue;
      }
      if (bundled == 0) break;
      ++bundles;
      ++bundlesMade_;
      events += static_cast<int64_t>(bundled);
    }
    if (!options_.loadTest) {
      std::printf("bundles: %lld queued with %lld events; %lld gzip bytes in the queue\n",
                  static_cast<long long>(bundles), static_cast<long long>(events),
                  static_cast<long long>(database_->sqliteStore()
                                             ->numberForQuery("SELECT TOTAL(LENGTH(data)) FROM queue", {})
                                             .int64Value()));
    }
    return true;
  }

  static constexpr const char* kQueueFailure = "cannot queue a bundle";

  // Inside the bundling transaction: one bundle of the oldest fingerprint's
  // events, queued, and exactly the rows it holds deleted. `bundled` stays
  // 0 when no event is left; `setAside` becomes true when the read of the
  // metadata deleted it with its events instead (`error` says why). The
  // failed step's text, or null.
  const char* bundleOldest(size_t* bundled, bool* setAside, platform::ErrorRef* error) {
    const auto perBundle = static_cast<size_t>(remoteConfig_->uploadMaxEventsPerBundle());
    auto fingerprint = database_->nextMetadataFingerprintToProcess(error);
    if (!fingerprint) return *error ? "cannot find the next raw events" : nullptr;
    auto shared = database_->queryRawEventsMetadataWithFingerprint(*fingerprint, error);
    if (!shared) {
      // Metadata no bundle can be made of, or that cannot be read, goes
      // with its events (logged), and the next fingerprint is the oldest.
      // Any other failure (a busy file, memory) leaves the events, which
      // would come first again: the step ends instead of going round.
      platform::ErrorRef ignored;
      auto left = database_->containsRawEventWithMetadataFingerprint(*fingerprint, &ignored);
      *setAside = left && !*left;
      return *setAside ? nullptr : "cannot read the metadata of the oldest raw event";
    }
    auto rawEvents = database_->rawEventsWithMetadataFingerprint(
        *fingerprint, error, [perBundle](size_t taken, const APMRecord&) { return taken < perBundle; });
    if (!rawEvents || rawEvents->empty()) return "cannot read raw events";
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(shared->messageInfo());
    std::vector<APMNanoValue> messages;
    for (const auto& raw : *rawEvents) messages.emplace_back(raw->rawEvent()->protoEvent());
    APMNanoSetRepeated(bundle, MeasurementBundleField::events, &messages);
    APMNanoSetInt64(bundle, MeasurementBundleField::start_timestamp_millis,
                    static_cast<int64_t>(rawEvents->front()->rawEvent()->timestamp() * 1000));
    APMNanoSetInt64(bundle, MeasurementBundleField::end_timestamp_millis,
                    static_cast<int64_t>(rawEvents->back()->rawEvent()->timestamp() * 1000));
    // The bundle enters the queue and its events leave the raw tables as
    // one change, so no event is ever in both or in neither. The read took
    // the fingerprint's oldest events in rowid order, and rowids are never
    // given twice: up to the last one read is exactly what was read.
    if (!database_->insertBundle(bundle, false, error) ||
        !database_->deleteRawEventsWithMetadataFingerprint(*fingerprint, rawEvents->back()->rowID(),
                                                           error)) {
      return kQueueFailure;
    }
    auto left = database_->containsRawEventWithMetadataFingerprint(*fingerprint, error);
    if (!left || (!*left && !database_->deleteRawEventMetadataWithMetadataFingerprint(*fingerprint, error))) {
      return kQueueFailure;
    }
    *bundled = rawEvents->size();
    return nullptr;
  }

  // After the collector answered: deletes the sent bundles (`accepted`) or
  // counts a failed attempt for them. Another process may have sent and
  // deleted them meanwhile; their rowids then name no bundle, since rowids
  // are never given twice.
  bool settleBatch(const std::vector<int64_t>& sent, bool accepted, platform::ErrorRef* error) {
    return accepted ? database_->deleteBundlesWithRowIDs(sent, error)
                    : database_->incrementRetryCounterForBundlesWithIDs(sent, error);
  }

  // Uploads queued bundles batch by batch until the queue is empty or the
  // collector refuses a batch (the engine would try again later).
  bool upload() {
    platform::ErrorRef error;
    for (;;) {
      auto queued = database_->queryBundlesWithCountLimit(
          remoteConfig_->uploadMaxBundlesLimit(), remoteConfig_->uploadMaxSizeLimitBytes(), &error);
      if (!queued) return fail("cannot read the upload queue", error);
      if (queued->empty()) return true;
      auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
      std::vector<APMNanoValue> bundles;
      std::vector<int64_t> sent;
      for (const APMQueuedBundle& item : *queued) {
        bundles.emplace_back(item.bundle);
        sent.push_back(item.rowID);
      }
      APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &bundles);
      std::optional<platform::Bytes> bytes = batch->protoBuffer();
      if (!bytes) return fail("cannot encode a measurement batch", nullptr);

      std::promise<std::pair<long, std::string>> answered;
      client_.postURL(url_, *bytes, uploadQueue_, false,
                      [&](std::optional<VADErivoro::Response> response, std::optional<platform::Bytes> body,
                          platform::ErrorRef failure) {
                        if (!response) {
                          answered.set_value({0, failure ? failure->localizedDescription() : "no answer"});
                          return;
                        }
                        answered.set_value({response->statusCode, body ? std::string(body->begin(), body->end()) : ""});
                      });
      auto [status, answer] = answered.get_future().get();
      ++batches_;
      if (status == 0) {
        return fail("the collector at " + url_ + " cannot be reached: " + answer);
      }
      const bool accepted = status == 200 || status == 204;
      if (!settleBatch(sent, accepted, &error)) {
        return fail(accepted ? "cannot delete sent bundles" : "cannot count a retry", error);
      }
      if (!options_.loadTest || !accepted) {
        std::printf("batch %lld: %zu bundles, %zu bytes -> collector %ld%s%s; %s %zu bundles\n",
                    static_cast<long long>(batches_), queued->size(), bytes->size(), status,
                    answer.empty() ? "" : " ", answer.c_str(),
                    accepted ? "deleted" : "retry counted for", sent.size());
      }
      if (!accepted) return true;
    }
  }

  int64_t queuedBundles() { return count("queue"); }
  int64_t count(const char* table) {
    return database_->sqliteStore()->rowCountForTableWithName(table).value_or(-1);
  }
  int64_t databaseSize() const { return databaseBytes(database_->sqliteStore()->databasePath()); }

  void progress(int64_t events) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::printf("progress: %lld events, %.0f events/s, resident %lld KiB, database %lld bytes\n",
                static_cast<long long>(events), static_cast<double>(events) / seconds,
                static_cast<long long>(residentKiB()), static_cast<long long>(databaseSize()));
  }

  bool finish() {
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    const int64_t rawLeft = count("raw_events"), queueLeft = queuedBundles();
    std::printf("done: %lld events handed in, %lld stored, %lld batches in %.2f s (%.0f events/s)\n",
                static_cast<long long>(options_.eventCount), static_cast<long long>(totalStored_),
                static_cast<long long>(batches_), seconds, static_cast<double>(options_.eventCount) / seconds);
    std::printf("left behind: %lld raw events, %lld queued bundles; database %lld bytes\n",
                static_cast<long long>(rawLeft), static_cast<long long>(queueLeft),
                static_cast<long long>(databaseSize()));
    const long long peak = statusKiB("VmHWM:");
    if (peakReset_) {
      std::printf("memory: resident %lld KiB when the road began, %lld KiB at most during it "
                  "(the process's peak, reset at the start of the road)\n",
                  static_cast<long long>(startResident_), peak);
    } else {
      std::printf("memory: resident %lld KiB when the road began; the process's peak, which could not be "
                  "reset for the road, is %lld KiB\n",
                  static_cast<long long>(startResident_), peak);
    }
    return rawLeft == 0 && queueLeft == 0;
  }

  const EventRoadOptions options_;
  const std::string url_;
  CollectorLedger* const ledger_;
  const std::shared_ptr<APMPBMeasurementBundle> before_ = metadata("1.0");
  const std::shared_ptr<APMPBMeasurementBundle> after_ = metadata("1.1");
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMPEventEditing> editor_;
  VADErivoro client_{"127.0.0.1"};
  std::shared_ptr<platform::DispatchQueue> uploadQueue_ = platform::DispatchQueue::create("road.upload");
  Clock::time_point started_;
  int64_t totalStored_ = 0;
  int64_t bundlesMade_ = 0;
  bool holdFailures_ = false;
  std::string heldFailure_;
  int64_t batches_ = 0;
  bool peakReset_ = false;
  int64_t startResident_ = 0;
};

}  // namespace

int runEventRoad(const EventRoadOptions& options) {
  RoadContainer container(options.container);
  if (!container.ok()) {
    std::fprintf(stderr, "error: cannot create a temporary container\n");
    return 1;
  }
  std::optional<CollectorLedger> ledger;
  std::optional<LoopbackCollector> collector;
  std::string url = options.collectorURL;
  if (url.empty()) {
    ledger.emplace(options.eventCount);
    collector.emplace([&ledger](const platform::Bytes& body) { return ledger->receive(body); });
    url = collector->url("/a");
    std::printf("collector: %s (it refuses the second batch on purpose, to show a retry)\n", url.c_str());
  } else {
    std::printf("collector: %s\n", url.c_str());
  }
  // The engine drives all of this on its worker queue.
  APMScheduler scheduler("com.voraza.zuro.road");
  bool succeeded = false;
  scheduler.dispatchSyncOnWorkerQueueBlockID(
      "Road", [&] { succeeded = Road(options, url, ledger ? &*ledger : nullptr).run(); });
  if (ledger) {
    std::printf("%s\n", ledger->summary().c_str());
    if (!ledger->complete()) {
      std::fprintf(stderr, "error: the collector did not receive each stored event exactly once\n");
      succeeded = false;
    }
  }
  return succeeded ? 0 : 1;
}

int runEventRoadShare(const EventRoadShare& share) {
  EventRoadOptions options;
  options.eventCount = share.streamLength;
  options.collectorURL = share.collectorURL;
  // Quiet: a line per step from each process would only interleave.
  options.loadTest = true;
  APMScheduler scheduler("com.voraza.zuro.road");
  bool succeeded = false;
  scheduler.dispatchSyncOnWorkerQueueBlockID(
      "Road", [&] { succeeded = Road(options, share.collectorURL, nullptr).runShare(share); });
  return succeeded ? 0 : 1;
}
