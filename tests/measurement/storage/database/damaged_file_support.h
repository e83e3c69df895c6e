// Database files filled, damaged and read back through connections of their
// own, for the suites on damaged files and their salvage.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "measurement/storage/database/database.h"
#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/measurement/storage/database/event_road_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/files.h"
#include "tests/support/text_concat.h"

namespace damaged {

// The first column of each row `query` answers on the file, as bytes,
// through a connection of its own. With `rowids`, the query runs once for
// each rowid from 1 to `rowids` bound to its parameter, and a lookup that
// fails (in a damaged region) answers nothing; past the first row, a
// failure (a damaged file's integrity check) ends the rows.
inline std::vector<std::string> column(const std::string& path, const std::string& query, int64_t rowids = 0) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(handle, query.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
  std::vector<std::string> values;
  for (int64_t rowid = 1; statement && rowid <= std::max<int64_t>(rowids, 1); ++rowid) {
    if (rowids) sqlite3_bind_int64(statement, 1, rowid);
    int step = sqlite3_step(statement);
    EXPECT_TRUE(rowids || step == SQLITE_ROW || step == SQLITE_DONE) << sqlite3_errmsg(handle);
    for (; step == SQLITE_ROW; step = sqlite3_step(statement)) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      values.emplace_back(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return values;
}
// The first row's, or "" without a row.
inline std::string sql(const std::string& path, const std::string& query) {
  const std::vector<std::string> values = column(path, query);
  return values.empty() ? "" : values[0];
}
inline int64_t integer(const std::string& path, const std::string& query) { return std::stoll(sql(path, query)); }
// Runs statements that answer no rows, through a connection of its own.
inline void execute(const std::string& path, const std::string& statements) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(handle, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
  sqlite3_close(handle);
}

inline void overwrite(const std::string& path, int64_t offset, const std::string& bytes) {
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
      .seekp(offset)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Overwrites the first `from` in the file's bytes with `to`, of its length.
inline void replaceBytes(const std::string& path, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = bytes.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  overwrite(path, static_cast<int64_t>(at), to);
}

// Writes garbage over page `page` and checks the file is now damaged.
inline void damagePage(const std::string& path, int64_t page) {
  const int64_t pageSize = integer(path, "PRAGMA page_size");
  ASSERT_GT(page, 1);
  overwrite(path, (page - 1) * pageSize, std::string(static_cast<size_t>(pageSize), '\xa5'));
  ASSERT_NE(sql(path, "PRAGMA integrity_check"), "ok");
}

// The pages of the table that dbstat lists under `condition`, in key order.
inline std::vector<int64_t> pagesWhere(const std::string& path, const std::string& table, const std::string& condition) {
  std::vector<int64_t> pages;
  for (const std::string& page :
       column(path, concat({"SELECT pageno FROM dbstat WHERE name = '", table, "' AND ", condition, " ORDER BY path"}))) {
    pages.push_back(std::stoll(page));
  }
  return pages;
}
inline std::vector<int64_t> leafPages(const std::string& path, const std::string& table) {
  return pagesWhere(path, table, "pagetype = 'leaf'");
}
// The interior pages right below the root.
inline std::vector<int64_t> middlePages(const std::string& path, const std::string& table) {
  return pagesWhere(path, table, "pagetype = 'internal' AND path LIKE '/___/'");
}
inline int64_t rootPage(const std::string& path, const std::string& table) {
  return integer(path, concat({"SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = '", table, "'"}));
}

// Writes page `from` over page `to`.
inline void copyPage(const std::string& path, int64_t from, int64_t to) {
  const int64_t pageSize = integer(path, "PRAGMA page_size");
  std::string bytes(static_cast<size_t>(pageSize), '\0');
  std::ifstream(path, std::ios::binary).seekg((from - 1) * pageSize).read(bytes.data(), pageSize);
  overwrite(path, (to - 1) * pageSize, bytes);
}

// The bytes of page `page` (not page 1) from `offset`.
inline std::string pageBytes(const std::string& path, int64_t page, int64_t offset, size_t count) {
  std::string bytes(count, '\0');
  std::ifstream(path, std::ios::binary)
      .seekg((page - 1) * integer(path, "PRAGMA page_size") + offset)
      .read(bytes.data(), static_cast<std::streamsize>(count));
  return bytes;
}
// Where cell `cell` of b-tree page `page` (not page 1) starts in the page.
inline int64_t cellOffset(const std::string& path, int64_t page, int cell) {
  const bool interior = pageBytes(path, page, 0, 1)[0] == '\x05';
  const std::string pointer = pageBytes(path, page, (interior ? 12 : 8) + 2 * cell, 2);
  return static_cast<unsigned char>(pointer[0]) << 8 | static_cast<unsigned char>(pointer[1]);
}
// The number of cells of b-tree page `page` (not page 1).
inline int cellCount(const std::string& path, int64_t page) {
  const std::string count = pageBytes(path, page, 3, 2);
  return static_cast<unsigned char>(count[0]) << 8 | static_cast<unsigned char>(count[1]);
}
// The key of cell `cell` of leaf page `page`: the varint after the
// payload size's.
inline int64_t cellKey(const std::string& path, int64_t page, int cell) {
  const std::string bytes = pageBytes(path, page, cellOffset(path, page, cell), 18);
  size_t at = 0;
  while (static_cast<unsigned char>(bytes[at]) >= 0x80) ++at;
  int64_t key = 0;
  for (++at; static_cast<unsigned char>(bytes[at]) >= 0x80; ++at) key = key << 7 | (bytes[at] & 0x7f);
  return key << 7 | bytes[at];
}

// Writes over cell `cell` of leaf page `page` (not page 1) a cell of key
// `rowid` whose record has one column, NULL: every NOT NULL column of the
// table refuses it.
inline void forgeCell(const std::string& path, int64_t page, int cell, int64_t rowid) {
  ASSERT_GT(page, 1);
  ASSERT_LT(rowid, 1 << 14);
  // Payload of two bytes, the key as a two-byte varint, then the record:
  // a header of two bytes declaring one NULL.
  const std::string forged{'\x02', static_cast<char>(0x80 | (rowid >> 7)), static_cast<char>(rowid & 0x7f), '\x02', '\x00'};
  overwrite(path, (page - 1) * integer(path, "PRAGMA page_size") + cellOffset(path, page, cell), forged);
}

// Writes over the key of cell `cell` of leaf page `page` (not page 1), a
// two-byte varint, the key `rowid` in two bytes.
inline void setLeafKey(const std::string& path, int64_t page, int cell, int64_t rowid) {
  ASSERT_GE(cellKey(path, page, cell), 1 << 7);
  ASSERT_LT(rowid, 1 << 14);
  const int64_t payloadSize = static_cast<unsigned char>(pageBytes(path, page, cellOffset(path, page, cell), 1)[0]) < 0x80 ? 1 : 2;
  overwrite(path, (page - 1) * integer(path, "PRAGMA page_size") + cellOffset(path, page, cell) + payloadSize,
            {static_cast<char>(0x80 | (rowid >> 7)), static_cast<char>(rowid & 0x7f)});
}

// Makes each page of `chain` (pages of one table's b-tree, not page 1) a
// table-interior page of `cells` cells whose children, and right child,
// are all the next page of the chain, the last's `leaf`: a scan reads the
// leaf once per path to it, (cells + 1) to the power of the chain's length.
inline void shareChildren(const std::string& path, const std::vector<int64_t>& chain, int64_t leaf, int cells) {
  const int64_t pageSize = integer(path, "PRAGMA page_size");
  // A cell is the child's number and a one-byte key.
  constexpr int kCellBytes = 5;
  ASSERT_LT(cells, 128);
  ASSERT_LE(12 + 2 * cells, pageSize - kCellBytes * cells);
  for (size_t i = 0; i < chain.size(); ++i) {
    const int64_t child = i + 1 < chain.size() ? chain[i + 1] : leaf;
    std::string page(static_cast<size_t>(pageSize), '\0');
    const auto put = [&](int64_t at, int64_t value, int bytes) {
      for (int byte = 0; byte < bytes; ++byte) page[at + byte] = static_cast<char>(value >> (8 * (bytes - 1 - byte)));
    };
    put(0, 0x05, 1);
    put(3, cells, 2);
    put(5, pageSize - kCellBytes * cells, 2);
    put(8, child, 4);
    for (int cell = 0; cell < cells; ++cell) {
      const int64_t at = pageSize - kCellBytes * (cell + 1);
      put(12 + 2 * cell, at, 2);
      put(at, child, 4);
      put(at + 4, cell + 1, 1);
    }
    overwrite(path, (chain[i] - 1) * pageSize, page);
  }
}

// Counts the rows that the statements of every connection opened while it
// lives read (SQLite's row trace); past `limit` rows it interrupts the
// statement reading, so that a read without end ends, as a failure.
class RowsRead {
 public:
  explicit RowsRead(int64_t limit) : limit_(limit) {
    active() = this;
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(&install));
  }
  ~RowsRead() {
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&install));
    active() = nullptr;
  }
  RowsRead(const RowsRead&) = delete;
  RowsRead& operator=(const RowsRead&) = delete;
  int64_t count() const { return count_; }

 private:
  static RowsRead*& active() {
    static RowsRead* counter = nullptr;
    return counter;
  }
  static int install(sqlite3* handle, char**, const sqlite3_api_routines*) {
    sqlite3_trace_v2(handle, SQLITE_TRACE_ROW, &onRow, nullptr);
    return SQLITE_OK;
  }
  static int onRow(unsigned, void*, void* statement, void*) {
    RowsRead* counter = active();
    if (counter && ++counter->count_ > counter->limit_) {
      sqlite3_interrupt(sqlite3_db_handle(static_cast<sqlite3_stmt*>(statement)));
    }
    return 0;
  }

  const int64_t limit_;
  std::atomic<int64_t> count_{0};
};

// The values of `column` in the rows that a lookup by rowid finds, for the
// rowids 1 to `lastRowid`.
inline std::set<std::string> readByRowid(const std::string& path, const std::string& table,
                                         const std::string& name, int64_t lastRowid) {
  const std::vector<std::string> values = column(path, concat({"SELECT ", name, " FROM ", table, " WHERE rowid = ?"}), lastRowid);
  return {values.begin(), values.end()};
}

// The numbers of the raw events that read back as events.
inline std::set<int64_t> readableRawEvents(APMDatabase& database) {
  std::set<int64_t> sequences;
  auto rows = database.sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events", {});
  EXPECT_TRUE(rows);
  for (const APMRecord& row : rows.value_or(std::vector<APMRecord>{})) {
    if (auto event = database.rawEventDataFromDictionary(row)) sequences.insert(road::sequenceOf(*event->rawEvent()));
  }
  return sequences;
}

// One of the two databases, with the table whose rows the tests count.
struct Kind {
  const char* name;
  const char* table;
  const char* column;
  bool measurement() const { return table == std::string(kAPMRawEventsTable); }
  std::string path() const {
    return APMApplicationSupportFilePath(measurement() ? kAPMMeasurementDatabaseName : kAPMEDatabaseName);
  }
  // Opens it as the engine does, a failed opening tried once more, and
  // stores `count` raw events or activated snapshots numbered from `first`
  // in one transaction; false when either fails.
  bool store(int first = 0, int count = 0) const {
    const auto stored = [&](const auto& open, const auto& row) {
      auto database = open();
      if (!database) database = open();
      return database && (count == 0 || database->performTransaction([&] {
                            bool ok = true;
                            for (int i = first; i < first + count; ++i) ok = ok && row(*database, i);
                            return ok;
                          }));
    };
    const double now = platform::Clock::current()->now();
    if (measurement()) {
      return stored([] { return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr); },
                    [&](APMDatabase& d, int i) { return d.storeRawEvent(road::event(i, now), road::bundle(1), false); });
    }
    return stored([&] { return APMEDatabase::initWithPath(path()); }, [](APMEDatabase& d, int i) {
      return d.upsertSnapshot(*experiments_testing::snapshot(concat({"sdk", std::to_string(i)}),
                                                            {experiments_testing::experiment(i)})->proto(),
                              kAPMEActivatedSnapshotTable, 100.0 + i, std::nullopt);
    });
  }
  bool open() const { return store(); }
  void fill(int rows) const { ASSERT_TRUE(store(0, rows)); }
};
inline const Kind kMeasurement{"measurement", kAPMRawEventsTable, "data"};
inline const Kind kExperiments{"experiments", kAPMEActivatedSnapshotTable, "snapshotProto"};

// Names of the folder's entries that a salvage left: scratch files or
// files moved aside.
inline std::vector<std::string> leftovers(const std::string& folder) {
  std::vector<std::string> names = folderEntries(folder);
  std::erase_if(names, [](const std::string& name) {
    return name.find("-salvage-") == std::string::npos && name.find("-damaged-") == std::string::npos;
  });
  return names;
}

// Fills the database with `rows` rows and damages it with `damage(path,
// leaves)`, given the table's leaf pages in key order; answers what a
// lookup by rowid still finds.
template <typename Damage>
std::set<std::string> fillAndDamage(const Kind& kind, int rows, const Damage& damage) {
  kind.fill(rows);
  const std::vector<int64_t> leaves = leafPages(kind.path(), kind.table);
  EXPECT_GT(leaves.size(), 8u);
  if (leaves.size() > 8) damage(kind.path(), leaves);
  EXPECT_NE(sql(kind.path(), "PRAGMA integrity_check"), "ok");
  const std::set<std::string> readable = readByRowid(kind.path(), kind.table, kind.column, rows);
  EXPECT_GT(readable.size(), 0u);
  return readable;
}

// Opens the database again and checks that it is whole, holds every row of
// `readable` (of rowids up to `lastRowid`), and that no salvage left a
// file beside it.
inline void expectSalvaged(const Kind& kind, const std::set<std::string>& readable, int64_t lastRowid) {
  ASSERT_TRUE(kind.open());
  EXPECT_EQ(sql(kind.path(), "PRAGMA integrity_check"), "ok");
  const std::set<std::string> kept = readByRowid(kind.path(), kind.table, kind.column, lastRowid);
  EXPECT_EQ(std::count_if(readable.begin(), readable.end(), [&](const std::string& row) { return !kept.count(row); }), 0)
      << "rows lost of " << readable.size() << " readable";
  EXPECT_EQ(leftovers(platform::deletingLastPathComponent(kind.path())), std::vector<std::string>{});
}

}  // namespace damaged
