// The events table: one row of aggregates per event name, and its copy
// events_snapshot, kept across one kind of consent change.
#include "measurement/engine/event_aggregates.h"
#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"

namespace {

using platform::ErrorRef;
using Aggregates = std::shared_ptr<APMEventAggregates>;

constexpr long kArgument = 1;
constexpr long kUnconvertible = 3;

constexpr const char* kFirstOpen = "_f";

// A column written from an int32 field; `fallback` when it holds no number.
int32_t int32Column(const APMRecord& record, std::string_view column, int32_t fallback) {
  const platform::Object* value = record.find(column);
  return value && value->isNumber() ? APMInt32Column(record, column) : fallback;
}

Aggregates aggregatesFromRecord(const APMRecord& record) {
  Aggregates aggregates = APMEventAggregates::initWithName(
      APMTextColumn(record, "name"), int32Column(record, "lifetime_count", 0),
      int32Column(record, "current_bundle_count", 0), int32Column(record, "current_session_count", 0),
      record["last_fire_timestamp"].doubleValue());
  if (!aggregates) return nullptr;
  aggregates->setLastBundledTimestamp(record["last_bundled_timestamp"].doubleValue());
  const platform::Object complexEventID = record["last_sampled_complex_event_id"];
  if (complexEventID.isNumber()) aggregates->setLastSampledComplexEventID(complexEventID.int64Value());
  aggregates->setLastSamplingRate(int32Column(record, "last_sampling_rate", 1));
  aggregates->setLastExemptFromSampling(record["last_exempt_from_sampling"].int64Value() != 0);
  aggregates->setLastBundledDay(int32Column(record, "last_bundled_day", 0));
  return aggregates;
}

const APMDatabase::CreateDataTypeBlock<Aggregates> kAggregatesBlock =
    [](const APMRecord& record, ErrorRef*) { return aggregatesFromRecord(record); };

}  // namespace

std::optional<int64_t> APMDatabase::publicEventCount(ErrorRef* error) {
  return APMIntegerOfNumber(sqliteStore_->numberForQuery(
      "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error));
}

std::optional<std::vector<Aggregates>> APMDatabase::allEventAggregates(ErrorRef* error) {
  return allDataTypesFromTableWithName(kAPMEventsTable, kAPMEventsTableLimit, error,
                                       kAggregatesBlock);
}

Aggregates APMDatabase::eventAggregatesWithName(const std::string& name, ErrorRef* error) {
  return eventAggregatesWithName(name, kAPMEventsTable, error);
}

Aggregates APMDatabase::eventAggregatesSnapshotWithName(const std::string& name, ErrorRef* error) {
  std::optional<bool> exists = sqliteStore_->tableExists(kAPMEventsSnapshotTable, error);
  if (!exists.value_or(false)) return nullptr;
  return eventAggregatesWithName(name, kAPMEventsSnapshotTable, error);
}

Aggregates APMDatabase::eventAggregatesWithName(const std::string& name, const std::string& table,
                                                ErrorRef* error) {
  auto found = dataTypesFromTableWithName(table, "name", name, error, kAggregatesBlock);
  if (!found || found->empty()) return nullptr;
  return found->front();
}

bool APMDatabase::updateEventAggregates(const std::shared_ptr<const APMEventAggregates>& aggregates,
                                        ErrorRef* error) {
  if (!aggregates) {
    APMSetError(error, kUnconvertible,
                "Received empty event aggregates object for getting dictionary representation");
    return false;
  }
  if (aggregates->name().empty()) {
    APMSetError(error, kArgument,
                "Received event aggregates object with empty name for getting dictionary "
                "representation");
    return false;
  }
  APMRecord record{{"name", aggregates->name()},
                   {"lifetime_count", int64_t{aggregates->lifetimeCount()}},
                   {"current_bundle_count", int64_t{aggregates->currentBundleCount()}},
                   {"last_fire_timestamp", aggregates->lastFireTimestamp()},
                   {"last_bundled_timestamp", aggregates->lastBundledTimestamp()},
                   {"last_sampling_rate", int64_t{aggregates->lastSamplingRate()}},
                   {"last_exempt_from_sampling", int64_t{aggregates->lastExemptFromSampling()}},
                   {"last_bundled_day", int64_t{aggregates->lastBundledDay()}},
                   {"current_session_count", int64_t{aggregates->currentSessionCount()}}};
  if (const std::optional<int64_t>& id = aggregates->lastSampledComplexEventID()) {
    record.set("last_sampled_complex_event_id", *id);
  }
  return upsertDataType(record, kAPMEventsTable, "name", aggregates->name(), kAPMEventsTableLimit,
                        error);
}

bool APMDatabase::clearCurrentSessionCounts(ErrorRef* error) {
  return sqliteStore_->updateAllRecordsInTableWithName(kAPMEventsTable, "current_session_count",
                                                       int64_t{0}, error);
}

bool APMDatabase::deleteAllEventAggregates(ErrorRef* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kAPMEventsTable, error);
}

bool APMDatabase::deleteAllEventAggregatesInSnapshot(ErrorRef* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kAPMEventsSnapshotTable, error);
}

bool APMDatabase::createEventsSnapshotTable(ErrorRef* error) {
  return APMWithSavepoint(
      *sqliteStore_,
      [&] {
        if (sqliteStore_->tableExists(kAPMEventsSnapshotTable).value_or(false)) {
          sqliteStore_->dropTableWithName(kAPMEventsSnapshotTable);
        }
        ErrorRef createError;
        if (!sqliteStore_->createEmptyTable(kAPMEventsSnapshotTable, kAPMEventsTable,
                                            &createError)) {
          APMMeasurement::monitor()->logWithLevel(4, 12058, "Failed to ensure event snapshot table");
          platform::setError(error, createError);
          return false;
        }
        return sqliteStore_->copyContentsFromTable(kAPMEventsTable, kAPMEventsSnapshotTable, error);
      },
      error);
}

bool APMDatabase::restoreFromEventsSnapshotTable(ErrorRef* error) {
  std::optional<bool> exists = sqliteStore_->tableExists(kAPMEventsSnapshotTable, error);
  if (!exists) return false;
  if (!*exists) return true;
  return APMWithSavepoint(
      *sqliteStore_,
      [&] {
        std::optional<int64_t> snapshotRows =
            sqliteStore_->rowCountForTableWithName(kAPMEventsSnapshotTable, error);
        if (!snapshotRows) return false;
        if (*snapshotRows == 0) return true;
        Aggregates currentFirstOpen = eventAggregatesWithName(kFirstOpen);
        if (!deleteAllEventAggregates(error) ||
            !sqliteStore_->copyContentsFromTable(kAPMEventsSnapshotTable, kAPMEventsTable, error)) {
          return false;
        }
        // A first open counted after the snapshot outlives the restore.
        Aggregates snapshotFirstOpen = eventAggregatesWithName(kFirstOpen, kAPMEventsSnapshotTable);
        if (currentFirstOpen && (!snapshotFirstOpen || snapshotFirstOpen->lifetimeCount() == 0) &&
            !updateEventAggregates(currentFirstOpen, error)) {
          return false;
        }
        return deleteAllEventAggregatesInSnapshot(error);
      },
      error);
}
