#include "measurement/storage/settings/persisted_config.h"

#include <gtest/gtest.h>

#include <cmath>

#include "measurement/storage/settings/user_defaults.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/user_defaults.h"
#include "sdk_core/logger.h"
#include "tests/measurement/storage/settings/persisted_config_fixture.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

using PersistedConfigTest = PersistedConfigFixture;

TEST_F(PersistedConfigTest, MidnightOffsetIsDrawnOnceUntilCleared) {
  double offset = config_->midnightOffset();
  EXPECT_GE(offset, 0);
  EXPECT_LT(offset, 86400);
  EXPECT_DOUBLE_EQ(std::round(offset * 1000) / 1000, offset);
  EXPECT_EQ(config_->midnightOffset(), offset);
  EXPECT_EQ(store_->objectForKey("/voraza/measurement/midnight_offset"), Object(offset));

  config_->clearValues();
  EXPECT_TRUE(store_->objectForKey("/voraza/measurement/midnight_offset").isNil());
  double redrawn = config_->midnightOffset();
  EXPECT_GE(redrawn, 0);
  EXPECT_LT(redrawn, 86400);
  EXPECT_EQ(config_->midnightOffset(), redrawn);

  // Without a store (its folder could not be made) nothing is kept, yet the
  // day boundary must not move from one read to the next.
  auto storeless = APMPersistedConfig::initWithSuiteName("storeless", nullptr);
  ASSERT_TRUE(storeless);
  double unstored = storeless->midnightOffset();
  EXPECT_EQ(storeless->midnightOffset(), unstored);
}

TEST_F(PersistedConfigTest, PropertiesKeepTheirKeysAndKinds) {
  config_->setShouldSetLastAdvertisingIDResetUserProperty(true);
  Object stored = store_->objectForKey("/voraza/measurement/set_last_advertising_id_reset");
  EXPECT_EQ(stored.kind(), Object::Kind::Int);
  EXPECT_EQ(stored, Object(1));
  store_->setObject(Object(7), "/voraza/measurement/unmatched_first_open");
  EXPECT_TRUE(config_->unmatchedFirstOpenWithoutIDFA());

  config_->setOSVersion(std::string("14.1"));
  EXPECT_EQ(store_->objectForKey("/voraza/measurement/os_version"), Object("14.1"));
  config_->setOSVersion(std::nullopt);
  EXPECT_TRUE(store_->objectForKey("/voraza/measurement/os_version").isNil());
  config_->setFirstOpenTimestampMilliseconds(1'700'000'000'123);
  EXPECT_EQ(store_->objectForKey("/voraza/measurement/first_open_timestamp_ms"),
            Object(int64_t{1'700'000'000'123}));
  config_->setLastDeleteStaleBundlesTimestamp(12.5);
  EXPECT_EQ(store_->objectForKey("/voraza/measurement/last_delete_stale"), Object(12.5));

  // A value of the wrong kind reads as the empty value.
  store_->setObject("text", "/voraza/measurement/session_number");
  EXPECT_EQ(config_->sessionNumber(), 0);
  store_->setObject(Object(5), "/voraza/measurement/app_instance_id");
  EXPECT_FALSE(config_->appInstanceID());
  // Number properties answer what is stored.
  config_->setPreviousFirstOpenCount(Object(3));
  EXPECT_EQ(config_->previousFirstOpenCount(), Object(3));

  config_->setSearchAdCampaignValue(Object(true));
  config_->setSearchAdCampaignValue(Object("yes"));
  config_->setSearchAdCampaignValue(Object());
  EXPECT_EQ(config_->searchAdCampaignValue(), Object(true));
  EXPECT_EQ(store_->objectForKey("/voraza/measurement/is_search_ad_campaign"), Object(true));

  RecordingMonitor monitor;
  config_->setDefaultEventParameters(Object::Dictionary{{"bad", Object::null()}});
  EXPECT_EQ(monitor.first(27002).message, "Unsupported value passed in dictionary");
  EXPECT_FALSE(config_->defaultEventParameters());
  EXPECT_EQ(config_->stringForKey(""), std::nullopt);
}

TEST_F(PersistedConfigTest, MeasurementStateLivesInTheAppDefaults) {
  config_->setMeasurementEnabledState(2);
  EXPECT_EQ(config_->measurementEnabledState(), 2);
  EXPECT_EQ(platform::UserDefaults::standard()->objectForKey(
                "/voraza/measurement/measurement_enabled_state"),
            Object(2));
  config_->clearValues();
  EXPECT_EQ(config_->measurementEnabledState(), 2);
  EXPECT_TRUE(store_->objectForKey("/voraza/measurement/measurement_enabled_state").isNil());
}

TEST(PersistedConfigCreationTest, MigratesTheOldPreferencesFile) {
  TempContainer container;
  EXPECT_FALSE(APMPersistedConfig::initWithSuiteName(""));
  auto old = platform::UserDefaults::suite("com.voraza.vuv.measurement");
  old->setObject(Object("from preferences"), "/voraza/measurement/app_version");
  ASSERT_TRUE(old->synchronize());
  auto config = APMPersistedConfig::initWithSuiteName("com.voraza.vuv.measurement");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->appVersion(), "from preferences");
  EXPECT_FALSE(platform::fileExists(container.preferences() + "/com.voraza.vuv.measurement.plist"));
  EXPECT_TRUE(platform::fileExists(container.applicationSupport() +
                                   "/Voraza/Measurement/com.voraza.vuv.measurement.plist"));
}

TEST(UserDefaultsTest, SuiteKeepsValuesAndExcludesItsFileOnce) {
  TempContainer container;
  APMUserDefaults defaults(std::string("APMExperimentSuiteName"));
  EXPECT_EQ(defaults.appNameRef(), "APMExperimentSuiteName");
  defaults.setObject(Object("v"), "k");
  defaults.setDouble(1.5, "d");
  EXPECT_EQ(defaults.stringForKey("k"), "v");
  EXPECT_EQ(defaults.doubleForKey("d"), 1.5);

  platform::LogCapture capture;
  defaults.setObject(Object::null(), "k");
  defaults.objectForKey("");
  GULLoggerFlush();
  auto lines = capture.nslogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[I-ACS041003] Cannot set invalid object to user defaults. Must be a "
                          "string, number, array, dictionary, date, or data. Value: <null>"),
            std::string::npos);
  EXPECT_NE(lines[1].find("[I-ACS041001] Cannot get object for invalid user default key."),
            std::string::npos);
  EXPECT_EQ(defaults.stringForKey("k"), "v");

  EXPECT_FALSE(defaults.isPreferenceFileExcluded());
  defaults.synchronize();
  std::string path = container.preferences() + "/APMExperimentSuiteName.plist";
  EXPECT_TRUE(platform::fileExists(path));
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
  EXPECT_TRUE(platform::isExcludedFromBackup(path));

  defaults.clearAllData();
  EXPECT_TRUE(defaults.objectForKey("d").isNil());
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()->isPreferenceFileExcluded());
}

// A container where the file cannot be written (root writes through any
// mode bits, so a file stands where a folder must be): synchronize answers
// false, and the log names the file and the cause.
TEST(UserDefaultsTest, SynchronizeThatCannotWriteNamesTheFile) {
  TempContainer container;
  ASSERT_TRUE(platform::writeFileAtomically(container.library(), "x"));
  APMUserDefaults defaults(std::string("APMAnalyticsSuiteName"));
  platform::LogCapture capture;
  defaults.setObject(Object("v"), "k");
  EXPECT_FALSE(defaults.synchronize());
  GULLoggerFlush();
  auto lines = capture.nslogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[I-ACS041004] Cannot synchronize user defaults to disk"), std::string::npos);
  EXPECT_NE(lines[1].find("[I-ACS041005] Cannot write the settings file " + container.preferences() +
                          "/APMAnalyticsSuiteName.plist: Cannot create the folder " +
                          container.library() + ": a file that is not a folder is in its place"),
            std::string::npos);

  ASSERT_TRUE(platform::removeItem(container.library()));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(platform::readPropertyListFile(container.preferences() + "/APMAnalyticsSuiteName.plist"),
            Object(Object::Dictionary{{"k", Object("v")}}));
}

}  // namespace
