// `APMEventAggregates`: the counters the engine keeps per event name: how
// often the event fired in its lifetime, in the bundle being built and in
// the current session, when it last fired and was last bundled, and the
// sampling state of its last bundling. Stored as one row of the events
// table (the measurement database's event aggregates).
//
// The name and the three counts are fixed when the object is made; the
// timestamps and the sampling state may be set afterwards. An object is
// used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class APMEventAggregates {
 public:
  // Null when `name` is not a valid internal event name or a count is
  // negative. The rest starts as never bundled: last bundled time 0.0, no
  // sampled complex event, sampling rate 1, not exempt, last bundled day 0.
  static std::shared_ptr<APMEventAggregates> initWithName(std::string name, int32_t lifetimeCount,
                                                          int32_t currentBundleCount,
                                                          int32_t currentSessionCount,
                                                          double lastFireTimestamp);

  const std::string& name() const { return name_; }
  int32_t lifetimeCount() const { return lifetimeCount_; }
  int32_t currentBundleCount() const { return currentBundleCount_; }
  int32_t currentSessionCount() const { return currentSessionCount_; }

  // Seconds since 1970.
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
  const std::optional<int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  void setLastSampledComplexEventID(std::optional<int64_t> value) {
    lastSampledComplexEventID_ = value;
  }
  int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(int32_t value) { lastSamplingRate_ = value; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
  int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(int32_t value) { lastBundledDay_ = value; }

  APMEventAggregates(std::string name, int32_t lifetimeCount, int32_t currentBundleCount,
                     int32_t currentSessionCount, double lastFireTimestamp)  // use initWithName
      : name_(std::move(name)),
        lifetimeCount_(lifetimeCount),
        currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount),
        lastFireTimestamp_(lastFireTimestamp) {}

 private:
  std::string name_;
  int32_t lifetimeCount_;
  int32_t currentBundleCount_;
  int32_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0.0;
  std::optional<int64_t> lastSampledComplexEventID_;
  int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  int32_t lastBundledDay_ = 0;
};
