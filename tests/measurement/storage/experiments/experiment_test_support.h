// Builders shared by the experiment suites: flags, experiments and
// snapshots from short literals.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "measurement/storage/experiments/flag_values.h"
#include "measurement/storage/experiments/snapshot.h"

namespace experiments_testing {

using FlagList = std::initializer_list<std::pair<const char*, platform::Object>>;

inline APMEFlags flags(FlagList list) {
  APMEFlags out;
  for (const auto& [name, value] : list) out.push_back(APMPBFlagWithNameValue(name, value));
  return out;
}

inline std::shared_ptr<APMEExperiment> experiment(int64_t id, FlagList list = {}) {
  return APMEExperiment::initWithExperimentID(id, flags(list));
}

inline APMESnapshotRef snapshot(const std::string& sdk, APMEExperiments experiments) {
  return APMESnapshot::initWithSDKName(sdk, experiments);
}

}  // namespace experiments_testing
