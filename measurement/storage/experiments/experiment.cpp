#include "measurement/storage/experiments/experiment.h"

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_monitor.h"

namespace {

std::shared_ptr<APMEMonitor> monitor() { return APMEMonitor::monitor(); }

std::string nameOfFlag(const APMEFlagRef& flag) {
  return APMNanoGetString(flag, FlagField::name).value_or(std::string());
}

}  // namespace

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(
    const platform::Object& experimentID, const std::optional<APMEFlags>& flags) {
  if (experimentID.isNil()) {
    monitor()->logWithLevel(2, 870000, "Cannot create an experiment without ID");
    return nullptr;
  }
  if (!experimentID.isNumber()) {
    monitor()->logWithLevel(2, 870001, "Experiment ID must be a number. ID", experimentID);
    return nullptr;
  }
  if (!flags) {
    monitor()->logWithLevel(2, 870002, "Cannot create an experiment with invalid flags",
                            platform::Object());
    return nullptr;
  }
  for (const APMEFlagRef& flag : *flags) {
    if (!flag) {
      monitor()->logWithLevel(2, 870003, "Cannot add non-flag into the experiment. Flag",
                              platform::Object());
      return nullptr;
    }
  }
  auto experiment = std::make_shared<APMEExperiment>(experimentID.int64Value());
  for (const APMEFlagRef& flag : *flags) experiment->addFlag(flag);
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment* proto) {
  if (!proto) return nullptr;
  auto experiment =
      std::make_shared<APMEExperiment>(APMNanoGetInt32(proto, ExperimentField::experiment_id));
  for (const APMEFlagRef& flag : APMERepeatedMessages<APMPBFlag>(proto, ExperimentField::flags)) {
    experiment->addFlag(flag);
  }
  return experiment;
}

APMEFlags APMEExperiment::flags() const {
  std::lock_guard<std::mutex> lock(mutex_);
  APMEFlags flags;
  flags.reserve(flagsByName_.size());
  for (const auto& entry : flagsByName_) flags.push_back(entry.second);
  return flags;
}

void APMEExperiment::addFlag(const APMEFlagRef& flag) {
  if (!flag) {
    monitor()->logWithLevel(2, 870004, "Cannot add empty flag into an experiment. ID",
                            experimentID_);
    return;
  }
  std::string name = nameOfFlag(flag);
  if (name.empty()) {
    monitor()->logWithLevel(2, 870006, "Cannot add a flag without name into an experiment. ID",
                            experimentID_);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  flagsByName_.insert_or_assign(std::move(name), flag);
}

APMEFlagRef APMEExperiment::flagWithName(const std::string& name) const {
  if (name.empty()) {
    monitor()->logWithLevel(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = flagsByName_.find(name);
  return found == flagsByName_.end() ? nullptr : found->second;
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
  auto copy = std::make_shared<APMEExperiment>(experimentID_);
  std::lock_guard<std::mutex> lock(mutex_);
  copy->flagsByName_ = flagsByName_;
  return copy;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto proto = APMPBExperiment::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  APMNanoSetInt32(proto, ExperimentField::experiment_id, static_cast<int32_t>(experimentID_));
  std::vector<APMNanoValue> items;
  for (const APMEFlagRef& flag : flags()) items.emplace_back(flag);
  APMNanoSetRepeated(proto, ExperimentField::flags, &items);
  return proto;
}
