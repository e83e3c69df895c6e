// Building blocks of a measurement configuration for the example program's
// sections: program statements in the short forms the sections write them
// in, their wire form, a program, settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measurement/messages/message_wrappers.h"
#include "measurement/script/program_entity.h"

APMPProgramEntity literal(double number);
APMPProgramEntity literal(const char* text);
APMPProgramEntity statement(const char* opcode, std::vector<APMPProgramEntity> operands = {});
// The variable `name`.
APMPProgramEntity variable(const char* name);
// `target.method(arguments...)`.
APMPProgramEntity methodCall(APMPProgramEntity target, const char* method,
                             std::vector<APMPProgramEntity> arguments = {});
// `reg(name, function (e) { body }, {type: type})`, `reg` being the
// "internal.registerCallback" module.
APMPProgramEntity registerCallback(const char* name, const char* type,
                                   std::vector<APMPProgramEntity> body);

// The wire form of a program statement, as a configuration carries it.
std::shared_ptr<APMPBRuntimeEntity> entityMessage(const APMPProgramEntity& entity);

// Sets the configuration's one program to `instructions`.
void setEditingProgram(APMPBMeasurementConfig& config, const std::vector<APMPProgramEntity>& instructions);

using SettingTexts = std::vector<std::pair<std::string, std::string>>;

// Sets the configuration's settings: (name, received text) pairs.
void setSettings(APMPBMeasurementConfig& config, const SettingTexts& settings);

// A new configuration of `version` for `appID`, with `settings`.
std::shared_ptr<APMPBMeasurementConfig> newMeasurementConfig(int64_t version, const char* appID,
                                                             const SettingTexts& settings);
