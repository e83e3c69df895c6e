#include "measurement/storage/models/raw_event_data.h"

#include "measurement/engine/monitor.h"

std::shared_ptr<APMRawEventData> APMRawEventData::initWithRawEvent(
    std::shared_ptr<const APMEvent> rawEvent, int64_t rowID, int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMMeasurement::monitor()->logWithLevel(
        4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMMeasurement::monitor()->logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID", rowID);
    return nullptr;
  }
  return std::make_shared<APMRawEventData>(std::move(rawEvent), rowID, metadataFingerprint);
}
