// Stores three events with the metadata they share in the measurement
// database, reads them back as the engine does before bundling, and
// removes what it read, so that each run starts from the same state.
#include <cstdio>
#include <string>

#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/models/raw_event_data.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"

static int fail(const std::string& step, const platform::ErrorRef& error) {
  std::fprintf(stderr, "%s: %s\n", step.c_str(), error ? error->localizedDescription().c_str() : "failed");
  return 1;
}

int main() {
  platform::ErrorRef error;
  // Errors of the folders the database needs name the folder; the file is
  // named here.
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr, &error);
  if (!database) return fail("cannot open the database " + path, error);
  std::printf("database %s\n", path.c_str());

  // Stored once, under the fingerprint of its bytes, for all three events.
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMNanoSetInt32(metadata, MeasurementBundleField::protocol_version, 1);
  APMNanoSetString(metadata, MeasurementBundleField::app_id, "com.example.own");
  APMNanoSetString(metadata, MeasurementBundleField::app_version, "1.0");
  // Stamped now: events older than the maximum queue time (28 days by
  // default) are purged before the next bundle is stored. One transaction
  // for the three: one commit instead of one per event.
  const bool stored = database->performTransaction([&] {
    for (int64_t level = 1; level <= 3; ++level) {
      auto event = APMEvent::initWithOrigin("app", true, "level_up", platform::Clock::current()->now(), 0,
                                            {{"level", APMValue(level)}}, &error);
      if (!event || !database->storeRawEvent(event, metadata, false, &error)) return false;
    }
    return true;
  });
  if (!stored) return fail("cannot store", error);

  // Oldest metadata first; its events in the order they were stored, at
  // most 1,000 a read. The delete takes the events up to the last one read:
  // rowids are never given twice, so an event stored meanwhile by another
  // process stays. The read and the delete share one write transaction, so
  // that another process does not read the same events before they go.
  int read = 0;
  while (auto fingerprint = database->nextMetadataFingerprintToProcess(&error)) {
    const bool handled = database->performTransaction([&] {
      auto shared = database->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
      if (!shared) {
        // Metadata no bundle can be made of (stored by an older version) or
        // that cannot be read goes with its events, logged: the next
        // fingerprint comes up. Other failures leave them, and end the loop.
        auto left = database->containsRawEventWithMetadataFingerprint(*fingerprint);
        if (!left || *left) return false;
        error = nullptr;
        return true;
      }
      auto events = database->rawEventsWithMetadataFingerprint(*fingerprint, &error);
      if (!events || events->empty()) return false;
      std::printf("app %s %s:\n", APMNanoGetString(shared, MeasurementBundleField::app_id).value_or("?").c_str(),
                  APMNanoGetString(shared, MeasurementBundleField::app_version).value_or("?").c_str());
      for (const auto& raw : *events) {
        const APMEvent& event = *raw->rawEvent();
        std::printf("  %s at %.3f, level %lld\n", event.name().c_str(), event.timestamp(),
                    static_cast<long long>(event.parameters().at("level").int64Value()));
        ++read;
      }
      // The events read go, then their metadata once no event refers to it.
      if (!database->deleteRawEventsWithMetadataFingerprint(*fingerprint, events->back()->rowID(), &error)) {
        return false;
      }
      auto left = database->containsRawEventWithMetadataFingerprint(*fingerprint, &error);
      return left && (*left || database->deleteRawEventMetadataWithMetadataFingerprint(*fingerprint, &error));
    });
    if (!handled) return fail("cannot read back and remove", error);
  }
  if (error || read < 3) return fail("cannot read back", error);
  std::printf("%d events read back\n", read);
  return 0;
}
