#include "measurement/storage/experiments/snapshot.h"

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_monitor.h"
#include "platform/clock.h"

namespace {

std::shared_ptr<APMEMonitor> monitor() { return APMEMonitor::monitor(); }

double now() { return platform::Clock::current()->now(); }

}  // namespace

APMESnapshot::APMESnapshot(std::string SDKName, double timestamp)
    : SDKName_(std::move(SDKName)), timestamp_(timestamp) {}

APMESnapshotRef APMESnapshot::initWithSDKName(const std::string& SDKName,
                                              const std::optional<APMEExperiments>& experiments) {
  if (SDKName.empty()) {
    monitor()->logWithLevel(2, 840000, "Cannot create snapshot with an invalid SDK name", SDKName);
    return nullptr;
  }
  if (!experiments) {
    monitor()->logWithLevel(2, 840001, "Cannot create snapshot with an experiment list of nil");
    return nullptr;
  }
  auto snapshot = std::make_shared<APMESnapshot>(SDKName, now());
  for (const auto& experiment : *experiments) {
    if (!experiment) {
      monitor()->logWithLevel(2, 840002, "Cannot create snapshot with an invalid experiment",
                              platform::Object());
      return nullptr;
    }
    snapshot->experimentsByExperimentID_.insert_or_assign(experiment->experimentID(),
                                                          experiment->copy());
  }
  return snapshot;
}

APMESnapshotRef APMESnapshot::initWithProtobuf(const APMPBSnapshot* proto) {
  if (!proto) return nullptr;
  APMEExperiments experiments;
  for (const auto& message : APMERepeatedMessages<APMPBExperiment>(proto, SnapshotField::experiments)) {
    if (auto experiment = APMEExperiment::initWithProtobuf(message.get())) {
      experiments.push_back(std::move(experiment));
    }
  }
  return initWithSDKName(APMNanoGetString(proto, SnapshotField::sdk_name).value_or(std::string()),
                         experiments);
}

APMEExperiments APMESnapshot::experiments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  APMEExperiments experiments;
  experiments.reserve(experimentsByExperimentID_.size());
  for (const auto& entry : experimentsByExperimentID_) experiments.push_back(entry.second);
  return experiments;
}

std::vector<int64_t> APMESnapshot::experimentIDs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int64_t> ids;
  ids.reserve(experimentsByExperimentID_.size());
  for (const auto& entry : experimentsByExperimentID_) ids.push_back(entry.first);
  return ids;
}

double APMESnapshot::timestamp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timestamp_;
}

void APMESnapshot::setTimestamp(double timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  timestamp_ = timestamp;
}

bool APMESnapshot::manuallyActivated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return manuallyActivated_;
}

void APMESnapshot::setManuallyActivated(bool manuallyActivated) {
  std::lock_guard<std::mutex> lock(mutex_);
  manuallyActivated_ = manuallyActivated;
}

APMEFlagRef APMESnapshot::flagByName(const std::string& name) const {
  for (const auto& experiment : experiments()) {
    if (APMEFlagRef flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const APMEFlagRef& flag, const platform::Object& experimentID) {
  if (experimentID.isNil()) {
    monitor()->logWithLevel(2, 840003, "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag) {
    monitor()->logWithLevel(2, 840004, "Cannot add an invalid flag into a snapshot", experimentID);
    return;
  }
  if (!experimentID.isNumber()) {
    monitor()->logWithLevel(2, 870001, "Experiment ID must be a number. ID", experimentID);
    return;
  }
  std::shared_ptr<APMEExperiment> experiment;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = experimentsByExperimentID_[experimentID.int64Value()];
    if (!slot) slot = std::make_shared<APMEExperiment>(experimentID.int64Value());
    experiment = slot;
  }
  experiment->addFlag(flag);
}

void APMESnapshot::addFlags(const APMEFlags& flags, const platform::Object& experimentID) {
  for (const APMEFlagRef& flag : flags) addFlag(flag, experimentID);
}

APMESnapshotRef APMESnapshot::copy() const {
  return initWithSDKName(SDKName_, experiments());
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto proto = APMPBSnapshot::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  APMNanoSetString(proto, SnapshotField::sdk_name, SDKName_);
  std::vector<APMNanoValue> items;
  for (const auto& experiment : experiments()) {
    if (auto message = experiment->proto()) items.emplace_back(std::move(message));
  }
  APMNanoSetRepeated(proto, SnapshotField::experiments, &items);
  return proto;
}
