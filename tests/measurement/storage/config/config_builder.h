// `ConfigBuilder`, shared by the remote configuration suites: measurement
// configurations built field by field for one app ID.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"

namespace config_testing {

inline constexpr const char* kAppID = "1:123:ios:abc";

class ConfigBuilder {
 public:
  explicit ConfigBuilder(const std::string& appID = kAppID)
      : config_(APMPBMeasurementConfig::initWithMessageInfo(nullptr)) {
    APMNanoSetString(config_, MeasurementConfigField::vuv_app_id, std::string_view(appID));
  }
  ConfigBuilder& version(int64_t version) {
    APMNanoSetInt64(config_, MeasurementConfigField::version, version);
    return *this;
  }
  ConfigBuilder& setting(const std::string& key, const std::string& value) {
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    APMNanoSetString(setting, SettingField::name, std::string_view(key));
    APMNanoSetString(setting, SettingField::value, std::string_view(value));
    return add(MeasurementConfigField::settings, setting);
  }
  ConfigBuilder& settings(const std::vector<std::pair<std::string, std::string>>& settings) {
    for (const auto& [key, value] : settings) setting(key, value);
    return *this;
  }
  // A negative rate leaves the rate out.
  ConfigBuilder& event(const std::string& name, bool blocklisted, int32_t rate = -1) {
    auto event = APMPBEventConfig::initWithMessageInfo(nullptr);
    APMNanoSetString(event, EventConfigField::name, std::string_view(name));
    APMNanoSetBool(event, EventConfigField::is_blocklisted, blocklisted);
    if (rate >= 0) APMNanoSetInt32(event, EventConfigField::sampling_rate, rate);
    return add(MeasurementConfigField::event_config, event);
  }
  ConfigBuilder& dataControl(const std::string& name) {
    auto control = APMPBDataControl::initWithMessageInfo(nullptr);
    APMNanoSetString(control, DataControlField::name, std::string_view(name));
    return add(MeasurementConfigField::data_controls, control);
  }
  ConfigBuilder& program(std::shared_ptr<APMPBProgram> program) {
    return add(MeasurementConfigField::dynamic_event_editing, std::move(program));
  }
  ConfigBuilder& psm(int32_t email) {
    auto psm = APMPBPsmSetting::initWithMessageInfo(nullptr);
    APMNanoSetInt32(psm, PsmSettingField::psm_prefix_email, email);
    APMNanoSetMessage(config_, MeasurementConfigField::psm_setting, psm.get());
    return *this;
  }
  ConfigBuilder& consent(const std::shared_ptr<APMPBConsentConfig>& consent) {
    APMNanoSetMessage(config_, MeasurementConfigField::consent_config, consent.get());
    return *this;
  }
  ConfigBuilder& field(int32_t fieldID, const std::string& text) {
    APMNanoSetString(config_, fieldID, std::string_view(text));
    return *this;
  }
  // Repeated fields are set once here: setting them at each item would copy
  // every earlier item again.
  std::shared_ptr<APMPBMeasurementConfig> build() {
    for (auto& [fieldID, items] : repeated_) APMNanoSetRepeated(config_, fieldID, &items);
    return config_;
  }

 private:
  ConfigBuilder& add(int32_t fieldID, std::shared_ptr<NANOMessageBase> message) {
    repeated_[fieldID].emplace_back(std::move(message));
    return *this;
  }
  std::shared_ptr<APMPBMeasurementConfig> config_;
  std::map<int32_t, std::vector<APMNanoValue>> repeated_;
};

}  // namespace config_testing
