// The road of a stream of events through the measurement layers, the
// program playing the engine's part: a measurement configuration with an
// editing program is stored, the events go through its editor into the
// raw-event tables, raw events become bundles in the compressed upload
// queue, and queued bundles go up in batches to a collector, which answers
// each batch.
#pragma once

#include <cstdint>
#include <functional>
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
  // The app container the road works in; empty: a fresh temporary folder,
  // removed at the end. A given folder keeps its database, with what it
  // already holds, which goes up too.
  std::string container;
};

// Prints what happens at each step; 0 when every event reached the
// collector (with its own collector: each stored event exactly once), 1
// otherwise (one line on standard error says why).
int runEventRoad(const EventRoadOptions& options);

// One process's part of a road whose steps several processes share over
// one database file, as an app and its extensions do. The database is the
// one of the current container.
struct EventRoadShare {
  // Where batches go; the collector must accept or refuse every batch.
  std::string collectorURL;
  // Events of the stream, numbered 0 to `streamLength` - 1; this process
  // stores [firstStored, firstStored + storedCount).
  int64_t streamLength = 2'000;
  int64_t firstStored = 0;
  int64_t storedCount = 0;
  // After storing: bundle and upload, pass after pass, until a pass begun
  // once `finished` answered true found nothing to bundle or upload.
  bool bundleAndUpload = false;
  std::function<bool()> finished;
};

// 0 when every step succeeded, 1 otherwise (one line on standard error
// says why). Prints the lines of load mode.
int runEventRoadShare(const EventRoadShare& share);
