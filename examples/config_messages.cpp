#include "examples/config_messages.h"

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

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

void setSettings(APMPBMeasurementConfig& config,
                 const std::vector<std::pair<std::string, std::string>>& settings) {
  std::vector<APMNanoValue> messages;
  for (const auto& [name, value] : settings) {
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    APMNanoSetString(setting, SettingField::name, name);
    APMNanoSetString(setting, SettingField::value, value);
    messages.emplace_back(setting);
  }
  APMNanoSetRepeated(&config, MeasurementConfigField::settings, &messages);
}
