#include "measurement/storage/models/app_metadata.h"

#include <limits>

#include "measurement/engine/monitor.h"

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(
    int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMMeasurement::monitor()->logWithLevel(
        2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::make_shared<APMAppMetadata>(lastBundleIndex, lastBundleStartTimestamp,
                                          lastBundleEndTimestamp);
}

void APMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ == std::numeric_limits<int32_t>::max()) {
    lastBundleIndex_ = 0;
    APMMeasurement::monitor()->logWithLevel(5, 4001,
                                            "Bundle index overflow. Bundle index reset to 0.");
    return;
  }
  ++lastBundleIndex_;
}
