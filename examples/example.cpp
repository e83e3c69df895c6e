// A short tour of the measurement layers, printing real output of each.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "examples/config_messages.h"
#include "examples/event_road.h"
#include "examples/loopback_collector.h"
#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/system/alarm.h"
#include "measurement/storage/system/scheduler.h"
#include "measurement/script/event_editing.h"
#include "measurement/script/runtime.h"
#include "measurement/script/script_text.h"
#include "measurement/storage/config/remote_config.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_manager.h"
#include "measurement/storage/experiments/flag_values.h"
#include "measurement/storage/settings/identity.h"
#include "measurement/storage/settings/persisted_config.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"
#include "sdk_core/logger.h"

namespace {

void heading(const char* title) { std::printf("\n== %s ==\n", title); }

// Blocks until `signal` is called once.
struct Latch {
  std::mutex mutex;
  std::condition_variable done;
  bool fired = false;
  void signal() {
    std::lock_guard<std::mutex> lock(mutex);
    fired = true;
    done.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return fired; });
  }
};

void showWorkerQueueAndAlarm() {
  heading("worker queue and alarm (monitor lines on standard error)");
  auto monitor = APMMeasurement::monitor();
  monitor->setVerboseLoggingEnabled(true);
  GULSetLoggerLevel(GULLoggerLevelDebug);

  APMScheduler scheduler("com.voraza.zuro.worker");
  scheduler.dispatchSyncOnWorkerQueueBlockID("Example:1", [] {
    bool background = APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    std::printf("job ran on the worker queue, off the main thread: %s\n", background ? "yes" : "no");
  });
  // The same check on the main thread logs 30001.
  std::printf("the same check on the main thread, on purpose: the next line on standard error is its complaint\n");
  platform::DispatchQueue::main()->sync(
      [] { APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"); });
  monitor->flush();
  std::printf("a job that throws, on purpose: the worker queue reports \"disk on fire\" and the failed task "
              "on standard error, and goes on\n");
  scheduler.dispatchSyncOnWorkerQueueBlockID("Example:2", [] {
    throw std::runtime_error("disk on fire");
  });
  monitor->flush();

  Latch latch;
  APMAlarm alarm(scheduler.workerQueue(), "Measurement timer");
  alarm.runAfterDelay(0.05, [&] {
    monitor->flush();
    std::printf("alarm block ran; still armed: %s\n", alarm.scheduledTimestamp() ? "yes" : "no");
    latch.signal();
  });
  latch.wait();
  monitor->flush();
  std::fflush(stderr);
}

void showGzip() {
  heading("gzip round trip");
  std::string text;
  for (int i = 0; i < 40; ++i) text += "event=session_start&";
  platform::Bytes input(text.begin(), text.end());
  auto packed = gul_dataByGzippingData(input);
  auto unpacked = packed ? gul_dataByInflatingGzippedData(*packed) : std::nullopt;
  std::printf("%zu bytes -> %zu gzip bytes -> %zu bytes, identical: %s\n", input.size(),
              packed ? packed->size() : 0, unpacked ? unpacked->size() : 0,
              unpacked == input ? "yes" : "no");
  platform::ErrorRef error;
  platform::Bytes corrupt{0x1f, 0x8b, 0x08, 0x00, 0xde, 0xad};
  gul_dataByInflatingGzippedData(corrupt, &error);
  std::printf("corrupt input: %s code %ld\n", error ? error->domain().c_str() : "(no error)",
              error ? error->code() : 0L);
}

void showMessages() {
  heading("a measurement batch on the wire");
  using namespace messages;
  auto event = APMPBEvent::initWithBuffer(nullptr);
  APMNanoSetString(event, EventField::name, "screen_view");
  APMNanoSetInt64(event, EventField::timestamp_millis, millisecondsFromSeconds(1.7e9));
  std::vector<APMNanoValue> params;
  for (const char* name : {"screen", "source"}) {
    auto param = APMPBEventParam::initWithBuffer(nullptr);
    APMNanoSetString(param, EventParamField::name, name);
    APMNanoSetString(param, EventParamField::string_value, "home");
    params.emplace_back(param);
  }
  APMNanoSetRepeated(event, EventField::params, &params);

  auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
  APMNanoSetInt32(bundle, MeasurementBundleField::protocol_version, 1);
  APMNanoSetString(bundle, MeasurementBundleField::app_id, "com.example.app");
  APMNanoSetString(bundle, MeasurementBundleField::vendor_id, "vendor-1");
  std::vector<APMNanoValue> events{event, event};
  APMNanoSetRepeated(bundle, MeasurementBundleField::events, &events);
  auto batch = APMPBMeasurementBatch::initWithBuffer(nullptr);
  std::vector<APMNanoValue> bundles{bundle};
  APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &bundles);

  platform::Bytes wire = batch->protoBuffer().value_or(platform::Bytes{});
  std::printf("batch: %zu bytes; first bytes:", wire.size());
  for (size_t i = 0; i < wire.size() && i < 12; ++i) std::printf(" %02x", wire[i]);
  std::printf("\n");

  auto decoded = APMPBMeasurementBatch::initWithBuffer(&wire);
  auto bundleClass = nanoMessageClass<APMPBMeasurementBundle>("APMPBMeasurementBundle");
  auto eventClass = nanoMessageClass<APMPBEvent>("APMPBEvent");
  auto decodedBundles = APMNanoGetRepeated(decoded, MeasurementBatchField::bundles, &bundleClass);
  for (const APMNanoValue& item : decodedBundles.value_or(std::vector<APMNanoValue>{})) {
    const auto& decodedBundle = std::get<std::shared_ptr<NANOMessageBase>>(item);
    auto decodedEvents = APMNanoGetRepeated(decodedBundle, MeasurementBundleField::events, &eventClass);
    const auto& first = std::get<std::shared_ptr<NANOMessageBase>>(decodedEvents->front());
    std::printf("bundle app_id=%s vendor_id=%s events=%zu first=%s at %lld ms\n",
                APMNanoGetString(decodedBundle, MeasurementBundleField::app_id).value_or("?").c_str(),
                APMNanoGetString(decodedBundle, MeasurementBundleField::vendor_id).value_or("?").c_str(),
                decodedEvents->size(), APMNanoGetString(first, EventField::name).value_or("?").c_str(),
                static_cast<long long>(APMNanoGetInt64(first, EventField::timestamp_millis)));
  }
}

void showScript() {
  heading("an event-editing program");
  APMPRuntime runtime;
  platform::ErrorRef error;
  auto run = [&](const char* title, std::vector<APMPProgramEntity> program) {
    error.reset();
    runtime.resetInstructionCount();
    APMPRuntimeValue result = runtime.executeStatements(program, &error);
    platform::ErrorRef textError;
    std::string text = script_text::toUtf8(result.stringValueOrError(textError));
    std::printf("%-34s -> %s (%d evaluations%s%s)\n", title, text.c_str(),
                runtime.getInstructionCount(),
                error ? ", error " : "", error ? std::to_string(error->code()).c_str() : "");
  };
  // "22" is if/else, "12" loose and "20" strict equality, "39" the conditional.
  run("if (\"1\" == 1) \"loose\" else \"no\"",
      {statement("22", {statement("12", {literal("1"), literal(1)}), literal("loose"), literal("no")})});
  run("\"1\" === 1 ? \"strict\" : \"differs\"",
      {statement("39", {statement("20", {literal("1"), literal(1)}), literal("strict"), literal("differs")})});
  run("1e21", {literal(1e21)});
  run("1e-7", {literal(1e-7)});
  std::vector<APMPProgramEntity> tooLong(1'000'001, literal(1.0));
  run("1,000,001 literals", std::move(tooLong));
  std::printf("  (the instruction limit reports error %ld in %s)\n", error ? error->code() : 0L,
              error ? error->domain().c_str() : "-");

  // Loops over a string's split, a map of counts, its keys and an index.
  //   words = "page_view,...".split(","); counts = {};
  //   for (w of words) counts[w] = (counts[w] || 0) + 1;
  //   names = []; for (k in counts) names.push(k.toUpperCase() + "=" + counts[k]);
  //   names.sort(); total = 0; i = 0;
  //   for (i = 0; i < words.length; i = i + 1) total = total + words[i].length;
  //   names.join("; ") + " | letters: " + total
  auto assign = [](const char* name, APMPProgramEntity value) { return statement("3", {literal(name), std::move(value)}); };
  auto call = [](APMPProgramEntity target, const char* method, std::vector<APMPProgramEntity> arguments) {
    return statement("2", {std::move(target), literal(method), statement("46", std::move(arguments))});
  };
  auto get = [](APMPProgramEntity target, APMPProgramEntity property) {
    return statement("16", {std::move(target), std::move(property)});
  };
  auto plus = [](APMPProgramEntity a, APMPProgramEntity b) { return statement("0", {std::move(a), std::move(b)}); };
  run("words, counts, names and a total",
      {statement("41", {literal("words"), literal("counts"), literal("names"), literal("total"), literal("i")}),
       assign("words", call(literal("page_view,screen_view,purchase,page_view,login"), "split", {literal(",")})),
       assign("counts", statement("8", {})),
       statement("66", {literal("w"), variable("words"),
                        statement("46", {statement(
                                            "43", {variable("counts"), variable("w"),
                                                   plus(statement("30", {get(variable("counts"), variable("w")),
                                                                         literal(0.0)}),
                                                        literal(1.0))})})}),
       assign("names", statement("7", {})),
       statement("54", {literal("k"), variable("counts"),
                        statement("46", {call(variable("names"), "push",
                                              {plus(plus(call(variable("k"), "toUpperCase", {}), literal("=")),
                                                    get(variable("counts"), variable("k")))})})}),
       call(variable("names"), "sort", {}), assign("total", literal(0.0)), assign("i", literal(0.0)),
       statement("63", {statement("46", {literal("i")}),
                        statement("23", {variable("i"), get(variable("words"), literal("length"))}),
                        assign("i", plus(variable("i"), literal(1.0))),
                        statement("46", {assign("total", plus(variable("total"),
                                                              get(get(variable("words"), variable("i")),
                                                                  literal("length"))))})}),
       plus(plus(call(variable("names"), "join", {literal("; ")}), literal(" | letters: ")), variable("total"))});
}

// "name @ timestamp {parameter: value, ...}", integers, floating numbers and
// texts told apart.
std::string describeEvent(const APMPEvent& event) {
  char timestamp[32];
  std::snprintf(timestamp, sizeof timestamp, "%.3f", event.timestamp());
  std::string text = event.name() + " @ " + timestamp + " {";
  const char* separator = "";
  for (const auto& [name, value] : event.parameters()) {
    const char* kind = value.isString() ? "text" : value.kind() == platform::Object::Kind::Double ? "float" : "int";
    text += separator + name + ": " + value.description() + " (" + kind + ")";
    separator = ", ";
  }
  return text + "}";
}

void showEventEditing() {
  heading("event editing");
  auto method = [](const char* name, std::vector<APMPProgramEntity> arguments) {
    return methodCall(variable("e"), name, std::move(arguments));
  };
  // const reg = require("internal.registerCallback"), logEvent = require("internal.eventLogger");
  // reg("double", function (e) {
  //   if (e.getEventName() === "purchase") {
  //     e.setParamValue("value", e.getParamValue("value") * 2);
  //     e.setParamValue("coupon", null);
  //     e.setParamValue("edited", "yes");
  //     return 0;
  //   }
  // }, {type: "edit"});
  // reg("bonus", function (e) {
  //   logEvent("bonus_earned", e.getTimestamp(), {points: e.getParamValue("value"), _o: "script"});
  // }, {type: "create"});
  APMPEditingProgram program;
  program.instructions = {
      statement("52", {literal("reg"), statement("require", {literal("internal.registerCallback")}),
                       literal("logEvent"), statement("require", {literal("internal.eventLogger")})}),
      registerCallback(
          "double", "edit",
          {statement("22", {statement("20", {method("getEventName", {}), literal("purchase")}),
                            statement("46", {method("setParamValue",
                                                    {literal("value"),
                                                     statement("26", {method("getParamValue", {literal("value")}),
                                                                      literal(2)})}),
                                             method("setParamValue", {literal("coupon"), statement("45", {})}),
                                             method("setParamValue", {literal("edited"), literal("yes")}),
                                             statement("36", {literal(0.0)})})})}),
      registerCallback("bonus", "create",
                       {statement("logEvent", {literal("bonus_earned"), method("getTimestamp", {}),
                                               statement("8", {literal("points"),
                                                               method("getParamValue", {literal("value")}),
                                                               literal("_o"), literal("script")})})})};
  APMPEventEditing editor;
  platform::ErrorRef error;
  editor.loadProgram(program, &error);
  if (error) {
    std::printf("the program did not load: %s\n", error->description().c_str());
    return;
  }
  APMPEvent event("purchase", 1700000000,
                  {{"value", platform::Object(int64_t{21})}, {"currency", platform::Object("EUR")},
                   {"coupon", platform::Object("SPRING")}});
  std::printf("before:  %s\n", describeEvent(event).c_str());
  const bool changed = editor.handleEvent(event, &error);
  std::printf("handled: %s, edited: %s, events created: %zu\n", changed ? "changed" : "unchanged",
              editor.hasEdits() ? "yes" : "no", editor.eventContext().eventsToLog().size());
  if (editor.hasEdits()) event = editor.eventContext().outputEvent();
  std::printf("after:   %s\n", describeEvent(event).c_str());
  for (const APMPEvent& created : editor.eventContext().eventsToLog()) {
    const platform::Object origin = created.parameterForName("_o");
    std::printf("created: %s, origin %s\n", describeEvent(created).c_str(),
                origin.isString() ? origin.string()->c_str() : "app");
  }
}

void showDatabase() {
  heading("the measurement database");
  platform::ErrorRef error;
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName,
                                                    APMPersistedConfig::sharedInstance(), &error);
  if (!database) {
    std::printf("measurement database: %s\n", error ? error->description().c_str() : "failed");
    return;
  }
  APMSqliteStore& store = *database->sqliteStore();
  std::printf("%s\n", store.databasePath().c_str());
  for (const APMTableSchema& table : APMDatabaseSchema()) {
    std::printf("  %-28s %2zu columns, %lld rows\n", table.name.c_str(),
                store.columnsForTableWithName(table.name).size(),
                static_cast<long long>(store.rowCountForTableWithName(table.name).value_or(-1)));
  }
  auto rows = store.recordsForQuery("SELECT rowid, * FROM app_metadata", {});
  if (rows && !rows->empty()) std::printf("app_metadata: %s\n", rows->front().description().c_str());
  std::printf("today is day %d\n", database->currentDayNumber());
}


// Hears of new snapshots for the SDK it observes.
class SnapshotObserver : public APMEExperimentObserverDelegate {
 public:
  bool respondsTo(Method method) const override { return method == Method::clientDidReceiveNewSnapshot; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override {
    std::printf("new snapshot for %s (notice on the main queue: %s)\n", client->SDKName().c_str(),
                platform::isMainThread() ? "yes" : "no");
    std::lock_guard<std::mutex> lock(mutex_);
    arrived_ = true;
    done_.notify_all();
  }
  // False when no notice came within ten seconds.
  bool waitForNotice() {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool arrived_ = false;
};

void showRemoteConfig() {
  heading("remote configuration");
  constexpr const char* kAppID = "1:1234567890:ios:example";
  platform::ErrorRef error;
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName,
                                                    APMPersistedConfig::sharedInstance(), &error);
  auto remote = database ? APMRemoteConfig::initWithAppID(kAppID, database, nullptr) : nullptr;
  if (!remote) {
    std::printf("remote configuration: %s\n", error ? error->description().c_str() : "failed");
    return;
  }
  auto config = newMeasurementConfig(42, kAppID,
                                     {{"measurement.upload.interval", "1800000"},
                                      {"measurement.upload.retry_count", "30"},
                                      {"measurement.upload.max_batch_size", "131072"},
                                      {"measurement.example.tier", "gold"}});
  auto event = APMPBEventConfig::initWithMessageInfo(nullptr);
  APMNanoSetString(event, EventConfigField::name, "first_open");
  APMNanoSetBool(event, EventConfigField::is_blocklisted, true);
  std::vector<APMNanoValue> events{event};
  APMNanoSetRepeated(config, MeasurementConfigField::event_config, &events);

  // const reg = require("internal.registerCallback"),
  //       settings = require("internal.remoteConfig"), app = require("internal.appMetadata");
  // reg("tier", function (e) {
  //   e.setParamValue("tier", settings.getValue("measurement.example.tier", "basic"));
  //   e.setParamValue("platform", app().platform);
  //   return 0;
  // }, {type: "edit"});
  setEditingProgram(*config, {
      statement("52", {literal("reg"), statement("require", {literal("internal.registerCallback")}),
                       literal("settings"), statement("require", {literal("internal.remoteConfig")}),
                       literal("app"), statement("require", {literal("internal.appMetadata")})}),
      registerCallback(
          "tier", "edit",
          {methodCall(variable("e"), "setParamValue",
                      {literal("tier"), methodCall(variable("settings"), "getValue",
                                                   {literal("measurement.example.tier"), literal("basic")})}),
           methodCall(variable("e"), "setParamValue",
                      {literal("platform"), statement("16", {statement("app", {}), literal("platform")})}),
           statement("36", {literal(0.0)})})});

  const bool stored = remote->updateMeasurementConfig(config);
  std::printf("stored: %s, version %lld, expired: %s\n", stored ? "yes" : "no",
              static_cast<long long>(remote->version()), remote->isExpired() ? "yes" : "no");
  // The first read of a setting past its bounds answers the default and logs 29028.
  std::printf("retry count 30 is out of bounds, on purpose: the next line on standard error names the "
              "setting, the value and its bounds\n");
  const int32_t retryCount = remote->uploadingRetryCount();
  APMMeasurement::monitor()->flush();
  std::printf("upload interval %.0f s, retry count %d (the default), batch size %lld bytes\n",
              remote->uploadingInterval(), retryCount, static_cast<long long>(remote->uploadMaxSizeLimitBytes()));
  std::printf("first_open (_f) blocklisted: %s, network timeout %.0f s (default)\n",
              remote->isEventBlocklisted("_f") ? "yes" : "no", remote->networkTimeout());
  std::printf("fetch:  %s\nupload: %s\n",
              remote->remoteConfigURLWithPlatform("ios", APMIdentity::vavIradadovozoLibraryVersion(),
                                                  APMPRuntime::runtimeVersion())
                  .value_or("?")
                  .c_str(),
              remote->uploadURL().c_str());
  auto editing = remote->eventEditing();
  if (!editing) return;
  APMPEvent purchase("purchase", 1700000000, {{"value", platform::Object(int64_t{21})}});
  std::printf("before:  %s\n", describeEvent(purchase).c_str());
  if (editing->handleEvent(purchase, &error) && editing->hasEdits()) purchase = editing->eventContext().outputEvent();
  std::printf("after:   %s\n", describeEvent(purchase).c_str());
}

void showExperiments() {
  heading("on-device experiments");
  // Flag lookups log every step at the verbose level; keep to the rest.
  APMMeasurement::monitor()->setVerboseLoggingEnabled(false);
  // What the experiment service answers: experiment 0 (launched) and 42.
  auto launched = APMEExperiment::initWithExperimentID(
      0, APMEFlags{APMPBFlagWithNameValue("regional_defaults_enabled", true)});
  auto running = APMEExperiment::initWithExperimentID(
      42, APMEFlags{APMPBFlagWithNameValue("session_stitching_token_feature_enabled", true),
                    APMPBFlagWithNameValue("upload_batch_size", 25)});
  auto answer = APMPBExperimentResponse::initWithBuffer(nullptr);
  std::vector<APMNanoValue> snapshots{
      APMESnapshot::initWithSDKName("vav_iradadovozo", APMEExperiments{launched, running})->proto()};
  APMNanoSetRepeated(answer, ExperimentResponseField::snapshots, &snapshots);
  platform::Bytes packed = gul_dataByGzippingData(*answer->protoBuffer()).value_or(platform::Bytes{});
  std::atomic<size_t> requestBodySize{0};
  LoopbackCollector server([&](const platform::Bytes& body) {
    requestBodySize = body.size();
    return LoopbackCollector::Answer{200, std::string(packed.begin(), packed.end())};
  });

  auto taskManager = std::make_shared<APMETaskManager>(
      nullptr, nullptr, nullptr, nullptr, std::string(), platform::Clock::current()->now(),
      server.url("/sdk-exp"));
  auto manager = APMEManager::initWithTaskManager(taskManager);
  taskManager->startTaskManager();

  auto property = std::make_shared<APMESDKProperty>("vav_iradadovozo");
  property->setVersion(APMIdentity::vavIradadovozoLibraryVersion());
  auto client = manager->registerSDKProperty(
      property, platform::Object::Dictionary{{"upload_batch_size", platform::Object(10)},
                                             {"example_default", platform::Object("kept")}});
  auto observer = std::make_shared<SnapshotObserver>();
  client->setDelegate(observer);

  auto print = [&](const char* when) {
    std::printf("%s:", when);
    for (const char* flag : {"regional_defaults_enabled", "session_stitching_token_feature_enabled",
                             "upload_batch_size", "example_default"}) {
      std::printf(" %s=%s", flag, client->valueForFlag(flag).description().c_str());
    }
    std::printf("\n");
  };
  // Snapshots stored by an earlier run are in force once the start is
  // through.
  taskManager->dispatchSyncOnWorkerQueue([] {});
  manager->dispatchSyncOnSerialQueue([] {});
  print("at start");
  // The alarm would fetch 10 s after start; fetch now instead.
  taskManager->dispatchAsyncOnWorkerQueue([taskManager] { taskManager->fetchExperiments(); });
  if (!observer->waitForNotice()) {
    std::printf("no answer from the local server\n");
    return;
  }
  std::printf("request of %zu gzip bytes sent to %s\n", requestBodySize.load(),
              server.url("/sdk-exp").c_str());
  print("fetched, not yet activated");
  platform::ErrorRef error;
  bool activated = client->activateLatestSnapshot(&error);
  print(activated ? "activated" : "activation failed");
  std::printf("experiment IDs for bundles:");
  for (int64_t id : manager->experimentIDs()) std::printf(" %lld", static_cast<long long>(id));
  std::printf("\nstale: %s\n", client->hasStaleSnapshot() ? "yes" : "no");
  taskManager->dispatchSyncOnWorkerQueue([] {});
  APMMeasurement::monitor()->flush();
}

void showEventRoad() {
  heading("the road of 2,000 events: edited, stored, bundled, uploaded");
  runEventRoad(EventRoadOptions{});
}

constexpr const char* kUsage =
    "usage: example [--events N] [--collector URL] [--help]\n"
    "  without options: a tour of every layer, ending with the road of 2,000 events\n"
    "  --events N       only the road, in load mode: N events in chunks, a progress line per 100,000\n"
    "  --collector URL  only the road, uploading to URL instead of a collector of its own\n";

}  // namespace

int main(int argc, char** argv) {
  // Line-buffered, so that this program's lines and the logger's lines on
  // standard error appear in the order they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 1) {
    EventRoadOptions options;
    for (int i = 1; i < argc; ++i) {
      const std::string flag = argv[i];
      if (flag == "--help" || flag == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      }
      if (i + 1 >= argc || (flag != "--events" && flag != "--collector")) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      const char* value = argv[++i];
      if (flag == "--collector") {
        options.collectorURL = value;
      } else {
        char* end = nullptr;
        options.eventCount = std::strtoll(value, &end, 10);
        options.loadTest = true;
        if (*end != '\0' || options.eventCount <= 0) {
          std::fputs(kUsage, stderr);
          return 2;
        }
      }
    }
    APMMeasurement::monitor()->setVerboseLoggingEnabled(false);
    return runEventRoad(options);
  }
  showWorkerQueueAndAlarm();
  showGzip();
  showMessages();
  showScript();
  showEventEditing();
  showDatabase();
  showRemoteConfig();
  showExperiments();
  showEventRoad();
  return 0;
}
