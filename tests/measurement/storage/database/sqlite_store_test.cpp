#include "measurement/storage/database/sqlite_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "measurement/engine/measurement_errors.h"
#include "platform/paths.h"
#include "tests/support/expect_refused.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Bytes;
using platform::ErrorRef;
using platform::Object;

int openStatements(sqlite3* handle) {
  int count = 0;
  for (sqlite3_stmt* s = sqlite3_next_stmt(handle, nullptr); s; s = sqlite3_next_stmt(handle, s)) {
    ++count;
  }
  return count;
}

std::string descriptionOf(const ErrorRef& error) {
  return error ? error->localizedDescription() : std::string("(no error)");
}

class SqliteStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = platform::appendingPathComponent(container_.path(), "nested/folder/test.sql");
    store_ = APMSqliteStore::initWithDatabasePath(path_);
    ASSERT_TRUE(store_);
    ASSERT_TRUE(store_->executeSQL(
        "CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY, i INTEGER, r REAL, b BLOB, n INTEGER)"));
  }

  TempContainer container_;
  std::string path_;
  std::shared_ptr<APMSqliteStore> store_;
};

TEST_F(SqliteStoreTest, OpensCreatingFolderAndRefusesEmptyPath) {
  EXPECT_TRUE(platform::fileExists(path_));
  EXPECT_EQ(store_->databasePath(), path_);
  ErrorRef error;
  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kAPMMeasurementErrorDomain);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty database path on init");
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(SqliteStoreFilesTest, FolderFileAndJournalAreTheOwnersOnly) {
  TempContainer container;
  mode_t previous = umask(022);
  const std::string folder = container.path() + "/made";
  const std::string path = folder + "/inner/private.sql";
  auto store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(folder + "/inner"), 0700u);
  EXPECT_EQ(modeOf(path), 0600u);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)"));
  EXPECT_TRUE(store->performTransactionWithError([&] {
    bool written = store->upsertRecord({{"a", 1}}, "t");
    EXPECT_EQ(modeOf(path + "-journal"), 0600u);
    return written;
  }));
  store.reset();

  // A file an older version left open to others is closed to them.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  store = APMSqliteStore::initWithDatabasePath(path);
  ASSERT_TRUE(store);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(store->rowCountForTableWithName("t"), 1);
  umask(previous);
}

TEST_F(SqliteStoreTest, StatementTextMustEndAtItsLastTokenOrSemicolon) {
  for (const char* accepted : {"SELECT 1", "SELECT 1;"}) {
    sqlite3_stmt* statement = store_->prepareSQL(accepted);
    EXPECT_TRUE(statement) << accepted;
    store_->cleanUpStatement(statement, accepted);
  }
  using namespace std::string_literals;
  for (const std::string& refused :
       {"SELECT 1; "s, "SELECT 1;\n"s, "SELECT 1; SELECT 2"s, "SELECT 1\0; DELETE FROM t"s}) {
    ErrorRef error;
    EXPECT_FALSE(store_->prepareSQL(refused, &error)) << refused;
    EXPECT_EQ(descriptionOf(error), "Query contained more than one SQL statement.");
    EXPECT_EQ(error->code(), 1);
  }
  ErrorRef error;
  EXPECT_FALSE(store_->prepareSQL("SELEKT 1", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(),
            "Database operation \"prepare statement\" failed with sqlite code 1 and error message "
            "\"near \"SELEKT\": syntax error\"");
  EXPECT_EQ(APMMonitorContextOfError(*error), "prepare statement,1,A");
  EXPECT_EQ(openStatements(store_->sqliteHandle()), 0);
}

TEST_F(SqliteStoreTest, CachesStatementsWithPlaceholdersOrWithoutWhere) {
  sqlite3* handle = store_->sqliteHandle();
  auto use = [&](const std::string& query, const APMSqlParameters& parameters) {
    sqlite3_stmt* statement = store_->statementForQuery(query, parameters);
    EXPECT_TRUE(statement) << query;
    store_->cleanUpStatement(statement, query);
  };
  use("SELECT count(1) FROM t WHERE k = 'a'", {});
  use("SELECT count(1) FROM t WHERE k = 'a'", {});
  EXPECT_EQ(openStatements(handle), 0);
  use("SELECT count(1) FROM t WHERE k = ?", {"a"});
  use("SELECT count(1) FROM t WHERE k = ?", {"b"});
  EXPECT_EQ(openStatements(handle), 1);
  use("SELECT count(1) FROM t", {});
  EXPECT_EQ(openStatements(handle), 2);

  ErrorRef error;
  EXPECT_FALSE(store_->statementForQuery("SELECT k FROM t WHERE i = ?", {}, &error));
  EXPECT_EQ(descriptionOf(error), "Received empty parameters");

  // Texts that differ only in an inline amount come and go; the cache keeps
  // to its bound and never drops a statement that is in use.
  sqlite3_stmt* held = store_->statementForQuery("SELECT k FROM t WHERE i > ?", {Object(1)});
  ASSERT_TRUE(held);
  for (int i = 0; i < 200; ++i) {
    use("SELECT k FROM t WHERE i > ? + " + std::to_string(i), {Object(1)});
  }
  EXPECT_LE(openStatements(handle), static_cast<int>(APMSqliteStore::kStatementCacheCapacity) + 1);
  EXPECT_EQ(sqlite3_step(held), SQLITE_DONE);
  store_->cleanUpStatement(held, "SELECT k FROM t WHERE i > ?");
}

TEST_F(SqliteStoreTest, RecordsRoundTripByKind) {
  APMRecord record{{"k", "a"},       {"i", Object(int64_t{1} << 40)}, {"r", 2.5},
                   {"b", Bytes{1, 2}}, {"n", Object::null()}};
  ASSERT_TRUE(store_->upsertRecord(record, "t"));
  ASSERT_TRUE(store_->upsertRecord({{"k", "bool"}, {"i", true}, {"b", Bytes{}}}, "t"));

  RecordingMonitor monitor;
  auto rows = store_->recordsForQuery("SELECT k, i, r, b, n FROM t ORDER BY k", {});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  const APMRecord& first = (*rows)[0];
  EXPECT_EQ(first["k"], Object("a"));
  EXPECT_EQ(first["i"].kind(), Object::Kind::Int);
  EXPECT_EQ(first["i"].int64Value(), int64_t{1} << 40);
  EXPECT_EQ(first["r"].kind(), Object::Kind::Double);
  EXPECT_EQ(first["r"].doubleValue(), 2.5);
  EXPECT_EQ(*first["b"].data(), (Bytes{1, 2}));
  EXPECT_TRUE(first["n"].isNull());
  // A boolean is stored as the integer 1; an empty blob reads as no value.
  const APMRecord& second = (*rows)[1];
  EXPECT_EQ(second["i"].kind(), Object::Kind::Int);
  EXPECT_EQ(second["i"].int64Value(), 1);
  EXPECT_FALSE(second.contains("b"));
  EXPECT_TRUE(second["r"].isNull());
  EXPECT_EQ(monitor.first(34004).contexts, std::vector<Object>{Object("b")});

  // A kind with no column type is refused before anything is written.
  ErrorRef error;
  APMRecord bad{{"k", "c"}, {"i", Object(Object::Array{Object(1)})}};
  EXPECT_FALSE(store_->upsertRecord(bad, "t", &error));
  EXPECT_FALSE(error);
  EXPECT_TRUE(monitor.contains(34020));
  EXPECT_FALSE(store_->updateRecord(bad, "t", "k", "a", &error));
  EXPECT_EQ(descriptionOf(error), "Failed to bind parameter of unexpected type to update statement");
  EXPECT_TRUE(monitor.contains(34021));
  EXPECT_EQ(store_->rowCountForTableWithName("t"), 2);

  ASSERT_TRUE(store_->updateRecord({{"i", 7}, {"r", 1.0}}, "t", "k", "a"));
  EXPECT_EQ(store_->rowCountForTableWithName("t", "i", Object(7)), 1);
  ASSERT_TRUE(store_->updateAllRecordsInTableWithName("t", "n", Object(3)));
  EXPECT_EQ(store_->rowCountForTableWithName("t", "n", Object(3)), 2);
  EXPECT_FALSE(store_->updateRecord({{"i", 1}}, "t", "k", Object(), &error));
  EXPECT_EQ(descriptionOf(error), "Nil column value for update");
}

TEST_F(SqliteStoreTest, NumbersThatCannotBeStoredAsTheyAreAreRefused) {
  constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  ASSERT_TRUE(store_->upsertRecord({{"k", "kept"}, {"i", 1}}, "t"));
  struct Case {
    Object value;
    const char* refusal;
  } cases[] = {
      {Object(kLargest + 1), "Received unsigned number above the largest signed 64-bit integer"},
      {Object(std::numeric_limits<uint64_t>::max()),
       "Received unsigned number above the largest signed 64-bit integer"},
      {Object(std::nan("")), "Received NaN, which cannot be stored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.description());
    ErrorRef error;
    expectRefused(store_->upsertRecord({{"k", "new"}, {"i", c.value}}, "t", &error), error, 1,
                  c.refusal);
    error.reset();
    expectRefused(store_->updateRecord({{"i", c.value}}, "t", "k", "kept", &error), error, 1,
                  c.refusal);
    error.reset();
    expectRefused(store_->updateRecord({{"i", 2}}, "t", "i", c.value, &error), error, 1, c.refusal);
    error.reset();
    expectRefused(store_->updateAllRecordsInTableWithName("t", "r", c.value, &error), error, 1,
                  c.refusal);
    error.reset();
    expectRefused(store_->recordsForQuery("SELECT k FROM t WHERE i = ?", {c.value}, &error), error,
                  1, c.refusal);
    EXPECT_EQ(store_->rowCountForTableWithName("t"), 1);
    EXPECT_EQ(store_->numberForQuery("SELECT i FROM t", {}), Object(1));
    EXPECT_TRUE(store_->numberForQuery("SELECT r FROM t", {}).isNil());
  }
  // The largest signed value and infinities are stored as they are.
  ASSERT_TRUE(store_->upsertRecord(
      {{"k", "edge"}, {"i", Object(kLargest)}, {"r", std::numeric_limits<double>::infinity()}},
      "t"));
  EXPECT_EQ(store_->numberForQuery("SELECT i FROM t WHERE k = ?", {"edge"}),
            Object(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(store_->numberForQuery("SELECT r FROM t WHERE k = ?", {"edge"}),
            Object(std::numeric_limits<double>::infinity()));
}

TEST_F(SqliteStoreTest, FailedBindLeavesStatementUnbound) {
  sqlite3_stmt* statement = store_->prepareSQL("SELECT ?, ?");
  ASSERT_TRUE(statement);
  ErrorRef error;
  EXPECT_FALSE(store_->bindValues({Bytes{9, 9, 9}, Object(Object::Dictionary{})}, statement, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(APMMonitorContextOfError(*error).rfind("bind values,", 0), 0u);
  char* expanded = sqlite3_expanded_sql(statement);
  EXPECT_STREQ(expanded, "SELECT NULL, NULL");
  sqlite3_free(expanded);
  store_->cleanUpStatement(statement, "SELECT ?, ?");
  EXPECT_FALSE(store_->bindValues({}, nullptr, &error));
  EXPECT_EQ(descriptionOf(error), "Failed to bind to NULL statement");
}

TEST_F(SqliteStoreTest, QueriesFiltersAndNumbers) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(store_->upsertRecord({{"k", std::to_string(i)}, {"i", i}, {"r", i * 0.5}}, "t"));
  }
  ErrorRef error;
  for (const char* refused : {" SELECT k FROM t", "WITH x AS (SELECT 1) SELECT * FROM x"}) {
    EXPECT_FALSE(store_->recordsForQuery(refused, {}, &error)) << refused;
    EXPECT_EQ(descriptionOf(error), "Received invalid select query");
  }
  EXPECT_TRUE(store_->recordsForQuery("select k from t", {}));

  auto limited = store_->recordsForQuery("SELECT k FROM t ORDER BY i", {}, nullptr,
                                         [](size_t accepted, const APMRecord&) { return accepted < 3; });
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->size(), 3u);
  {
    RecordingMonitor monitor;
    auto none = store_->recordsForQuery("SELECT k FROM t", {}, nullptr,
                                        [](size_t, const APMRecord&) { return false; });
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(monitor.contains(34005));
  }

  // A filter that throws leaves no statement stepping behind it.
  EXPECT_THROW(store_->recordsForQuery("SELECT k FROM t", {}, nullptr,
                                       [](size_t, const APMRecord&) -> bool {
                                         throw std::runtime_error("filter failed");
                                       }),
               std::runtime_error);
  for (sqlite3_stmt* s = sqlite3_next_stmt(store_->sqliteHandle(), nullptr); s;
       s = sqlite3_next_stmt(store_->sqliteHandle(), s)) {
    EXPECT_FALSE(sqlite3_stmt_busy(s)) << sqlite3_sql(s);
  }

  EXPECT_EQ(store_->numberForQuery("SELECT max(i) FROM t WHERE r >= ?", {1.0}), Object(4));
  EXPECT_EQ(store_->numberForQuery("SELECT sum(r) FROM t", {}), Object(5.0));
  error.reset();
  EXPECT_TRUE(store_->numberForQuery("SELECT max(i) FROM t WHERE i > ?", {99}, &error).isNil());
  EXPECT_FALSE(error);
  EXPECT_TRUE(store_->numberForQuery("SELECT k FROM t WHERE i = ?", {1}, &error).isNil());
  EXPECT_EQ(descriptionOf(error), "Found result that was not numeric");
  EXPECT_TRUE(store_->numberForQuery("SELECT i FROM t WHERE i > ?", {99}, &error).isNil());
  EXPECT_EQ(APMMonitorContextOfError(*error).rfind("query numeric result,", 0), 0u);

  EXPECT_EQ(store_->deleteRecordsFromTableWithName("t", "i >= ?", {3}), 2);
  EXPECT_TRUE(store_->deleteRecordFromTableWithName("t", "k", "0"));
  EXPECT_EQ(store_->rowCountForTableWithName("t"), 2);
  EXPECT_TRUE(store_->deleteAllRecordsFromTableWithName("t"));
  EXPECT_EQ(store_->rowCountForTableWithName("t"), 0);
}

TEST_F(SqliteStoreTest, CachedQueryFollowsSchemaChanges) {
  // Texts without WHERE and texts with placeholders are both cached.
  const std::string all = "SELECT * FROM s";
  const std::string byKey = "SELECT * FROM s WHERE a = ?";
  auto expectRow = [&](const APMRecord& expected) {
    for (const std::string& query : {all, byKey}) {
      auto rows = query == all ? store_->recordsForQuery(query, {})
                               : store_->recordsForQuery(query, {Object(1)});
      ASSERT_TRUE(rows && rows->size() == 1) << query;
      EXPECT_EQ(rows->front(), expected) << query << ": " << rows->front().description();
    }
  };
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE s (a INTEGER, b TEXT)"));
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}, {"b", "x"}}, "s"));
  expectRow({{"a", 1}, {"b", "x"}});

  ASSERT_TRUE(store_->executeSQL("ALTER TABLE s ADD COLUMN c REAL"));
  ASSERT_TRUE(store_->updateAllRecordsInTableWithName("s", "c", Object(2.5)));
  expectRow({{"a", 1}, {"b", "x"}, {"c", 2.5}});

  // Made again with the columns in another order, as a snapshot table is.
  ASSERT_TRUE(store_->dropTableWithName("s"));
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE s (c REAL, b TEXT, a INTEGER)"));
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}, {"b", "y"}, {"c", 0.5}}, "s"));
  expectRow({{"a", 1}, {"b", "y"}, {"c", 0.5}});
}

TEST_F(SqliteStoreTest, IncreaseOnlyIntegerColumns) {
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE c (name TEXT, hits integer, score REAL)"));
  ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"hits", 1}, {"score", 1.0}}, "c"));
  EXPECT_TRUE(store_->increaseColumn("hits", 41, "c", "name = ?", {"a"}));
  EXPECT_EQ(store_->numberForQuery("SELECT hits FROM c WHERE name = ?", {"a"}), Object(42));
  ErrorRef error;
  EXPECT_FALSE(store_->increaseColumn("score", 1, "c", "name = ?", {"a"}, &error));
  EXPECT_EQ(descriptionOf(error), "Column type is not integer.");
  EXPECT_FALSE(store_->increaseColumn("missing", 1, "c", "name = ?", {"a"}, &error));
  EXPECT_EQ(descriptionOf(error), "Invalid column or table name");
  EXPECT_FALSE(store_->increaseColumn("hits", 1, "c", "", {}, &error));
  EXPECT_EQ(descriptionOf(error), "Empty condition for increase column");
}

TEST_F(SqliteStoreTest, TransactionsCommitRollBackAndRethrow) {
  EXPECT_TRUE(store_->performTransactionWithError(
      [&] { return store_->upsertRecord({{"k", "kept"}}, "t"); }));
  ErrorRef error;
  EXPECT_FALSE(store_->performTransactionWithError(
      [&] { return store_->upsertRecord({{"k", "dropped"}}, "t") && false; }, &error));
  EXPECT_EQ(descriptionOf(error), "Transaction failed");
  EXPECT_EQ(error->code(), 3);
  EXPECT_THROW(store_->performTransactionWithError([&]() -> bool {
    store_->upsertRecord({{"k", "thrown"}}, "t");
    throw std::runtime_error("block failed");
  }),
               std::runtime_error);
  EXPECT_FALSE(store_->performTransactionWithError(
      [&] { return store_->performTransactionWithError([] { return true; }, &error); }));
  EXPECT_EQ(descriptionOf(error),
            "Failed to begin transaction. Database operation \"begin transaction\" failed with "
            "sqlite code 1 and error message \"cannot start a transaction within a transaction\"");
  EXPECT_EQ(store_->rowCountForTableWithName("t"), 1);
  // A block that closes the connection cannot commit, and must not take
  // the store down with it.
  EXPECT_FALSE(store_->performTransactionWithError(
      [&] {
        store_->closeDatabase();
        return true;
      },
      &error));
  EXPECT_EQ(descriptionOf(error), "Failed to end transaction");
  ASSERT_TRUE(store_->openAndValidateDatabase());
  EXPECT_EQ(store_->rowCountForTableWithName("t"), 1);
  EXPECT_FALSE(store_->performTransactionWithError(nullptr, &error));
  EXPECT_EQ(descriptionOf(error), "Received nil transaction block");
  EXPECT_EQ(error->code(), 1);
}

TEST_F(SqliteStoreTest, FailedCommitRollsBack) {
  // A deferred foreign key is checked only at commit, so "END TRANSACTION"
  // itself fails and SQLite keeps the transaction open.
  ASSERT_TRUE(store_->executeSQL("PRAGMA foreign_keys = ON"));
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)"));
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE child (parent_id INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)"));
  ErrorRef error;
  EXPECT_FALSE(store_->performTransactionWithError(
      [&] { return store_->upsertRecord({{"parent_id", 7}}, "child"); }, &error));
  EXPECT_EQ(descriptionOf(error),
            "Failed to end transaction. Database operation \"end transaction\" failed with sqlite "
            "code 19 and error message \"FOREIGN KEY constraint failed\"");
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(APMMonitorContextOfError(*error), "end transaction,19,A");
  EXPECT_EQ(sqlite3_get_autocommit(store_->sqliteHandle()), 1);
  EXPECT_EQ(store_->rowCountForTableWithName("child"), 0);
  EXPECT_TRUE(store_->performTransactionWithError(
      [&] { return store_->upsertRecord({{"k", "after"}}, "t"); }));
}

TEST_F(SqliteStoreTest, EnsureTableCreatesValidatesAndAddsColumns) {
  APMColumnInfo elementary{{"audience_id", "INTEGER NOT NULL"},
                           {"filter_id", "INTEGER NOT NULL"},
                           {"PRIMARY KEY", "(audience_id, filter_id)"}};
  ASSERT_TRUE(store_->ensureTableWithName("f", elementary, {{"scoped", "INTEGER"}}));
  EXPECT_EQ(store_->columnsForTableWithName("f"),
            (std::vector<std::string>{"audience_id", "filter_id", "scoped"}));
  ErrorRef error;
  EXPECT_FALSE(store_->upsertRecord({{"audience_id", 1}}, "f", &error));
  ASSERT_TRUE(store_->upsertRecord({{"audience_id", 1}, {"filter_id", 2}}, "f"));
  ASSERT_TRUE(store_->upsertRecord({{"audience_id", 1}, {"filter_id", 2}, {"scoped", 1}}, "f"));
  EXPECT_EQ(store_->rowCountForTableWithName("f"), 1);

  // A later version's add-on column arrives without losing rows.
  ASSERT_TRUE(store_->ensureTableWithName("f", elementary, {{"scoped", "INTEGER"}, {"extra", "TEXT"}}));
  EXPECT_EQ(store_->columnInfoForTableWithName("f")["extra"], "TEXT");
  EXPECT_EQ(store_->rowCountForTableWithName("f"), 1);
  // Unknown nullable columns are kept; unknown required ones are refused.
  ASSERT_TRUE(store_->ensureTableWithName("f", elementary, {}));
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE g (a INTEGER NOT NULL, b INTEGER NOT NULL)"));
  EXPECT_FALSE(store_->ensureTableWithName("g", {{"a", "INTEGER NOT NULL"}}, {}, &error));
  EXPECT_EQ(descriptionOf(error), "Table contains unknown non-optional columns");
  EXPECT_FALSE(store_->ensureTableWithName("g", {{"a", "INTEGER NOT NULL"}, {"c", "TEXT"}}, {}, &error));
  EXPECT_EQ(descriptionOf(error), "Table is missing required columns");
  EXPECT_EQ(error->code(), 2);
  // A CREATE text that makes some other table fails with an error too.
  error.reset();
  EXPECT_FALSE(store_->ensureTableWithName("h", "CREATE TABLE other (a INTEGER)", {"a"}, {}, &error));
  EXPECT_EQ(descriptionOf(error), "Table does not exist after create for ensure table");
}

TEST_F(SqliteStoreTest, AddOnColumnAddedMeanwhileByAnotherConnectionIsAccepted) {
  // A second process opening the file adds the column between this
  // connection's reading of the column list and its own ALTER.
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE m (a INTEGER NOT NULL)"));
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}}, "m"));
  struct Race {
    sqlite3* other = nullptr;
    bool done = false;
  } race;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &race.other), SQLITE_OK);
  sqlite3_set_authorizer(
      store_->sqliteHandle(),
      [](void* context, int action, const char*, const char*, const char*, const char*) {
        auto* race = static_cast<Race*>(context);
        if (action == SQLITE_ALTER_TABLE && !race->done) {
          race->done = true;
          sqlite3_exec(race->other, "ALTER TABLE m ADD COLUMN b TEXT", nullptr, nullptr, nullptr);
        }
        return SQLITE_OK;
      },
      &race);
  ErrorRef error;
  EXPECT_TRUE(store_->ensureTableWithName("m", {{"a", "INTEGER NOT NULL"}}, {{"b", "TEXT"}}, &error))
      << descriptionOf(error);
  sqlite3_set_authorizer(store_->sqliteHandle(), nullptr, nullptr);
  sqlite3_close(race.other);
  EXPECT_TRUE(race.done);
  EXPECT_EQ(store_->columnsForTableWithName("m"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(store_->rowCountForTableWithName("m"), 1);
}

TEST_F(SqliteStoreTest, RetypedColumnIsRebuiltOnceKeepingRows) {
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE ev (name TEXT NOT NULL, timestamp INTEGER NOT NULL, data BLOB NOT NULL)"));
  ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"timestamp", 1000}, {"data", Bytes{1}}}, "ev"));
  APMColumnInfo elementary{
      {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
  APMColumnTextMap modify{{"timestamp", "REAL NOT NULL"}};
  ASSERT_TRUE(store_->ensureTableWithName("ev", elementary, {{"rt", "INTEGER"}}, modify));
  auto info = store_->columnInfoForTableWithName("ev");
  EXPECT_EQ(info["timestamp"], "REAL");
  EXPECT_EQ(info["rt"], "INTEGER");
  EXPECT_EQ(store_->tableExists("ev_old"), false);
  EXPECT_EQ(store_->rowCountForTableWithName("ev"), 1);
  auto rows = store_->recordsForQuery("SELECT typeof(timestamp) AS kind FROM ev", {});
  ASSERT_TRUE(rows);
  EXPECT_EQ((*rows)[0]["kind"], Object("real"));
  // The maps now agree: nothing more to do, the rows stay.
  sqlite3* handle = store_->sqliteHandle();
  int changesBefore = sqlite3_total_changes(handle);
  ASSERT_TRUE(store_->ensureTableWithName("ev", elementary, {{"rt", "INTEGER"}}, modify));
  EXPECT_EQ(sqlite3_total_changes(handle), changesBefore);
}

TEST_F(SqliteStoreTest, RebuildCopiesRowsByColumnName) {
  APMColumnInfo elementary{
      {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
  APMColumnTextMap modify{{"timestamp", "REAL NOT NULL"}};
  // Another column order, an add-on column already there and a nullable
  // column of a later version that the rebuilt table does not have.
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE ev (data BLOB NOT NULL, later TEXT, rt INTEGER, timestamp INTEGER NOT NULL, "
      "name TEXT NOT NULL)"));
  ASSERT_TRUE(store_->upsertRecord(
      {{"name", "a"}, {"timestamp", 1000}, {"data", Bytes{1}}, {"rt", 1}, {"later", "z"}}, "ev"));
  ErrorRef error;
  ASSERT_TRUE(store_->ensureTableWithName("ev", elementary, {{"rt", "INTEGER"}}, modify, &error))
      << descriptionOf(error);
  EXPECT_EQ(store_->columnsForTableWithName("ev"),
            (std::vector<std::string>{"name", "timestamp", "data", "rt"}));
  auto rows = store_->recordsForQuery("SELECT * FROM ev", {});
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_EQ(rows->front(),
            (APMRecord{{"name", "a"}, {"timestamp", 1000.0}, {"data", Bytes{1}}, {"rt", 1}}))
      << rows->front().description();

  // A row the new declarations refuse stops the rebuild; nothing changes
  // and the error says why, in SQLite's words.
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE bad (name TEXT, timestamp INTEGER NOT NULL, data BLOB NOT NULL)"));
  ASSERT_TRUE(store_->upsertRecord({{"timestamp", 1}, {"data", Bytes{1}}}, "bad"));
  EXPECT_FALSE(store_->ensureTableWithName("bad", elementary, {}, modify, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(descriptionOf(error).find("NOT NULL constraint failed: bad.name"), std::string::npos)
      << descriptionOf(error);
  EXPECT_EQ(store_->columnInfoForTableWithName("bad")["timestamp"], "INTEGER");
  EXPECT_EQ(store_->rowCountForTableWithName("bad"), 1);
  EXPECT_EQ(store_->tableExists("bad_old"), false);
}

TEST_F(SqliteStoreTest, ClosedStoreRefusesAndDeleteRemovesCompanions) {
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    FILE* file = fopen((path_ + suffix).c_str(), "w");
    ASSERT_TRUE(file);
    fclose(file);
  }
  EXPECT_TRUE(store_->closeAndDeleteDatabase());
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    EXPECT_FALSE(platform::fileExists(path_ + suffix)) << suffix;
  }
  EXPECT_TRUE(store_->closeAndDeleteDatabase());
  ErrorRef error;
  EXPECT_FALSE(store_->upsertRecord({{"k", "a"}}, "t", &error));
  EXPECT_EQ(descriptionOf(error), "Upsert record failed. Database not open.");
  EXPECT_EQ(error->code(), 2);
  EXPECT_FALSE(store_->recordsForQuery("SELECT 1", {}, &error));
  EXPECT_EQ(descriptionOf(error), "Query records failed. Database not open.");
  RecordingMonitor monitor;
  EXPECT_FALSE(store_->lastErrorMessage());
  EXPECT_TRUE(monitor.contains(34022));
  EXPECT_FALSE(store_->errorDescriptionForDatabaseOperation("x"));
}

}  // namespace
