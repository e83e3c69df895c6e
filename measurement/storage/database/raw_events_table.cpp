// The raw_events and raw_events_metadata tables: every accepted event,
// stored at once with a reference to the bundle metadata it shares with
// other events, until it is bundled, trimmed away or too old.
#include <algorithm>
#include <charconv>

#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/models/raw_event_data.h"
#include "measurement/storage/system/data_additions.h"
#include "platform/clock.h"

namespace {

using platform::ErrorRef;

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr long kUnconvertible = 3;

// The number of stored events lives in a temporary table of the connection,
// kept by triggers as rows come and go, so that the trim before each insert
// does not count the whole table. Triggers and table belong to the
// transaction like any change: a rollback takes their counting back too.
// Another connection's commits are not seen by the triggers; they change
// the file's data version, which is stored beside the count, and a changed
// version makes the count be taken again.
constexpr const char* kCountTableSetup[] = {
    "CREATE TEMP TABLE IF NOT EXISTS raw_events_count (n INTEGER NOT NULL, data_version INTEGER "
    "NOT NULL)",
    "CREATE TEMP TRIGGER IF NOT EXISTS raw_events_count_insert AFTER INSERT ON main.raw_events "
    "BEGIN UPDATE raw_events_count SET n = n + 1; END",
    "CREATE TEMP TRIGGER IF NOT EXISTS raw_events_count_delete AFTER DELETE ON main.raw_events "
    "BEGIN UPDATE raw_events_count SET n = n - 1; END",
};
// The count when it was taken at this data version; NULL otherwise.
constexpr const char* kReadCount =
    "SELECT (SELECT n FROM temp.raw_events_count WHERE data_version = ?)";
constexpr const char* kDataVersion = "PRAGMA data_version";
constexpr const char* kClearCount = "DELETE FROM temp.raw_events_count";
constexpr const char* kCountAll = "SELECT count(1) FROM main.raw_events";
constexpr const char* kCountTable = "temp.raw_events_count";
// The oldest rows, walked from the start of the table: as many as go.
constexpr const char* kOldestRows = "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid LIMIT ?)";

std::shared_ptr<APMMonitor> monitor() { return APMMeasurement::monitor(); }

// A number of seconds as decimal digits, never in exponent form: a time in
// milliseconds must show its extra digits.
std::string fixedText(double seconds) {
  char text[400];
  const auto end = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

// The number of stored events, counted again when the connection has no
// count yet or the file changed under it. Call inside a savepoint.
std::optional<int64_t> storedEventCount(APMSqliteStore& store, ErrorRef* error) {
  platform::Object version = store.numberForQuery(kDataVersion, {}, error);
  if (!version.isNumber()) return std::nullopt;
  ErrorRef readError;
  platform::Object kept = store.numberForQuery(kReadCount, {version}, &readError);
  if (kept.isNumber()) return kept.int64Value();
  if (readError) {
    // A new connection: no count table yet.
    for (const char* sql : kCountTableSetup) {
      if (!store.executeSQL(sql, error)) return std::nullopt;
    }
  }
  platform::Object counted = store.numberForQuery(kCountAll, {}, error);
  if (!counted.isNumber()) return std::nullopt;
  if (!APMExecuteCached(store, kClearCount, error) ||
      !store.upsertRecord({{"n", counted}, {"data_version", version}}, kCountTable, error)) {
    return std::nullopt;
  }
  return counted.int64Value();
}

}  // namespace

void APMDatabase::setStorageLimitsSource(APMStorageLimitsSource source) {
  storageLimitsSource_ = source ? std::move(source) : APMCurrentStorageLimits;
}

APMStorageLimits APMDatabase::storageLimits() const {
  return storageLimitsSource_();
}

// --- Metadata ----------------------------------------------------------------

bool APMDatabase::insertIfNotExistsRawEventMetadata(
    const std::shared_ptr<const APMPBMeasurementBundle>& metadata, ErrorRef* error) {
  return insertRawEventMetadata(metadata.get(), error).has_value();
}

std::optional<int64_t> APMDatabase::insertRawEventMetadata(const APMPBMeasurementBundle* metadata,
                                                           ErrorRef* error) {
  std::optional<platform::Bytes> bytes = APMColumnOfMessage(
      metadata,
      {kUnconvertible,
       "Received empty measurement bundle metadata for getting dictionary representation"},
      error);
  // A bundle of these events would be refused, and until they went they
  // would hold back every event stored after them.
  if (!bytes || !acceptsBundleContent(*metadata, bytes->size(), error)) return std::nullopt;
  const int64_t fingerprint = apm_64LSBMD5(*bytes);
  auto stored = storedMetadata(fingerprint, nullptr);
  // The same bytes decode as the bundle they were made from; other bytes
  // under this fingerprint are kept only when they decode.
  if (stored && !stored->empty()) {
    platform::Bytes text;
    const platform::Bytes* storedBytes = APMBytesColumn(stored->front(), "metadata", text);
    if (storedBytes && (*storedBytes == *bytes || APMPBMeasurementBundle::initWithBuffer(*storedBytes))) {
      return fingerprint;
    }
  }
  APMRecord record{{"metadata_fingerprint", fingerprint}, {"metadata", std::move(*bytes)}};
  if (!upsertDataType(record, kAPMRawEventsMetadataTable, "metadata_fingerprint", fingerprint,
                      kAPMRawEventsMetadataTableLimit, error)) {
    return std::nullopt;
  }
  return fingerprint;
}

std::optional<std::vector<APMRecord>> APMDatabase::storedMetadata(int64_t fingerprint,
                                                                  ErrorRef* error) {
  return sqliteStore_->recordsForQuery(
      "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?", {fingerprint},
      error);
}

APMRowReading APMDatabase::readMetadataRecord(const APMRecord& record,
                                              std::shared_ptr<APMPBMeasurementBundle>& metadata,
                                              ErrorRef* refusal) {
  platform::Bytes text;
  const platform::Bytes* bytes = APMBytesColumn(record, "metadata", text);
  const APMRowReading reading = APMReadRow([&] {
    metadata = bytes ? APMPBMeasurementBundle::initWithBuffer(*bytes) : nullptr;
    return metadata != nullptr;
  });
  if (reading != APMRowReading::kRead || acceptsBundleContent(*metadata, bytes->size(), refusal)) {
    return reading;
  }
  metadata = nullptr;
  return APMRowReading::kDamaged;
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, ErrorRef* error) {
  auto records = storedMetadata(fingerprint, error);
  if (!records) return nullptr;
  if (records->empty()) {
    APMSetError(error, kUnconvertible, "Received empty dictionary for getting measurement bundle");
    return nullptr;
  }
  std::shared_ptr<APMPBMeasurementBundle> metadata;
  const APMRowReading reading = readMetadataRecord(records->front(), metadata, nullptr);
  if (reading == APMRowReading::kRead) return metadata;
  if (reading == APMRowReading::kNotNow) {
    APMSetError(error, kState, "Not enough memory to read event metadata");
    return nullptr;
  }
  // Another process may have stored good bytes since: then they are read.
  ErrorRef refusal;
  metadata = deleteUnusableMetadata(fingerprint, &refusal);
  if (metadata) return metadata;
  if (refusal) {
    platform::setError(error, refusal);
    return nullptr;
  }
  platform::Bytes text;
  APMSetError(error, kUnconvertible,
              APMBytesColumn(records->front(), "metadata", text)
                  ? "Failed to parse measurement bundle from event metadata"
                  : "Event metadata should not be empty for getting measurement bundle");
  return nullptr;
}

// The events of metadata that cannot be read, or that no bundle may be
// made of, can never be bundled, and while they stay their fingerprint is
// the oldest at every turn, holding back every event stored after them. The
// row is read again inside the write transaction: another process storing
// an event under this metadata replaces the bad bytes first, and its event
// must stay.
std::shared_ptr<APMPBMeasurementBundle> APMDatabase::deleteUnusableMetadata(int64_t fingerprint,
                                                                            ErrorRef* refusal) {
  std::optional<int64_t> events;
  std::shared_ptr<APMPBMeasurementBundle> readable;
  bool damaged = false;
  ErrorRef failure;
  const bool done = APMWithSavepoint(
      *sqliteStore_,
      [&] {
        auto records = storedMetadata(fingerprint, &failure);
        if (!records) return false;
        if (records->empty()) return true;
        const APMRowReading reading = readMetadataRecord(records->front(), readable, refusal);
        if (reading != APMRowReading::kDamaged) return true;
        damaged = true;
        events = sqliteStore_->deleteRecordsFromTableWithName(
            kAPMRawEventsTable, "metadata_fingerprint = ?", {fingerprint}, &failure);
        return events && deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &failure);
      },
      &failure);
  if (*refusal) {
    monitor()->logWithLevel(4, 12066,
                            "Data loss. Deleted event metadata that can never make a bundle, and its raw "
                            "events. Fingerprint, events, deleted, reason",
                            APMMonitor::Contexts{fingerprint, events.value_or(0), done && damaged,
                                                 (*refusal)->localizedDescription()});
  } else if (!done || damaged) {
    monitor()->logWithLevel(
        4, 12064, "Deleted event metadata that cannot be read, and its raw events. Fingerprint, events, deleted",
        fingerprint, events.value_or(0), done && damaged);
  }
  // The rows stay: the caller is told why they could not be set aside, not
  // why they had to be.
  if (!done && failure) *refusal = failure;
  return done ? readable : nullptr;
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                ErrorRef* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kAPMRawEventsMetadataTable, "metadata_fingerprint == ?",
                                       {fingerprint}, error)
      .has_value();
}

bool APMDatabase::deleteUnusedRawEventsMetadata(ErrorRef* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kAPMRawEventsMetadataTable,
          "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {},
          error)
      .has_value();
}

// --- Writing -------------------------------------------------------------------

std::optional<bool> APMDatabase::isRawEventsTableEmpty(ErrorRef* error) {
  return APMBooleanOfNumber(
      sqliteStore_->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error));
}

bool APMDatabase::insertRawEvent(const std::shared_ptr<const APMEvent>& event,
                                 int64_t metadataFingerprint, bool isRealtime, ErrorRef* error) {
  if (!event) {
    APMSetError(error, kArgument, "Received empty event for inserting in the database");
    return false;
  }
  std::optional<platform::Bytes> data = APMColumnOfEvent(
      *event, false,
      {kUnconvertible, "Received empty raw event data for getting dictionary representation"},
      error);
  if (!data) return false;
  APMRecord record{{"name", event->name()},
                   {"timestamp", event->timestamp()},
                   {"metadata_fingerprint", metadataFingerprint},
                   {"data", std::move(*data)},
                   {"is_realtime", int64_t{isRealtime}}};
  return insertDataType(record, kAPMRawEventsTable, error);
}

// The stale-data purge's own limit and clock: an event it would delete now
// is never taken, rather than taken and deleted without a word at the next
// bundling.
bool APMDatabase::acceptsEventTime(const APMEvent* event, const APMStorageLimits& limits,
                                   ErrorRef* error) {
  if (!event) return true;
  const double now = platform::Clock::current()->now();
  if (!limits.isStale(event->timestamp(), now)) return true;
  APMSetError(error, kArgument,
              "Cannot store event with timestamp " + fixedText(event->timestamp()) +
                  ": more than the max queue time (" + fixedText(limits.maxQueueTime) +
                  " s) from now (" + fixedText(now) +
                  "), so the stale-data purge would delete it. Timestamps are in seconds since 1970");
  return false;
}

bool APMDatabase::storeRawEvent(const std::shared_ptr<const APMEvent>& event,
                                const std::shared_ptr<const APMPBMeasurementBundle>& metadata,
                                bool isRealtime, ErrorRef* error) {
  // One read of the settings for the whole store.
  const APMStorageLimits limits = storageLimits();
  ErrorRef failure;
  bool stored = acceptsEventTime(event.get(), limits, &failure) && APMWithSavepoint(
      *sqliteStore_,
      [&] {
        std::optional<int64_t> fingerprint = insertRawEventMetadata(metadata.get(), &failure);
        if (!fingerprint) return false;
        std::optional<int64_t> deleted = deleteRawEventsOverLimit(limits.maxEventsStored, &failure);
        if (!deleted) return false;
        if (*deleted > 0) {
          monitor()->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                                  *deleted);
        }
        return insertRawEvent(event, *fingerprint, isRealtime, &failure);
      },
      &failure);
  if (!stored) {
    monitor()->logWithLevel(4, 23071, "Data loss. Cannot record raw event. Error", failure);
    platform::setError(error, failure);
  }
  return stored;
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(ErrorRef* error) {
  return deleteRawEventsOverLimit(storageLimits().maxEventsStored, error);
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverLimit(int64_t maxEventsStored, ErrorRef* error) {
  const int64_t keep = std::max<int64_t>(maxEventsStored - 1, 0);
  int64_t deleted = 0;
  bool done = APMWithSavepoint(
      *sqliteStore_,
      [&] {
        std::optional<int64_t> stored = storedEventCount(*sqliteStore_, error);
        if (!stored) return false;
        if (*stored <= keep) return true;
        std::optional<int64_t> gone = sqliteStore_->deleteRecordsFromTableWithName(
            kAPMRawEventsTable, kOldestRows, {*stored - keep}, error);
        deleted = gone.value_or(0);
        return gone.has_value();
      },
      error);
  if (!done) return std::nullopt;
  return deleted;
}

// --- Reading -------------------------------------------------------------------

std::optional<double> APMDatabase::queryLatestRawEventTime(ErrorRef* error) {
  return APMDoubleOfNumber(
      sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error));
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
APMDatabase::rawEventsWithMetadataFingerprint(int64_t fingerprint, ErrorRef* error,
                                              const APMRecordFilter& eventFilter) {
  const std::string query =
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?";
  const APMSqlParameters parameters{fingerprint, kAPMRawEventsReadLimit};
  auto records = eventFilter ? sqliteStore_->recordsForQuery(query, parameters, error, eventFilter)
                             : sqliteStore_->recordsForQuery(query, parameters, error);
  if (!records) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  events.reserve(records->size());
  std::vector<int64_t> damaged;
  ErrorRef rowError;
  for (const APMRecord& record : *records) {
    std::shared_ptr<APMRawEventData> event;
    const APMRowReading reading = APMReadRow(
        [&] { return (event = rawEventDataFromDictionary(record, &rowError)) != nullptr; });
    if (reading == APMRowReading::kRead) {
      events.push_back(std::move(event));
      continue;
    }
    if (reading == APMRowReading::kNotNow) {
      APMSetError(error, kState, "Not enough memory to read raw events");
      return std::nullopt;
    }
    const platform::Object rowID = record["rowid"];
    if (rowID.isNumber()) damaged.push_back(rowID.int64Value());
  }
  deleteUnreadableRows(kAPMRawEventsTable, "*", damaged, 12063, [this](const APMRecord& record) {
    return APMReadRow([&] { return rawEventDataFromDictionary(record, nullptr) != nullptr; });
  });
  // Rows skipped beside events are logged above; only a read that yields
  // nothing is a failure.
  if (!records->empty() && events.empty()) {
    platform::setError(error, rowError);
    return std::nullopt;
  }
  return events;
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                         ErrorRef* error) {
  return APMBooleanOfNumber(sqliteStore_->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {fingerprint}, error));
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(ErrorRef* error) {
  return APMBooleanOfNumber(sqliteStore_->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error));
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!records) return std::nullopt;
  if (records->size() != 1) {
    APMSetError(error, kState, "Only one event metadata should be processed");
    return std::nullopt;
  }
  return APMIntegerOfNumber(records->front()["metadata_fingerprint"]);
}

std::shared_ptr<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const APMRecord& record,
                                                                         ErrorRef* error) {
  if (record.empty()) {
    APMSetError(error, kArgument, "Received empty dictionary for getting raw event data");
    return nullptr;
  }
  const platform::Object rowID = record["rowid"];
  platform::Bytes text;
  const platform::Bytes* data = APMBytesColumn(record, "data", text);
  const platform::Object fingerprint = record["metadata_fingerprint"];
  if (!rowID.isNumber()) {
    APMSetError(error, kArgument, "Unable to find row ID in the database dictionary");
    return nullptr;
  }
  if (!data) {
    APMSetError(error, kArgument, "Unable to find event data in the database dictionary");
    return nullptr;
  }
  if (!fingerprint.isNumber()) {
    APMSetError(error, kArgument, "Unable to find event metadata in the database dictionary");
    return nullptr;
  }
  std::shared_ptr<APMPBEvent> message = APMPBEvent::initWithBuffer(*data);
  if (!message) {
    APMSetError(error, kUnconvertible, "Failed to parse event from data");
    return nullptr;
  }
  double previousTimestamp = 0.0;
  if (APMNanoHasField(message, EventField::previous_timestamp_millis)) {
    previousTimestamp = messages::secondsFromMilliseconds(
        APMNanoGetInt64(message, EventField::previous_timestamp_millis));
  }
  NANOMessageClass paramClass = APMPBEventParam::messageClass();
  auto params = APMNanoGetRepeated(message, EventField::params, &paramClass);
  std::optional<std::string> origin;
  APMEvent::Parameters parameters;
  for (APMNanoValue& item : params.value_or(std::vector<APMNanoValue>{})) {
    auto* param = std::get_if<std::shared_ptr<NANOMessageBase>>(&item);
    const auto* eventParam = param ? static_cast<const APMPBEventParam*>(param->get()) : nullptr;
    if (eventParam && APMNanoGetString(eventParam, EventParamField::name) == APMEvent::kOriginParameter) {
      origin = APMNanoGetString(eventParam, EventParamField::string_value);
      if (!origin) {
        APMSetError(error, kState,
                    "Cannot create an event from database. Origin parameter is not a string");
        return nullptr;
      }
      continue;
    }
    std::optional<APMEvent::Parameters> decoded = APMDictionaryFromEventParam(eventParam, false);
    if (!decoded) {
      APMSetError(error, kState, "Failed to parse event params from data");
      return nullptr;
    }
    parameters.merge(*decoded);
  }
  if (!origin || origin->empty()) {
    APMSetError(error, kState, "Cannot create an event from database. Missing origin parameter");
    return nullptr;
  }
  std::shared_ptr<APMEvent> event =
      APMEvent::initWithOrigin(std::move(*origin), false, APMTextColumn(record, "name"),
                               record["timestamp"].doubleValue(), previousTimestamp,
                               std::move(parameters));
  std::shared_ptr<APMRawEventData> rawEvent =
      event ? APMRawEventData::initWithRawEvent(std::move(event), rowID.int64Value(),
                                                fingerprint.int64Value())
            : nullptr;
  if (!rawEvent) {
    APMSetError(error, kState, "Failed to initialize raw event data from dictionary");
  }
  return rawEvent;
}

// --- Deleting ------------------------------------------------------------------

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, ErrorRef* error) {
  return sqliteStore_->deleteRecordsFromTableWithName(kAPMRawEventsTable, "rowid <= ?", {rowID}, error)
      .has_value();
}

bool APMDatabase::deleteRawEventsWithMetadataFingerprint(int64_t fingerprint, int64_t maxRowID,
                                                         ErrorRef* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kAPMRawEventsTable, "metadata_fingerprint = ? AND rowid <= ?",
                                       {fingerprint, maxRowID}, error)
      .has_value();
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, ErrorRef* error) {
  return deleteStaleRawEvents(maxAge, error).has_value();
}

std::optional<int64_t> APMDatabase::deleteStaleRawEvents(double maxAge, ErrorRef* error) {
  if (maxAge < 0) {
    APMSetError(error, kArgument, "Cannot delete stale raw events given negative time period");
    return std::nullopt;
  }
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kAPMRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {platform::Clock::current()->now(), maxAge}, error);
  if (!deleted || (*deleted > 0 && !deleteUnusedRawEventsMetadata(error))) return std::nullopt;
  return deleted;
}

void APMDatabase::deleteUnreadableRows(const char* table, const char* columns,
                                       const std::vector<int64_t>& rowIDs, long code,
                                       const std::function<APMRowReading(const APMRecord&)>& read) {
  if (rowIDs.empty()) return;
  auto deleted = APMDeleteDamagedRows(*sqliteStore_, table, columns, rowIDs, read);
  // The rows deleted are in the order of `rowIDs`.
  size_t next = 0;
  for (int64_t rowID : rowIDs) {
    const bool gone = deleted && next < deleted->size() && (*deleted)[next] == rowID;
    if (gone) ++next;
    monitor()->logWithLevel(4, code, "Deleted a row that cannot be read. Table, row ID, deleted",
                            std::string(table), rowID, gone);
  }
}
