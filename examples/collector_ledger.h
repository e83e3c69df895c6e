// `CollectorLedger`: the example road's own collector, which checks event by
// event that everything the road stored arrived exactly once.
//
// Every event of the road carries an identity: its integer parameter "n",
// and for an event the editing program created (origin other than "app"),
// the "n" of the event it was created from. The road acknowledges each event
// once it is committed; the collector records the identities of the events
// in every batch it accepts. Counting alone would take a lost event and a
// duplicate of another for a complete delivery; identities do not.
//
// Memory: one byte per possible identity, two per stream event, whatever
// the collector receives. Thread-safe: the road acknowledges on its queue
// while the collector's thread receives.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "examples/loopback_collector.h"
#include "measurement/messages/message_wrappers.h"
#include "platform/object.h"

class CollectorLedger {
 public:
  // For the stream events numbered 0 to `eventCount` - 1.
  explicit CollectorLedger(int64_t eventCount);

  // Event `n` of the stream, or an event created from it, is stored.
  void acknowledge(int64_t n, bool created);

  // The collector's handler: reads a gzip measurement batch and answers a
  // line saying what it found. The second batch finds the collector busy
  // (503) to show a refusal; every other readable batch is accepted.
  LoopbackCollector::Answer receive(const platform::Bytes& body);

  // Every acknowledged event arrived once and nothing else arrived.
  bool complete() const;
  // What the collector received and how it compares with what the road
  // acknowledged.
  std::string summary() const;

 private:
  // Bit 7: acknowledged; bits 0-6: times accepted, stopping at 127.
  static constexpr uint8_t kAcknowledged = 0x80;
  static constexpr uint8_t kArrivals = 0x7f;

  struct Tally {
    int64_t acknowledged = 0;
    int64_t missing = 0;
    int64_t repeated = 0;
    int64_t unstored = 0;
    int64_t firstMissing = -1;  // a slot
    bool clean() const { return missing == 0 && repeated == 0 && unstored == 0; }
  };

  // Index of an identity in `marks_`; -1 outside the stream.
  int64_t slot(int64_t n, bool created) const;
  int64_t slotOf(const APMPBEvent* message) const;
  // Requires the lock.
  Tally tally() const;

  mutable std::mutex mutex_;
  std::vector<uint8_t> marks_;
  int64_t requests_ = 0;
  int64_t gzipBytes_ = 0;
  int64_t acceptedBundles_ = 0;
  int64_t acceptedEvents_ = 0;
  // Accepted events without an identity of the stream.
  int64_t strangers_ = 0;
};
