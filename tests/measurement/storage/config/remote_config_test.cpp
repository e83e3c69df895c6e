// The remote configuration over a measurement database: checks and storage
// of fetched configurations, event configurations and their answers,
// consent, PSM numbers, the event editor, URLs and expiry.
#include <gtest/gtest.h>

#include <functional>

#include "measurement/engine/measurement.h"
#include "measurement/messages/config_bounds.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/event_editing.h"
#include "measurement/storage/config/remote_config.h"
#include "platform/crypto.h"
#include "platform/log.h"
#include "tests/measurement/storage/config/config_builder.h"
#include "tests/measurement/script/editing_test_support.h"
#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/failing_allocation.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/text_concat.h"

namespace {

using platform::Object;
using namespace config_testing;
using namespace script_test;

template <class Entry>
std::shared_ptr<Entry> entry(int32_t first, int32_t second) {
  auto entry = Entry::initWithMessageInfo(nullptr);
  APMNanoSetInt32(entry, 0, first);
  APMNanoSetInt32(entry, 1, second);
  return entry;
}

class RemoteConfigTest : public TableTest {
 protected:
  std::shared_ptr<APMRemoteConfig> make() { return APMRemoteConfig::initWithAppID(kAppID, database_, nullptr); }
};

// Wire bytes, for configurations too large to build field by field.
std::string varint(uint64_t value) {
  std::string out(1, static_cast<char>(value & 0x7F));
  for (value >>= 7; value; value >>= 7) out.back() |= '\x80', out.push_back(static_cast<char>(value & 0x7F));
  return out;
}
std::string delimited(uint32_t tag, const std::string& body) { return varint(tag << 3 | 2) + varint(body.size()) + body; }
std::string times(uint32_t count, const std::string& item) {
  std::string out;
  out.reserve(count * item.size());
  while (count--) out += item;
  return out;
}
// A configuration of version 2 for the app, with `fields`.
platform::Bytes configBytes(const std::string& fields) {
  const std::string bytes = varint(1 << 3) + varint(2) + delimited(2, kAppID) + fields;
  return platform::Bytes(bytes.begin(), bytes.end());
}
std::string settingFields(uint32_t count) { return times(count, delimited(4, delimited(1, "k") + delimited(2, "1"))); }
std::string eventFields(uint32_t count) { return times(count, delimited(5, delimited(1, "e"))); }
// A program's `count` string instructions.
std::string programInstructions(uint32_t count) { return times(count, delimited(1, varint(1 << 3) + varint(1))); }

TEST_F(RemoteConfigTest, RefusedConfigurationsChangeNothing) {
  auto remote = make();
  ASSERT_TRUE(remote);
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().version(1).setting("measurement.upload.retry_count", "9").build()));
  RecordingMonitor monitor;
  EXPECT_FALSE(remote->updateMeasurementConfig(nullptr));
  EXPECT_FALSE(remote->updateMeasurementConfig(ConfigBuilder("1:other").version(2).build()));
  APMIdentifiers::sharedInstance()->setOrigin("am");
  EXPECT_FALSE(remote->updateMeasurementConfig(
      ConfigBuilder().version(3).field(MeasurementConfigField::deder_app_id, "other").build()));
  EXPECT_TRUE(remote->updateMeasurementConfig(
      ConfigBuilder().version(4).field(MeasurementConfigField::deder_app_id, kAppID).setting("measurement.upload.retry_count", "9").build()));
  APMIdentifiers::sharedInstance()->setOrigin("");
  EXPECT_FALSE(APMRemoteConfig::defaultInstance()->updateMeasurementConfig(ConfigBuilder().build()));
  // The row is gone: the store fails, and the configuration in force stays.
  store().executeSQL("DELETE FROM app_metadata");
  EXPECT_FALSE(remote->updateMeasurementConfig(ConfigBuilder().version(5).build()));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{29003, 29004, 29022, 29014, 29002, 29005}));
  EXPECT_EQ(monitor.first(29005).level, 1);
  EXPECT_EQ(remote->version(), 4);
  EXPECT_EQ(remote->uploadingRetryCount(), 9);
  // A configuration of another app reaching the parse is ignored silently.
  monitor.clear();
  remote->parseRemoteConfigFromMeasurementConfig(*ConfigBuilder("1:other").setting("measurement.upload.retry_count", "3").build());
  EXPECT_TRUE(monitor.codes().empty());
  EXPECT_EQ(remote->uploadingRetryCount(), 9);
}

TEST_F(RemoteConfigTest, ConfigurationsPastABoundAreRefusedAndTheOneInForceStays) {
  auto remote = make();
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().version(1).setting("measurement.upload.retry_count", "9").build()));
  const std::string longName(64 << 10, 'n');
  const uint32_t longNames = kAPMMaxMeasurementConfigBytes / longName.size() + 1;
  // Each configuration built field by field.
  const std::pair<const char*, std::function<void(ConfigBuilder&)>> cases[] = {
      {"over 1048576 bytes", [&](ConfigBuilder& b) { for (uint32_t i = 0; i < longNames; ++i) b.dataControl(longName); }},
      {"too many settings",
       [](ConfigBuilder& b) { for (uint32_t i = 0; i <= kAPMMaxMeasurementConfigSettings; ++i) b.setting("k", "1"); }},
      {"too many event configurations",
       [](ConfigBuilder& b) { for (uint32_t i = 0; i <= kAPMMaxMeasurementConfigEvents; ++i) b.event("e", false); }},
      {"too many program nodes", [](ConfigBuilder& b) {
         const std::string instructions = programInstructions(kAPMMaxMeasurementConfigProgramNodes + 1);
         b.program(APMPBProgram::initWithBuffer(platform::Bytes(instructions.begin(), instructions.end())));
       }},
  };
  for (const auto& [bound, build] : cases) {
    SCOPED_TRACE(bound);
    ConfigBuilder builder;
    build(builder.version(2));
    const auto config = builder.build();
    const size_t encoded = config->protoBuffer()->size();
    // Its bytes, decoded as the engine decodes what it fetched, are refused;
    // the decode's last line names the bound.
    {
      platform::LogCapture capture;
      EXPECT_FALSE(APMPBMeasurementConfig::initWithBuffer(*config->protoBuffer()));
      EXPECT_TRUE(capture.stdoutText().ends_with(concat({"<ERROR> MeasurementConfig decoder failed: ", bound, "\n"})))
          << capture.stdoutText();
    }
    // In memory, it is refused by the update, whose check builds nothing of
    // it: its encoding and a decode's working space, no more.
    RecordingMonitor monitor;
    {
      AllocatedBytes allocated;
      EXPECT_FALSE(remote->updateMeasurementConfig(config));
      EXPECT_LT(allocated.total(), encoded + (size_t{1} << 20));
    }
    EXPECT_EQ(monitor.codes(), std::vector<long>{29005});
    EXPECT_EQ(monitor.first(29005).level, 1);
    const std::vector<Object> contexts = monitor.first(29005).contexts;
    ASSERT_TRUE(contexts.size() == 1 && contexts[0].error());
    EXPECT_EQ(contexts[0].error()->code(), 1);
    EXPECT_EQ(contexts[0].error()->localizedDescription(),
              std::string("Measurement configuration past its bounds: ") + bound);
    EXPECT_EQ(remote->version(), 1);
    EXPECT_EQ(remote->uploadingRetryCount(), 9);
  }
  EXPECT_EQ(make()->version(), 1);

  // At the bounds a configuration is taken.
  ASSERT_TRUE(remote->updateMeasurementConfig(APMPBMeasurementConfig::initWithBuffer(
      configBytes(settingFields(kAPMMaxMeasurementConfigSettings) + eventFields(kAPMMaxMeasurementConfigEvents)))));
  EXPECT_EQ(remote->version(), 2);

  // A stored row past a bound (kept by an older version) is not loaded.
  const platform::Bytes past = configBytes(eventFields(kAPMMaxMeasurementConfigEvents + 1));
  ASSERT_TRUE(store().executeSQL("UPDATE app_metadata SET remote_config_data = X'" +
                                 platform::hexString(past.data(), past.size()) + "'"));
  RecordingMonitor monitor;
  EXPECT_EQ(make()->version(), -1);
  EXPECT_EQ(monitor.first(29016).contexts.at(0).error()->localizedDescription(),
            "Measurement configuration past its bounds: too many event configurations");
}

// A configuration far past its bounds, decoded as the engine decodes what
// it fetched: 18 MB, one program of 300,000 instructions. Decoded whole it
// took some 300 MB, and the write check's decode as much again.
TEST_F(RemoteConfigTest, AConfigurationFarPastItsBoundsIsRefusedBeforeItIsBuilt) {
  auto remote = make();
  const std::string operand = delimited(2, varint(1 << 3) + varint(2) + delimited(4, "values"));
  const std::string instruction = delimited(1, varint(1 << 3) + varint(1) + delimited(3, "callme") + times(4, operand));
  const platform::Bytes bytes = configBytes(delimited(9, times(300'000, instruction)));
  ASSERT_GT(bytes.size(), size_t{18'000'000});
  RecordingMonitor monitor;
  AllocatedBytes allocated;
  auto config = APMPBMeasurementConfig::initWithBuffer(bytes);
  EXPECT_FALSE(remote->updateMeasurementConfig(config));
  EXPECT_LT(allocated.total(), size_t{64} << 20);
  // The engine hands on what the decode answered: nothing.
  EXPECT_FALSE(config);
  EXPECT_EQ(monitor.codes(), std::vector<long>{29003});
  EXPECT_EQ(remote->version(), -1);
}

TEST_F(RemoteConfigTest, AStoredConfigurationIsLoadedAtCreation) {
  RecordingMonitor monitor;
  auto first = make();
  EXPECT_TRUE(monitor.contains(29017));
  EXPECT_EQ(first->version(), -1);
  EXPECT_TRUE(first->isExpired());
  ASSERT_TRUE(first->updateMeasurementConfig(ConfigBuilder().version(7).setting("measurement.config.cache_time", "120000").build()));
  EXPECT_EQ(first->lastRemoteConfigUpdateTimestamp(), kNow);
  auto second = make();
  EXPECT_EQ(second->version(), 7);
  EXPECT_EQ(second->remoteConfigCacheTimeInterval(), 120.0);
  clock_->set(kNow + 119);
  EXPECT_FALSE(second->isExpired());
  clock_->set(kNow + 120);
  EXPECT_TRUE(second->isExpired());
  clock_->set(kNow - 120);  // a stored time in the future counts as well
  EXPECT_TRUE(second->isExpired());
  second->reset();
  EXPECT_EQ(second->version(), -1);
  EXPECT_EQ(second->remoteConfigCacheTimeInterval(), 3600.0);
  EXPECT_FALSE(APMRemoteConfig::defaultInstance()->isExpired());
  EXPECT_FALSE(APMRemoteConfig::initWithAppID("", database_, nullptr));
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(kAppID, nullptr, nullptr));
}

TEST_F(RemoteConfigTest, EventAnswers) {
  auto remote = make();
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder()
                                                  .event("first_open", true)
                                                  .event("blocked", true)
                                                  .event("open", false)
                                                  .event("r0", false, 0)
                                                  .event("r1", false, 1)
                                                  .event("r2", false, 2)
                                                  .event("r65535", false, 65535)
                                                  .event("r65536", false, 65536)
                                                  .setting("measurement.upload.blacklist_public", "1")
                                                  .build()));
  // Keyed by the internal name where the engine has one.
  EXPECT_TRUE(remote->eventConfigWithName("_f"));
  EXPECT_FALSE(remote->eventConfigWithName("first_open"));
  EXPECT_TRUE(remote->isEventBlocklisted("_f"));
  // Without a flag of its own, public names follow the public setting and
  // internal names the internal one.
  EXPECT_TRUE(remote->isEventBlocklisted("blocked"));
  EXPECT_TRUE(remote->isEventBlocklisted("open"));
  EXPECT_TRUE(remote->isEventBlocklisted("unknown"));
  EXPECT_FALSE(remote->isEventBlocklisted("_unknown"));
  EXPECT_FALSE(remote->isEventBlocklisted(""));
  const std::pair<const char*, int32_t> rates[] = {{"r0", 1}, {"r1", 1}, {"r2", 2}, {"r65535", 65535}, {"r65536", 1}, {"open", 1}, {"none", 1}};
  for (const auto& [name, rate] : rates) EXPECT_EQ(remote->samplingRateForEvent(name), rate) << name;
  EXPECT_TRUE(remote->eventHasSamplingRate("r0"));
  EXPECT_FALSE(remote->eventHasSamplingRate("open"));
  RecordingMonitor monitor;
  EXPECT_FALSE(remote->eventConfigWithName(""));
  EXPECT_EQ(monitor.codes(), std::vector<long>{29006});
}

TEST_F(RemoteConfigTest, ConsentAndPSM) {
  auto consent = APMPBConsentConfig::initWithMessageInfo(nullptr);
  std::vector<APMNanoValue> defaults{entry<APMPBConsentDefaultEntry>(1, 1), entry<APMPBConsentDefaultEntry>(2, 2),
                                     entry<APMPBConsentDefaultEntry>(3, 3), entry<APMPBConsentDefaultEntry>(5, 1)};
  APMNanoSetRepeated(consent, ConsentConfigField::defaults, &defaults);
  std::vector<APMNanoValue> delegations{entry<APMPBConsentDelegationEntry>(4, 3), entry<APMPBConsentDelegationEntry>(4, 0)};
  APMNanoSetRepeated(consent, ConsentConfigField::delegations, &delegations);
  std::vector<APMNanoValue> regional{entry<APMPBConsentDefaultEntry>(4, 2)};
  APMNanoSetRepeated(consent, ConsentConfigField::enforced_defaults, &regional);
  auto service = APMPBCorePlatformServiceEntry::initWithMessageInfo(nullptr);
  APMNanoSetString(service, CorePlatformServiceEntryField::service, "svc");
  std::vector<APMNanoValue> services{service};
  APMNanoSetRepeated(consent, ConsentConfigField::core_platform_services, &services);

  auto remote = make();
  EXPECT_TRUE(remote->isDMARegion());
  ASSERT_TRUE(remote->updateMeasurementConfig(
      ConfigBuilder().consent(consent).psm(40).setting("measurement.psm_prefix_email", "12").build()));
  using Map = APMRemoteConfig::Dictionary;
  EXPECT_EQ(remote->consentDefaults(), (Map{{"ad_storage", "granted"}, {"analytics_storage", "denied"}}));
  EXPECT_EQ(remote->consentDelegations(), (Map{{"ad_personalization", "ad_user_data"}}));
  EXPECT_EQ(remote->regionalDefaults(), (Map{{"ad_personalization", "denied"}}));
  EXPECT_EQ(remote->corePlatformServices(), std::set<std::string>{"svc"});
  EXPECT_FALSE(remote->isDMARegion());
  // The PSM number wins over the setting text, and goes unbounded.
  EXPECT_EQ(remote->hashPrefixBitLengthEmail(), 40);
  // Without a consent block the consent answers stay; without PSM numbers
  // the setting text counts, within its bounds.
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().setting("measurement.psm_prefix_email", "40").build()));
  EXPECT_EQ(remote->consentDefaults().size(), 2u);
  EXPECT_FALSE(remote->isDMARegion());
  EXPECT_EQ(remote->hashPrefixBitLengthEmail(), 14);
  remote->reset();
  EXPECT_TRUE(remote->consentDefaults().empty());
  EXPECT_TRUE(remote->isDMARegion());
}

TEST_F(RemoteConfigTest, TheEventEditorOfTheFirstProgram) {
  std::vector<Entity> program = preamble();
  program.push_back(let("settings", stmt("require", {str("internal.remoteConfig")})));
  program.push_back(let("app", stmt("require", {str("internal.appMetadata")})));
  // Read while the program loads, before the configuration is swapped in.
  program.push_back(let("atLoad", call(variable("settings"), "getValue", {str("measurement.upload.interval"), str("none")})));
  program.push_back(editCallback({
      onEvent("setParamValue", {str("atLoad"), variable("atLoad")}),
      onEvent("setParamValue", {str("interval"), call(variable("settings"), "getValue",
                                                       {str("measurement.upload.interval"), str("none")})}),
      onEvent("setParamValue", {str("missing"), call(variable("settings"), "getValue", {str("measurement.x"), str("none")})}),
      onEvent("setParamValue", {str("platform"), getProperty(stmt("app"), str("platform"))}),
      ret(num(0)),
  }));
  auto remote = make();
  RecordingMonitor monitor;
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder()
                                                  .setting("measurement.upload.interval", "60000")
                                                  .dataControl("first")
                                                  .program(programMessage(program))
                                                  .program(programMessage({ret(num(1))}))
                                                  .build()));
  EXPECT_EQ(monitor.first(29027).text, "Loading Event Modification and Creation programs: 2");
  auto editing = remote->eventEditing();
  ASSERT_TRUE(editing);
  // Scripts read the text the configuration sent, not a reader's answer.
  EXPECT_EQ(remote->uploadingInterval(), 60.0);
  platform::ErrorRef error;
  ASSERT_TRUE(editing->handleEvent(APMPEvent("purchase", 1, {}), &error)) << (error ? error->description() : "no error");
  const auto& parameters = editing->eventContext().outputEvent().parameters();
  EXPECT_EQ(parameters.at("interval").doubleValue(), 60000);
  EXPECT_EQ(parameters.at("atLoad").doubleValue(), 60000);
  EXPECT_EQ(parameters.at("missing"), Object("none"));
  EXPECT_EQ(parameters.at("platform"), Object("ios"));
  EXPECT_EQ(*remote->dataControls(), std::vector<std::string>{"first"});

  // A program that fails to load (a top-level return) leaves no editor, and the controls in
  // force stay.
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().dataControl("second").program(programMessage({ret(num(1))})).psm(8).build()));
  EXPECT_TRUE(monitor.contains(29026));
  EXPECT_FALSE(remote->eventEditing());
  EXPECT_EQ(*remote->dataControls(), std::vector<std::string>{"first"});
  EXPECT_EQ(remote->hashPrefixBitLengthEmail(), 14);
  // Nothing of the program that failed is kept; the rest of its
  // configuration is.
  auto held = remote->remoteConfigProto();
  const NANOMessageClass programClass = APMPBProgram::messageClass();
  const NANOMessageClass controlClass = APMPBDataControl::messageClass();
  EXPECT_TRUE(APMNanoGetRepeated(held, MeasurementConfigField::dynamic_event_editing, &programClass)->empty());
  EXPECT_EQ(APMNanoGetRepeated(held, MeasurementConfigField::data_controls, &controlClass)->size(), 1u);
  // A configuration without programs keeps the editor as it is.
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().dataControl("third").build()));
  EXPECT_FALSE(remote->eventEditing());
  EXPECT_EQ(*remote->dataControls(), std::vector<std::string>{"third"});
}

TEST_F(RemoteConfigTest, FetchAndUploadURLs) {
  auto remote = make();
  EXPECT_EQ(remote->remoteConfigURLWithPlatform("ios", 110300, 2),
            "https://config.measurement.voraza.com/config/app/1:123:ios:abc?platform=ios&runtime_version=2&vuv_version=110300");
  auto odd = std::make_shared<APMRemoteConfig>("a/b?c d", nullptr, nullptr);
  EXPECT_EQ(odd->remoteConfigURLWithPlatform("ios", 1, 0),
            "https://config.measurement.voraza.com/config/app/a%2Fb%3Fc%20d?platform=ios&runtime_version=0&vuv_version=1");
  EXPECT_EQ(std::make_shared<APMRemoteConfig>("..", nullptr, nullptr)->remoteConfigURLWithPlatform("ios", 1, 0).value().substr(0, 52),
            "https://config.measurement.voraza.com/config/app/%2E");
  RecordingMonitor monitor;
  EXPECT_FALSE(remote->remoteConfigURLWithPlatform("", 1, 0));
  EXPECT_TRUE(monitor.contains(29010));

  EXPECT_EQ(remote->uploadURL(), "https://upload.measurement.voraza.com/a");
  const std::pair<const char*, const char*> subdomains[] = {
      {"eu", "https://eu.upload.measurement.voraza.com/a"},
      {"a-1.b2", "https://a-1.b2.upload.measurement.voraza.com/a"},
      {"evil.example/x?", "https://upload.measurement.voraza.com/a"},
      {"user@evil.example", "https://upload.measurement.voraza.com/a"},
      {"a..b", "https://upload.measurement.voraza.com/a"},
      {".a", "https://upload.measurement.voraza.com/a"},
      {"", "https://upload.measurement.voraza.com/a"},
  };
  for (const auto& [subdomain, url] : subdomains) {
    ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().field(MeasurementConfigField::upload_subdomain, subdomain).build()));
    EXPECT_EQ(remote->uploadURL(), url) << subdomain;
  }
  std::string tooLong(254, 'a');
  ASSERT_TRUE(remote->updateMeasurementConfig(ConfigBuilder().field(MeasurementConfigField::upload_subdomain, tooLong).build()));
  monitor.clear();
  EXPECT_EQ(remote->uploadURL(), "https://upload.measurement.voraza.com/a");
  EXPECT_TRUE(monitor.contains(29011));
}

TEST(MeasurementStandInTest, RemoteConfigIsTheDefaultWithoutAnEngine) {
  ASSERT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(APMMeasurement::remoteConfig(), APMRemoteConfig::defaultInstance());
  EXPECT_TRUE(APMRemoteConfig::defaultInstance()->isDefaultInstance());
  EXPECT_EQ(APMRemoteConfig::defaultInstance()->version(), -1);
  auto own = std::make_shared<APMRemoteConfig>(kAppID, nullptr, nullptr);
  auto engine = std::make_shared<APMMeasurement>(nullptr, own, false);
  APMMeasurement::setSharedInstance(engine);
  EXPECT_EQ(APMMeasurement::remoteConfig(), own);
  EXPECT_FALSE(own->shouldFetchExperimentsForClient(nullptr));
  engine->setEnabled(true);
  EXPECT_TRUE(own->shouldFetchExperimentsForClient(nullptr));
  APMMeasurement::setSharedInstance(std::make_shared<APMMeasurement>(nullptr, nullptr));
  EXPECT_EQ(APMMeasurement::remoteConfig(), APMRemoteConfig::defaultInstance());
  APMMeasurement::setSharedInstance(nullptr);
  EXPECT_FALSE(own->shouldFetchExperimentsForClient(nullptr));
}

}  // namespace
