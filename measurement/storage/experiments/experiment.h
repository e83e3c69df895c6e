// `APMEExperiment`: one experiment of a snapshot, its ID (0 marks the
// launched experiment) and its flags, at most one per flag name (a later
// flag of a name replaces the earlier one). Convertible to and from the
// `Experiment` message.
//
// Refusals are logged through the experiment monitor at level 2 (codes
// 870000 to 870007) and answer null or change nothing. Flags are shared, not
// copied, between an experiment and its copies; nobody changes a flag once
// it is in an experiment.
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

#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "platform/object.h"

using APMEFlagRef = std::shared_ptr<APMPBFlag>;
using APMEFlags = std::vector<APMEFlagRef>;

// The message items of a repeated field of `proto` as `T`, in order; empty
// when the field is missing.
template <class T>
std::vector<std::shared_ptr<T>> APMERepeatedMessages(NANOMessageRef proto, int32_t fieldID) {
  const NANOMessageClass messageClass = T::messageClass();
  std::vector<std::shared_ptr<T>> messages;
  for (APMNanoValue& item :
       APMNanoGetRepeated(proto, fieldID, &messageClass).value_or(std::vector<APMNanoValue>{})) {
    if (auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&item)) {
      messages.push_back(std::static_pointer_cast<T>(std::move(*message)));
    }
  }
  return messages;
}

class APMEExperiment {
 public:
  // Null for a nil ID (870000), an ID that is not a number (870001) or no
  // flag list (870002); a null flag refuses the whole list (870003). A flag
  // without a name is skipped (870006).
  static std::shared_ptr<APMEExperiment> initWithExperimentID(const platform::Object& experimentID,
                                                              const std::optional<APMEFlags>& flags);
  // The ID from experiment_id (0 when absent), the flags from flags. Null
  // for no message.
  static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment* proto);

  int64_t experimentID() const { return experimentID_; }
  // In name order.
  APMEFlags flags() const;
  // Replaces the flag of the same name. A null flag (870004) or one without
  // a name (870006) is refused.
  void addFlag(const APMEFlagRef& flag);
  // Null when absent; an empty name is refused (870007).
  APMEFlagRef flagWithName(const std::string& name) const;
  // The same ID and the same flag objects.
  std::shared_ptr<APMEExperiment> copy() const;
  // experiment_id (as int32) and every flag; the flag list is set even
  // when empty.
  std::shared_ptr<APMPBExperiment> proto() const;

  explicit APMEExperiment(int64_t experimentID) : experimentID_(experimentID) {}

 private:
  const int64_t experimentID_;
  mutable std::mutex mutex_;
  std::map<std::string, APMEFlagRef, std::less<>> flagsByName_;
};
