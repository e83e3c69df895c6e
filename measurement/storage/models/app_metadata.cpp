#include "measurement/storage/models/app_metadata.h"

#include <limits>

#include "measurement/engine/monitor.h"
#include "measurement/storage/models/bundle_numbering_internal.h"

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
    // 4001 is never printed; the restart must be seen.
    APMLogBundleNumberingRestart("the index passed its maximum", std::numeric_limits<int32_t>::max());
    return;
  }
  ++lastBundleIndex_;
}

void APMLogBundleNumberingRestart(const std::string& reason, std::optional<int64_t> lastIndex) {
  APMMeasurement::monitor()->logWithLevel(
      6, 12067, "Bundle numbering restarts: indexes given before may be given again. Reason, last index",
      reason, lastIndex ? platform::Object(*lastIndex) : platform::Object("none known"));
}
