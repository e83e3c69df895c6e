// The engine's bundling step through the database's public calls, and a
// count of where each stored event is, for the suites in which processes
// store, bundle and upload over one file.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "measurement/storage/database/database.h"
#include "platform/clock.h"
#include "tests/measurement/storage/database/event_road_support.h"

namespace road {

// Bundles the events of the oldest fingerprint as the engine does: the
// bundle is queued and its events deleted in one transaction.
inline bool bundleOldest(APMDatabase& database) {
  return database.performTransaction([&] {
    std::optional<int64_t> fingerprint = database.nextMetadataFingerprintToProcess();
    if (!fingerprint) return false;
    auto metadata = database.queryRawEventsMetadataWithFingerprint(*fingerprint);
    auto events = database.rawEventsWithMetadataFingerprint(*fingerprint);
    if (!metadata || !events || events->empty()) return false;
    const int64_t now = static_cast<int64_t>(platform::Clock::current()->now() * 1000);
    return database.insertBundle(bundleOf(*metadata, *events, now), false) &&
           database.deleteRawEventsWithMetadataFingerprint(*fingerprint, events->back()->rowID()) &&
           (database.containsRawEventWithMetadataFingerprint(*fingerprint).value_or(true) ||
            database.deleteRawEventMetadataWithMetadataFingerprint(*fingerprint));
  });
}

// How often each sequence number is stored, raw or bundled. Fails the test
// on a row that cannot be read.
inline std::map<int64_t, int> storedSequences(APMDatabase& database) {
  std::map<int64_t, int> stored;
  auto rows = database.sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events", {});
  EXPECT_TRUE(rows);
  for (const APMRecord& row : rows.value_or(std::vector<APMRecord>{})) {
    auto event = database.rawEventDataFromDictionary(row);
    EXPECT_TRUE(event) << row.description();
    if (event) ++stored[sequenceOf(*event->rawEvent())];
  }
  auto bundles = database.queryBundlesWithCountLimit(1'000'000, int64_t{1} << 40);
  EXPECT_TRUE(bundles);
  EXPECT_EQ(static_cast<int64_t>(bundles.value_or(std::vector<APMQueuedBundle>{}).size()),
            database.sqliteStore()->rowCountForTableWithName(kAPMQueueTable).value_or(-1))
      << "a queued bundle does not read back";
  for (const APMQueuedBundle& bundle : bundles.value_or(std::vector<APMQueuedBundle>{})) {
    for (int64_t sequence : sequencesIn(*bundle.bundle)) ++stored[sequence];
  }
  return stored;
}

}  // namespace road
