// `APMRawEventData`: one stored raw event as the bundler reads it back: the
// event, its row ID in the raw events table and the fingerprint of the
// metadata it belongs to.
//
// Immutable once made; any thread may read it.
#pragma once

#include <cstdint>
#include <memory>

#include "measurement/engine/event.h"

class APMRawEventData {
 public:
  // Null for a null event (28000) or a negative row ID (28001), both logged
  // at level 4. Row ID 0 stands for an event not stored yet; the
  // fingerprint is not checked.
  static std::shared_ptr<APMRawEventData> initWithRawEvent(std::shared_ptr<const APMEvent> rawEvent,
                                                           int64_t rowID,
                                                           int64_t metadataFingerprint);

  const std::shared_ptr<const APMEvent>& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

  APMRawEventData(std::shared_ptr<const APMEvent> rawEvent, int64_t rowID,
                  int64_t metadataFingerprint)  // use initWithRawEvent
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

 private:
  std::shared_ptr<const APMEvent> rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};
