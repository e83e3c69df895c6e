// The stored measurement configuration: two columns of the app_metadata
// row, the configuration's bytes and when it was last stored or confirmed.
#include <string>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "platform/clock.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr const char* kDataColumn = "remote_config_data";
constexpr const char* kTimestampColumn = "remote_config_timestamp";

// How a configuration past a bound of its decode (config_bounds.h) is
// named, written or read.
constexpr const char* kPastBound = "Measurement configuration past its bounds: ";

}  // namespace

bool APMDatabase::updateRemoteConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config,
                                     platform::ErrorRef* error) {
  // What is stored must load again: the write check is the reader's own
  // decode, which refuses a configuration past its bounds before building it.
  std::optional<platform::Bytes> bytes = APMColumnOfMessage(
      config.get(), {kArgument, "Invalid measurement config data", kPastBound}, error);
  if (!bytes) return false;
  if (APMNanoGetString(config.get(), MeasurementConfigField::vuv_app_id).value_or("").empty()) {
    APMSetError(error, kArgument, "Missing Voraza app ID in measurement configuration");
    return false;
  }
  APMRecord record{{kDataColumn, std::move(*bytes)},
                   {kTimestampColumn, platform::Clock::current()->now()}};
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataKeyColumn,
                        kAPMAppMetadataKeyValue, error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp,
                                                        platform::ErrorRef* error) {
  return updateDataType(APMRecord{{kTimestampColumn, timestamp}}, kAPMAppMetadataTable,
                        kAPMAppMetadataKeyColumn, kAPMAppMetadataKeyValue, error);
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabase::queryMeasurementConfigWithError(
    platform::ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!records || records->empty()) return nullptr;
  platform::Bytes text;
  const platform::Bytes* bytes = APMBytesColumn(records->front(), kDataColumn, text);
  if (!bytes || bytes->empty()) return nullptr;
  const char* pastBound = nullptr;
  std::shared_ptr<APMPBMeasurementConfig> config =
      APMPBMeasurementConfig::initWithBuffer(*bytes, &pastBound);
  if (!config) {
    APMSetError(error, kState,
                pastBound ? kPastBound + std::string(pastBound) : "Remote config data is corrupted");
  }
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(platform::ErrorRef* error) {
  return APMDoubleOfNumber(sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error));
}
