// Events and bundles for the suites of the raw-event, queue and event
// tables: an event that carries a sequence number, a metadata bundle, and a
// queued bundle made of raw events as the engine would make it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/models/raw_event_data.h"

namespace road {

// An event named `name` with the integer parameter "seq" and a string.
inline std::shared_ptr<APMEvent> event(int64_t sequence, double timestamp,
                                       const std::string& name = "_e") {
  return APMEvent::initWithOrigin("app", false, name, timestamp, 0,
                                  {{"seq", APMValue(sequence)}, {"text", APMValue(std::string("t"))}});
}

inline int64_t sequenceOf(const APMEvent& event) {
  return event.parameters().at("seq").int64Value();
}

// A bundle with an app ID and the given end time in milliseconds; `padding`
// bytes of monitoring text make it as large as a test needs.
inline std::shared_ptr<APMPBMeasurementBundle> bundle(int64_t endMillis, size_t padding = 0,
                                                      const std::string& appID = "1:app") {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMNanoSetString(bundle, MeasurementBundleField::app_id, appID);
  APMNanoSetInt64(bundle, MeasurementBundleField::end_timestamp_millis, endMillis);
  if (padding) APMNanoSetString(bundle, MeasurementBundleField::monitoring_data, std::string(padding, 'x'));
  return bundle;
}

// The bundle `metadata` carrying `events`, as the bundler builds it.
inline std::shared_ptr<APMPBMeasurementBundle> bundleOf(
    const APMPBMeasurementBundle& metadata,
    const std::vector<std::shared_ptr<APMRawEventData>>& events, int64_t endMillis) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(metadata.messageInfo());
  std::vector<APMNanoValue> messages;
  for (const auto& event : events) messages.emplace_back(event->rawEvent()->protoEvent());
  APMNanoSetRepeated(bundle, MeasurementBundleField::events, &messages);
  APMNanoSetInt64(bundle, MeasurementBundleField::end_timestamp_millis, endMillis);
  return bundle;
}

// The "seq" values of the events inside a bundle.
inline std::vector<int64_t> sequencesIn(const APMPBMeasurementBundle& bundle) {
  std::vector<int64_t> sequences;
  NANOMessageClass eventClass = APMPBEvent::messageClass();
  auto events = APMNanoGetRepeated(&bundle, MeasurementBundleField::events, &eventClass);
  for (APMNanoValue& item : events.value_or(std::vector<APMNanoValue>{})) {
    auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&item);
    auto parsed = APMEvent::initWithEventProto(static_cast<const APMPBEvent*>(message->get()));
    if (parsed) sequences.push_back(sequenceOf(*parsed));
  }
  return sequences;
}

}  // namespace road
