// `APMAudienceFilter`: what the audience evaluator asks of every stored
// audience filter, and `APMEventFilter`, the filter of an audience on one
// event name.
//
// A filter record is the stored form of one filter of the measurement
// configuration: its audience and filter IDs, the name it matches (an event
// or a user property), and the encoded filter message itself. The three
// flags are those of that message when the record is read back from the
// database. Records are immutable once made; any thread may read them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/object.h"

class APMAudienceFilter {
 public:
  virtual ~APMAudienceFilter() = default;
  virtual int32_t audienceID() const = 0;
  virtual int32_t filterID() const = 0;
  virtual bool isSessionScoped() const = 0;
  virtual bool isDynamic() const = 0;
  virtual bool isSequence() const = 0;
};

// The fields every stored filter record has; the event and property filter
// records name `matchedName` after what they match.
class APMAudienceFilterRecord : public APMAudienceFilter {
 public:
  int32_t audienceID() const override { return audienceID_; }
  int32_t filterID() const override { return filterID_; }
  const std::string& matchedName() const { return matchedName_; }
  // The encoded filter message.
  const platform::Bytes& data() const { return data_; }
  bool isSessionScoped() const override { return sessionScoped_; }
  bool isDynamic() const override { return dynamic_; }
  bool isSequence() const override { return sequence_; }

 protected:
  APMAudienceFilterRecord(int32_t audienceID, int32_t filterID, std::string matchedName,
                          platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        matchedName_(std::move(matchedName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}

 private:
  int32_t audienceID_;
  int32_t filterID_;
  std::string matchedName_;
  platform::Bytes data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

class APMEventFilter final : public APMAudienceFilterRecord {
 public:
  // Checks nothing; `data` is the encoded event-filter message.
  APMEventFilter(int32_t audienceID, int32_t filterID, std::string eventName, platform::Bytes data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : APMAudienceFilterRecord(audienceID, filterID, std::move(eventName), std::move(data),
                                sessionScoped, dynamic, sequence) {}

  const std::string& eventName() const { return matchedName(); }
};
