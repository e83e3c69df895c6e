// Damaged files, interrupted writers and a full disk, against real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "measurement/engine/measurement_errors.h"
#include "measurement/storage/database/sqlite_store.h"
#include "platform/paths.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Bytes;
using platform::ErrorRef;
using platform::Object;

constexpr long kPageSize = 4096;

// A file of many pages: one table of 400 rows of 100-byte blobs.
void writeFilledDatabase(const std::string& path) {
  std::remove(path.c_str());
  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)"));
  ASSERT_TRUE(store->performTransactionWithError([&] {
    for (int i = 0; i < 400; ++i) {
      if (!store->upsertRecord({{"id", i}, {"data", Bytes(100, static_cast<uint8_t>(i))}}, "rows")) {
        return false;
      }
    }
    return true;
  }));
}

long fileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return static_cast<long>(file.tellg());
}

void overwrite(const std::string& path, long offset, const Bytes& bytes) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(offset);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes randomBytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

// The store opened on a damaged file comes back as a fresh, valid, empty
// database.
void expectOpensFresh(const std::string& path) {
  ErrorRef error;
  auto store = APMSqliteStore::initWithDatabasePath(path, &error);
  ASSERT_TRUE(store) << (error ? error->description() : "");
  EXPECT_TRUE(store->validateDatabaseWithError());
  EXPECT_EQ(store->tableExists("rows"), false);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY)"));
  EXPECT_TRUE(store->upsertRecord({{"id", 1}}, "rows"));
}

TEST(SqliteRecoveryTest, DamagedFilesAreReplacedByFreshOnes) {
  TempContainer container;
  std::string path = platform::appendingPathComponent(container.path(), "damaged.sql");

  writeFilledDatabase(path);
  ASSERT_GT(fileSize(path), 10 * kPageSize);
  overwrite(path, 0, Bytes(100, 0x5a));
  expectOpensFresh(path);

  writeFilledDatabase(path);
  ASSERT_EQ(truncate(path.c_str(), fileSize(path) / 2 + kPageSize / 3), 0);
  expectOpensFresh(path);

  writeFilledDatabase(path);
  overwrite(path, 3 * kPageSize, randomBytes(3 * kPageSize, 7));
  expectOpensFresh(path);
}

TEST(SqliteRecoveryTest, KilledWriterLeavesCommittedRowsOnly) {
  TempContainer container;
  std::string path = platform::appendingPathComponent(container.path(), "killed.sql");
  {
    auto store = APMSqliteStore::initWithDatabasePath(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)"));
    ASSERT_TRUE(store->upsertRecord({{"id", 1}, {"data", Bytes(10, 1)}}, "rows"));
  }
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child only touches SQLite: it dies inside its transaction, after
    // enough writes to spill pages into the file.
    auto store = APMSqliteStore::initWithDatabasePath(path);
    if (!store || !store->executeSQL("PRAGMA cache_size = 10")) _exit(2);
    store->performTransactionWithError([&] {
      for (int i = 100; i < 2000; ++i) {
        store->upsertRecord({{"id", i}, {"data", Bytes(200, 2)}}, "rows");
      }
      char signal = 1;
      if (write(ready[1], &signal, 1) != 1) _exit(3);
      pause();
      return true;
    });
    _exit(4);
  }
  close(ready[1]);
  char signal = 0;
  ASSERT_EQ(read(ready[0], &signal, 1), 1);
  close(ready[0]);
  EXPECT_TRUE(platform::fileExists(path + "-journal"));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->validateDatabaseWithError());
  EXPECT_EQ(store->rowCountForTableWithName("rows"), 1);
  EXPECT_EQ(store->rowCountForTableWithName("rows", "id", Object(1)), 1);
}

TEST(SqliteRecoveryTest, FileLockedByAnotherWriterIsKept) {
  TempContainer container;
  std::string path = platform::appendingPathComponent(container.path(), "locked.sql");
  {
    auto store = APMSqliteStore::initWithDatabasePath(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)"));
    ASSERT_TRUE(store->upsertRecord({{"id", 1}, {"data", Bytes(10, 1)}}, "rows"));
  }
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; INSERT INTO rows VALUES (2, x'02');", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  // The check cannot read the file while the writer holds it: that is no
  // sign of damage, and the file must survive.
  ErrorRef error;
  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath(path, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(APMMonitorContextOfError(*error), "validate database,5,A");
  EXPECT_TRUE(APMSqliteStore::isTransientFailure(error));
  ASSERT_EQ(sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(writer);

  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->rowCountForTableWithName("rows"), 2);
}

TEST(SqliteRecoveryTest, FullDiskFailsClearly) {
  TempContainer container;
  std::string path = platform::appendingPathComponent(container.path(), "full.sql");
  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE rows (id INTEGER PRIMARY KEY, data BLOB NOT NULL)"));
  auto pages = store->numberForQuery("SELECT page_count FROM pragma_page_count()", {});
  ASSERT_EQ(store->numberForQuery("PRAGMA max_page_count = " + std::to_string(pages.int64Value() + 4), {}),
            Object(pages.int64Value() + 4));
  ErrorRef error;
  int written = 0;
  while (written < 100 && store->upsertRecord({{"id", written}, {"data", Bytes(3000, 3)}}, "rows", &error)) {
    ++written;
  }
  EXPECT_LT(written, 100);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(error->localizedDescription().find("sqlite code 13"), std::string::npos)
      << error->localizedDescription();
  EXPECT_NE(error->localizedDescription().find("database or disk is full"), std::string::npos);
  // A full disk says nothing about the file: its owner must keep it.
  EXPECT_TRUE(APMSqliteStore::isTransientFailure(error));
  // A transaction that fills the file rolls back whole; the store goes on.
  EXPECT_FALSE(store->performTransactionWithError([&] {
    for (int i = 1000; i < 1100; ++i) {
      if (!store->upsertRecord({{"id", i}, {"data", Bytes(3000, 4)}}, "rows")) return false;
    }
    return true;
  }));
  EXPECT_EQ(store->rowCountForTableWithName("rows"), written);
  EXPECT_TRUE(store->validateDatabaseWithError());
}

}  // namespace
