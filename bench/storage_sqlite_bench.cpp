// APMSqliteStore against plain SQLite calls running the same SQL with
// statements cached by hand, in the same run; prints each pair's speed
// ratio (plain time over the store's: above 1 the store is faster).
//
//   single upsert       one INSERT OR REPLACE, its own (journaled) transaction
//   1000 upserts        1,000 INSERT OR REPLACE inside one exclusive transaction
//
// Writes run with "PRAGMA synchronous = OFF" on both sides: with the default
// each commit waits for the disk, whose latency on a shared machine varies
// far more than the code under test costs.
//   1000-row query      SELECT of 1,000 rows into records / into structs
//   open 100k           open a 100,000-row file and run its integrity check
//
// Run with --benchmark_repetitions=9 to compare medians on a busy machine.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/storage_bench_support.h"
#include "measurement/storage/database/sqlite_store.h"

namespace {

using platform::Bytes;
using platform::Object;

constexpr const char* kCreate =
    "CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY, i INTEGER NOT NULL, r REAL NOT NULL, "
    "b BLOB NOT NULL)";
constexpr const char* kUpsert = "INSERT OR REPLACE INTO t (k, i, r, b) VALUES (?, ?, ?, ?);";
constexpr const char* kQuery = "SELECT k, i, r, b FROM t WHERE i >= ? ORDER BY i LIMIT 1000";
const Bytes kBlob(64, 0xab);

std::string freshPath(const std::string& name) {
  std::string path = benchFolder() + "/" + name;
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-journal");
  return path;
}

std::shared_ptr<APMSqliteStore> openStore(const std::string& name) {
  auto store = APMSqliteStore::initWithDatabasePath(freshPath(name));
  store->executeSQL("PRAGMA synchronous = OFF");
  store->executeSQL(kCreate);
  return store;
}

APMRecord recordFor(int64_t i) {
  return {{"k", "name_" + std::to_string(i)}, {"i", i}, {"r", i * 0.5}, {"b", kBlob}};
}

// --- Plain SQLite ------------------------------------------------------------

struct Plain {
  explicit Plain(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db,
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS t (k TEXT NOT NULL PRIMARY KEY, i INTEGER NOT NULL, "
                     "r REAL NOT NULL, b BLOB NOT NULL)",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v3(db, kUpsert, -1, SQLITE_PREPARE_PERSISTENT, &upsert, nullptr);
    sqlite3_prepare_v3(db, kQuery, -1, SQLITE_PREPARE_PERSISTENT, &query, nullptr);
  }
  ~Plain() {
    sqlite3_finalize(upsert);
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  void bindAndStep(sqlite3_stmt* statement, int64_t i) {
    std::string key = "name_" + std::to_string(i);
    sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 2, i);
    sqlite3_bind_double(statement, 3, i * 0.5);
    sqlite3_bind_blob(statement, 4, kBlob.data(), static_cast<int>(kBlob.size()), SQLITE_STATIC);
    sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  void put(int64_t i) { bindAndStep(upsert, i); }

  sqlite3* db = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* query = nullptr;
};

struct Row {
  std::string k;
  int64_t i;
  double r;
  Bytes b;
};

std::vector<Row> plainRows(Plain& plain, int64_t from) {
  std::vector<Row> rows;
  sqlite3_bind_int64(plain.query, 1, from);
  while (sqlite3_step(plain.query) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(plain.query, 0));
    const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(plain.query, 3));
    rows.push_back({std::string(text, sqlite3_column_bytes(plain.query, 0)),
                    sqlite3_column_int64(plain.query, 1), sqlite3_column_double(plain.query, 2),
                    Bytes(blob, blob + sqlite3_column_bytes(plain.query, 3))});
  }
  sqlite3_reset(plain.query);
  sqlite3_clear_bindings(plain.query);
  return rows;
}

// Out of line, so that a profiler can weigh one query of each side alone
// (valgrind --tool=callgrind --toggle-collect='*QueryOnce*', '*BatchOnce*').
[[gnu::noinline]] size_t plainQueryOnce(Plain& plain) {
  std::vector<Row> rows = plainRows(plain, 500);
  benchmark::DoNotOptimize(rows.data());
  return rows.size();
}

[[gnu::noinline]] size_t storeQueryOnce(APMSqliteStore& store) {
  auto rows = store.recordsForQuery(kQuery, {Object(500)});
  benchmark::DoNotOptimize(rows);
  return rows ? rows->size() : 0;
}

void fill(Plain& plain, int64_t count) {
  sqlite3_exec(plain.db, "BEGIN", nullptr, nullptr, nullptr);
  for (int64_t i = 0; i < count; ++i) plain.put(i);
  sqlite3_exec(plain.db, "COMMIT", nullptr, nullptr, nullptr);
}

[[gnu::noinline]] void plainBatchOnce(Plain& plain) {
  sqlite3_exec(plain.db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
  for (int64_t i = 0; i < 1000; ++i) plain.put(i);
  sqlite3_exec(plain.db, "END TRANSACTION", nullptr, nullptr, nullptr);
}

[[gnu::noinline]] bool storeBatchOnce(APMSqliteStore& store) {
  return store.performTransactionWithError([&] {
    for (int64_t i = 0; i < 1000; ++i) {
      if (!store.upsertRecord(recordFor(i), "t")) return false;
    }
    return true;
  });
}

// --- Benchmarks --------------------------------------------------------------

void singleUpsertStore(benchmark::State& state) {
  auto store = openStore("single_store.sql");
  int64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(store->upsertRecord(recordFor(i++ % 100), "t"));
}

void singleUpsertPlain(benchmark::State& state) {
  Plain plain(freshPath("single_plain.sql"));
  int64_t i = 0;
  for (auto _ : state) plain.put(i++ % 100);
}

void batchUpsertStore(benchmark::State& state) {
  auto store = openStore("batch_store.sql");
  for (auto _ : state) {
    if (!storeBatchOnce(*store)) state.SkipWithError("transaction failed");
  }
}

void batchUpsertPlain(benchmark::State& state) {
  Plain plain(freshPath("batch_plain.sql"));
  for (auto _ : state) plainBatchOnce(plain);
}

void queryStore(benchmark::State& state) {
  std::string path = freshPath("query_store.sql");
  {
    Plain plain(path);
    fill(plain, 2000);
  }
  auto store = APMSqliteStore::initWithDatabasePath(path);
  for (auto _ : state) {
    if (storeQueryOnce(*store) != 1000) state.SkipWithError("wrong row count");
  }
}

void queryPlain(benchmark::State& state) {
  Plain plain(freshPath("query_plain.sql"));
  fill(plain, 2000);
  for (auto _ : state) {
    if (plainQueryOnce(plain) != 1000) state.SkipWithError("wrong row count");
  }
}

const std::string& bigDatabase() {
  static const std::string path = [] {
    std::string path = freshPath("open_100k.sql");
    Plain plain(path);
    fill(plain, 100'000);
    return path;
  }();
  return path;
}

void open100kStore(benchmark::State& state) {
  const std::string& path = bigDatabase();
  for (auto _ : state) {
    auto store = APMSqliteStore::initWithDatabasePath(path);
    if (!store) state.SkipWithError("open failed");
  }
}

void open100kPlain(benchmark::State& state) {
  const std::string& path = bigDatabase();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db,
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
    bool ok = sqlite3_step(statement) == SQLITE_ROW &&
              std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) == "ok";
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (!ok) state.SkipWithError("integrity check failed");
  }
}

}  // namespace

BENCHMARK(singleUpsertStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(singleUpsertPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(batchUpsertStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(batchUpsertPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(queryStore)->Unit(benchmark::kMicrosecond);
BENCHMARK(queryPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(open100kStore)->Unit(benchmark::kMillisecond);
BENCHMARK(open100kPlain)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  runPairedBenchmarks(argc, argv,
                      {{"store against plain sqlite3 (same run)",
                        {{"single upsert", "singleUpsertStore", "singleUpsertPlain"},
                         {"1000 upserts in one transaction", "batchUpsertStore", "batchUpsertPlain"},
                         {"1000-row query", "queryStore", "queryPlain"},
                         {"open 100k rows + integrity check", "open100kStore", "open100kPlain"}}}});
  removeBenchFolder();
  return 0;
}
