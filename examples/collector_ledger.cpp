#include "examples/collector_ledger.h"

#include <optional>

#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "sdk_core/gzip.h"

CollectorLedger::CollectorLedger(int64_t eventCount)
    : marks_(static_cast<size_t>(eventCount > 0 ? 2 * eventCount : 0)) {}

int64_t CollectorLedger::slot(int64_t n, bool created) const {
  if (n < 0 || n >= static_cast<int64_t>(marks_.size()) / 2) return -1;
  return 2 * n + (created ? 1 : 0);
}

int64_t CollectorLedger::slotOf(const APMPBEvent* message) const {
  auto event = APMEvent::initWithEventProto(message);
  if (!event) return -1;
  auto n = event->parameters().find("n");
  // A number the program handed on comes back as a double.
  if (n == event->parameters().end() || !(n->second.isInt64() || n->second.isDouble())) return -1;
  return slot(n->second.int64Value(), event->origin() != "app");
}

void CollectorLedger::acknowledge(int64_t n, bool created) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t index = slot(n, created);
  if (index >= 0) marks_[static_cast<size_t>(index)] |= kAcknowledged;
}

LoopbackCollector::Answer CollectorLedger::receive(const platform::Bytes& body) {
  auto bytes = gul_dataByInflatingGzippedData(body);
  auto batch = bytes ? APMPBMeasurementBatch::initWithBuffer(*bytes) : nullptr;
  const NANOMessageClass bundleClass = APMPBMeasurementBundle::messageClass();
  const NANOMessageClass eventClass = APMPBEvent::messageClass();
  auto bundles = batch ? APMNanoGetRepeated(batch, MeasurementBatchField::bundles, &bundleClass) : std::nullopt;
  int64_t retried = 0;
  std::vector<int64_t> slots;
  for (const APMNanoValue& item : bundles.value_or(std::vector<APMNanoValue>{})) {
    const auto& bundle = std::get<std::shared_ptr<NANOMessageBase>>(item);
    retried += APMNanoGetInt32(bundle, MeasurementBundleField::retry_count) > 0;
    for (const APMNanoValue& message :
         APMNanoGetRepeated(bundle, MeasurementBundleField::events, &eventClass).value_or(std::vector<APMNanoValue>{})) {
      slots.push_back(slotOf(static_cast<const APMPBEvent*>(std::get<std::shared_ptr<NANOMessageBase>>(message).get())));
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_;
  gzipBytes_ += static_cast<int64_t>(body.size());
  if (!bundles) return {400, "not a gzip measurement batch"};
  std::string summary = "got " + std::to_string(bundles->size()) + " bundles, " + std::to_string(slots.size()) +
                        " events, " + std::to_string(retried) + " sent before";
  if (requests_ == 2) return {503, "busy; " + summary};
  acceptedBundles_ += static_cast<int64_t>(bundles->size());
  acceptedEvents_ += static_cast<int64_t>(slots.size());
  for (int64_t index : slots) {
    if (index < 0) {
      ++strangers_;
      continue;
    }
    uint8_t& mark = marks_[static_cast<size_t>(index)];
    if ((mark & kArrivals) < kArrivals) ++mark;
  }
  return {200, summary};
}

CollectorLedger::Tally CollectorLedger::tally() const {
  Tally tally;
  tally.unstored = strangers_;
  for (size_t index = 0; index < marks_.size(); ++index) {
    const uint8_t mark = marks_[index];
    const int arrivals = mark & kArrivals;
    if (!(mark & kAcknowledged)) {
      tally.unstored += arrivals;
      continue;
    }
    ++tally.acknowledged;
    if (arrivals == 0 && tally.missing++ == 0) tally.firstMissing = static_cast<int64_t>(index);
    tally.repeated += arrivals > 1;
  }
  return tally;
}

bool CollectorLedger::complete() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tally().clean();
}

std::string CollectorLedger::summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Tally counted = tally();
  std::string text = "collector received " + std::to_string(requests_) + " batches (" + std::to_string(gzipBytes_) +
                     " gzip bytes); accepted " + std::to_string(acceptedBundles_) + " bundles with " +
                     std::to_string(acceptedEvents_) + " events: ";
  if (counted.clean()) {
    return text + "each of the " + std::to_string(counted.acknowledged) + " stored events arrived once";
  }
  text += std::to_string(counted.missing) + " stored events missing, " + std::to_string(counted.repeated) +
          " arrived more than once, " + std::to_string(counted.unstored) + " never stored";
  if (counted.firstMissing >= 0) {
    text += " (first missing: " + std::string(counted.firstMissing % 2 ? "an event created from " : "") +
            "event " + std::to_string(counted.firstMissing / 2) + ")";
  }
  return text;
}
