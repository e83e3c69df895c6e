// Damaged files and files of another schema, on real files: the file is
// replaced, and the fresh one keeps every row SQLite can still read.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/database/damaged_file_support.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/files.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

using namespace damaged;

constexpr int kRawEvents = 800;
constexpr int kBundles = 3;
constexpr int kAggregates = 30;
constexpr int kSnapshots = 20;

void damageRootPage(const std::string& path, const std::string& table) { damagePage(path, rootPage(path, table)); }

void expectNothingDamagedLeftIn(const std::string& folder) {
  EXPECT_EQ(leftovers(folder), std::vector<std::string>{});
}

// Raw events numbered 0 to 799, queued bundles, event aggregates and 40
// subscriptions.
void fillMeasurementDatabase() {
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  const double now = platform::Clock::current()->now();
  ASSERT_TRUE(database->performTransaction([&] {
    bool ok = true;
    for (int i = 0; i < kRawEvents; ++i) ok = ok && database->storeRawEvent(road::event(i, now), road::bundle(1 + i % 2), false);
    for (int i = 0; i < kBundles; ++i) ok = ok && database->insertBundle(road::bundle(static_cast<int64_t>(now * 1000) + i), false);
    for (int i = 0; i < 40; ++i) {
      const std::string n = std::to_string(i);
      ok = ok && database->sqliteStore()->executeSQL("INSERT INTO subscriptions VALUES ('s" + n + "')") &&
           (i >= kAggregates || database->sqliteStore()->executeSQL(
                                    "INSERT INTO events (name, lifetime_count, current_bundle_count, "
                                    "last_fire_timestamp) VALUES ('e" + n + "', 3, 1, 5.0)"));
    }
    return ok;
  }));
}

TEST(DatabaseSalvageTest, ReplacedMeasurementFileKeepsEveryRowThatReads) {
  struct Case {
    const char* name;
    // Damages the file; answers how many raw events can no longer be read.
    std::function<int64_t(const std::string& path)> damage;
    int64_t aggregatesKept;
    int64_t subscriptionsKept;
  };
  const Case cases[] = {
      {"a damaged page of a table the road never reads",
       [](const std::string& path) { return damageRootPage(path, "subscriptions"), int64_t{0}; }, kAggregates, 0},
      {"a newer schema: a NOT NULL column with a default",
       [](const std::string& path) {
         sql(path, "ALTER TABLE raw_events ADD COLUMN priority INTEGER NOT NULL DEFAULT 3");
         return int64_t{0};
       },
       kAggregates, 40},
      {"a column of events renamed: those rows no longer fit",
       [](const std::string& path) {
         sql(path, "ALTER TABLE events RENAME COLUMN lifetime_count TO lifetime_total");
         return int64_t{0};
       },
       0, 40},
      {"the metadata key's type garbled in the schema text: the rowid is still its key",
       [](const std::string& path) {
         replaceBytes(path, "fingerprint INTEGER NOT NULL PRIMARY", "fingerprint INTEG\xd4\xff NOT NULL PRIMARY");
         return int64_t{0};
       },
       kAggregates, 40},
      {"a damaged page in the middle of raw_events loses only its rows",
       [](const std::string& path) {
         const std::string middleLeaf =
             "FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY path LIMIT 1 OFFSET "
             "(SELECT count(*) / 2 FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf')";
         const int64_t rowsOnPage = integer(path, "SELECT ncell " + middleLeaf);
         EXPECT_GT(rowsOnPage, 0);
         damagePage(path, integer(path, "SELECT pageno " + middleLeaf));
         return rowsOnPage;
       },
       kAggregates, 40},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempContainer container;
    const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
    fillMeasurementDatabase();
    const int64_t lost = test.damage(path);

    RecordingMonitor monitor;
    // As the engine does: a failed creation is tried once more.
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    if (!database) database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    APMSqliteStore& store = *database->sqliteStore();
    EXPECT_TRUE(store.validateDatabaseWithError());
    const std::set<int64_t> kept = readableRawEvents(*database);
    EXPECT_EQ(static_cast<int64_t>(kept.size()), kRawEvents - lost);
    EXPECT_TRUE(kept.count(0) && kept.count(kRawEvents - 1)) << "rows on both sides of a damaged page are kept";
    EXPECT_EQ(database->queryBundlesWithCountLimit(100, int64_t{1} << 30).value_or(std::vector<APMQueuedBundle>{}).size(),
              static_cast<size_t>(kBundles));
    EXPECT_EQ(store.rowCountForTableWithName("raw_events_metadata"), 2);
    EXPECT_EQ(integer(path, "SELECT count(*) FROM raw_events WHERE metadata_fingerprint NOT IN "
                            "(SELECT metadata_fingerprint FROM raw_events_metadata)"),
              0)
        << "every raw event still finds its metadata";
    EXPECT_EQ(store.rowCountForTableWithName("events"), test.aggregatesKept);
    EXPECT_EQ(store.rowCountForTableWithName("subscriptions"), test.subscriptionsKept);
    // The bookkeeping row came across, not a second one.
    EXPECT_EQ(store.rowCountForTableWithName("app_metadata"), 1);
    EXPECT_TRUE(monitor.contains(34023));
    expectNothingDamagedLeftIn(platform::deletingLastPathComponent(path));
    bool aggregatesCounted = false;  // as lost, when refused
    for (const RecordedLog& line : monitor.logs()) {
      aggregatesCounted |= line.code == 34023 && line.contexts.at(0).isString() &&
                           *line.contexts.at(0).string() == "events" && line.contexts.at(2).int64Value() == kAggregates;
    }
    EXPECT_TRUE(aggregatesCounted || test.aggregatesKept != 0);
  }
}

TEST(DatabaseSalvageTest, ASalvagedFileGivesNoDeletedRowidAgain) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  fillMeasurementDatabase();
  // The last raw event and the last bundle were read and deleted (uploaded)
  // before the file was damaged.
  sql(path, "DELETE FROM raw_events WHERE rowid = " + std::to_string(kRawEvents));
  sql(path, "DELETE FROM queue WHERE rowid = " + std::to_string(kBundles));
  damageRootPage(path, "subscriptions");

  RecordingMonitor monitor;
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  if (!database) database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  EXPECT_TRUE(monitor.contains(34023));
  const double now = platform::Clock::current()->now();
  ASSERT_TRUE(database->storeRawEvent(road::event(kRawEvents, now), road::bundle(1), false));
  ASSERT_TRUE(database->insertBundle(road::bundle(static_cast<int64_t>(now * 1000)), false));
  APMSqliteStore& store = *database->sqliteStore();
  EXPECT_EQ(store.numberForQuery("SELECT max(rowid) FROM raw_events", {}).int64Value(), kRawEvents + 1);
  EXPECT_EQ(store.numberForQuery("SELECT max(rowid) FROM queue", {}).int64Value(), kBundles + 1);
}

TEST(DatabaseSalvageTest, ADamagedRowidSequenceNeverStopsTheStore) {
  // Rowids 1 to 3 in raw_events and queue, the top one deleted, then the
  // case's damage done to the file behind the store's back.
  struct Case {
    const char* name;
    std::vector<std::string> damage;
    const char* found;  // the sequence logged as found (after a salvage's copy); null when sound
    const char* foundInCopy;
    int64_t set;
    std::vector<std::string> rowids;  // the first two are those of the rows stored before
  };
  const auto sequence = [](const std::string& value) { return "UPDATE sqlite_sequence SET seq = " + value; };
  const std::vector<std::string> reused = {"1", "2", "3", "4"};
  const char* top = "9223372036854775807";
  const std::string moveToTop = "UPDATE raw_events SET rowid = 9223372036854775807 WHERE rowid = 2";
  const std::string moveBundleToTop = "UPDATE queue SET rowid = 9223372036854775807 WHERE rowid = 2";
  const Case cases[] = {
      {"a sound sequence", {sequence("3")}, nullptr, nullptr, 3, {"1", "2", "4", "5"}},
      {"the top", {sequence(top)}, top, top, 2, reused},
      {"one below the top", {sequence("9223372036854775806")}, "9223372036854775806", "9223372036854775806", 2, reused},
      {"above the ceiling", {sequence("4611686018427387905")}, "4611686018427387905", "4611686018427387905", 2, reused},
      {"a text", {sequence("'9223372036854775807'")}, "'9223372036854775807'", "'9223372036854775807'", 2, reused},
      {"a negative number", {sequence("-1")}, "-1", "-1", 2, reused},
      // A copy keeping rowids raises the fresh file's sequence to the top.
      {"a row at the top", {moveToTop, moveBundleToTop}, "3", top, 4, {"1", "4", "5", "6"}},
      {"a row and the sequence at the top", {moveToTop, moveBundleToTop, sequence(top)}, top, top, 2, reused},
  };
  for (const bool damagedElsewhere : {false, true}) {
    for (const Case& test : cases) {
      SCOPED_TRACE(testing::Message() << test.name << (damagedElsewhere ? ", salvaged" : ""));
      TempContainer container;
      const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
      const double now = platform::Clock::current()->now();
      const auto store = [&](APMDatabase& database, int i) {
        return database.storeRawEvent(road::event(i, now), road::bundle(1), false) &&
               database.insertBundle(road::bundle(static_cast<int64_t>(now * 1000) + i), false);
      };
      {
        auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
        ASSERT_TRUE(database);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(store(*database, i));
        ASSERT_TRUE(database->sqliteStore()->executeSQL("INSERT INTO subscriptions VALUES ('s')"));
      }
      const auto dataAt = [&](const char* table, const std::string& rowid) {
        return sql(path, concat({"SELECT hex(data) FROM ", table, " WHERE rowid = ", rowid}));
      };
      const std::map<std::string, std::vector<std::string>> stored = {
          {"raw_events", {dataAt("raw_events", "1"), dataAt("raw_events", "2")}},
          {"queue", {dataAt("queue", "1"), dataAt("queue", "2")}}};
      sql(path, "DELETE FROM raw_events WHERE rowid = 3");
      sql(path, "DELETE FROM queue WHERE rowid = 3");
      for (const std::string& statement : test.damage) sql(path, statement);
      if (damagedElsewhere) {
        damageRootPage(path, "subscriptions");
      } else {
        ASSERT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
      }

      RecordingMonitor monitor;
      auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
      if (!database) database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
      ASSERT_TRUE(database);
      for (int i = 3; i < 5; ++i) EXPECT_TRUE(store(*database, i));
      const char* found = damagedElsewhere ? test.foundInCopy : test.found;
      for (const auto& [table, data] : stored) {
        SCOPED_TRACE(table);
        EXPECT_EQ(column(path, concat({"SELECT rowid FROM ", table.c_str(), " ORDER BY rowid"})), test.rowids);
        EXPECT_EQ(dataAt(table.c_str(), test.rowids[0]), data[0]);
        EXPECT_EQ(dataAt(table.c_str(), test.rowids[1]), data[1]);
        bool logged = false;
        for (const RecordedLog& line : monitor.logs()) {
          logged |= found && line.code == 34026 && line.contexts.size() == 4 &&
                    line.contexts[0] == platform::Object(table) && line.contexts[1] == platform::Object(found) &&
                    line.contexts[2] == platform::Object(test.set);
        }
        EXPECT_EQ(logged, found != nullptr);
      }
      EXPECT_TRUE(found || !monitor.contains(34026));
      // Set right once, not at each open.
      database.reset();
      monitor.clear();
      EXPECT_TRUE(APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr));
      EXPECT_FALSE(monitor.contains(34026));
    }
  }
}

TEST(DatabaseSalvageTest, ReplacedExperimentFileKeepsItsSnapshots) {
  using namespace experiments_testing;
  for (const bool damaged : {true, false}) {
    SCOPED_TRACE(damaged ? "a damaged page of the launched table" : "a newer schema: a NOT NULL column with a default");
    TempContainer container;
    const std::string path = platform::appendingPathComponent(container.path(), "experiments.sql");
    {
      // Pending and activated snapshots, one launched.
      auto database = APMEDatabase::initWithPath(path);
      ASSERT_TRUE(database);
      APMESnapshots pending;
      for (int i = 0; i < kSnapshots; ++i) {
        pending.push_back(snapshot("sdk" + std::to_string(i), {experiment(i + 1, {{"flag", platform::Object(i)}})}));
        ASSERT_TRUE(database->upsertSnapshot(*pending.back()->proto(), kAPMEActivatedSnapshotTable, 100.0 + i, std::nullopt));
      }
      ASSERT_TRUE(database->upsertPendingExperimentSnapshots(pending));
      ASSERT_TRUE(database->upsertSnapshot(*snapshot("launched", {experiment(0)})->proto(), kAPMELaunchedSnapshotTable,
                                           7.0, std::nullopt));
    }
    if (damaged) {
      damageRootPage(path, kAPMELaunchedSnapshotTable);
    } else {
      sql(path, std::string("ALTER TABLE ") + kAPMEPendingSnapshotTable + " ADD COLUMN origin TEXT NOT NULL DEFAULT 'x'");
    }

    auto database = APMEDatabase::initWithPath(path);
    if (!database) database = APMEDatabase::initWithPath(path);
    ASSERT_TRUE(database);
    auto pending = database->fetchAllPendingSnapshots();
    auto activated = database->fetchAllActivatedSnapshots();
    auto launched = database->fetchAllLaunchedSnapshots();
    ASSERT_TRUE(pending && activated && launched);
    EXPECT_EQ(pending->size(), static_cast<size_t>(kSnapshots));
    ASSERT_EQ(activated->size(), static_cast<size_t>(kSnapshots));
    EXPECT_EQ(launched->size(), damaged ? 0u : 1u);
    EXPECT_EQ(activated->back()->timestamp(), 100.0 + kSnapshots - 1);
    EXPECT_EQ(activated->back()->SDKName(), "sdk" + std::to_string(kSnapshots - 1));
  }
}

TEST(DatabaseSalvageTest, ACopyCutShortByAFullDiskPutsTheOldFileBack) {
  TempContainer container;
  const std::string path = platform::appendingPathComponent(container.path(), "full.sql");
  const std::string create = "CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)";
  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store && store->executeSQL(create));
  ASSERT_TRUE(store->performTransactionWithError([&] {
    bool ok = true;
    for (int i = 0; i < 400; ++i) ok = ok && store->upsertRecord({{"id", i}, {"data", platform::Bytes(100, 7)}}, "rows");
    return ok;
  }));
  // The fresh file has room for its table and little more, as on a full
  // disk: the copy cannot finish, which says nothing of the old file.
  auto makeTables = [&](APMSqliteStore& fresh, platform::ErrorRef* error) {
    return fresh.executeSQL(create, error) &&
           fresh.numberForQuery("PRAGMA max_page_count = 4", {}, error).int64Value() == 4;
  };
  platform::ErrorRef error;
  EXPECT_FALSE(store->replaceDamagedFile(makeTables, &error));
  EXPECT_TRUE(APMSqliteStore::isTransientFailure(error)) << (error ? error->description() : "");
  EXPECT_EQ(integer(path, "SELECT count(*) FROM rows"), 400);
  EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
  expectNothingDamagedLeftIn(container.path());
}

// Overwrites one byte of the pointer to the middle cell of the page.
void damageCellPointer(const std::string& path, int64_t page, int byte, char value) {
  const int64_t cells = integer(path, "SELECT ncell FROM dbstat WHERE pageno = " + std::to_string(page));
  overwrite(path, (page - 1) * integer(path, "PRAGMA page_size") + 8 + 2 * (cells / 2) + byte, std::string(1, value));
}

constexpr int kRows = 1500;

// The table the tests count in the database at `path`.
std::string kind(const std::string& path) {
  return path == kMeasurement.path() ? kMeasurement.table : kExperiments.table;
}

// Rewrites the file in 512-byte pages, so that the table's b-tree has a
// level of interior pages below its root; answers its leaves.
std::vector<int64_t> inSmallPages(const std::string& path, const std::string& table) {
  execute(path, "PRAGMA page_size = 512; VACUUM");
  EXPECT_GE(middlePages(path, table).size(), 2u);
  return leafPages(path, table);
}

// Rows of both databases behind several damaged regions of one table, an
// unreadable end, pages out of place: each row a lookup by rowid finds in
// the damaged file is kept.
TEST(DatabaseSalvageTest, EveryRowALookupByRowidFindsIsKept) {
  using Leaves = const std::vector<int64_t>&;
  const std::pair<const char*, void (*)(const std::string&, Leaves)> cases[] = {
      {"three damaged leaves",
       [](const std::string& path, Leaves leaves) {
         for (size_t i = 1; i <= 3; ++i) damagePage(path, leaves[leaves.size() * i / 4]);
       }},
      {"a cell pointer of a middle leaf points past the page",
       [](const std::string& path, Leaves leaves) { damageCellPointer(path, leaves[leaves.size() / 2], 0, '\x7f'); }},
      {"a cell pointer of a middle leaf points into another cell",
       [](const std::string& path, Leaves leaves) { damageCellPointer(path, leaves[leaves.size() / 2], 1, '\x13'); }},
      {"a cell pointer of the second leaf, and two damaged leaves after it",
       [](const std::string& path, Leaves leaves) {
         damageCellPointer(path, leaves[1], 1, '\x05');
         damagePage(path, leaves[leaves.size() / 2]);
         damagePage(path, leaves[leaves.size() * 3 / 4]);
       }},
      {"the last leaf and a middle leaf",
       [](const std::string& path, Leaves leaves) {
         damagePage(path, leaves.back());
         damagePage(path, leaves[leaves.size() / 2]);
       }},
      {"the first leaf and a middle leaf",
       [](const std::string& path, Leaves leaves) {
         damagePage(path, leaves.front());
         damagePage(path, leaves[leaves.size() / 2]);
       }},
      {"a cell of the second leaf read as a later row's, with a NULL the table refuses",
       [](const std::string& path, Leaves leaves) { forgeCell(path, leaves[1], 0, kRows - 2); }},
      {"a cell whose payload size no allocation can hold: reading it runs out of memory",
       [](const std::string& path, Leaves) {
         const std::vector<int64_t> leaves = inSmallPages(path, kind(path));
         const int64_t leaf = leaves[leaves.size() / 2];
         overwrite(path, (leaf - 1) * 512 + cellOffset(path, leaf, cellCount(path, leaf) / 2),
                   "\xac\xac\xac\xac\xff\xff\xff\xff");
       }},
      {"the first page below the root overwritten by a later leaf: scans read rows out of order",
       [](const std::string& path, Leaves) {
         const std::vector<int64_t> leaves = inSmallPages(path, kind(path));
         copyPage(path, leaves[leaves.size() / 2], middlePages(path, kind(path)).front());
       }},
      {"the last page below the root overwritten by an earlier leaf, and the first leaf unreadable",
       [](const std::string& path, Leaves) {
         const std::vector<int64_t> leaves = inSmallPages(path, kind(path));
         copyPage(path, leaves[leaves.size() / 4], middlePages(path, kind(path)).back());
         damagePage(path, leaves.front());
       }},
  };
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    for (const auto& [name, damage] : cases) {
      SCOPED_TRACE(concat({kind->name, ": ", name}));
      TempContainer container;
      expectSalvaged(*kind, fillAndDamage(*kind, kRows, damage), kRows);
    }
  }
}

// A cell read under the rowid of the next one, with a NULL the table
// refuses, where a lookup's binary search meets it first: the row the next
// cell holds under that rowid is kept.
TEST(DatabaseSalvageTest, ARefusedRowDoesNotStandForItsRowid) {
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    SCOPED_TRACE(kind->name);
    TempContainer container;
    const std::string path = kind->path();
    kind->fill(kRows);
    const std::string lookup = concat({"SELECT ", kind->column, " FROM ", kind->table, " WHERE rowid = "});
    const int64_t leaf = leafPages(path, kind->table)[10];
    const int cell = (cellCount(path, leaf) - 1) / 2;
    const int64_t rowid = cellKey(path, leaf, cell + 1);
    const std::string row = sql(path, lookup + std::to_string(rowid));
    forgeCell(path, leaf, cell, rowid);
    ASSERT_EQ(sql(path, lookup + std::to_string(rowid)), "") << "the lookup meets the forged cell";
    ASSERT_TRUE(kind->open());
    EXPECT_EQ(sql(path, lookup + std::to_string(rowid)), row);
  }
}

// The key of a cell of the table's root damaged, so that a lookup of some
// rows after it goes down to another leaf and finds nothing (as when the
// key lies past the page's end, where what SQLite reads differs from one
// connection to the next): scans read those rows in place, and they are
// kept with the rest.
TEST(DatabaseSalvageTest, RowsWhoseLookupGoesAstrayAreReadInPlace) {
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    SCOPED_TRACE(kind->name);
    TempContainer container;
    const std::string path = kind->path();
    kind->fill(kRows);
    const std::set<std::string> rows = readByRowid(path, kind->table, kind->column, kRows);
    const int64_t root = rootPage(path, kind->table);
    ASSERT_EQ(pageBytes(path, root, 0, 1), "\x05");
    const int cell = cellCount(path, root) / 2;
    // The largest key of two bytes, in place of one between 128 and 16383.
    overwrite(path, (root - 1) * integer(path, "PRAGMA page_size") + cellOffset(path, root, cell) + 4, "\xff\x7f");
    ASSERT_LT(readByRowid(path, kind->table, kind->column, kRows).size(), rows.size());
    expectSalvaged(*kind, rows, kRows);
  }
}

// The first page below the root and three leaves below it made interior
// pages whose cells all point to the next, the last to the first leaf, and
// a key of the last leaf changed to that of a row the change lost: its
// lookup goes into them and misses, so the copy looks for it by a scan
// from each end, and a scan would read the first leaf once per path,
// 65 to the fourth power times. Each read of the file stops within a
// budget in proportion to its pages: the file (or a leftover an older
// version moved aside) gives every row a lookup finds and the one the scan
// from the end finds first.
TEST(DatabaseSalvageTest, InteriorPagesSharingChildrenAreReadWithinABudget) {
  // Rows read by the whole open, per cell a page can hold, of every page.
  constexpr int64_t kReadsPerCell = 8;
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    for (const bool leftover : {false, true}) {
      SCOPED_TRACE(concat({kind->name, leftover ? ", moved aside" : ""}));
      TempContainer container;
      const std::string path = kind->path();
      kind->fill(kRows);
      const std::vector<int64_t> leaves = inSmallPages(path, kind->table);
      const std::vector<int64_t> below = pagesWhere(path, kind->table, "path LIKE '/000/___/'");
      ASSERT_GE(below.size(), 4u);
      const int64_t lost = cellKey(path, below[1], 0);
      const int64_t moved = cellKey(path, leaves.back(), 0);
      const std::string lookup = concat({"SELECT ", kind->column, " FROM ", kind->table, " WHERE rowid = "});
      const std::string row = sql(path, lookup + std::to_string(moved));
      shareChildren(path, {middlePages(path, kind->table).front(), below[1], below[2], below[3]}, below[0], 64);
      setLeafKey(path, leaves.back(), 0, lost);
      ASSERT_EQ(sql(path, lookup + std::to_string(lost)), "") << "the lookup misses the moved row";
      std::set<std::string> readable = readByRowid(path, kind->table, kind->column, kRows);
      const int64_t cells = integer(path, "PRAGMA page_count") * (512 - 8) / 6;
      if (leftover) {
        ASSERT_EQ(std::rename(path.c_str(), (path + "-damaged-Ab12Cd").c_str()), 0);
      }

      bool opened = false;
      {
        RowsRead rows(kReadsPerCell * cells);
        opened = kind->open();
        EXPECT_LE(rows.count(), kReadsPerCell * cells) << "rows read by the open";
      }
      ASSERT_TRUE(opened);
      readable.insert(row);
      const std::vector<std::string> kept = column(path, concat({"SELECT ", kind->column, " FROM ", kind->table}));
      EXPECT_EQ(std::count_if(readable.begin(), readable.end(),
                              [&](const std::string& value) { return !std::count(kept.begin(), kept.end(), value); }),
                0);
      if (!leftover) {
        EXPECT_EQ(sql(path, lookup + std::to_string(lost)), row);
      }
      expectNothingDamagedLeftIn(platform::deletingLastPathComponent(path));
    }
  }
}

// A header SQLite cannot write (its write version above 2), or cannot read
// at all: the file is replaced in place, and stored into again.
TEST(DatabaseSalvageTest, AFileWhoseHeaderForbidsWritingIsReplacedAndWrittenAgain) {
  constexpr int kRows = 300;
  const struct {
    const char* name;
    int64_t offset;
    std::string bytes;
    bool rowsReadable;
    int pageSize;
  } cases[] = {
      {"write version 3", 18, "\x03", true, 4096},
      {"write version 200", 18, "\xc8\x01", true, 4096},
      // SQLite reads it in write-ahead-log mode, in its own page size.
      {"write version 11, read version 2, 512-byte pages", 18, "\x0b\x02", true, 512},
      {"no header SQLite knows", 0, std::string(16, 'x'), false, 4096},
  };
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    for (const auto& test : cases) {
      SCOPED_TRACE(concat({kind->name, ": ", test.name}));
      TempContainer container;
      kind->fill(kRows);
      execute(kind->path(), concat({"PRAGMA page_size = ", std::to_string(test.pageSize), "; VACUUM"}));
      const std::set<std::string> before = readByRowid(kind->path(), kind->table, kind->column, kRows);
      overwrite(kind->path(), test.offset, test.bytes);
      // Three launches: the first replaces the file, each stores a row.
      for (int launch = 0; launch < 3; ++launch) EXPECT_TRUE(kind->store(kRows + launch, 1)) << launch;
      EXPECT_EQ(integer(kind->path(), concat({"SELECT count(*) FROM ", kind->table})),
                (test.rowsReadable ? kRows : 0) + 3);
      expectSalvaged(*kind, test.rowsReadable ? before : std::set<std::string>{}, kRows + 10);
    }
  }
}

// Files SQLite reads nothing of: cut inside the header, where each failed
// read moves SQLite's data version though nothing writes (28 to 39 bytes,
// between the controls 27 and 40), or with a schema row whose payload size
// no allocation can hold, so that each read of the schema runs out of
// memory while memory is plentiful. Each is replaced like any other
// damaged file, instead of being taken for one another process keeps
// writing or for a failure of the moment.
TEST(DatabaseSalvageTest, AFileSQLiteReadsNothingOfIsReplaced) {
  std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases;
  for (const int64_t length : {27, 28, 29, 31, 33, 35, 37, 38, 39, 40}) {
    cases.emplace_back(concat({"cut to ", std::to_string(length), " bytes"}),
                       [length](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), length), 0); });
  }
  cases.emplace_back("a schema row no allocation can hold", [](const std::string& path) {
    execute(path, "PRAGMA page_size = 512; VACUUM");
    const std::vector<int64_t> leaves = leafPages(path, "sqlite_schema");
    ASSERT_GE(leaves.size(), 2u);
    const int64_t leaf = leaves[leaves.size() / 2];
    overwrite(path, (leaf - 1) * 512 + cellOffset(path, leaf, cellCount(path, leaf) / 2),
              "\xac\xac\xac\xac\xff\xff\xff\xff");
  });
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    for (const auto& [name, damage] : cases) {
      SCOPED_TRACE(concat({kind->name, ": ", name}));
      TempContainer container;
      kind->fill(20);
      damage(kind->path());
      for (int launch = 0; launch < 2; ++launch) ASSERT_TRUE(kind->store(100 + launch, 1)) << launch;
      EXPECT_EQ(integer(kind->path(), concat({"SELECT count(*) FROM ", kind->table})), 2);
      expectSalvaged(*kind, {}, 200);
    }
  }
}

// Leftovers of salvages: a scratch file of a killed one is removed at the
// next open, a file an earlier version moved aside gives its rows back, and
// a reset leaves neither.
TEST(DatabaseSalvageTest, LeftoversOfKilledSalvagesAreTakenCareOf) {
  TempContainer container;
  const std::string path = kMeasurement.path();
  const std::string folder = platform::deletingLastPathComponent(path);
  kMeasurement.fill(200);
  const std::set<std::string> aside = readByRowid(path, kAPMRawEventsTable, "data", 200);
  ASSERT_EQ(std::rename(path.c_str(), (path + "-damaged-Ab12Cd").c_str()), 0);
  std::ofstream(path + "-salvage-Xy34Zw") << "half a copy";
  std::ofstream(path + "-salvage-Xy34Zw-journal") << "its journal";
  {
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    EXPECT_TRUE(database->storeRawEvent(road::event(500, platform::Clock::current()->now()), road::bundle(1), false));
  }
  EXPECT_EQ(leftovers(folder), std::vector<std::string>{});
  expectSalvaged(kMeasurement, aside, 1000);
  EXPECT_EQ(readByRowid(path, kAPMRawEventsTable, "data", 1000).size(), aside.size() + 1);

  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  std::ofstream(path + "-salvage-Qq11Rr") << "half a copy";
  std::ofstream(path + "-damaged-Ss22Tt") << "moved aside";
  ASSERT_TRUE(database->reset());
  EXPECT_EQ(leftovers(folder), std::vector<std::string>{});
}

// app_metadata holding rows but not row 1, in a file that passes the
// integrity check or one salvaged for damage elsewhere: the table's limit
// of one row would refuse row 1 at every open. The rows are replaced and
// logged, and the file stores again. A raw-events leaf copied in the
// table's place breaks its NOT NULL columns: that file is salvaged.
TEST(DatabaseSalvageTest, AOneRowTableWithoutItsRowIsRepaired) {
  enum class Shape { kStrayRows, kStrayRowsDamagedElsewhere, kLeafInItsPlace };
  for (const Shape shape : {Shape::kStrayRows, Shape::kStrayRowsDamagedElsewhere, Shape::kLeafInItsPlace}) {
    SCOPED_TRACE(static_cast<int>(shape));
    TempContainer container;
    const std::string path = kMeasurement.path();
    kMeasurement.fill(300);
    const std::vector<int64_t> leaves = leafPages(path, kAPMRawEventsTable);
    if (shape == Shape::kLeafInItsPlace) {
      copyPage(path, leaves[1], rootPage(path, kAPMAppMetadataTable));
    } else {
      sql(path, "DELETE FROM app_metadata");
      sql(path,
          "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) "
          "VALUES (69, 1, 1.5), (70, 2, 2.5)");
      if (shape == Shape::kStrayRowsDamagedElsewhere) damagePage(path, leaves[leaves.size() / 2]);
      EXPECT_EQ(sql(path, "PRAGMA integrity_check") == "ok", shape == Shape::kStrayRows);
      ASSERT_EQ(integer(path, "SELECT count(*) FROM app_metadata WHERE rowid = 1"), 0);
    }

    RecordingMonitor monitor;
    EXPECT_TRUE(kMeasurement.store(1000, 1));
    EXPECT_EQ(monitor.contains(12007), shape != Shape::kLeafInItsPlace);
    EXPECT_TRUE(kMeasurement.store(1001, 1));
    EXPECT_EQ(integer(path, "SELECT count(*) FROM app_metadata WHERE rowid = 1"), 1);
    EXPECT_EQ(integer(path, "SELECT count(*) FROM app_metadata"), 1);
  }
}

// A file an older version moved aside, whose rows (events 0-199) the open
// file holds in part: that version copied events 100-199 with new rowids
// before it was killed, and the file got events of its own since. Only
// the rows it lacks are added, also when the same leftover comes again
// (a kill after the rows were committed, before the leftover went).
TEST(DatabaseSalvageTest, ALeftoverAddsOnlyTheRowsTheFileLacks) {
  TempContainer container;
  platform::ScopedCurrentClock clock(std::make_shared<platform::ManualClock>(1'700'000'000));
  const std::string path = kMeasurement.path();
  kMeasurement.fill(200);
  const std::string leftover = fileText(path);
  ASSERT_EQ(std::remove(path.c_str()), 0);
  ASSERT_TRUE(kMeasurement.store(100, 100));
  ASSERT_TRUE(kMeasurement.store(1000, 5));
  std::set<int64_t> expected;
  for (int64_t sequence = 0; sequence < 200; ++sequence) expected.insert(sequence);
  for (int64_t sequence = 1000; sequence < 1005; ++sequence) expected.insert(sequence);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::ofstream(path + "-damaged-Ab12Cd", std::ios::binary) << leftover;
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database);
    expectNothingDamagedLeftIn(platform::deletingLastPathComponent(path));
    EXPECT_EQ(readableRawEvents(*database), expected);
    EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kAPMRawEventsTable), 205);
  }
}

}  // namespace
