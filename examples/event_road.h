// The road of a stream of events through the measurement layers, the
// program playing the engine's part: a measurement configuration with an
// editing program is stored, the events go through its editor into the
// raw-event tables, raw events become bundles in the compressed upload
// queue, and queued bundles go up in batches to a collector, which answers
// each batch.
#pragma once

#include <cstdint>
#include <string>

struct EventRoadOptions {
  // Events handed to the editor.
  int64_t eventCount = 2'000;
  // Where batches go; empty starts a collector on 127.0.0.1 that refuses
  // the second batch it receives, accepts every other, and checks that each
  // stored event arrived exactly once.
  std::string collectorURL;
  // Load mode: the events go in chunks, each stored, bundled and uploaded
  // before the next, with one progress line per 100,000 events instead of a
  // line per step.
  bool loadTest = false;
};

// Prints what happens at each step; 0 when every event reached the
// collector (with its own collector: each stored event exactly once), 1
// otherwise (one line on standard error says why).
int runEventRoad(const EventRoadOptions& options);
