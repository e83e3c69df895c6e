// Raw events and queued bundles against plain SQLite calls running the same
// SQL with statements prepared once by hand, in the same run; prints each
// pair's speed ratio (plain time over the database's: above 1 the database
// is faster).
//
//   raw-event store      `storeRawEvent` (metadata check, trim, insert in
//                        one savepoint) against the same statements; both
//                        sides encode the event and the metadata and take
//                        its fingerprint with the same routines
//   bundle read          `queryBundlesWithCountLimit(100, 65536)` over 300
//                        queued bundles against the same SELECT; both sides
//                        inflate and decode each bundle they take
//   trim at 100,000      `storeRawEvent` with 100,000 events stored and the
//                        limit at 100,000 (one event trimmed per store)
//                        against the same store trimming by "ORDER BY rowid
//                        DESC LIMIT -1 OFFSET ?", which walks every row kept;
//                        each trim logs "Data loss. Too many events stored
//                        on disk" (23070), which is what is measured here:
//                        the lines are counted ("events_trimmed" per store)
//                        instead of printed
//
// Writes run with "PRAGMA synchronous = OFF" on both sides: a commit that
// waits for the disk costs more, and varies more, than the code under test.
//
// Run with --benchmark_repetitions=9 to compare medians on a busy machine.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/storage_bench_support.h"
#include "measurement/engine/asl_logger.h"
#include "measurement/engine/event.h"
#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/system/data_additions.h"
#include "platform/clock.h"
#include "sdk_core/gzip.h"

namespace {

using platform::Bytes;

constexpr int kQueuedBundles = 300;
constexpr int kEventsPerBundle = 12;
constexpr int64_t kCountLimit = 100;
constexpr int64_t kSizeLimit = 65'536;
constexpr int64_t kStoredEvents = 100'000;

// The statements `storeRawEvent` runs for an event of known metadata.
constexpr const char* kSavepoint = "SAVEPOINT apm_savepoint";
constexpr const char* kRelease = "RELEASE apm_savepoint";
constexpr const char* kMetadata =
    "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?";
constexpr const char* kDataVersion = "PRAGMA data_version";
constexpr const char* kCount =
    "SELECT (SELECT n FROM temp.raw_events_count WHERE data_version = ?)";
constexpr const char* kInsert =
    "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
    "VALUES (?, ?, ?, ?, ?);";
// The trim that walks the rows it keeps.
constexpr const char* kOffsetTrim =
    "DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC "
    "LIMIT -1 OFFSET ?)";
constexpr const char* kQueueRead =
    "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?";

std::shared_ptr<APMDatabase> openDatabase(const std::string& name, int64_t maxEventsStored) {
  auto database = openBenchDatabase(name);
  if (!database) return nullptr;
  database->setStorageLimitsSource([maxEventsStored] {
    APMStorageLimits limits;
    limits.maxEventsStored = maxEventsStored;
    return limits;
  });
  return database;
}

std::shared_ptr<APMPBMeasurementBundle> metadata() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMNanoSetString(bundle, MeasurementBundleField::app_id, "1:1234567890:ios:abcdef");
  APMNanoSetString(bundle, MeasurementBundleField::app_instance_id, std::string(32, 'a'));
  APMNanoSetString(bundle, MeasurementBundleField::os_version, "17.2");
  return bundle;
}

// Stamped from the start of the run on, a millisecond apart: the store
// refuses times further from now than the stale-data purge keeps.
std::shared_ptr<APMEvent> event(int64_t i) {
  static const double start = platform::Clock::current()->now();
  return APMEvent::initWithOrigin(
      "app", false, "_e", start + static_cast<double>(i) * 1e-3, 0,
      {{"screen", APMValue(std::string("home"))}, {"count", APMValue(i)}, {"value", APMValue(2.5)}});
}

// Fills raw_events with `count` small rows through one transaction.
void fillRawEvents(sqlite3* db, int64_t count) {
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) "
                     "VALUES ('_e', 1, 1, x'00')",
                     -1, &statement, nullptr);
  for (int64_t i = 0; i < count; ++i) {
    sqlite3_step(statement);
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

// The monitor's printer during the run: the trims' data-loss lines (23070)
// are expected by the thousand and only counted; every other line is
// printed as usual.
constexpr long kTooManyEventsCode = 23070;
std::atomic<int64_t> gEventsTrimmed{0};

class TrimCountingLogger : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, long messageCode,
                  long logLevel) override {
    if (messageCode != kTooManyEventsCode) printer_.logMessage(message, logTag, messageCode, logLevel);
  }

 private:
  APMASLLogger printer_;
};

void countTrims() {
  auto monitor = APMMeasurement::monitor();
  monitor->setLogger(std::make_shared<TrimCountingLogger>());
  monitor->setObserver([](long, long code, const std::string&, const APMMonitor::Contexts& contexts,
                          const std::string&) {
    if (code == kTooManyEventsCode && !contexts.empty() && contexts[0].isNumber()) {
      gEventsTrimmed += contexts[0].int64Value();
    }
  });
}

// --- Plain SQLite ------------------------------------------------------------

struct Plain {
  explicit Plain(sqlite3* handle) : db(handle) {}
  ~Plain() {
    for (sqlite3_stmt* statement : statements) sqlite3_finalize(statement);
  }

  sqlite3_stmt* prepare(const char* text) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v3(db, text, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    statements.push_back(statement);
    return statement;
  }

  static bool run(sqlite3_stmt* statement) {
    int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result == SQLITE_DONE || result == SQLITE_ROW;
  }

  // The store of one event whose metadata is stored already, as
  // `storeRawEvent` makes it; `trim` runs between the checks and the insert.
  template <typename Trim>
  bool store(const APMEvent& event, const APMPBMeasurementBundle& bundle, Trim&& trim) {
    Bytes bytes = *bundle.protoBuffer();
    int64_t fingerprint = apm_64LSBMD5(bytes);
    if (!run(savepoint)) return false;
    sqlite3_bind_int64(metadataQuery, 1, fingerprint);
    bool known = sqlite3_step(metadataQuery) == SQLITE_ROW &&
                 Bytes(static_cast<const uint8_t*>(sqlite3_column_blob(metadataQuery, 0)),
                       static_cast<const uint8_t*>(sqlite3_column_blob(metadataQuery, 0)) +
                           sqlite3_column_bytes(metadataQuery, 0)) == bytes;
    sqlite3_reset(metadataQuery);
    sqlite3_clear_bindings(metadataQuery);
    if (!known || !trim()) return false;
    auto message = event.protoEvent();
    APMNanoClearField(message, EventField::name);
    Bytes data = *message->protoBuffer();
    sqlite3_bind_text(insert, 1, event.name().data(), static_cast<int>(event.name().size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 2, event.timestamp());
    sqlite3_bind_int64(insert, 3, fingerprint);
    sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 5, 0);
    return run(insert) && run(release);
  }

  // The trim below the limit: its savepoint, the data version and the kept
  // count.
  bool countCheck() {
    if (!run(savepoint) || sqlite3_step(dataVersion) != SQLITE_ROW) return false;
    sqlite3_bind_int64(count, 1, sqlite3_column_int64(dataVersion, 0));
    sqlite3_reset(dataVersion);
    return run(count) && run(release);
  }

  sqlite3* db;
  std::vector<sqlite3_stmt*> statements;
  sqlite3_stmt* savepoint = prepare(kSavepoint);
  sqlite3_stmt* release = prepare(kRelease);
  sqlite3_stmt* metadataQuery = prepare(kMetadata);
  sqlite3_stmt* insert = prepare(kInsert);
  sqlite3_stmt* dataVersion = prepare(kDataVersion);
  sqlite3_stmt* count = nullptr;
};

// --- Benchmarks --------------------------------------------------------------

void rawEventStoreDatabase(benchmark::State& state) {
  auto database = openDatabase("store_database", 1'000'000);
  auto bundle = metadata();
  int64_t i = 0;
  for (auto _ : state) {
    if (!database->storeRawEvent(event(i++), bundle, false)) state.SkipWithError("store failed");
  }
}

void rawEventStorePlain(benchmark::State& state) {
  auto database = openDatabase("store_plain", 1'000'000);
  auto bundle = metadata();
  // The metadata row and the connection's count table, as the first store
  // leaves them.
  database->storeRawEvent(event(0), bundle, false);
  Plain plain(database->sqliteStore()->sqliteHandle());
  plain.count = plain.prepare(kCount);
  int64_t i = 0;
  for (auto _ : state) {
    if (!plain.store(*event(i++), *bundle, [&] { return plain.countCheck(); })) {
      state.SkipWithError("store failed");
    }
  }
}

void trimAt100kDatabase(benchmark::State& state) {
  auto database = openDatabase("trim_database", kStoredEvents);
  fillRawEvents(database->sqliteStore()->sqliteHandle(), kStoredEvents);
  auto bundle = metadata();
  int64_t i = 0;
  const int64_t trimmedBefore = gEventsTrimmed;
  for (auto _ : state) {
    if (!database->storeRawEvent(event(i++), bundle, false)) state.SkipWithError("store failed");
  }
  state.counters["events_trimmed"] = benchmark::Counter(static_cast<double>(gEventsTrimmed - trimmedBefore),
                                                        benchmark::Counter::kAvgIterations);
}

void trimAt100kOffset(benchmark::State& state) {
  auto database = openDatabase("trim_offset", kStoredEvents);
  fillRawEvents(database->sqliteStore()->sqliteHandle(), kStoredEvents);
  auto bundle = metadata();
  database->insertIfNotExistsRawEventMetadata(bundle);
  Plain plain(database->sqliteStore()->sqliteHandle());
  sqlite3_stmt* trim = plain.prepare(kOffsetTrim);
  int64_t i = 0;
  for (auto _ : state) {
    auto trimByOffset = [&] {
      sqlite3_bind_int64(trim, 1, kStoredEvents - 1);
      return Plain::run(trim);
    };
    if (!plain.store(*event(i++), *bundle, trimByOffset)) state.SkipWithError("store failed");
  }
}

std::shared_ptr<APMDatabase> queueDatabase(const std::string& name) {
  auto database = openDatabase(name, kStoredEvents);
  auto base = metadata();
  // Bundles of now: older ones would be stale (logged as stored out of the
  // upload time span, and purged while the reads are timed).
  const int64_t nowMillis = static_cast<int64_t>(platform::Clock::current()->now() * 1000);
  database->performTransaction([&] {
    for (int b = 0; b < kQueuedBundles; ++b) {
      auto bundle = APMPBMeasurementBundle::initWithMessageInfo(base->messageInfo());
      std::vector<APMNanoValue> events;
      for (int e = 0; e < kEventsPerBundle; ++e) events.emplace_back(event(b * 100 + e)->protoEvent());
      APMNanoSetRepeated(bundle, MeasurementBundleField::events, &events);
      APMNanoSetInt64(bundle, MeasurementBundleField::end_timestamp_millis, nowMillis + b);
      if (!database->insertBundle(bundle, false)) return false;
    }
    return true;
  });
  return database;
}

void bundleReadDatabase(benchmark::State& state) {
  auto database = queueDatabase("read_database");
  for (auto _ : state) {
    auto bundles = database->queryBundlesWithCountLimit(kCountLimit, kSizeLimit);
    if (!bundles || bundles->empty()) state.SkipWithError("no bundles");
    benchmark::DoNotOptimize(bundles);
  }
}

void bundleReadPlain(benchmark::State& state) {
  auto database = queueDatabase("read_plain");
  Plain plain(database->sqliteStore()->sqliteHandle());
  sqlite3_stmt* read = plain.prepare(kQueueRead);
  for (auto _ : state) {
    std::vector<std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>> bundles;
    int64_t total = 0;
    sqlite3_bind_int64(read, 1, kCountLimit);
    while (sqlite3_step(read) == SQLITE_ROW) {
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(read, 1));
      auto bytes = gul_dataByInflatingGzippedData(Bytes(blob, blob + sqlite3_column_bytes(read, 1)));
      auto bundle = bytes ? APMPBMeasurementBundle::initWithBuffer(*bytes) : nullptr;
      if (!bundle) continue;
      int64_t size = static_cast<int64_t>(bytes->size()) + 3;
      if (!bundles.empty() && total + size > kSizeLimit) break;
      total += size;
      bundles.emplace_back(std::move(bundle), sqlite3_column_int64(read, 0));
      if (total > kSizeLimit) break;
    }
    sqlite3_reset(read);
    sqlite3_clear_bindings(read);
    if (bundles.empty()) state.SkipWithError("no bundles");
    benchmark::DoNotOptimize(bundles);
  }
}

}  // namespace

BENCHMARK(rawEventStoreDatabase)->Unit(benchmark::kMicrosecond);
BENCHMARK(rawEventStorePlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(bundleReadDatabase)->Unit(benchmark::kMicrosecond);
BENCHMARK(bundleReadPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(trimAt100kDatabase)->Unit(benchmark::kMicrosecond);
BENCHMARK(trimAt100kOffset)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  countTrims();
  runPairedBenchmarks(
      argc, argv,
      {{"raw events and queue against plain sqlite3 (same run)",
        {{"raw-event store", "rawEventStoreDatabase", "rawEventStorePlain"},
         {"bundle read (100 rows, 64 KB budget)", "bundleReadDatabase", "bundleReadPlain"}}},
       {"counted trim against trim by offset, 100,000 events stored",
        {{"store with one event trimmed", "trimAt100kDatabase", "trimAt100kOffset"}}}});
  removeBenchFolder();
  return 0;
}
