#include "examples/event_road.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "examples/loopback_collector.h"
#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/system/data_additions.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/temp_container.h"

namespace {

struct SeenBundle {
  std::string appVersion;
  int32_t retryCount = 0;
  std::vector<std::shared_ptr<APMEvent>> events;
};

struct SeenBatch {
  size_t bytes = 0;  // inflated
  int status = 0;
  std::vector<SeenBundle> bundles;
};

// A collector that decodes every batch and answers with `status(n)` for the
// n-th batch (from 1).
class RecordingCollector {
 public:
  explicit RecordingCollector(std::function<int(int)> status)
      : status_(std::move(status)), server_([this](const platform::Bytes& body) { return receive(body); }) {}

  std::string url() const { return server_.url("/a"); }
  std::vector<SeenBatch> batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }

 private:
  LoopbackCollector::Answer receive(const platform::Bytes& body) {
    SeenBatch seen;
    auto bytes = gul_dataByInflatingGzippedData(body);
    EXPECT_TRUE(bytes) << "the upload body is not gzip";
    if (!bytes) return {400, ""};
    seen.bytes = bytes->size();
    auto batch = APMPBMeasurementBatch::initWithBuffer(*bytes);
    const NANOMessageClass bundleClass = APMPBMeasurementBundle::messageClass();
    const NANOMessageClass eventClass = APMPBEvent::messageClass();
    for (const APMNanoValue& item :
         APMNanoGetRepeated(batch, MeasurementBatchField::bundles, &bundleClass).value_or(std::vector<APMNanoValue>{})) {
      const auto& bundle = std::get<std::shared_ptr<NANOMessageBase>>(item);
      SeenBundle seenBundle;
      seenBundle.appVersion = APMNanoGetString(bundle, MeasurementBundleField::app_version).value_or("");
      seenBundle.retryCount = APMNanoGetInt32(bundle, MeasurementBundleField::retry_count);
      for (const APMNanoValue& event :
           APMNanoGetRepeated(bundle, MeasurementBundleField::events, &eventClass).value_or(std::vector<APMNanoValue>{})) {
        auto message = std::static_pointer_cast<APMPBEvent>(std::get<std::shared_ptr<NANOMessageBase>>(event));
        auto decoded = APMEvent::initWithEventProto(message.get());
        EXPECT_TRUE(decoded) << "an uploaded event does not decode";
        if (decoded) seenBundle.events.push_back(decoded);
      }
      seen.bundles.push_back(std::move(seenBundle));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen.status = status_(static_cast<int>(batches_.size()) + 1);
    batches_.push_back(seen);
    return {seen.status, ""};
  }

  std::function<int(int)> status_;
  std::mutex mutex_;
  std::vector<SeenBatch> batches_;
  LoopbackCollector server_;
};

int64_t parameter(const APMEvent& event, const char* name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? -1 : found->second.int64Value();
}

TEST(EventRoadTest, EveryEventArrivesOnceEditedWithinTheBudgets) {
  // The first batch is refused with each status the engine must not take
  // for an acknowledgement; 200 and 204 both acknowledge.
  RecordingCollector collector([](int n) { return n == 1 ? 500 : n == 2 ? 404 : n % 2 ? 200 : 204; });
  constexpr int64_t kEvents = 1'200;
  ASSERT_EQ(runEventRoad({kEvents, collector.url(), false, ""}), 0);

  std::map<int64_t, int> arrivals, bigPurchases;
  std::set<int> acknowledged;
  int retried = 0;
  for (const SeenBatch& batch : collector.batches()) {
    EXPECT_LE(batch.bundles.size(), 4u);
    if (batch.bundles.size() > 1) {
      EXPECT_LE(batch.bytes, 40'000u);
    }
    if (batch.status != 200 && batch.status != 204) continue;
    acknowledged.insert(batch.status);
    for (const SeenBundle& bundle : batch.bundles) {
      EXPECT_LE(bundle.events.size(), 250u);
      retried += bundle.retryCount > 0;
      for (const auto& event : bundle.events) {
        if (event->name() == "big_purchase") {
          EXPECT_EQ(event->origin(), "script");
          ++bigPurchases[parameter(*event, "n")];
          continue;
        }
        const int64_t n = parameter(*event, "n");
        ++arrivals[n];
        // The app was updated after a third of the stream, rolled back after two.
        EXPECT_EQ(bundle.appVersion, 3 * n / kEvents == 1 ? "1.1" : "1.0") << n;
        // A purchase without a currency fails the program after its value
        // was doubled: it arrives as it came.
        if (event->name() == "purchase") {
          const bool failed = n % 100 == 1;
          EXPECT_EQ(parameter(*event, "value"), (failed ? 1 : 2) * (n % 50 + 1)) << n;
          EXPECT_EQ(event->parameters().count("currency"), failed ? 0u : 1u) << n;
        }
      }
    }
  }
  ASSERT_EQ(arrivals.size(), static_cast<size_t>(kEvents));
  for (const auto& [n, count] : arrivals) EXPECT_EQ(count, 1) << "event " << n;
  EXPECT_EQ(arrivals.begin()->first, 0);
  // Purchases are n = 1 mod 4; their doubled value passes 90 when n % 50 >= 45.
  std::map<int64_t, int> expectedBig;
  for (int64_t n = 1; n < kEvents; n += 4) {
    if (n % 50 >= 45) expectedBig[n] = 1;
  }
  EXPECT_EQ(bigPurchases, expectedBig);
  EXPECT_GT(retried, 0) << "the refused bundles came back with their retry count";
  EXPECT_EQ(acknowledged, (std::set<int>{200, 204}));
}

TEST(EventRoadTest, RefusedBundlesStayQueuedWithTheirRetriesCounted) {
  RecordingCollector collector([](int) { return 503; });
  EXPECT_EQ(runEventRoad({300, collector.url(), false, ""}), 1);
  std::vector<SeenBatch> batches = collector.batches();
  ASSERT_FALSE(batches.empty());
  // The same oldest bundle goes at every attempt, one more failure counted each time.
  for (size_t attempt = 0; attempt < batches.size(); ++attempt) {
    ASSERT_FALSE(batches[attempt].bundles.empty());
    EXPECT_EQ(batches[attempt].bundles.front().retryCount, static_cast<int32_t>(attempt));
    EXPECT_EQ(parameter(*batches[attempt].bundles.front().events.front(), "n"), 0);
  }
}

TEST(EventRoadTest, MetadataWithoutAppIDStoredByAnOlderVersionHoldsBackNoEvent) {
  TempContainer container;
  {
    // Stored as older versions did, ahead of the road's events: the store
    // refuses such metadata now.
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    auto withoutAppID = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMNanoSetInt32(withoutAppID, MeasurementBundleField::protocol_version, 1);
    APMNanoSetString(withoutAppID, MeasurementBundleField::app_version, "0.9");
    const platform::Bytes bytes = *withoutAppID->protoBuffer();
    const int64_t fingerprint = apm_64LSBMD5(bytes);
    ASSERT_TRUE(database->sqliteStore()->upsertRecord({{"metadata_fingerprint", fingerprint}, {"metadata", bytes}},
                                                      kAPMRawEventsMetadataTable));
    auto old = APMEvent::initWithOrigin("app", true, "screen_view", platform::Clock::current()->now(), 0,
                                        {{"n", APMValue(int64_t{-1})}});
    ASSERT_TRUE(old && database->insertRawEvent(old, fingerprint, false));
  }
  RecordingCollector collector([](int) { return 200; });
  const EventRoadOptions options{300, collector.url(), false, container.path()};
  ASSERT_EQ(runEventRoad(options), 0);

  std::map<int64_t, int> arrivals;
  for (const SeenBatch& batch : collector.batches()) {
    for (const SeenBundle& bundle : batch.bundles) {
      for (const auto& event : bundle.events) {
        if (event->name() != "big_purchase") ++arrivals[parameter(*event, "n")];
      }
    }
  }
  std::map<int64_t, int> once;
  for (int64_t n = 0; n < 300; ++n) once[n] = 1;
  EXPECT_EQ(arrivals, once);
}

TEST(EventRoadTest, AnUnreachableCollectorEndsTheRoad) {
  const std::string url = "http://127.0.0.1:" + std::to_string(testing_support::LoopbackHttpServer::closedPort()) + "/a";
  EXPECT_EQ(runEventRoad({50, url, false, ""}), 1);
}

}  // namespace
