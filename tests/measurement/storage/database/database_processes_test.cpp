// Two processes opening and writing one measurement database at once, on a
// real file: neither may lose what the other, or an earlier run, stored.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/database/bundling_support.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Bytes;

constexpr int kRounds = 24;
constexpr int kEarlierRows = 110;
constexpr int kRowsPerTransaction = 20;
constexpr int kTransactionsPerChild = 3;
constexpr int kAttempts = 400;

// A queue row named by who wrote it: (writer, round, index) in its data.
APMRecord queueRow(int writer, int round, int index) {
  return {{"data", Bytes{static_cast<uint8_t>(writer), static_cast<uint8_t>(round),
                         static_cast<uint8_t>(index)}},
          {"bundle_end_timestamp", 1.0}};
}

// Brings the file back to an older schema, so that the next opening has
// columns to add, a column to retype and tables to give their rowid column,
// as after an update of the app.
void downgrade(const std::string& path) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  const char* older =
      "CREATE TABLE queue_older (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, is_realtime INTEGER);"
      "INSERT INTO queue_older (rowid, data, bundle_end_timestamp, is_realtime) "
      "SELECT rowid, data, bundle_end_timestamp, is_realtime FROM queue;"
      "DROP TABLE queue;"
      "ALTER TABLE queue_older RENAME TO queue;"
      "ALTER TABLE events DROP COLUMN current_session_count;"
      "DROP TABLE raw_events;"
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
      "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER);"
      "INSERT INTO raw_events VALUES ('_s', 5, 1, x'01', 0);";
  EXPECT_EQ(sqlite3_exec(handle, older, nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(handle);
  sqlite3_close(handle);
}

// The queue's rows by rowid.
std::map<int64_t, Bytes> rowsByRowID(APMDatabase& database) {
  std::map<int64_t, Bytes> rows;
  auto records = database.sqliteStore()->recordsForQuery("SELECT rowid, data FROM queue", {});
  EXPECT_TRUE(records);
  for (const APMRecord& record : records.value_or(std::vector<APMRecord>{})) {
    rows.emplace(record["rowid"].int64Value(), *record["data"].data());
  }
  return rows;
}

// In the child: opens the database (as the engine would, again when another
// process holds the file) and commits a few transactions of rows. Each
// committed transaction is reported on `report` as its number.
[[noreturn]] void runWriter(int writer, int round, int start, int report) {
  silenceMonitorInForkedChild();
  char go = 0;
  if (read(start, &go, 1) != 1) _exit(2);
  std::shared_ptr<APMDatabase> database;
  for (int attempt = 0; !database && attempt < kAttempts; ++attempt) {
    database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    if (!database) usleep(500);
  }
  if (!database) _exit(3);
  for (int transaction = 0; transaction < kTransactionsPerChild; ++transaction) {
    bool committed = false;
    for (int attempt = 0; !committed && attempt < kAttempts; ++attempt) {
      committed = database->performTransaction([&] {
        for (int i = 0; i < kRowsPerTransaction; ++i) {
          int index = transaction * kRowsPerTransaction + i;
          if (!database->insertDataType(queueRow(writer, round, index), kAPMQueueTable)) {
            return false;
          }
        }
        return true;
      });
      if (!committed) usleep(200);
    }
    char number = static_cast<char>(transaction);
    if (committed && write(report, &number, 1) != 1) _exit(4);
  }
  _exit(0);
}

// The row sets grow by emplace: GCC 12 at -O3 reports a false
// -Wstringop-overread inside std::set<Bytes>::insert(const Bytes&).
std::set<Bytes> storedRows(APMDatabase& database) {
  std::set<Bytes> rows;
  for (const auto& [rowID, data] : rowsByRowID(database)) rows.emplace(data);
  return rows;
}

TEST(DatabaseProcessesTest, ConcurrentOpeningAndWritingKeepEveryCommittedRow) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  std::set<Bytes> expected;
  {
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->performTransaction([&] {
      for (int i = 0; i < kEarlierRows; ++i) {
        if (!database->insertDataType(queueRow(0, 0, i), kAPMQueueTable)) return false;
        expected.emplace(*queueRow(0, 0, i)["data"].data());
      }
      return true;
    }));
  }
  APMMeasurement::monitor()->flush();

  int bothCommitted = 0;
  std::map<int64_t, Bytes> before;
  for (int round = 1; round <= kRounds; ++round) {
    if (round % 2 == 0) downgrade(path);
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    int reports[2][2];
    pid_t children[2];
    for (int writer = 0; writer < 2; ++writer) {
      ASSERT_EQ(pipe(reports[writer]), 0);
      children[writer] = fork();
      ASSERT_GE(children[writer], 0);
      if (children[writer] == 0) {
        close(start[1]);
        close(reports[writer][0]);
        runWriter(writer + 1, round, start[0], reports[writer][1]);
      }
      close(reports[writer][1]);
    }
    close(start[0]);
    // Both children leave their read at the same moment.
    ASSERT_EQ(write(start[1], "gg", 2), 2);
    close(start[1]);
    int committedWriters = 0;
    for (int writer = 0; writer < 2; ++writer) {
      char number = 0;
      int committed = 0;
      while (read(reports[writer][0], &number, 1) == 1) {
        ++committed;
        for (int i = 0; i < kRowsPerTransaction; ++i) {
          expected.emplace(*queueRow(writer + 1, round, number * kRowsPerTransaction + i)["data"].data());
        }
      }
      close(reports[writer][0]);
      int status = 0;
      ASSERT_EQ(waitpid(children[writer], &status, 0), children[writer]);
      EXPECT_TRUE(WIFEXITED(status)) << "round " << round;
      if (committed == kTransactionsPerChild) ++committedWriters;
    }
    if (committedWriters == 2) ++bothCommitted;

    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database) << "round " << round;
    std::set<Bytes> stored = storedRows(*database);
    for (const Bytes& row : expected) {
      ASSERT_TRUE(stored.count(row)) << "round " << round << ": lost row of writer " << int(row[0])
                                     << ", round " << int(row[1]) << ", index " << int(row[2]);
    }
    // The rows of earlier rounds kept their rowids through each migration.
    const std::map<int64_t, Bytes> now = rowsByRowID(*database);
    for (const auto& [rowID, data] : before) {
      ASSERT_TRUE(now.count(rowID) && now.at(rowID) == data) << "round " << round << ": row " << rowID << " moved";
    }
    before = now;
  }
  // The rounds did run side by side, not only one after the other.
  EXPECT_GT(bothCommitted, 0);
}

// Opening, schema checks and writes meet another connection on the file:
// each waits its turn instead of failing at once, and nothing is tried
// twice by the caller.
TEST(DatabaseProcessesTest, TwoWriterProcessesKeepEveryEventTheyStore) {
  TempContainer container;
  constexpr int kEventsPerWriter = 2000;
  // The file exists with its tables, as after the app's first start.
  ASSERT_TRUE(APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr));
  std::vector<int> codes = runChildrenAtOnce(2, [&](int writer) {
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    if (!database) _exit(3);
    // What is measured is the locking, not the disk.
    database->sqliteStore()->executeSQL("PRAGMA synchronous = OFF");
    const double now = platform::Clock::current()->now();
    auto metadata = road::bundle(1);
    int failures = 0;
    for (int i = 0; i < kEventsPerWriter; ++i) {
      int64_t sequence = int64_t{writer} * kEventsPerWriter + i;
      if (!database->storeRawEvent(road::event(sequence, now), metadata, false)) ++failures;
    }
    _exit(failures ? 4 : 0);
  });
  EXPECT_EQ(codes, (std::vector<int>{0, 0}));

  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  auto rows = database->sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events", {});
  ASSERT_TRUE(rows);
  std::set<int64_t> stored;
  for (const APMRecord& row : *rows) {
    auto event = database->rawEventDataFromDictionary(row);
    ASSERT_TRUE(event) << row.description();
    stored.insert(road::sequenceOf(*event->rawEvent()));
  }
  EXPECT_EQ(stored.size(), size_t{2 * kEventsPerWriter});
  EXPECT_EQ(rows->size(), size_t{2 * kEventsPerWriter});
}

TEST(DatabaseProcessesTest, FourProcessesOpenOneFileAtOnce) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  for (int round = 0; round < 8; ++round) {
    // A new file has every table to create, an older one columns to add and
    // a table to rebuild.
    if (round % 2 == 0) {
      std::remove(path.c_str());
      std::remove((path + "-journal").c_str());
    } else {
      downgrade(path);
    }
    std::vector<int> codes = runChildrenAtOnce(4, [](int) {
      auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
      _exit(database ? 0 : 3);
    });
    EXPECT_EQ(codes, (std::vector<int>{0, 0, 0, 0})) << "round " << round;
    if (round % 2 == 0) continue;
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kAPMRawEventsTable), 1)
        << "round " << round;
  }
}

// Process A reads what it will delete (a batch to upload, raw events to
// bundle) and deletes it late, as when the collector's answer comes after
// a while. Meanwhile process B uploads the same batch and bundles the same
// events, deleting both, then stores and bundles new events. A's deletes
// must take nothing of B's, and its failed upload count no retry on B's
// bundles: rowids are never given twice.
TEST(DatabaseProcessesTest, ALateDeleteTakesOnlyWhatWasRead) {
  constexpr int64_t kEvents = 500;
  struct Case {
    const char* name;
    // A's answer for its batch: deleted when sent, a retry counted when refused.
    bool (*settle)(APMDatabase& database, const std::vector<int64_t>& rowIDs);
  };
  const Case cases[] = {
      {"a late 200", [](APMDatabase& d, const std::vector<int64_t>& ids) { return d.deleteBundlesWithRowIDs(ids); }},
      {"a late 503",
       [](APMDatabase& d, const std::vector<int64_t>& ids) { return d.incrementRetryCounterForBundlesWithIDs(ids); }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempContainer container;
    const double now = platform::Clock::current()->now();
    auto open = [] { return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr); };
    auto storeEvents = [&](APMDatabase& database, int64_t first) {
      return database.performTransaction([&] {
        bool stored = true;
        for (int64_t i = first; i < first + kEvents; ++i) {
          stored = stored && database.storeRawEvent(road::event(i, now), road::bundle(1), false);
        }
        return stored;
      });
    };
    auto database = open();
    ASSERT_TRUE(database);
    // Events 0-499 queued in one bundle, 500-999 stored.
    ASSERT_TRUE(storeEvents(*database, 0) && road::bundleOldest(*database) && storeEvents(*database, kEvents));
    auto batch = database->queryBundlesWithCountLimit(100, int64_t{1} << 30);
    auto fingerprint = database->nextMetadataFingerprintToProcess();
    ASSERT_TRUE(batch && batch->size() == 1 && fingerprint);
    auto read = database->rawEventsWithMetadataFingerprint(*fingerprint);
    ASSERT_TRUE(read && read->size() == size_t{kEvents});
    const std::vector<int64_t> sent = {batch->front().rowID};
    // A keeps what it read; its connection is not carried across the fork.
    database.reset();

    std::vector<int> codes = runChildrenAtOnce(1, [&](int) {
      auto other = open();
      auto queued = other ? other->queryBundlesWithCountLimit(100, int64_t{1} << 30) : std::nullopt;
      const bool done = queued && queued->size() == 1 && other->deleteBundlesWithRowIDs({queued->front().rowID}) &&
                        road::bundleOldest(*other) && storeEvents(*other, 2 * kEvents) &&
                        road::bundleOldest(*other) && storeEvents(*other, 3 * kEvents);
      _exit(done ? 0 : 4);
    });
    ASSERT_EQ(codes, std::vector<int>{0});

    database = open();
    ASSERT_TRUE(database);
    ASSERT_TRUE(test.settle(*database, sent));
    ASSERT_TRUE(database->deleteRawEventsWithMetadataFingerprint(*fingerprint, read->back()->rowID()));
    // B's events 500-1999 stay, each once: two bundles and 500 raw events.
    std::map<int64_t, int> stored = road::storedSequences(*database);
    EXPECT_EQ(stored.size(), size_t{3 * kEvents});
    for (int64_t i = kEvents; i < 4 * kEvents; ++i) ASSERT_EQ(stored[i], 1) << "event " << i;
    auto queued = database->queryBundlesWithCountLimit(100, int64_t{1} << 30);
    ASSERT_TRUE(queued);
    for (const APMQueuedBundle& bundle : *queued) {
      EXPECT_EQ(APMNanoGetInt32(bundle.bundle, MeasurementBundleField::retry_count), 0) << "bundle " << bundle.rowID;
    }
  }
}

}  // namespace
