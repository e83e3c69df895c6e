// Measurement database tables against plain SQLite calls running the same
// SQL with statements prepared once by hand, in the same run; prints each
// pair's speed ratio (plain time over the database's: above 1 the database
// is faster).
//
//   user-attribute upsert   `updateUserAttribute` of one of 100 names (the
//                           key count, the table count, INSERT OR REPLACE)
//                           against the same three statements
//   event-filter read       `eventFiltersForEventName` of 20 filters among
//                           1,000 against the same SELECT; both sides build
//                           the same filter records, flags read from the
//                           stored message by the same message routine, so
//                           the ratio shows what the storage layer adds
//
// Writes run with "PRAGMA synchronous = OFF" on both sides, as in the store
// benchmark: a commit that waits for the disk costs more, and varies more,
// than the code under test.
//
// Run with --benchmark_repetitions=9 to compare medians on a busy machine.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/storage_bench_support.h"
#include "measurement/engine/audience_filter.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/models/user_attribute.h"

namespace {

using platform::Bytes;

constexpr int kNames = 100;
constexpr int kFilters = 1000;
constexpr int kFiltersPerName = 20;

// The statements `updateUserAttribute` and `eventFiltersForEventName` run.
constexpr const char* kCountKey = "SELECT count(1) FROM user_attributes WHERE name=?";
constexpr const char* kCountAll = "SELECT count(1) FROM user_attributes";
constexpr const char* kUpsert =
    "INSERT OR REPLACE INTO user_attributes (origin, name, value, set_timestamp) VALUES (?, ?, ?, "
    "?);";
constexpr const char* kFilterQuery = "SELECT rowid, * FROM event_filters WHERE event_name = ?";

std::vector<std::shared_ptr<const APMUserAttribute>> attributes() {
  std::vector<std::shared_ptr<const APMUserAttribute>> list;
  for (int i = 0; i < kNames; ++i) {
    list.push_back(APMUserAttribute::initWithOrigin("app", "property_" + std::to_string(i),
                                                    APMValue(std::string("value")), 1e9 + i));
  }
  return list;
}

Bytes filterBytes(int filterID) {
  auto message = APMPBEventFilter::initWithMessageInfo(nullptr);
  APMNanoSetInt32(message, EventFilterField::filter_id, filterID);
  APMNanoSetString(message, EventFilterField::event_name, "event_0");
  APMNanoSetBool(message, EventFilterField::session_scoped, filterID % 2 == 0);
  APMNanoSetBool(message, EventFilterField::dynamic, filterID % 3 == 0);
  return *message->protoBuffer();
}

std::vector<std::shared_ptr<APMEventFilter>> filters() {
  std::vector<std::shared_ptr<APMEventFilter>> list;
  for (int i = 0; i < kFilters; ++i) {
    list.push_back(std::make_shared<APMEventFilter>(i / 10, i % 10,
                                                    "event_" + std::to_string(i % (kFilters / kFiltersPerName)),
                                                    filterBytes(i), i % 2 == 0, i % 3 == 0, false));
  }
  return list;
}

// --- Plain SQLite ------------------------------------------------------------

struct Plain {
  explicit Plain(sqlite3* handle) : db(handle) {
    for (auto [text, statement] : {std::pair{kCountKey, &countKey}, std::pair{kCountAll, &countAll},
                                   std::pair{kUpsert, &upsert}, std::pair{kFilterQuery, &query}}) {
      sqlite3_prepare_v3(db, text, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
    }
  }
  ~Plain() {
    for (sqlite3_stmt* statement : {countKey, countAll, upsert, query}) sqlite3_finalize(statement);
  }

  int64_t count(sqlite3_stmt* statement) {
    int64_t count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return count;
  }

  static void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }

  bool put(const APMUserAttribute& attribute) {
    bindText(countKey, 1, attribute.name());
    int64_t withKey = count(countKey);
    int64_t all = count(countAll);
    if (withKey < 0 || all < 0 || (withKey == 0 && all >= kAPMUserAttributesTableLimit)) return false;
    bindText(upsert, 1, attribute.origin());
    bindText(upsert, 2, attribute.name());
    bindText(upsert, 3, *attribute.value().stringValue());
    sqlite3_bind_double(upsert, 4, attribute.lastSetTimestamp());
    bool done = sqlite3_step(upsert) == SQLITE_DONE;
    sqlite3_reset(upsert);
    sqlite3_clear_bindings(upsert);
    return done;
  }

  std::vector<std::shared_ptr<APMEventFilter>> filtersNamed(const std::string& name) {
    std::vector<std::shared_ptr<APMEventFilter>> found;
    bindText(query, 1, name);
    while (sqlite3_step(query) == SQLITE_ROW) {
      // rowid, audience_id, filter_id, event_name, data, session_scoped
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(query, 3));
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(query, 4));
      Bytes data(blob, blob + sqlite3_column_bytes(query, 4));
      auto message = APMPBEventFilter::initWithBuffer(data);
      bool sessionScoped = message && APMNanoGetBool(message, EventFilterField::session_scoped);
      bool dynamic = message && APMNanoGetBool(message, EventFilterField::dynamic);
      bool sequence = message && APMNanoGetBool(message, EventFilterField::sequence);
      found.push_back(std::make_shared<APMEventFilter>(
          sqlite3_column_int(query, 1), sqlite3_column_int(query, 2),
          std::string(text, sqlite3_column_bytes(query, 3)), std::move(data), sessionScoped,
          dynamic, sequence));
    }
    sqlite3_reset(query);
    sqlite3_clear_bindings(query);
    return found;
  }

  sqlite3* db;
  sqlite3_stmt* countKey = nullptr;
  sqlite3_stmt* countAll = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* query = nullptr;
};

// --- Benchmarks --------------------------------------------------------------

void userAttributeUpsertDatabase(benchmark::State& state) {
  auto database = openBenchDatabase("upsert_database");
  auto list = attributes();
  size_t i = 0;
  for (auto _ : state) {
    if (!database->updateUserAttribute(list[i++ % list.size()])) state.SkipWithError("upsert failed");
  }
}

void userAttributeUpsertPlain(benchmark::State& state) {
  auto database = openBenchDatabase("upsert_plain");
  Plain plain(database->sqliteStore()->sqliteHandle());
  auto list = attributes();
  size_t i = 0;
  for (auto _ : state) {
    if (!plain.put(*list[i++ % list.size()])) state.SkipWithError("upsert failed");
  }
}

std::shared_ptr<APMDatabase> filterDatabase(const std::string& name) {
  auto database = openBenchDatabase(name);
  auto list = filters();
  database->performTransaction([&] { return database->updateEventFilters(list); });
  return database;
}

void eventFilterReadDatabase(benchmark::State& state) {
  auto database = filterDatabase("filters_database");
  for (auto _ : state) {
    auto found = database->eventFiltersForEventName("event_7");
    if (!found || found->size() != kFiltersPerName) state.SkipWithError("wrong filter count");
    benchmark::DoNotOptimize(found);
  }
}

void eventFilterReadPlain(benchmark::State& state) {
  auto database = filterDatabase("filters_plain");
  Plain plain(database->sqliteStore()->sqliteHandle());
  for (auto _ : state) {
    auto found = plain.filtersNamed("event_7");
    if (found.size() != kFiltersPerName) state.SkipWithError("wrong filter count");
    benchmark::DoNotOptimize(found);
  }
}

}  // namespace

BENCHMARK(userAttributeUpsertDatabase)->Unit(benchmark::kMicrosecond);
BENCHMARK(userAttributeUpsertPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(eventFilterReadDatabase)->Unit(benchmark::kMicrosecond);
BENCHMARK(eventFilterReadPlain)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  runPairedBenchmarks(
      argc, argv,
      {{"database tables against plain sqlite3 (same run)",
        {{"user-attribute upsert", "userAttributeUpsertDatabase", "userAttributeUpsertPlain"},
         {"event-filter read (20 of 1,000)", "eventFilterReadDatabase", "eventFilterReadPlain"}}}});
  removeBenchFolder();
  return 0;
}
