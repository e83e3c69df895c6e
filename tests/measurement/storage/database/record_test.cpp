#include "measurement/storage/database/record.h"

#include <gtest/gtest.h>

#include "measurement/storage/database/sqlite_store.h"
#include "platform/paths.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

TEST(RecordTest, RowsOfOneQueryStayIndependentWhenChanged) {
  TempContainer container;
  auto store = APMSqliteStore::initWithDatabasePath(container.path() + "/records.sql");
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER, b TEXT)"));
  // The same columns in another order, and a subset, reuse nothing wrongly.
  ASSERT_TRUE(store->upsertRecord({{"a", 1}, {"b", "one"}}, "t"));
  ASSERT_TRUE(store->upsertRecord({{"b", "two"}, {"a", 2}}, "t"));
  ASSERT_TRUE(store->upsertRecord({{"a", 3}}, "t"));
  auto rows = store->recordsForQuery("SELECT a, b FROM t ORDER BY a", {});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[1], (APMRecord{{"a", 2}, {"b", "two"}}));
  EXPECT_TRUE((*rows)[2]["b"].isNull());

  APMRecord copy = (*rows)[0];
  copy.set("a", 10);
  copy.set("c", "new");
  copy.remove("b");
  EXPECT_EQ((*rows)[0], (APMRecord{{"a", 1}, {"b", "one"}}));
  EXPECT_EQ(copy, (APMRecord{{"c", "new"}, {"a", 10}}));
  EXPECT_EQ(copy.size(), 2u);
  // Records outlive the store and the query that made them.
  store.reset();
  auto kept = std::move(*rows);
  EXPECT_EQ(kept[1]["b"], Object("two"));

  APMRecord duplicate{{"a", 1}, {"a", 2}, {"n", Object()}};
  EXPECT_EQ(duplicate, (APMRecord{{"a", 2}}));
  EXPECT_EQ(duplicate.description(), "{a = 2;}");
}

}  // namespace
