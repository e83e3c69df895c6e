#include "measurement/storage/models/sequence_timestamps_cache.h"

#include <algorithm>

#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "platform/numbers.h"

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    int32_t filterID) const {
  auto found = allSequenceTimestampsByFilterID_.find(filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

std::vector<double>& APMSequenceTimestampsCache::timestampsBefore(double timestamp,
                                                                  int32_t filterID, long code,
                                                                  const char* message) {
  std::vector<double>& timestamps = allSequenceTimestampsByFilterID_[filterID];
  if (!timestamps.empty() && timestamps.back() > timestamp) {
    APMMeasurement::monitor()->logWithLevel(5, code, message);
  }
  return timestamps;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& timestamps = timestampsBefore(
      timestamp, filterID, 42000, "Adding a sequence timestamp less than the last added timestamp");
  if (!timestamps.empty() && platform::saturatingCast<int64_t>(timestamps.back()) ==
                                 platform::saturatingCast<int64_t>(timestamp)) {
    return;
  }
  timestamps.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& timestamps = timestampsBefore(
      timestamp, filterID, 42001, "Setting a sequence timestamp less than the last set timestamp");
  timestamps.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> results;
  for (const auto& [filterID, timestamps] : allSequenceTimestampsByFilterID_) {
    auto message = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    if (!message) continue;
    APMNanoSetInt32(message, SequenceFilterResultTimestampField::filter_id, filterID);
    if (!timestamps.empty()) {
      std::vector<double> sorted = timestamps;
      std::sort(sorted.begin(), sorted.end());
      std::vector<APMNanoValue> values;
      values.reserve(sorted.size());
      for (double timestamp : sorted) {
        values.emplace_back(platform::Object(platform::saturatingCast<int64_t>(timestamp)));
      }
      APMNanoSetRepeated(message, SequenceFilterResultTimestampField::eval_timestamps, &values);
    }
    results.push_back(std::move(message));
  }
  return results;
}
