// `APMSequenceTimestampsCache`: the times at which the sequence filters of
// one audience matched, gathered while that audience is evaluated and
// written out with its results as sequence-filter-result-timestamp
// messages.
//
// One cache per audience evaluation, used by one thread at a time (the
// measurement worker queue).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/messages/message_wrappers.h"

class APMSequenceTimestampsCache {
 public:
  explicit APMSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  int32_t audienceID() const { return audienceID_; }

  // A copy of the filter's timestamps in the order they were added; nullopt
  // when the filter has none recorded.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;

  // Appends the time an event filter matched, unless it falls within the
  // same whole second as the last one kept. A time before the last one is
  // logged (42000, level 5) and kept.
  void addEventFilterTimestamp(double timestamp, int32_t filterID);
  // Makes `timestamp` the filter's only time; one before the previous one
  // is logged (42001, level 5).
  void setUserPropertyTimestamp(double timestamp, int32_t filterID);

  // One message per filter recorded, in ascending order of filter ID: the
  // filter ID and its times sorted ascending as whole numbers (fractions
  // dropped); a filter without times gives its ID alone.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps()
      const;

 private:
  // The filter's times, made empty when missing; logs `code` when
  // `timestamp` is before the last of them.
  std::vector<double>& timestampsBefore(double timestamp, int32_t filterID, long code,
                                        const char* message);

  int32_t audienceID_;
  std::map<int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};
