// `APMDailyCounts`: the per-day event counters of the app_metadata row,
// against which the engine enforces its daily caps.
//
// Every increment takes the current day number first and, when the day has
// changed, starts the counters again from zero. Counters stop at the int32
// maximum rather than wrap.
//
// A plain value; not thread-safe (the engine uses it on its worker queue).
#pragma once

#include <cstdint>

class APMDailyCounts {
 public:
  APMDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                 int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount,
                 int32_t dcuRealtimeCount);

  // Conversions +1 for a conversion; all events +count; public events +count
  // for a public event. Conversions go up by one whatever the count.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                    int32_t effectiveEventCount = 1);
  // Error events +1 and all events +1.
  void incrementErrorEventsCountForCurrentDay(int32_t day);
  void incrementRealtimeCountsForCurrentDay(int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(int32_t day);
  // All events -1, never below 0.
  void decrementAllEventsCount();
  // Sets the day and every counter to 0.
  void resetWithNewDay(int32_t day);

  int32_t day() const { return day_; }
  int32_t conversionsCount() const { return conversionsCount_; }
  int32_t allEventsCount() const { return allEventsCount_; }
  int32_t publicEventsCount() const { return publicEventsCount_; }
  int32_t errorEventsCount() const { return errorEventsCount_; }
  int32_t realtimeCount() const { return realtimeCount_; }
  int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  bool operator==(const APMDailyCounts&) const = default;

 private:
  void rollOverTo(int32_t day);

  int32_t day_;
  int32_t conversionsCount_;
  int32_t allEventsCount_;
  int32_t publicEventsCount_;
  int32_t errorEventsCount_;
  int32_t realtimeCount_;
  int32_t dcuRealtimeCount_;
};
