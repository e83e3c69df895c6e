// `APMESnapshot`: the experiments, each with its flags, that the measurement
// service assigned to one SDK at one time; at most one experiment per ID.
// Convertible to and from the `Snapshot` message, which is also how the
// experiment database keeps it.
//
// `timestamp` starts as the creation time (from `platform::Clock::current()`)
// and `manuallyActivated` as false; both may be changed. A copy carries the
// time of copying and is not marked, so whoever copies restarts the
// snapshot's age.
//
// Refusals are logged through the experiment monitor at level 2 (codes
// 840000 to 840004) and answer null or change nothing.
//
// Thread-safe: any thread may call any operation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/storage/experiments/experiment.h"

using APMEExperiments = std::vector<std::shared_ptr<APMEExperiment>>;

class APMESnapshot;
using APMESnapshotRef = std::shared_ptr<APMESnapshot>;
using APMESnapshots = std::vector<APMESnapshotRef>;

class APMESnapshot {
 public:
  // Null for an empty name (840000), no experiment list (840001) or a null
  // experiment in it (840002). Copies of the experiments are kept, a later
  // one replacing an earlier one of the same ID.
  static APMESnapshotRef initWithSDKName(const std::string& SDKName,
                                         const std::optional<APMEExperiments>& experiments);
  // The name from sdk_name, the experiments from experiments. Null for no
  // message or a message without a name.
  static APMESnapshotRef initWithProtobuf(const APMPBSnapshot* proto);

  const std::string& SDKName() const { return SDKName_; }
  // In ID order.
  APMEExperiments experiments() const;
  std::vector<int64_t> experimentIDs() const;
  double timestamp() const;
  void setTimestamp(double timestamp);
  bool manuallyActivated() const;
  void setManuallyActivated(bool manuallyActivated);

  // The flag of the first experiment, in ID order, that has one of this
  // name; null when none has.
  APMEFlagRef flagByName(const std::string& name) const;
  // Adds the flag to the experiment of the ID, made when absent. A nil ID
  // (840003) or a null flag (840004) is refused.
  void addFlag(const APMEFlagRef& flag, const platform::Object& experimentID);
  void addFlags(const APMEFlags& flags, const platform::Object& experimentID);

  // Same name and experiments; timestamp now, not marked.
  APMESnapshotRef copy() const;
  // sdk_name and every experiment; the experiment list is set even when
  // empty.
  std::shared_ptr<APMPBSnapshot> proto() const;

  APMESnapshot(std::string SDKName, double timestamp);

 private:
  const std::string SDKName_;
  mutable std::mutex mutex_;
  std::map<int64_t, std::shared_ptr<APMEExperiment>> experimentsByExperimentID_;
  double timestamp_;
  bool manuallyActivated_ = false;
};
