// `APMAppMetadata`: the engine's bundle numbering as kept in the one row of
// the app_metadata table: the index of the last bundle built and the time
// span it covered.
//
// A plain object owned by its caller; not thread-safe (the engine uses it on
// its worker queue).
#pragma once

#include <cstdint>
#include <memory>

class APMAppMetadata {
 public:
  // Null for a negative index (4000 logged).
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);

  // Goes up by one; after 2147483647 the index starts again at 0 (4001
  // and 12067 logged), so it is never negative.
  void incrementLastBundleIndex();

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  // Seconds since 1970.
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

  APMAppMetadata(int32_t lastBundleIndex, double lastBundleStartTimestamp,
                 double lastBundleEndTimestamp)  // use initWithLastBundleIndex
      : lastBundleIndex_(lastBundleIndex),
        lastBundleStartTimestamp_(lastBundleStartTimestamp),
        lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

 private:
  int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
