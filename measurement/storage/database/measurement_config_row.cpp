// The stored measurement configuration: two columns of the app_metadata
// row, the configuration's bytes and when it was last stored or confirmed.
#include <string>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_routines.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "platform/clock.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr const char* kDataColumn = "remote_config_data";
constexpr const char* kTimestampColumn = "remote_config_timestamp";

// The bounds of a configuration, offered each item by the decoder itself,
// so that no encoding of the fields can carry more than they let through.
class ConfigCaps : public messages::DecodeItemCaps {
 public:
  const char* admitItem(const messages::MessageSchema& element, uint32_t inRecord) override {
    if (&element == &messages::kSettingSchema && inRecord > kAPMMaxMeasurementConfigSettings) {
      return "too many settings";
    }
    if (&element == &messages::kEventConfigSchema && inRecord > kAPMMaxMeasurementConfigEvents) {
      return "too many event configurations";
    }
    if (&element == &messages::kRuntimeEntitySchema &&
        ++programNodes_ > kAPMMaxMeasurementConfigProgramNodes) {
      return "too many program nodes";
    }
    return nullptr;
  }

 private:
  uint32_t programNodes_ = 0;
};

// The configuration the bytes hold within the bounds; null for bytes that
// do not decode (no error text) or, with `pastBound` set, past a bound.
std::shared_ptr<APMPBMeasurementConfig> boundedConfig(const platform::Bytes& bytes,
                                                      std::string& pastBound) {
  if (bytes.size() > kAPMMaxMeasurementConfigBytes) {
    pastBound = "over " + std::to_string(kAPMMaxMeasurementConfigBytes) + " bytes";
    return nullptr;
  }
  ConfigCaps caps;
  messages::DecodeItemCapsScope scope(caps);
  std::shared_ptr<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(bytes);
  if (!config && scope.refusal()) pastBound = scope.refusal();
  return config;
}

std::string pastBoundText(const std::string& pastBound) {
  return "Measurement configuration past its bounds: " + pastBound;
}

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
  // What is stored must load again: the reader's own decode decides.
  std::string pastBound;
  if (!boundedConfig(*bytes, pastBound)) {
    APMSetError(error, kArgument,
                pastBound.empty() ? "Invalid measurement config data" : pastBoundText(pastBound));
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
  std::string pastBound;
  std::shared_ptr<APMPBMeasurementConfig> config = boundedConfig(*bytes, pastBound);
  if (!config) {
    APMSetError(error, kState,
                pastBound.empty() ? "Remote config data is corrupted" : pastBoundText(pastBound));
  }
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(platform::ErrorRef* error) {
  return APMDoubleOfNumber(sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error));
}
