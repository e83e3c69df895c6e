#include <algorithm>
#include <numeric>

#include "measurement/messages/nano_callbacks.h"
#include "measurement/storage/system/data_additions.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::ErrorRef;

constexpr double kDay = 86400;

class RawEventsTableTest : public TableTest {
 protected:
  void limitEvents(int64_t maxEventsStored) {
    database_->setStorageLimitsSource([maxEventsStored] {
      APMStorageLimits limits;
      limits.maxEventsStored = maxEventsStored;
      return limits;
    });
  }

  bool storeEvent(int64_t sequence, double timestamp = kNow) {
    return database_->storeRawEvent(road::event(sequence, timestamp), metadata_, false);
  }

  // The "seq" of every stored event, in row order.
  std::vector<int64_t> storedSequences() {
    std::vector<int64_t> sequences;
    auto records = store().recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid", {});
    for (const APMRecord& record : records.value_or(std::vector<APMRecord>{})) {
      auto event = database_->rawEventDataFromDictionary(record);
      sequences.push_back(event ? road::sequenceOf(*event->rawEvent()) : -1);
    }
    return sequences;
  }

  int64_t fingerprint() { return apm_64LSBMD5(*metadata_->protoBuffer()); }

  std::shared_ptr<APMPBMeasurementBundle> metadata_ = road::bundle(1);
};

TEST_F(RawEventsTableTest, EventsComeBackByFingerprintAndLeaveWithTheirMetadata) {
  auto other = road::bundle(2);
  auto previous = APMEvent::initWithOrigin(
      "auto", true, "purchase", kNow, kNow - 5.5,
      {{"value", APMValue(2.5)},
       {"items", APMValue(platform::Object::Array{platform::Object(platform::Object::Dictionary{
                     {"id", platform::Object(std::string("a"))}, {"n", platform::Object(3.0)}})})}});
  ASSERT_TRUE(database_->storeRawEvent(previous, metadata_, true));
  ASSERT_TRUE(storeEvent(2));
  ASSERT_TRUE(database_->storeRawEvent(road::event(3, kNow), other, false));
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 2);

  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(), fingerprint());
  auto metadata = database_->queryRawEventsMetadataWithFingerprint(fingerprint());
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->protoBuffer(), metadata_->protoBuffer());
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint());
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  const APMEvent& first = *(*events)[0]->rawEvent();
  EXPECT_EQ(first.name(), "purchase");
  EXPECT_EQ(first.origin(), "auto");
  EXPECT_FALSE(first.isPublic());
  EXPECT_EQ(first.timestamp(), kNow);
  EXPECT_EQ(first.previousTimestamp(), kNow - 5.5);
  EXPECT_EQ(first.parameters(), previous->parameters());
  EXPECT_EQ((*events)[0]->metadataFingerprint(), fingerprint());
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(), true);

  // The bundler took both: they go, and then so does their metadata.
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID((*events)[1]->rowID()));
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(fingerprint()), false);
  ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint()));
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(), apm_64LSBMD5(*other->protoBuffer()));
  EXPECT_EQ(storedSequences(), std::vector<int64_t>{3});

  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1000));
  ErrorRef error;
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), std::nullopt);
  EXPECT_FALSE(error);
  EXPECT_EQ(database_->isRawEventsTableEmpty(), true);
  EXPECT_EQ(database_->queryLatestRawEventTime(), std::nullopt);
}

TEST_F(RawEventsTableTest, BundlingOneFingerprintLeavesTheOthersInBetween) {
  auto other = road::bundle(2);
  ASSERT_TRUE(storeEvent(1));
  ASSERT_TRUE(database_->storeRawEvent(road::event(2, kNow), other, false));
  ASSERT_TRUE(storeEvent(3));
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint());
  ASSERT_TRUE(events);
  ASSERT_TRUE(database_->deleteRawEventsWithMetadataFingerprint(fingerprint(), events->back()->rowID()));
  EXPECT_EQ(storedSequences(), std::vector<int64_t>{2});
}

TEST_F(RawEventsTableTest, DamagedMetadataIsReplacedByTheNextStore) {
  ASSERT_TRUE(storeEvent(1));
  fill("UPDATE raw_events_metadata SET metadata = x'ffff' WHERE ? = 0", 1);
  EXPECT_FALSE(database_->queryRawEventsMetadataWithFingerprint(fingerprint()));
  ASSERT_TRUE(storeEvent(2));
  EXPECT_TRUE(database_->queryRawEventsMetadataWithFingerprint(fingerprint()));
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 1);
}

TEST_F(RawEventsTableTest, TrimKeepsTheNewestUpToTheLimit) {
  struct Case {
    int64_t limit;
    std::vector<int64_t> left;
    int64_t lastDeleted;
  } cases[] = {
      {5, {4, 5, 6, 7, 8}, 1},
      {1, {8}, 1},
      {0, {8}, 1},
      {100, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
  };
  for (const Case& c : cases) {
    fill("DELETE FROM raw_events WHERE ? = 0", 1);
    limitEvents(c.limit);
    RecordingMonitor monitor;
    for (int64_t sequence = 1; sequence <= 8; ++sequence) ASSERT_TRUE(storeEvent(sequence));
    EXPECT_EQ(storedSequences(), c.left) << "limit " << c.limit;
    EXPECT_EQ(monitor.contains(23070), c.lastDeleted > 0) << "limit " << c.limit;
    if (c.lastDeleted) {
      EXPECT_EQ(monitor.first(23070).contexts[0].int64Value(), c.lastDeleted);
    }
  }
}

TEST_F(RawEventsTableTest, TrimAtOneHundredThousandDeletesTheOldestOne) {
  fill("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('_e', 1, ?, "
       "x'00')",
       100'000);
  ASSERT_TRUE(storeEvent(1));
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 100'000);
  EXPECT_EQ(store().numberForQuery("SELECT min(rowid) FROM raw_events", {}).int64Value(), 2);
}

TEST_F(RawEventsTableTest, TrimCountsWhatOthersChanged) {
  limitEvents(4);
  for (int64_t sequence = 1; sequence <= 3; ++sequence) ASSERT_TRUE(storeEvent(sequence));
  // Rolled back: the three are all there is.
  EXPECT_FALSE(database_->performTransaction([&] { return storeEvent(90) && storeEvent(91) && false; }));
  ASSERT_TRUE(storeEvent(4));
  EXPECT_EQ(storedSequences(), (std::vector<int64_t>{1, 2, 3, 4}));

  // Another connection deletes one and adds one behind this one's back.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(store().databasePath().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "DELETE FROM raw_events WHERE rowid <= 2", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);
  ASSERT_TRUE(storeEvent(5));
  ASSERT_TRUE(storeEvent(6));
  EXPECT_EQ(storedSequences(), (std::vector<int64_t>{3, 4, 5, 6}));
}

TEST_F(RawEventsTableTest, UnreadableRowsAreDeletedInsteadOfBlockingTheFingerprint) {
  ASSERT_TRUE(storeEvent(1));
  // Bytes that do not decode, and an event without its origin.
  auto withoutOrigin = APMPBEvent::initWithMessageInfo(nullptr);
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  APMNanoSetString(param, EventParamField::name, "x");
  APMNanoSetInt64(param, EventParamField::int_value, 1);
  std::vector<APMNanoValue> params{param};
  APMNanoSetRepeated(withoutOrigin, EventField::params, &params);
  for (const platform::Bytes& data : {platform::Bytes{0xff, 0xff, 0xff}, *withoutOrigin->protoBuffer()}) {
    ASSERT_TRUE(store().upsertRecord({{"name", std::string("_e")},
                                      {"timestamp", 1.0},
                                      {"metadata_fingerprint", fingerprint()},
                                      {"data", data}},
                                     kAPMRawEventsTable));
  }
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1));

  RecordingMonitor monitor;
  ErrorRef error;
  EXPECT_FALSE(database_->rawEventsWithMetadataFingerprint(fingerprint(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(),
            "Cannot create an event from database. Missing origin parameter");
  EXPECT_EQ(monitor.codes(), (std::vector<long>{12063, 12063}));
  EXPECT_EQ(database_->isRawEventsTableEmpty(), true);

  // Beside an event read, a skipped row is logged, not an error.
  ASSERT_TRUE(storeEvent(2));
  ASSERT_TRUE(store().upsertRecord({{"name", std::string("_e")},
                                    {"timestamp", 1.0},
                                    {"metadata_fingerprint", fingerprint()},
                                    {"data", platform::Bytes{0xff}}},
                                   kAPMRawEventsTable));
  error.reset();
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint(), &error);
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 1u);
  EXPECT_FALSE(error);
  EXPECT_EQ(monitor.codes(), (std::vector<long>{12063, 12063, 12063}));
}

TEST_F(RawEventsTableTest, UnreadableMetadataGoesWithItsEventsSoTheNextFingerprintComesUp) {
  auto other = road::bundle(2);
  ASSERT_TRUE(storeEvent(1));
  ASSERT_TRUE(database_->storeRawEvent(road::event(2, kNow), other, false));
  ASSERT_TRUE(storeEvent(3));
  // Metadata over the decoder's limit, as it could be stored before.
  platform::Bytes oversized = *road::bundle(1, kNanoMaxStringLength + 1)->protoBuffer();
  ASSERT_TRUE(store().updateRecord({{"metadata", oversized}}, kAPMRawEventsMetadataTable,
                                   "metadata_fingerprint", fingerprint()));

  RecordingMonitor monitor;
  ErrorRef error;
  ASSERT_EQ(database_->nextMetadataFingerprintToProcess(), fingerprint());
  expectRefused(database_->queryRawEventsMetadataWithFingerprint(fingerprint(), &error), error, 3,
                "Failed to parse measurement bundle from event metadata");
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(), apm_64LSBMD5(*other->protoBuffer()));
  ASSERT_TRUE(monitor.contains(12064));
  EXPECT_EQ(monitor.first(12064).contexts[1].int64Value(), 2);
  EXPECT_EQ(storedSequences(), std::vector<int64_t>{2});
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 1);
}

TEST_F(RawEventsTableTest, MetadataNoBundleCanBeMadeOfNeverHoldsBackLaterEvents) {
  auto withoutAppID = road::bundle(1, 0, "");
  ErrorRef error;
  expectRefused(database_->storeRawEvent(road::event(0, kNow), withoutAppID, false, &error), error, 1,
                "Failed to insert bundle without App ID");
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 0);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 0);

  // As an older version stored it, ahead of 100 good events.
  const platform::Bytes bytes = *withoutAppID->protoBuffer();
  ASSERT_TRUE(store().upsertRecord({{"metadata_fingerprint", apm_64LSBMD5(bytes)}, {"metadata", bytes}},
                                   kAPMRawEventsMetadataTable));
  ASSERT_TRUE(database_->insertRawEvent(road::event(0, kNow), apm_64LSBMD5(bytes), false));
  for (int64_t sequence = 1; sequence <= 100; ++sequence) ASSERT_TRUE(storeEvent(sequence));

  // Passes of the bundler: one whose metadata cannot be read moves on.
  RecordingMonitor monitor;
  for (int pass = 0; pass < 5; ++pass) {
    auto fingerprint = database_->nextMetadataFingerprintToProcess();
    if (!fingerprint) break;
    auto metadata = database_->queryRawEventsMetadataWithFingerprint(*fingerprint);
    auto events = database_->rawEventsWithMetadataFingerprint(*fingerprint);
    if (!metadata || !events || events->empty()) continue;
    if (!database_->insertBundle(road::bundleOf(*metadata, *events, static_cast<int64_t>(kNow) * 1000), false)) {
      continue;
    }
    ASSERT_TRUE(database_->deleteRawEventsWithMetadataFingerprint(*fingerprint, events->back()->rowID()));
  }
  std::vector<int64_t> bundled;
  for (const APMQueuedBundle& queued : database_->queryBundlesWithCountLimit(10, 1 << 20).value_or(
           std::vector<APMQueuedBundle>{})) {
    for (int64_t sequence : road::sequencesIn(*queued.bundle)) bundled.push_back(sequence);
  }
  std::vector<int64_t> good(100);
  std::iota(good.begin(), good.end(), 1);
  EXPECT_EQ(bundled, good);
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 0);
  const std::vector<long> codes = monitor.codes();
  ASSERT_EQ(std::count(codes.begin(), codes.end(), 12066), 1);
  EXPECT_EQ(monitor.first(12066).text,
            "Data loss. Deleted event metadata that can never make a bundle, and its raw events. Fingerprint, "
            "events, deleted, reason: " +
                std::to_string(apm_64LSBMD5(bytes)) + ", 1, 1, Failed to insert bundle without App ID");
}

TEST_F(RawEventsTableTest, MetadataThatCannotBeSetAsideAnswersWhy) {
  // Old metadata without an app ID, and a file that refuses to delete its
  // event: the read fails with the delete's reason, and nothing is lost.
  const platform::Bytes bytes = *road::bundle(1, 0, "")->protoBuffer();
  const int64_t fingerprint = apm_64LSBMD5(bytes);
  ASSERT_TRUE(store().upsertRecord({{"metadata_fingerprint", fingerprint}, {"metadata", bytes}},
                                   kAPMRawEventsMetadataTable));
  ASSERT_TRUE(database_->insertRawEvent(road::event(0, kNow), fingerprint, false));
  fill("CREATE TRIGGER kept BEFORE DELETE ON raw_events BEGIN SELECT RAISE(ABORT, 'kept by a trigger'); END", 1);
  ErrorRef error;
  EXPECT_FALSE(database_->queryRawEventsMetadataWithFingerprint(fingerprint, &error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("kept by a trigger"), std::string::npos)
      << error->localizedDescription();
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 1);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 1);
}

TEST_F(RawEventsTableTest, EventTimesThePurgeWouldDeleteAreRefused) {
  constexpr double kDefault = 28 * kDay;
  struct Case {
    double maxQueueTime;
    double timestamp;
    bool stored;
  } cases[] = {
      {kDefault, kNow * 1000, false},  // milliseconds
      {kDefault, kNow / 1000, false},
      {kDefault, kNow - kDefault - 0.5, false},
      {kDefault, kNow + kDefault + 0.5, false},
      {kDefault, kNow - kDefault, true},
      {kDefault, kNow + kDefault, true},
      {7 * kDay, kNow - 8 * kDay, false},
      {7 * kDay, kNow + 7 * kDay, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timestamp);
    fill("DELETE FROM raw_events WHERE ? = 0", 1);
    database_->setStorageLimitsSource([&c] {
      APMStorageLimits limits;
      limits.maxQueueTime = c.maxQueueTime;
      return limits;
    });
    RecordingMonitor monitor;
    ErrorRef error;
    EXPECT_EQ(database_->storeRawEvent(road::event(1, c.timestamp), metadata_, false, &error), c.stored);
    if (c.stored) {
      // And the purge keeps it.
      ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(c.maxQueueTime));
      EXPECT_EQ(storedSequences(), std::vector<int64_t>{1});
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(rowCount(kAPMRawEventsTable), 0);
    EXPECT_TRUE(monitor.contains(23071));
  }
  ErrorRef error;
  database_->setStorageLimitsSource(nullptr);
  EXPECT_FALSE(database_->storeRawEvent(road::event(1, kNow * 1000), metadata_, false, &error));
  EXPECT_EQ(error->localizedDescription(),
            "Cannot store event with timestamp 1700000000000: more than the max queue time (2419200 s) from now "
            "(1700000000), so the stale-data purge would delete it. Timestamps are in seconds since 1970");
}

TEST_F(RawEventsTableTest, AgePurgeTakesThePastAndTheFarFuture) {
  auto lone = road::bundle(9);
  ASSERT_TRUE(writtenAt(kNow - 29 * kDay, [&] {
    return database_->storeRawEvent(road::event(1, kNow - 29 * kDay), lone, false);
  }));
  ASSERT_TRUE(writtenAt(kNow + 30 * kDay, [&] { return storeEvent(2, kNow + 30 * kDay); }));
  ASSERT_TRUE(storeEvent(3, kNow - 27 * kDay));
  ASSERT_TRUE(storeEvent(4, kNow + 27 * kDay));
  ErrorRef error;
  EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error->localizedDescription(), "Cannot delete stale raw events given negative time period");
  ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(28 * kDay));
  EXPECT_EQ(storedSequences(), (std::vector<int64_t>{3, 4}));
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 1);
}

TEST_F(RawEventsTableTest, RefusedWrites) {
  ErrorRef error;
  EXPECT_FALSE(database_->insertRawEvent(nullptr, 1, false, &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty event for inserting in the database");
  RecordingMonitor monitor;
  EXPECT_FALSE(database_->storeRawEvent(road::event(1, kNow), nullptr, false, &error));
  EXPECT_EQ(error->code(), 3);
  EXPECT_TRUE(monitor.contains(23071));
  EXPECT_EQ(database_->isRawEventsTableEmpty(), true);
}

TEST_F(RawEventsTableTest, NothingTheReaderWouldRefuseIsStored) {
  const std::string tooLong(kNanoMaxStringLength + 1, 'x');
  const std::string tail = " holds a value the reader cannot take back: text or bytes over 1048576 "
                           "bytes, or messages nested too deep";
  struct Case {
    std::shared_ptr<APMEvent> event;
    std::shared_ptr<APMPBMeasurementBundle> metadata;
    std::string text;
  } cases[] = {
      {APMEvent::initWithOrigin("app", false, "_e", kNow, 0, {{"text", APMValue(tooLong)}}),
       road::bundle(1), "Event" + tail},
      {road::event(1, kNow), road::bundle(1, tooLong.size()), "MeasurementBundle" + tail},
      // Text that is not UTF-8 makes no event at all.
      {APMEvent::initWithOrigin("app", false, "_e", kNow, 0, {{"text", APMValue(std::string("\xff"))}}),
       road::bundle(1), "Received empty event for inserting in the database"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->storeRawEvent(c.event, c.metadata, false, &error), error,
                  1, c.text);
  }
  EXPECT_EQ(rowCount(kAPMRawEventsTable), 0);
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTable), 0);
}

}  // namespace
