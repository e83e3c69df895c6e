#include "examples/config_messages.h"

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

APMPProgramEntity literal(double number) { return APMPProgramEntity::number(number); }
APMPProgramEntity literal(const char* text) { return APMPProgramEntity::string(text); }
APMPProgramEntity statement(const char* opcode, std::vector<APMPProgramEntity> operands) {
  return APMPProgramEntity::statement(opcode, std::move(operands));
}

APMPProgramEntity variable(const char* name) { return statement("15", {literal(name)}); }

APMPProgramEntity methodCall(APMPProgramEntity target, const char* method,
                             std::vector<APMPProgramEntity> arguments) {
  return statement("2", {std::move(target), literal(method), statement("7", std::move(arguments))});
}

APMPProgramEntity registerCallback(const char* name, const char* type,
                                   std::vector<APMPProgramEntity> body) {
  body.insert(body.begin(), {literal(""), statement("7", {literal("e")})});
  return statement("reg", {literal(name), statement("51", std::move(body)),
                           statement("8", {literal("type"), literal(type)})});
}

std::shared_ptr<APMPBRuntimeEntity> entityMessage(const APMPProgramEntity& entity) {
  auto message = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  APMNanoSetInt32(message, RuntimeEntityField::type, entity.type);
  if (entity.name) APMNanoSetString(message, RuntimeEntityField::name, *entity.name);
  if (entity.stringValue) APMNanoSetString(message, RuntimeEntityField::string_value, *entity.stringValue);
  if (entity.numberValue) APMNanoSetDouble(message, RuntimeEntityField::number_value, *entity.numberValue);
  if (entity.booleanValue) APMNanoSetBool(message, RuntimeEntityField::boolean_value, *entity.booleanValue);
  std::vector<APMNanoValue> operands;
  for (const APMPProgramEntity& operand : entity.value) operands.emplace_back(entityMessage(operand));
  if (!operands.empty()) APMNanoSetRepeated(message, RuntimeEntityField::value, &operands);
  return message;
}

void setEditingProgram(APMPBMeasurementConfig& config, const std::vector<APMPProgramEntity>& instructions) {
  std::vector<APMNanoValue> messages;
  for (const APMPProgramEntity& instruction : instructions) messages.emplace_back(entityMessage(instruction));
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  APMNanoSetRepeated(program, ProgramField::instructions, &messages);
  std::vector<APMNanoValue> programs{program};
  APMNanoSetRepeated(&config, MeasurementConfigField::dynamic_event_editing, &programs);
}

void setSettings(APMPBMeasurementConfig& config, const SettingTexts& settings) {
  std::vector<APMNanoValue> messages;
  for (const auto& [name, value] : settings) {
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    APMNanoSetString(setting, SettingField::name, name);
    APMNanoSetString(setting, SettingField::value, value);
    messages.emplace_back(setting);
  }
  APMNanoSetRepeated(&config, MeasurementConfigField::settings, &messages);
}

std::shared_ptr<APMPBMeasurementConfig> newMeasurementConfig(int64_t version, const char* appID,
                                                             const SettingTexts& settings) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMNanoSetInt64(config, MeasurementConfigField::version, version);
  APMNanoSetString(config, MeasurementConfigField::vuv_app_id, appID);
  setSettings(*config, settings);
  return config;
}
