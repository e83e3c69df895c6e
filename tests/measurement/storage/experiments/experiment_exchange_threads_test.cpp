// The experiment exchange against a server on 127.0.0.1: what is sent, and
// how each kind of answer moves the schedule and reaches the delegate.
#include "measurement/storage/experiments/task_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/system/alarm.h"
#include "platform/log.h"
#include "sdk_core/gzip.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/files.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/text_concat.h"

namespace {

using namespace experiments_testing;
using testing_support::LoopbackHttpServer;

class ExperimentExchange : public ::testing::Test, public TaskManagerFixture {
 protected:
  void SetUp() override {
    taskManager_ = startedTaskManager(server_.url("/sdk-exp"));
    taskManager_->alarm()->cancel();
    network->setTimeoutInterval(5);
  }
  // Fetches once and waits until the answer was handled: the delegate
  // heard of it or the failure was logged.
  void fetch(RecordingMonitor& monitor) {
    const size_t before = delegate->fetched().size();
    taskManager_->dispatchAsyncOnWorkerQueue([this] { taskManager_->fetchExperiments(); });
    ASSERT_TRUE(waitUntil(
        [&] { return delegate->fetched().size() > before || monitor.contains(820002); }));
    drain(taskManager_);
  }
  // Serves `body` and fetches it: what the delegate heard last, the pending
  // rows, and whether standard output names the decoder's `refusal`.
  auto fetchAnswer(const platform::Bytes& body, RecordingMonitor& monitor, const char* refusal) {
    server_.setReply({200, {}, gzipped(body)});
    platform::LogCapture capture;
    fetch(monitor);
    size_t pending = 0;
    taskManager_->dispatchSyncOnWorkerQueue(
        [&] { pending = taskManager_->database()->fetchAllPendingSnapshots()->size(); });
    const std::string out = capture.stdoutText();
    const bool named = refusal ? out.find(std::string("<ERROR> ExperimentResponse decoder failed: ") + refusal +
                                          "\n") != std::string::npos
                               : out.empty();
    return std::make_tuple(delegate->fetched().back(), pending, named);
  }

  LoopbackHttpServer server_;
  std::shared_ptr<APMETaskManager> taskManager_;
};

TEST_F(ExperimentExchange, RequestIsAGzippedExperimentRequestPostedToSdkExp) {
  auto own = std::make_shared<APMESDKProperty>("own");
  own->setDiversionKey("abcde");
  own->setVersion(7);
  own->setCustomProperties({{"k", "v"}});
  builder->addSDKProperty(own);
  builder->addSDKProperty(std::make_shared<APMESDKProperty>("vav_iradadovozo"));
  server_.setReply({204, {}, ""});
  RecordingMonitor monitor;
  fetch(monitor);

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/sdk-exp");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(requests[0].body.size()));
  auto body = gul_dataByInflatingGzippedData(requests[0].body);
  ASSERT_TRUE(body);
  auto request = APMPBExperimentRequest::initWithBuffer(*body);
  ASSERT_NE(request, nullptr);
  auto app = APMNanoGetMessage<APMPBAppProperty>(request, ExperimentRequestField::app_property);
  EXPECT_EQ(APMNanoGetString(app, AppPropertyField::platform), "ios");
  EXPECT_EQ(APMNanoGetInt64(app, AppPropertyField::sdk_version), 10000);
  EXPECT_FALSE(APMNanoHasField(app, AppPropertyField::unused_tag2));
  auto clients =
      APMERepeatedMessages<APMPBClientProperty>(request, ExperimentRequestField::client_properties);
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(APMNanoGetString(clients[0], ClientPropertyField::diversion_key), "abcde-own");
  EXPECT_EQ(APMNanoGetInt64(clients[0], ClientPropertyField::version), 7);
  auto custom = APMERepeatedMessages<APMPBCustomProperty>(clients[0], ClientPropertyField::custom_properties);
  EXPECT_EQ(custom.size(), 1u);
  // Without a key of its own: the identity store's five characters.
  std::string key = *APMNanoGetString(clients[1], ClientPropertyField::diversion_key);
  EXPECT_EQ(key.size(), 5 + std::string("-vav_iradadovozo").size());
  EXPECT_EQ(key.substr(5), "-vav_iradadovozo");
}

TEST_F(ExperimentExchange, AnswersMoveTheScheduleAndReachTheDelegate) {
  const double now = clock->now();
  const platform::Bytes snapshotAnswer =
      answer({snapshot("sdk", {experiment(4, {{"f", 1}})})}, {{"vav_iradadovozo", 2}, {"x", 4}});
  struct Case {
    const char* name;
    LoopbackHttpServer::Reply reply;
    bool success;
    bool backoff;
    size_t snapshots;
    size_t errors;
    bool inflateLogged;
  };
  const Case cases[] = {
      {"200 gzip", {200, {}, gzipped(snapshotAnswer)}, true, false, 1, 2, false},
      {"204", {204, {}, ""}, true, false, 0, 0, false},
      {"503", {503, {}, ""}, false, true, 0, 0, false},
      {"429", {429, {}, ""}, false, true, 0, 0, false},
      {"500", {500, {}, ""}, false, false, 0, 0, false},
      {"200 not gzip", {200, {}, "plain words"}, true, false, 0, 0, true},
      // The compression was announced but the body is plain: an HTTP layer
      // already undid it, and it is not inflated a second time.
      {"200 already inflated", {200, {{"Content-Encoding", "gzip"}}, asText(snapshotAnswer)}, true,
       false, 1, 2, false},
      {"dropped", {200, {}, "", true}, false, false, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store->clearAllData();
    server_.setReply(c.reply);
    RecordingMonitor monitor;
    const size_t before = delegate->fetched().size();
    fetch(monitor);
    EXPECT_EQ(hasStored(kAPMExperimentFetchSuccessTimestampKey), c.success);
    EXPECT_EQ(hasStored(kAPMExperimentFetchFailureTimestampKey), !c.success);
    EXPECT_EQ(hasStored(kAPMExperimentFetchBackoffTimestampKey), c.backoff);
    EXPECT_EQ(monitor.contains(820023), c.inflateLogged);
    ASSERT_EQ(delegate->fetched().size(), before + (c.success ? 1 : 0));
    if (c.success) {
      const auto fetched = delegate->fetched();
      const auto& [snapshots, errors] = fetched.back();
      EXPECT_EQ(snapshots.size(), c.snapshots);
      EXPECT_EQ(errors.size(), c.errors);
      if (c.errors) {
        EXPECT_EQ(errors.at("vav_iradadovozo")->domain(),
                  "com.voraza.vuv.measurement.experiment.ErrorDomain");
        EXPECT_EQ(errors.at("vav_iradadovozo")->code(), -3);
        EXPECT_EQ(errors.at("x")->code(), -1);
      }
      EXPECT_NEAR(*taskManager_->alarm()->scheduledTimestamp(), now + 14'400, 1e-3);
    } else {
      EXPECT_EQ(monitor.first(820002).level, 1);
      if (c.backoff) {
        EXPECT_NEAR(*taskManager_->alarm()->scheduledTimestamp(), now + 43'200, 1e-3);
      }
    }
    taskManager_->alarm()->cancel();
  }
  // The snapshots of the successful answers wait in the pending table.
  taskManager_->dispatchSyncOnWorkerQueue([&] {
    auto pending = taskManager_->database()->fetchAllPendingSnapshots();
    ASSERT_EQ(pending->size(), 1u);
    EXPECT_EQ(pending->front()->SDKName(), "sdk");
  });
}

TEST_F(ExperimentExchange, AnswersPastACapAreRefusedAndAnAnswerIsWrittenInOneTransaction) {
  const size_t maxSnapshots = APMETaskManager::kMaxAnswerSnapshots;
  auto snapshots = [](size_t count) {
    std::vector<APMESnapshotRef> list;
    for (size_t i = 0; i < count; ++i) list.push_back(snapshot("sdk" + std::to_string(i), {experiment(1)}));
    return list;
  };
  auto experiments = [](size_t count, size_t flagsEach) {
    APMEExperiments list;
    for (size_t i = 0; i < count; ++i) {
      APMEFlags flagList;
      for (size_t f = 0; f < flagsEach; ++f) {
        flagList.push_back(APMPBFlagWithNameValue(concat({"f", std::to_string(f)}), platform::Object(1)));
      }
      list.push_back(APMEExperiment::initWithExperimentID(static_cast<int64_t>(i + 1), flagList));
    }
    return list;
  };
  std::vector<std::pair<std::string, int32_t>> results;
  for (size_t i = 0; i <= maxSnapshots; ++i) results.emplace_back("sdk" + std::to_string(i), 1);
  struct Case {
    const char* name;
    platform::Bytes body;
    const char* refusal;
  };
  const Case cases[] = {
      {"snapshots", answer(snapshots(maxSnapshots + 1)), "too many snapshots"},
      {"results", answer({}, results), "too many snapshots"},
      {"experiments",
       answer({snapshot("sdk", experiments(APMETaskManager::kMaxSnapshotExperiments + 1, 0))}),
       "too many experiments in a snapshot"},
      {"flags", answer({snapshot("sdk", experiments(2, APMETaskManager::kMaxAnswerFlags / 2 + 1))}),
       "too many flags"},
      {"at the caps", answer(snapshots(maxSnapshots)), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    taskManager_->dispatchSyncOnWorkerQueue(
        [&] { ASSERT_TRUE(taskManager_->database()->reset()); });
    int commits = 0;
    taskManager_->dispatchSyncOnWorkerQueue([&] {
      sqlite3_commit_hook(
          taskManager_->database()->sqliteStore()->sqliteHandle(),
          [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
    });
    RecordingMonitor monitor;
    const auto [fetched, pending, named] = fetchAnswer(c.body, monitor, c.refusal);
    EXPECT_TRUE(named);
    if (c.refusal) {
      EXPECT_TRUE(monitor.contains(820015));
      EXPECT_TRUE(fetched.first.empty());
      EXPECT_TRUE(fetched.second.empty());
      EXPECT_EQ(pending, 0u);
      EXPECT_EQ(commits, 0);
    } else {
      EXPECT_EQ(fetched.first.size(), maxSnapshots);
      EXPECT_EQ(pending, maxSnapshots);
      EXPECT_EQ(commits, 1);
    }
    taskManager_->alarm()->cancel();
  }
}

TEST_F(ExperimentExchange, AnswersWithFieldsOfUnexpectedWireTypesStillMeetTheCaps) {
  // Fuzz seeds (first byte: the message class): in each "cap_walked_around"
  // answer an early field has another wire type than declared.
  struct Case {
    const char* seed;
    const char* refusal;
  };
  const Case cases[] = {
      {"cap_walked_around_101_snapshots", "too many snapshots"},
      {"cap_walked_around_2001_snapshots", "too many snapshots"},
      {"cap_walked_around_1002_experiments", "too many experiments in a snapshot"},
      {"cap_walked_around_10002_flags", "too many flags"},
      {"control_101_snapshots_refused", "too many snapshots"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seed);
    const std::string seed = fileText(std::string(APM_FUZZ_CORPUS_DIR) +
                                      "/messages_catalogue_fuzz/ExperimentResponse_" + c.seed);
    ASSERT_GT(seed.size(), 1u);
    RecordingMonitor monitor;
    const auto [fetched, pending, named] =
        fetchAnswer(platform::Bytes(seed.begin() + 1, seed.end()), monitor, c.refusal);
    EXPECT_TRUE(named);
    EXPECT_TRUE(fetched.first.empty());
    EXPECT_EQ(pending, 0u);
    taskManager_->alarm()->cancel();
  }
}

TEST_F(ExperimentExchange, AServerThatNeverAnswersTimesOutWithoutBlockingTheQueue) {
  // Listening, never accepting: the connection opens and no answer comes.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  auto silent =
      startedTaskManager("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/sdk-exp");
  silent->alarm()->cancel();
  network->setTimeoutInterval(0.3);

  RecordingMonitor monitor;
  silent->dispatchAsyncOnWorkerQueue([silent] { silent->fetchExperiments(); });
  // While the transfer waits, the worker queue serves other work.
  drain(silent);
  EXPECT_FALSE(monitor.contains(820002));
  ASSERT_TRUE(waitUntil([&] { return monitor.contains(820002); }));
  auto error = monitor.first(820002).contexts.at(1).error();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1001);
  EXPECT_TRUE(hasStored(kAPMExperimentFetchFailureTimestampKey));
  close(listener);
}

TEST_F(ExperimentExchange, AnswersOfEveryShapeBecomeSnapshots) {
  // Snapshots listed only in the per-SDK results take the result's name.
  auto response = APMPBExperimentResponse::initWithBuffer(nullptr);
  auto result = APMPBSdkResponse::initWithBuffer(nullptr);
  APMNanoSetString(result, SdkResponseField::sdk_name, "named");
  auto inner = snapshot("other", {experiment(2)})->proto();
  APMNanoSetMessage(result, SdkResponseField::snapshot, inner.get());
  std::vector<APMNanoValue> results{result};
  APMNanoSetRepeated(response, ExperimentResponseField::sdk_responses, &results);
  auto snapshots = taskManager_->experimentSnapshotsFromExperimentResponse(response.get());
  ASSERT_EQ(snapshots->size(), 1u);
  EXPECT_EQ(snapshots->front()->SDKName(), "named");
  EXPECT_TRUE(taskManager_->errorsFromExperimentResponse(response.get())->empty());

  RecordingMonitor monitor;
  EXPECT_FALSE(taskManager_->experimentSnapshotsFromExperimentResponse(nullptr));
  EXPECT_FALSE(taskManager_->experimentSnapshotsFromData({}));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{820015, 820025}));
  EXPECT_EQ(taskManager_->experimentSnapshotsFromData(answer({snapshot("a", {})}))->size(), 1u);
}

}  // namespace
