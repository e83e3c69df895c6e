// The remote settings: the grammar of received texts, every row of the
// table through its accessor (defaults, both bounds, one unit beyond each,
// memoisation), rows checked against the published table, the special
// accessors, and a parse under a locale with a decimal comma.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/measurement.h"
#include "measurement/engine/monitor.h"
#include "measurement/storage/config/remote_config.h"
#include "tests/measurement/storage/config/config_builder.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;
using Kind = APMRemoteSettingKind;
using Settings = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<APMPBMeasurementConfig> configWith(const Settings& settings) {
  return config_testing::ConfigBuilder().settings(settings).build();
}

// A configuration without database or experiments, holding `settings`.
std::shared_ptr<APMRemoteConfig> parsed(const Settings& settings) {
  auto remote = std::make_shared<APMRemoteConfig>(config_testing::kAppID, nullptr, nullptr);
  remote->parseRemoteConfigFromMeasurementConfig(*configWith(settings));
  return remote;
}

// The received text of a value in the row's unit (milliseconds for rows
// read as intervals).
std::string received(const APMRemoteSetting& row, int64_t value, int64_t extraUnits = 0) {
  const bool millis = row.transform != nullptr;
  return std::to_string((millis ? value * 1000 : value) + extraUnits);
}

int transformCalls = 0;
Object countingTransform(const Object& number) {
  ++transformCalls;
  return number;
}

TEST(RemoteSettingsTest, GrammarReadsSignDigitsAndOnePointOnly) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  struct Case {
    const char* text;
    std::optional<Object> number;
  };
  const Case cases[] = {
      {"0", Object(0)}, {"-900", Object(-900)}, {"+15", Object(15)}, {"15000.9", Object(15000.9)},
      {"15000.000", Object(15000)}, {".5", Object(0.5)}, {"-.25", Object(-0.25)}, {"5.", Object(5)},
      {"9223372036854775807", Object(max)}, {"-9223372036854775808", Object(min)},
      {"9007199254740993", Object(int64_t{9007199254740993})},
      // Unreadable: out of 64 bits, other notations, blanks, grouping.
      {"9223372036854775808", std::nullopt}, {"-9223372036854775809", std::nullopt},
      {"99999999999999999999.5", std::nullopt}, {"1e3", std::nullopt}, {"1,5", std::nullopt},
      {"1.000,5", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"", std::nullopt},
      {"-", std::nullopt}, {".", std::nullopt}, {"1.2.3", std::nullopt}, {"0x10", std::nullopt},
      {"inf", std::nullopt}, {"nan", std::nullopt}, {"--1", std::nullopt}, {"\xd9\xa1", std::nullopt},
      {"true", std::nullopt}};
  for (const Case& c : cases) {
    std::optional<Object> number = APMSettingNumberFromText(c.text);
    ASSERT_EQ(number.has_value(), c.number.has_value()) << c.text;
    if (!number) continue;
    EXPECT_EQ(number->kind(), c.number->kind()) << c.text;
    EXPECT_EQ(APMCompareSettingNumbers(*number, *c.number), 0) << c.text;
  }
  // Exact: the nearest double of 2^53 + 1 is 2^53.
  EXPECT_NE(APMSettingNumberFromText("9007199254740993")->int64Value(), 9007199254740992);
  EXPECT_FALSE(APMSettingNumberFromText(std::string(kAPMSettingTextMaxLength + 1, '1')));
  EXPECT_TRUE(APMSettingNumberFromText("0000000000000000000000000000000000000000000000000000000000000001"));
}

TEST(RemoteSettingsTest, NumbersCompareExactlyAcrossKinds) {
  struct Case {
    Object a, b;
    int order;
  };
  const Case cases[] = {
      {Object(int64_t{9007199254740993}), Object(9007199254740992.0), 1},
      {Object(24), Object(24.5), -1},
      {Object(-900.5), Object(-900), -1},
      {Object(-900), Object(-900.0), 0},
      {Object(std::numeric_limits<int64_t>::max()), Object(9223372036854775808.0), -1},
      {Object(std::numeric_limits<int64_t>::min()), Object(-9223372036854775808.0), 0},
      {Object(std::numeric_limits<uint64_t>::max()), Object(std::numeric_limits<int64_t>::max()), 1},
      {Object(true), Object(1), 0},
      {Object(0.1), Object(0.2), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMCompareSettingNumbers(c.a, c.b), c.order) << c.a.description() << " " << c.b.description();
    EXPECT_EQ(APMCompareSettingNumbers(c.b, c.a), -c.order) << c.a.description() << " " << c.b.description();
  }
}

TEST(RemoteSettingsTest, EveryRowKeepsItsBoundsAndFallsBackBeyondThem) {
  for (const APMRemoteSetting& row : APMRemoteSettings()) {
    SCOPED_TRACE(row.accessorName);
    const auto id = static_cast<APMRemoteSettingID>(&row - APMRemoteSettings().data());
    EXPECT_EQ(parsed({})->settingValue(id).doubleValue(), static_cast<double>(row.defaultValue));
    // One unit beyond a bound: one millisecond for intervals.
    struct Case {
      std::string text;
      int64_t expected;
    };
    const Case cases[] = {{received(row, row.minimum), row.minimum},
                          {received(row, row.maximum), row.maximum},
                          {received(row, row.minimum, -1), row.defaultValue},
                          {received(row, row.maximum, +1), row.defaultValue},
                          {"unreadable", row.defaultValue}};
    for (const Case& c : cases) {
      auto remote = parsed({{row.key, c.text}});
      EXPECT_EQ(remote->settingValue(id).doubleValue(), static_cast<double>(c.expected)) << c.text;
      // The accessor's answer was memoised: a later read through the
      // general reader answers it without transforming again.
      transformCalls = 0;
      auto again = remote->numberFromCacheWithKey(row.key, Object(-1), Object(-2), Object(-3), &countingTransform);
      ASSERT_TRUE(again);
      EXPECT_EQ(transformCalls, 0);
      if (row.kind != Kind::Count) {
        EXPECT_EQ(again->doubleValue(), static_cast<double>(c.expected)) << c.text;
      }
    }
  }
}

TEST(RemoteSettingsTest, AValueOutsideItsBoundsIsLoggedWithTheRow) {
  for (const APMRemoteSetting& row : APMRemoteSettings()) {
    SCOPED_TRACE(row.accessorName);
    const auto id = static_cast<APMRemoteSettingID>(&row - APMRemoteSettings().data());
    for (const std::string& text : {received(row, row.minimum, -1), received(row, row.maximum, +1)}) {
      auto remote = parsed({{row.key, text}});
      RecordingMonitor monitor;
      remote->settingValue(id);
      remote->settingValue(id);
      // Once per configuration: the default answered is kept.
      ASSERT_EQ(monitor.codes(), std::vector<long>{29028}) << text;
      const RecordedLog log = monitor.first(29028);
      EXPECT_EQ(log.level, 4);
      ASSERT_EQ(log.contexts.size(), 5u);
      EXPECT_EQ(log.contexts[0].description(), row.key);
      EXPECT_EQ(log.contexts[1].description(), text);
      EXPECT_EQ(log.contexts[3].doubleValue(), static_cast<double>(row.minimum));
      EXPECT_EQ(log.contexts[4].doubleValue(), static_cast<double>(row.maximum));
    }
    for (const std::string& text : {received(row, row.minimum), received(row, row.maximum), std::string("x")}) {
      RecordingMonitor monitor;
      parsed({{row.key, text}})->settingValue(id);
      EXPECT_FALSE(monitor.contains(29028)) << text;
    }
  }
  // Seconds where milliseconds are read: 10 days read as 864 s.
  RecordingMonitor monitor;
  EXPECT_EQ(parsed({{"measurement.upload.max_queue_time", "864000"}})->maxQueueTime(), 2419200.0);
  EXPECT_EQ(monitor.first(29028).text,
            "Setting outside its bounds, its default is used. Key, value sent, value read, minimum, maximum: "
            "measurement.upload.max_queue_time, 864000, 864, 604800, 7862400");
}

TEST(RemoteSettingsTest, AccessorsNameTheRowsTheyRead) {
  // Rows copied by hand from the published settings table.
  struct Row {
    const char* accessor;
    const char* key;
    Kind kind;
    int64_t defaultValue, minimum, maximum;
  };
  const Row rows[] = {
      {"uploadingBackoffInterval", "measurement.upload.backoff_period", Kind::Interval, 43200, 3600, 604800},
      {"maxQueueTime", "measurement.upload.max_queue_time", Kind::Interval, 2419200, 604800, 7862400},
      {"maxPublicUserProperties", "measurement.upload.max_public_user_properties", Kind::Int, 100, 25, 100},
      {"uploadMaxSizeLimitBytes", "measurement.upload.max_batch_size", Kind::Int64, 65536, 0, 10485760},
      {"maxBundlesCreatedPerIteration", "measurement.upload.max_bundles_created_per_iteration", Kind::Count, 100, 1,
       10000},
      {"analyticsAccountTimeZoneOffsetMinutes", "measurement.account.time_zone_offset_minutes", Kind::Int, 0, -900,
       900},
      {"appInBackgroundParameterEnabled", "measurement.lifecycle.app_in_background_parameter", Kind::Bool, 1, 0, 1},
      {"hashPrefixBitLengthPhone", "measurement.psm_prefix_phone", Kind::Int, 11, 6, 18},
      {"attributionCacheTTLInterval", "measurement.attribution.cache.ttl", Kind::Interval, 604800, 86400, 2592000},
      {"remoteConfigCacheTimeInterval", "measurement.config.cache_time", Kind::Interval, 3600, 60, 86400},
      {"SKANFirstWindowCVFetchDelay", "measurement.skan.first_window.initial_cv_fetch_delay_sec", Kind::Interval, 20,
       1, 3600},
      {"regionalDefaultsEnabled", "measurement.regional_defaults_enabled", Kind::Bool, 1, 0, 1},
  };
  EXPECT_EQ(APMRemoteSettings().size(), 73u);
  for (const Row& expected : rows) {
    bool found = false;
    for (const APMRemoteSetting& row : APMRemoteSettings()) {
      if (std::string(row.accessorName) != expected.accessor) continue;
      found = true;
      EXPECT_STREQ(row.key, expected.key);
      EXPECT_EQ(row.kind, expected.kind) << expected.accessor;
      EXPECT_EQ(row.defaultValue, expected.defaultValue) << expected.accessor;
      EXPECT_EQ(row.minimum, expected.minimum) << expected.accessor;
      EXPECT_EQ(row.maximum, expected.maximum) << expected.accessor;
    }
    EXPECT_TRUE(found) << expected.accessor;
  }
  // Accessors answer their own rows.
  auto remote = parsed({{"measurement.upload.max_batch_size", "4096"},
                        {"measurement.upload.backoff_period", "7200000"},
                        {"measurement.lifecycle.app_in_background_parameter", "0"}});
  EXPECT_EQ(remote->uploadMaxSizeLimitBytes(), 4096);
  EXPECT_EQ(remote->uploadingBackoffInterval(), 7200.0);
  EXPECT_FALSE(remote->appInBackgroundParameterEnabled());
}

TEST(RemoteSettingsTest, ReadersFollowTheirKinds) {
  auto remote = parsed({{"measurement.upload.backoff_period", "700000000"},
                        {"measurement.upload.interval", "15000.9"},
                        {"measurement.upload.retry_count", "24.5"},
                        {"measurement.upload.max_bundles_created_per_iteration", "5000"},
                        {"measurement.psm_enabled", "yes"},
                        {"measurement.event_sampling_enabled", "2"},
                        {"measurement.upload.max_events_per_bundle", "999999.99"}});
  EXPECT_EQ(remote->uploadingBackoffInterval(), 43200.0);  // over the maximum once in seconds
  EXPECT_EQ(remote->uploadingInterval(), 15.0);             // milliseconds truncated first
  EXPECT_EQ(remote->uploadingRetryCount(), 6);              // 24.5 is above 24
  EXPECT_EQ(remote->maxBundlesCreatedPerIteration(), 5);
  EXPECT_TRUE(remote->PSMFeatureEnabled());
  EXPECT_FALSE(remote->isEventSamplingEnabled());
  EXPECT_EQ(remote->uploadMaxEventsPerBundle(), 999999);  // fraction dropped after the bounds test

  RecordingMonitor monitor;
  EXPECT_FALSE(remote->numberFromCacheWithKey("", Object(1), std::nullopt, std::nullopt, nullptr));
  EXPECT_EQ(monitor.first(29020).level, 7);
  EXPECT_FALSE(remote->numberFromString(Object(12)));
  EXPECT_EQ(monitor.first(29018).text, "Cannot parse number from non-string: 12");
  EXPECT_TRUE(remote->cacheValue(Object(), "k").isNil());
  EXPECT_TRUE(remote->cacheValue(Object(3), "").isNil());
  EXPECT_EQ(monitor.codes(), (std::vector<long>{29020, 29018, 29019, 29019}));
  // A number in the cache is answered as it is, without bounds.
  remote->cacheValue(Object(5000), "measurement.upload.retry_count");
  EXPECT_EQ(remote->uploadingRetryCount(), 5000);
  EXPECT_EQ(remote->int64ValueFromCacheWithKey("measurement.unbounded", 7), 7);
}

TEST(RemoteSettingsTest, SpecialAccessors) {
  EXPECT_EQ(parsed({{"measurement.upload.max_event_parameter_value_length", "100"}})
                ->maxInternalEventParameterValueLength(),
            256);
  EXPECT_EQ(parsed({{"measurement.upload.max_event_parameter_value_length", "400"}})
                ->maxInternalEventParameterValueLength(),
            400);
  auto monitor = APMMeasurement::monitor();
  auto remote = parsed({{"measurement.psm_start_count", "4"}});
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(remote->maxPSMStartCount(), 10);
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(remote->maxPSMStartCount(), 4);
  EXPECT_EQ(APMMeasurement::remoteConfig()->maxPSMStartCount(), 3);
}

TEST(RemoteSettingsTest, ANewConfigurationDropsEarlierAnswers) {
  auto remote = parsed({{"measurement.upload.retry_count", "12"}});
  EXPECT_EQ(remote->uploadingRetryCount(), 12);
  remote->parseRemoteConfigFromMeasurementConfig(*configWith({{"measurement.upload.retry_count", "13"}}));
  EXPECT_EQ(remote->uploadingRetryCount(), 13);
  remote->parseRemoteConfigFromMeasurementConfig(*configWith({}));
  EXPECT_EQ(remote->uploadingRetryCount(), 6);
  remote->parseRemoteConfigFromMeasurementConfig(*configWith({{"measurement.upload.retry_count", "14"}}));
  remote->reset();
  EXPECT_EQ(remote->uploadingRetryCount(), 6);
}

// A locale with a decimal comma, when the system has one or can build one
// from its locale sources; the settings must read the same as under "C".
class GermanLocale {
 public:
  GermanLocale() {
    if (setlocale(LC_ALL, "de_DE.UTF-8")) {
      active_ = true;
      return;
    }
    folder_ = makeTemporaryFolder("apm-locale");
    const std::string command = "localedef -i de_DE -f UTF-8 '" + folder_ + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      localePath_.emplace("LOCPATH", folder_.c_str());
      active_ = setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
  }
  ~GermanLocale() {
    setlocale(LC_ALL, "C");
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }
  bool active() const { return active_; }

 private:
  bool active_ = false;
  std::string folder_;
  std::optional<ScopedEnv> localePath_;
};

TEST(RemoteSettingsTest, ALocaleWithADecimalCommaChangesNothing) {
  const Settings settings = {{"measurement.upload.interval", "15000.9"},
                             {"measurement.upload.max_batch_size", "9007199254740993"},
                             {"measurement.account.time_zone_offset_minutes", "-900"},
                             {"measurement.upload.retry_count", "24,5"},
                             {"measurement.upload.backoff_period", "7.200.000"}};
  std::vector<double> underC;
  auto remote = parsed(settings);
  for (size_t i = 0; i < APMRemoteSettings().size(); ++i) {
    underC.push_back(remote->settingValue(static_cast<APMRemoteSettingID>(i)).doubleValue());
  }
  GermanLocale german;
  if (!german.active()) GTEST_SKIP() << "no German locale on this system";
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);
  ASSERT_STREQ(printed, "1,5");
  remote = parsed(settings);
  for (size_t i = 0; i < APMRemoteSettings().size(); ++i) {
    EXPECT_EQ(remote->settingValue(static_cast<APMRemoteSettingID>(i)).doubleValue(), underC[i])
        << APMRemoteSettings()[i].accessorName;
  }
  EXPECT_EQ(remote->uploadingInterval(), 15.0);
  EXPECT_EQ(remote->uploadingRetryCount(), 6);
  EXPECT_EQ(remote->uploadingBackoffInterval(), 43200.0);
}

}  // namespace
