// Building blocks of a measurement configuration for the example program's
// sections: the wire form of program statements, a program, settings.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measurement/messages/message_wrappers.h"
#include "measurement/script/program_entity.h"

// The wire form of a program statement, as a configuration carries it.
std::shared_ptr<APMPBRuntimeEntity> entityMessage(const APMPProgramEntity& entity);

// Sets the configuration's one program to `instructions`.
void setEditingProgram(APMPBMeasurementConfig& config, const std::vector<APMPProgramEntity>& instructions);

// Sets the configuration's settings: (name, received text) pairs.
void setSettings(APMPBMeasurementConfig& config,
                 const std::vector<std::pair<std::string, std::string>>& settings);
