// Database files filled, damaged and read back through connections of their
// own, for the suites on damaged files and their salvage.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

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

namespace damaged {

// Runs `query` on the file through a connection of its own; its first
// column, as text, or "" without a row.
inline std::string sql(const std::string& path, const std::string& query) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  std::string answer;
  EXPECT_EQ(sqlite3_prepare_v2(handle, query.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
  const int step = sqlite3_step(statement);
  EXPECT_TRUE(step == SQLITE_ROW || step == SQLITE_DONE) << sqlite3_errmsg(handle);
  if (step == SQLITE_ROW) answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return answer;
}
inline int64_t integer(const std::string& path, const std::string& query) { return std::stoll(sql(path, query)); }

inline void overwrite(const std::string& path, int64_t offset, const std::string& bytes) {
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
      .seekp(offset)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes garbage over page `page` and checks the file is now damaged.
inline void damagePage(const std::string& path, int64_t page) {
  const int64_t pageSize = integer(path, "PRAGMA page_size");
  ASSERT_GT(page, 1);
  overwrite(path, (page - 1) * pageSize, std::string(static_cast<size_t>(pageSize), '\xa5'));
  ASSERT_NE(sql(path, "PRAGMA integrity_check"), "ok");
}

// The leaf pages of the table, in key order.
inline std::vector<int64_t> leafPages(const std::string& path, const std::string& table) {
  std::vector<int64_t> pages;
  const int64_t count = integer(path, "SELECT count(*) FROM dbstat WHERE name = '" + table + "' AND pagetype = 'leaf'");
  for (int64_t i = 0; i < count; ++i) {
    pages.push_back(integer(path, "SELECT pageno FROM dbstat WHERE name = '" + table +
                                      "' AND pagetype = 'leaf' ORDER BY path LIMIT 1 OFFSET " + std::to_string(i)));
  }
  return pages;
}

// The values of `column` in the rows that a lookup by rowid finds, for the
// rowids 1 to `lastRowid`.
inline std::set<std::string> readByRowid(const std::string& path, const std::string& table, const std::string& column,
                                         int64_t lastRowid) {
  std::set<std::string> values;
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  const std::string query = "SELECT " + column + " FROM " + table + " WHERE rowid = ?";
  if (sqlite3_prepare_v2(handle, query.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    for (int64_t rowid = 1; rowid <= lastRowid; ++rowid) {
      sqlite3_bind_int64(statement, 1, rowid);
      if (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        values.emplace(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
      }
      sqlite3_reset(statement);
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(handle);
  return values;
}

// One of the two databases, with the table whose rows the tests count.
struct Kind {
  const char* name;
  const char* table;
  const char* column;
  std::string path() const {
    return APMApplicationSupportFilePath(table == std::string(kAPMRawEventsTable) ? kAPMMeasurementDatabaseName
                                                                                 : kAPMEDatabaseName);
  }
  // Opens it as the engine does: a failed opening is tried once more.
  bool open() const {
    if (table == std::string(kAPMRawEventsTable)) {
      return APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr) ||
             APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    }
    return APMEDatabase::initWithPath(path()) || APMEDatabase::initWithPath(path());
  }
  // Fills it with `rows` raw events or activated snapshots.
  void fill(int rows) const {
    if (table == std::string(kAPMRawEventsTable)) {
      auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
      ASSERT_TRUE(database);
      const double now = platform::Clock::current()->now();
      ASSERT_TRUE(database->performTransaction([&] {
        bool ok = true;
        for (int i = 0; i < rows; ++i) ok = ok && database->storeRawEvent(road::event(i, now), road::bundle(1), false);
        return ok;
      }));
      return;
    }
    auto database = APMEDatabase::initWithPath(path());
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->performTransaction([&] {
      bool ok = true;
      for (int i = 0; i < rows; ++i) {
        ok = ok && database->upsertSnapshot(
                       *experiments_testing::snapshot("sdk" + std::to_string(i), {experiments_testing::experiment(i)})->proto(),
                       kAPMEActivatedSnapshotTable, 100.0 + i, std::nullopt);
      }
      return ok;
    }));
  }
};
inline const Kind kMeasurement{"measurement", kAPMRawEventsTable, "data"};
inline const Kind kExperiments{"experiments", kAPMEActivatedSnapshotTable, "snapshotProto"};

// Names of the folder's entries that a salvage left: scratch files or
// files moved aside.
inline std::vector<std::string> leftovers(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : folderEntries(folder)) {
    if (name.find("-salvage-") != std::string::npos || name.find("-damaged-") != std::string::npos) {
      names.push_back(name);
    }
  }
  return names;
}

}  // namespace damaged
