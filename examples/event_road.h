// The road of one event through the measurement layers, as a plain program:
// a measurement configuration with an editing program is stored, a stream
// of events goes through its editor into the raw-event tables, raw events
// become bundles in the compressed upload queue, and queued bundles go up in
// batches to a collector, which answers each batch.
#pragma once

#include <cstdint>
#include <string>

struct EventRoadOptions {
  // Events handed to the editor.
  int64_t eventCount = 2'000;
  // Where batches go; empty starts a collector on 127.0.0.1 that refuses
  // the second batch it receives and accepts every other.
  std::string collectorURL;
  // Load mode: the events go in chunks, each stored, bundled and uploaded
  // before the next, with one progress line per 100,000 events instead of a
  // line per step.
  bool loadTest = false;
};

// Prints what happens at each step; 0 when every event reached the
// collector, 1 otherwise (one line on standard error says why).
int runEventRoad(const EventRoadOptions& options);
