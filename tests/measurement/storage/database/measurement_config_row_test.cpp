#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/models/app_metadata.h"
#include "tests/measurement/storage/database/table_test_support.h"

namespace {

using platform::ErrorRef;

std::shared_ptr<APMPBMeasurementConfig> config(const std::optional<std::string>& appID,
                                               int64_t version = 1) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMNanoSetInt64(config, MeasurementConfigField::version, version);
  if (appID) APMNanoSetString(config, MeasurementConfigField::vuv_app_id, *appID);
  return config;
}

class MeasurementConfigRowTest : public TableTest {};

}  // namespace

TEST_F(MeasurementConfigRowTest, StoreReloadAndTimestamps) {
  EXPECT_FALSE(database_->queryMeasurementConfigWithError());
  EXPECT_FALSE(database_->lastRemoteConfigUpdateTimestamp());

  ASSERT_TRUE(database_->updateRemoteConfig(config("1:app", 7)));
  auto stored = database_->queryMeasurementConfigWithError();
  ASSERT_TRUE(stored);
  EXPECT_EQ(APMNanoGetInt64(stored, MeasurementConfigField::version), 7);
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(), kNow);

  ASSERT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(kNow + 30));
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(), kNow + 30);
  // The bookkeeping of the row is left as it was.
  EXPECT_EQ(database_->queryAppMetadata()->lastBundleIndex(), 0);
}

TEST_F(MeasurementConfigRowTest, RefusalsLeaveTheStoredConfigurationAlone) {
  ASSERT_TRUE(database_->updateRemoteConfig(config("1:app", 7)));
  struct Case {
    std::shared_ptr<APMPBMeasurementConfig> config;
    const char* text;
  } cases[] = {
      {nullptr, "Invalid measurement config data"},
      {APMPBMeasurementConfig::initWithMessageInfo(nullptr), "Invalid measurement config data"},
      {config(std::nullopt, 8), "Missing Voraza app ID in measurement configuration"},
      {config("", 8), "Missing Voraza app ID in measurement configuration"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->updateRemoteConfig(c.config, &error), error, 1, c.text);
  }
  EXPECT_EQ(APMNanoGetInt64(database_->queryMeasurementConfigWithError(),
                            MeasurementConfigField::version),
            7);
}

TEST_F(MeasurementConfigRowTest, NoRowIsEverMadeAndDamagedBytesAreReported) {
  ASSERT_TRUE(store().executeSQL("DELETE FROM app_metadata"));
  ErrorRef error;
  EXPECT_FALSE(database_->updateRemoteConfig(config("1:app"), &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to update record. Item doesn't exist");
  EXPECT_FALSE(database_->updateRemoteConfigSuccessfulTimestamp(kNow));
  EXPECT_EQ(rowCount(kAPMAppMetadataTable), 0);

  ASSERT_TRUE(database_->initializeAppMetadata());
  ASSERT_TRUE(store().executeSQL("UPDATE app_metadata SET remote_config_data = x'0aff'"));
  error.reset();
  expectRefused(database_->queryMeasurementConfigWithError(&error), error, 2,
                "Remote config data is corrupted");
}
