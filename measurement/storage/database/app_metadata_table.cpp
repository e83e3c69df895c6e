// The app_metadata row: bundle bookkeeping and daily counters.
#include <cmath>
#include <limits>

#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/models/app_metadata.h"
#include "measurement/storage/models/bundle_numbering_internal.h"
#include "measurement/storage/models/daily_counts.h"
#include "measurement/storage/settings/persisted_config.h"
#include "platform/clock.h"
#include "platform/numbers.h"

namespace {

constexpr long kRefusedArgument = 1;
constexpr long kRefusedState = 2;
constexpr long kUnconvertible = 3;
constexpr double kSecondsPerDay = 86400;

struct DailyCountsColumns {
  const char* day = "day";
  const char* conversions = "daily_conversions_count";
  const char* allEvents = "daily_events_count";
  const char* publicEvents = "daily_public_events_count";
  const char* errorEvents = "daily_error_events_count";
  const char* realtime = "daily_real_time_conversion_events_count";
  const char* dcuRealtime = "daily_real_time_dcu_events_count";
} constexpr kColumns;

// A stored number as int32, clamped; nullopt for no number.
std::optional<int32_t> storedInt32(const APMRecord& record, const char* column) {
  const platform::Object* value = record.find(column);
  if (!value || !value->isNumber()) return std::nullopt;
  int64_t number = value->int64Value();
  if (number > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (number < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(number);
}

// What last_bundle_index holds, for the restart line: a number as it
// stands, another kind by its name (damaged text may be of any length).
std::string describeStoredIndex(const platform::Object& stored) {
  if (stored.isNumber()) return stored.description();
  if (stored.isString()) return "text";
  if (stored.isData()) return "bytes";
  return "NULL";
}

std::shared_ptr<APMAppMetadata> appMetadataFromRecord(const APMRecord& record) {
  const platform::Object stored = record["last_bundle_index"];
  // Text or a fraction would read as some number, and the numbering would
  // go on from it unseen: it is as unreadable as a negative index.
  if (stored.kind() != platform::Object::Kind::Int && stored.kind() != platform::Object::Kind::UInt) {
    return nullptr;
  }
  // An index beyond int32 is as unusable as a negative one.
  int64_t index = stored.int64Value();
  int32_t lastBundleIndex =
      index > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int32_t>(std::max<int64_t>(index, -1));
  return APMAppMetadata::initWithLastBundleIndex(lastBundleIndex,
                                                 record["last_bundle_start_timestamp"].doubleValue(),
                                                 record["last_bundle_end_timestamp"].doubleValue());
}

APMRecord recordOfAppMetadata(const APMAppMetadata& metadata) {
  return {{kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue},
          {"last_bundle_index", metadata.lastBundleIndex()},
          {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
          {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}};
}

}  // namespace

bool APMDatabase::initializeAppMetadata() {
  // Why the numbering starts again, told once the change is committed.
  std::optional<std::string> restart;
  const bool done = performTransaction([&] {
    restart.reset();
    platform::ErrorRef error;
    if (queryAppMetadata(&error)) return true;
    if (error) {
      APMMeasurement::monitor()->logWithLevel(1, 12005, "Failed to query app metadata");
      // A row that is there but cannot be converted (code 2) would otherwise
      // stop every start. A failed read says nothing about the row and
      // leaves it alone.
      if (error->code() != kRefusedState) return false;
      auto rows = recordsWithKey(kAPMAppMetadataTable, kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue,
                                 nullptr);
      if (!rows || rows->empty() || !resetAppMetadataBookkeeping()) return false;
      restart = "last_bundle_index holds " + describeStoredIndex(rows->front()["last_bundle_index"]) +
                ", not an index";
      return true;
    }
    if (!replaceStrayAppMetadataRows()) return false;
    auto fresh = APMAppMetadata::initWithLastBundleIndex(0, 0.0, 0.0);
    if (!upsertDataType(recordOfAppMetadata(*fresh), kAPMAppMetadataTable, kAPMAppMetadataKeyColumn,
                        kAPMAppMetadataKeyValue, kAPMAppMetadataTableLimit, &error)) {
      APMMeasurement::monitor()->logWithLevel(1, 12006, "Unable to update the app metadata. Error",
                                              error);
      return false;
    }
    // A new file cannot be told from one deleted and made again, or reset.
    restart = "no app metadata row: a new database file, or one deleted or reset";
    return true;
  });
  if (done && restart) APMLogBundleNumberingRestart(*restart, std::nullopt);
  return done;
}

bool APMDatabase::resetAppMetadataBookkeeping() {
  // The stored configuration and the daily counters stay as they are.
  APMRecord bookkeeping{{"last_bundle_index", 0},
                        {"last_bundle_start_timestamp", 0.0},
                        {"last_bundle_end_timestamp", 0.0}};
  return sqliteStore_->updateRecord(bookkeeping, kAPMAppMetadataTable, kAPMAppMetadataKeyColumn,
                                    kAPMAppMetadataKeyValue);
}

bool APMDatabase::replaceStrayAppMetadataRows() {
  // A file can pass the integrity check with another table's page in this
  // table's place: its rows fill the table, whose limit of one row then
  // refuses row 1 at every open, and nothing could be stored again.
  auto strays = sqliteStore_->recordsForQuery(
      std::string("SELECT count(*) AS count, min(rowid) AS lowest, max(rowid) AS highest FROM ") +
          kAPMAppMetadataTable,
      {});
  if (!strays || strays->empty()) return false;
  const APMRecord& found = strays->front();
  const int64_t count = found["count"].int64Value();
  if (count == 0) return true;
  APMMeasurement::monitor()->logWithLevel(
      1, 12007, "Replaced app metadata rows that were not its row. Rows, lowest and highest row ID",
      APMMonitor::Contexts{count, found["lowest"].int64Value(), found["highest"].int64Value()});
  return sqliteStore_->deleteAllRecordsFromTableWithName(kAPMAppMetadataTable);
}

std::shared_ptr<APMAppMetadata> APMDatabase::queryAppMetadata(platform::ErrorRef* error) {
  auto objects = dataTypesFromTableWithName<std::shared_ptr<APMAppMetadata>>(
      kAPMAppMetadataTable, kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue, error,
      [](const APMRecord& record, platform::ErrorRef*) { return appMetadataFromRecord(record); });
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

bool APMDatabase::updateAppMetadata(const std::shared_ptr<APMAppMetadata>& appMetadata,
                                    platform::ErrorRef* error) {
  if (!appMetadata) {
    APMSetError(error, kUnconvertible,
                "Received empty app metadata for getting dictionary representation");
    return false;
  }
  // SQLite keeps NaN as NULL, which the NOT NULL end time refuses deep in
  // the statement, and an infinite time would stick to every later bundle.
  if (!std::isfinite(appMetadata->lastBundleStartTimestamp()) ||
      !std::isfinite(appMetadata->lastBundleEndTimestamp())) {
    APMSetError(error, kRefusedArgument, "Received non-finite timestamp in app metadata");
    return false;
  }
  return updateDataType(recordOfAppMetadata(*appMetadata), kAPMAppMetadataTable,
                        kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue, error);
}

int32_t APMDatabase::currentDayNumber() {
  double now = platform::Clock::current()->now();
  double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
  return platform::saturatingCast<int32_t>(std::floor((now - offset) / kSecondsPerDay));
}

std::optional<APMDailyCounts> APMDatabase::dailyCounts(platform::ErrorRef* error) {
  int32_t today = currentDayNumber();
  auto objects = dataTypesFromTableWithName<std::optional<APMDailyCounts>>(
      kAPMAppMetadataTable, kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue, error,
      [today](const APMRecord& record, platform::ErrorRef*) -> std::optional<APMDailyCounts> {
        auto counter = [&](const char* column) { return storedInt32(record, column).value_or(0); };
        return APMDailyCounts(storedInt32(record, kColumns.day).value_or(today),
                              counter(kColumns.conversions), counter(kColumns.allEvents),
                              counter(kColumns.publicEvents), counter(kColumns.errorEvents),
                              counter(kColumns.realtime), counter(kColumns.dcuRealtime));
      });
  if (!objects || objects->empty()) return std::nullopt;
  return objects->front();
}

bool APMDatabase::updateDailyCounts(const std::optional<APMDailyCounts>& dailyCounts,
                                    platform::ErrorRef* error) {
  if (!dailyCounts) {
    APMSetError(error, kUnconvertible,
                "Received empty daily counts for getting dictionary representation");
    return false;
  }
  const APMDailyCounts& counts = *dailyCounts;
  APMRecord record{{kColumns.day, counts.day()},
                   {kColumns.conversions, counts.conversionsCount()},
                   {kColumns.allEvents, counts.allEventsCount()},
                   {kColumns.publicEvents, counts.publicEventsCount()},
                   {kColumns.errorEvents, counts.errorEventsCount()},
                   {kColumns.realtime, counts.realtimeCount()},
                   {kColumns.dcuRealtime, counts.dcuRealtimeCount()}};
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataKeyColumn,
                        kAPMAppMetadataKeyValue, error);
}
