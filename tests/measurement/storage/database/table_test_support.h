// The fixture of the table suites: a measurement database in a fresh
// container on a manual clock, and a helper that fills a table with rows
// through plain SQL (faster than one upsert per row, and independent of the
// code under test).
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "measurement/storage/database/database.h"
#include "platform/clock.h"
#include "tests/support/expect_refused.h"
#include "tests/support/temp_container.h"

class TableTest : public ::testing::Test {
 public:
  static constexpr double kNow = 1'700'000'000;

 protected:
  void SetUp() override {
    clock_ = std::make_shared<platform::ManualClock>(kNow);
    scopedClock_ = std::make_unique<platform::ScopedCurrentClock>(clock_);
    platform::ErrorRef error;
    database_ = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr, &error);
    ASSERT_TRUE(database_) << (error ? error->localizedDescription() : "");
  }

  APMSqliteStore& store() { return *database_->sqliteStore(); }

  int64_t rowCount(const std::string& table) {
    return store().rowCountForTableWithName(table).value_or(-1);
  }

  // Runs `write` with the clock at `time`, then puts the clock back: how a
  // row stamped long ago, or ahead, came to be stored.
  template <typename Write>
  auto writtenAt(double time, Write&& write) {
    clock_->set(time);
    auto result = write();
    clock_->set(kNow);
    return result;
  }

  // Runs `sql` once per i in [0, count) with i bound to every "?".
  void fill(const std::string& sql, int count) {
    sqlite3* db = store().sqliteHandle();
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
      for (int p = 1; p <= sqlite3_bind_parameter_count(statement); ++p) {
        sqlite3_bind_int(statement, p, i);
      }
      ASSERT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db);
      sqlite3_reset(statement);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(statement);
  }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedCurrentClock> scopedClock_;
  std::shared_ptr<APMDatabase> database_;
};
