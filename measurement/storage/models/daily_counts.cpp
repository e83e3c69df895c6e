#include "measurement/storage/models/daily_counts.h"

#include <algorithm>
#include <limits>

namespace {

// Counters come from stored rows and event batches; adding must not
// overflow a signed int.
int32_t added(int32_t counter, int64_t amount) {
  int64_t sum = int64_t{counter} + amount;
  sum = std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(sum);
}

}  // namespace

APMDailyCounts::APMDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                               int32_t publicEventsCount, int32_t errorEventsCount,
                               int32_t realtimeCount, int32_t dcuRealtimeCount)
    : day_(day),
      conversionsCount_(conversionsCount),
      allEventsCount_(allEventsCount),
      publicEventsCount_(publicEventsCount),
      errorEventsCount_(errorEventsCount),
      realtimeCount_(realtimeCount),
      dcuRealtimeCount_(dcuRealtimeCount) {}

void APMDailyCounts::rollOverTo(int32_t day) {
  if (day != day_) resetWithNewDay(day);
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion, int32_t effectiveEventCount) {
  rollOverTo(day);
  if (isConversion) conversionsCount_ = added(conversionsCount_, 1);
  allEventsCount_ = added(allEventsCount_, effectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = added(publicEventsCount_, effectiveEventCount);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  rollOverTo(day);
  errorEventsCount_ = added(errorEventsCount_, 1);
  allEventsCount_ = added(allEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  rollOverTo(day);
  realtimeCount_ = added(realtimeCount_, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  rollOverTo(day);
  dcuRealtimeCount_ = added(dcuRealtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  allEventsCount_ = allEventsCount_ <= 0 ? 0 : allEventsCount_ - 1;
}

void APMDailyCounts::resetWithNewDay(int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}
