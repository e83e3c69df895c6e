// The queue table: bundles waiting for upload, stored gzip-compressed, and
// the periodic purge of stale raw events and bundles.
#include <cmath>

#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/settings/persisted_config.h"
#include "platform/allocation_failures.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"

namespace {

using platform::ErrorRef;

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr long kUnconvertible = 3;

constexpr const char* kQueueReadColumns = "data, retry_count";
constexpr const char* kQueueColumns = "SELECT rowid, data, retry_count FROM queue";

std::shared_ptr<APMMonitor> monitor() { return APMMeasurement::monitor(); }

// "rowid IN (?,?,?)" with its parameters.
struct RowIDCondition {
  std::string text;
  APMSqlParameters parameters;
};

std::optional<RowIDCondition> rowIDCondition(const std::vector<int64_t>& rowIDs, ErrorRef* error) {
  if (rowIDs.empty()) {
    APMSetError(error, kUnconvertible, "Received empty row IDs to process");
    return std::nullopt;
  }
  RowIDCondition condition{"rowid IN (", {}};
  condition.parameters.reserve(rowIDs.size());
  for (int64_t rowID : rowIDs) {
    condition.text += condition.parameters.empty() ? "?" : ",?";
    condition.parameters.emplace_back(rowID);
  }
  condition.text += ")";
  return condition;
}

// Bytes a bundle of `size` bytes takes in a batch message: the tag of the
// batch's bundle field, the length varint, the bundle.
int64_t framedSize(int64_t size) {
  int64_t lengthBytes = 1;
  for (uint64_t rest = static_cast<uint64_t>(size) >> 7; rest != 0; rest >>= 7) ++lengthBytes;
  return 1 + lengthBytes + size;
}

}  // namespace

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(ErrorRef* error) {
  return APMBooleanOfNumber(sqliteStore_->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error));
}

std::optional<double> APMDatabase::queryLatestBundleTime(ErrorRef* error) {
  return APMDoubleOfNumber(
      sqliteStore_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error));
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(ErrorRef* error) {
  return APMBooleanOfNumber(sqliteStore_->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error));
}

bool APMDatabase::acceptsBundleContent(const APMPBMeasurementBundle& bundle, size_t encodedSize,
                                       ErrorRef* error) {
  // The read inflates no further than this.
  if (encodedSize > kGULMaxInflatedSize) {
    APMSetError(error, kArgument,
                "Failed to insert bundle larger than " + std::to_string(kGULMaxInflatedSize) +
                    " bytes: it would not inflate back");
    return false;
  }
  if (APMNanoGetString(&bundle, MeasurementBundleField::app_id).value_or("").empty()) {
    APMSetError(error, kArgument, "Failed to insert bundle without App ID");
    return false;
  }
  return true;
}

bool APMDatabase::insertBundle(const std::shared_ptr<const APMPBMeasurementBundle>& bundle,
                               bool isRealtime, ErrorRef* error) {
  std::optional<platform::Bytes> bytes =
      APMColumnOfMessage(bundle.get(), {kArgument, "Failed to insert nil bundle"}, error);
  if (!bytes || !acceptsBundleContent(*bundle, bytes->size(), error)) return false;
  const int64_t endMillis = APMNanoGetInt64(bundle, MeasurementBundleField::end_timestamp_millis);
  if (endMillis < 1) {
    APMSetError(error, kArgument, "Failed to insert bundle without valid timestamp");
    return false;
  }
  if (!maybeDeleteStaleData(error).has_value()) return false;
  const double endTime = endMillis / 1000.0;
  if (storageLimits().isStale(endTime, platform::Clock::current()->now())) {
    monitor()->logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  std::optional<platform::Bytes> compressed = gul_dataByGzippingData(*bytes);
  if (!compressed || compressed->empty()) {
    APMSetError(error, kState, "Failed to compress bundle");
    return false;
  }
  monitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)",
                          std::to_string(compressed->size()));
  APMRecord record{
      {"bundle_end_timestamp", endTime},
      {"data", std::move(*compressed)},
      {"is_realtime", int64_t{isRealtime}},
      {"retry_count", int64_t{APMNanoGetInt32(bundle, MeasurementBundleField::retry_count)}}};
  return sqliteStore_->upsertRecord(record, kAPMQueueTable, error);
}

std::optional<APMQueuedBundle> APMDatabase::queuedBundleFromRecord(const APMRecord& record,
                                                                   ErrorRef* error) {
  if (record.empty()) {
    APMSetError(error, kUnconvertible, "Cannot process empty rowData");
    return std::nullopt;
  }
  platform::Bytes text;
  const platform::Bytes* data = APMBytesColumn(record, "data", text);
  if (!data) {
    APMSetError(error, kUnconvertible, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  ErrorRef inflateError;
  std::optional<platform::Bytes> bytes = gul_dataByInflatingGzippedData(*data, &inflateError);
  if (!bytes || bytes->empty()) {
    APMSetError(error, kState,
                inflateError ? inflateError->localizedDescription() : "Cannot decompress bundle data");
    return std::nullopt;
  }
  std::shared_ptr<APMPBMeasurementBundle> bundle = APMPBMeasurementBundle::initWithBuffer(*bytes);
  if (!bundle) {
    APMSetError(error, kState, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  int64_t size = static_cast<int64_t>(bytes->size());
  const platform::Object retryCount = record["retry_count"];
  if (retryCount.isNumber() && retryCount.int64Value() > 0) {
    APMNanoSetInt32(bundle, MeasurementBundleField::retry_count,
                    static_cast<int32_t>(std::min(retryCount.int64Value(), kAPMMaxBundleRetryCount)));
    // The count changes the bundle's length; what is uploaded is the new
    // encoding. Without a change the stored bytes are that encoding.
    std::optional<platform::Bytes> uploaded = bundle->protoBuffer();
    if (!uploaded) {
      // A record just decoded encodes again unless memory runs out: that
      // says nothing of the stored bytes.
      platform::noteAllocationFailure();
      APMSetError(error, kState, "Unable to parse bundle from decompressed data");
      return std::nullopt;
    }
    size = static_cast<int64_t>(uploaded->size());
  }
  const platform::Object rowID = record["rowid"];
  if (!rowID.isNumber()) return std::nullopt;
  return APMQueuedBundle{std::move(bundle), rowID.int64Value(), framedSize(size)};
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queuedBundlesFromRecords(
    const std::vector<APMRecord>& records, std::optional<int64_t> sizeLimit, ErrorRef* error) {
  std::vector<APMQueuedBundle> taken;
  std::vector<int64_t> damaged;
  int64_t total = 0;
  for (const APMRecord& record : records) {
    std::optional<APMQueuedBundle> bundle;
    const APMRowReading reading =
        APMReadRow([&] { return (bundle = queuedBundleFromRecord(record, nullptr)).has_value(); });
    if (reading == APMRowReading::kNotNow) {
      APMSetError(error, kState, "Not enough memory to read queued bundles");
      return std::nullopt;
    }
    if (reading == APMRowReading::kDamaged) {
      if (record["rowid"].isNumber()) damaged.push_back(record["rowid"].int64Value());
      continue;
    }
    // The oldest bundle goes whatever its size: a bundle larger than the
    // budget would otherwise never leave.
    if (sizeLimit && !taken.empty() && total + bundle->batchSize > *sizeLimit) break;
    total += bundle->batchSize;
    taken.push_back(std::move(*bundle));
    if (sizeLimit && total > *sizeLimit) break;
  }
  deleteUnreadableRows(kAPMQueueTable, kQueueReadColumns, damaged, 12062,
                       [this](const APMRecord& record) {
                         return APMReadRow(
                             [&] { return queuedBundleFromRecord(record, nullptr).has_value(); });
                       });
  return taken;
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      std::string(kQueueColumns) + " ORDER BY rowid ASC LIMIT ?", {countLimit}, error);
  if (!records) return std::nullopt;
  return queuedBundlesFromRecords(*records, sizeLimit, error);
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithRowIDs(
    const std::vector<int64_t>& rowIDs, ErrorRef* error) {
  std::optional<RowIDCondition> condition = rowIDCondition(rowIDs, error);
  if (!condition) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      std::string(kQueueColumns) + " WHERE " + condition->text, condition->parameters, error);
  if (!records) return std::nullopt;
  return queuedBundlesFromRecords(*records, std::nullopt, error);
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, ErrorRef* error) {
  std::optional<RowIDCondition> condition = rowIDCondition(rowIDs, error);
  return condition && sqliteStore_
                          ->deleteRecordsFromTableWithName(kAPMQueueTable, condition->text,
                                                           condition->parameters, error)
                          .has_value();
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                         ErrorRef* error) {
  if (rowIDs.empty()) {
    APMSetError(error, kArgument, "Failed to increment retry counter");
    return false;
  }
  if (APMBooleanOfNumber(sqliteStore_->numberForQuery(
                 "SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                 {kAPMMaxBundleRetryCount}))
          .value_or(false)) {
    monitor()->logWithLevel(1, 12054,
                            "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  std::optional<RowIDCondition> condition = rowIDCondition(rowIDs, error);
  if (!condition) return false;
  condition->parameters.emplace_back(kAPMMaxBundleRetryCount);
  return sqliteStore_->increaseColumn("retry_count", 1, kAPMQueueTable,
                                      condition->text + " AND retry_count < ?",
                                      condition->parameters, error);
}

// --- Stale data ----------------------------------------------------------------

std::optional<bool> APMDatabase::maybeDeleteStaleData(ErrorRef* error) {
  const double now = platform::Clock::current()->now();
  const double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0;
  const APMStorageLimits limits = storageLimits();
  if (std::fabs(now - last) <= limits.databaseDeleteStaleBundlesInterval) return false;
  const std::optional<int64_t> events = deleteStaleRawEvents(limits.maxQueueTime, error);
  if (!events) return std::nullopt;
  const std::optional<int64_t> bundles = deleteStaleBundles(limits.maxQueueTime, error);
  if (!bundles) return std::nullopt;
  // Events stamped long ago (or far ahead) go without any other trace.
  if (*events > 0 || *bundles > 0) {
    monitor()->logWithLevel(4, 12065,
                            "Data loss. Deleted raw events and bundles stamped further from now "
                            "than the max queue time, in the past or the future. Raw events, "
                            "bundles, max queue time (s)",
                            *events, *bundles, limits.maxQueueTime);
  }
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, ErrorRef* error) {
  return deleteStaleBundles(maxAge, error).has_value();
}

std::optional<int64_t> APMDatabase::deleteStaleBundles(double maxAge, ErrorRef* error) {
  if (maxAge < 0) {
    APMSetError(error, kArgument, "Cannot delete stale bundles after negative time period");
    return std::nullopt;
  }
  return sqliteStore_->deleteRecordsFromTableWithName(
      kAPMQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
      {platform::Clock::current()->now(), maxAge}, error);
}
