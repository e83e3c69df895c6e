// The stored measurement configuration: two columns of the app_metadata
// row, the configuration's bytes and when it was last stored or confirmed.
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "platform/clock.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr const char* kDataColumn = "remote_config_data";
constexpr const char* kTimestampColumn = "remote_config_timestamp";

}  // namespace

bool APMDatabase::updateRemoteConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config,
                                     platform::ErrorRef* error) {
  std::optional<platform::Bytes> bytes =
      APMColumnOfMessage(config.get(), {kArgument, "Invalid measurement config data"}, error);
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
  std::shared_ptr<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(*bytes);
  if (!config) APMSetError(error, kState, "Remote config data is corrupted");
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(platform::ErrorRef* error) {
  return APMDoubleOfNumber(sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error));
}
