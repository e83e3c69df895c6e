#include "measurement/engine/event_aggregates.h"
#include "tests/measurement/storage/database/table_test_support.h"

namespace {

using platform::ErrorRef;
using Aggregates = std::shared_ptr<APMEventAggregates>;

Aggregates aggregates(const std::string& name, int32_t lifetime, int32_t session = 0) {
  return APMEventAggregates::initWithName(name, lifetime, 1, session, 100.5);
}

// name:lifetime:session for each row of a listing, in row order.
std::string describe(const std::optional<std::vector<Aggregates>>& rows) {
  std::string text;
  for (const Aggregates& row : rows.value_or(std::vector<Aggregates>{})) {
    text += row->name() + ":" + std::to_string(row->lifetimeCount()) + ":" +
            std::to_string(row->currentSessionCount()) + " ";
  }
  return text;
}

class EventsTableTest : public TableTest {
 protected:
  void write(const std::vector<Aggregates>& rows) {
    for (const Aggregates& row : rows) ASSERT_TRUE(database_->updateEventAggregates(row));
  }
};

TEST(EventAggregatesTest, RefusesBadNamesAndNegativeCounts) {
  EXPECT_FALSE(APMEventAggregates::initWithName("", 0, 0, 0, 0));
  EXPECT_FALSE(APMEventAggregates::initWithName(std::string(41, 'a'), 0, 0, 0, 0));
  EXPECT_FALSE(APMEventAggregates::initWithName("e", -1, 0, 0, 0));
  EXPECT_FALSE(APMEventAggregates::initWithName("e", 0, 0, -1, 0));
  Aggregates fresh = APMEventAggregates::initWithName("e", 0, 0, 0, 0);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->lastSamplingRate(), 1);
  EXPECT_FALSE(fresh->lastSampledComplexEventID());
}

TEST_F(EventsTableTest, RowsRoundTripWithTheirDefaults) {
  Aggregates sampled = aggregates("purchase", 7, 3);
  sampled->setLastBundledTimestamp(90.25);
  sampled->setLastSampledComplexEventID(int64_t{1} << 40);
  sampled->setLastSamplingRate(10);
  sampled->setLastExemptFromSampling(true);
  sampled->setLastBundledDay(19'000);
  write({sampled, aggregates("_s", 2), aggregates("_f", 1)});
  fill("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
       "VALUES ('old', 4, 0, ?)",
       1);
  // A name no event may have is left out of the listing.
  fill("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
       "VALUES ('', 4, 0, ?)",
       1);

  Aggregates back = database_->eventAggregatesWithName("purchase");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->currentSessionCount(), 3);
  EXPECT_EQ(back->lastFireTimestamp(), 100.5);
  EXPECT_EQ(back->lastBundledTimestamp(), 90.25);
  EXPECT_EQ(back->lastSampledComplexEventID(), int64_t{1} << 40);
  EXPECT_EQ(back->lastSamplingRate(), 10);
  EXPECT_TRUE(back->lastExemptFromSampling());
  EXPECT_EQ(back->lastBundledDay(), 19'000);

  Aggregates old = database_->eventAggregatesWithName("old");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->currentSessionCount(), 0);
  EXPECT_EQ(old->lastBundledTimestamp(), 0.0);
  EXPECT_FALSE(old->lastSampledComplexEventID());
  EXPECT_EQ(old->lastSamplingRate(), 1);
  EXPECT_FALSE(old->lastExemptFromSampling());
  EXPECT_EQ(old->lastBundledDay(), 0);

  // Rewritten without a complex event ID: the stored one goes.
  write({aggregates("purchase", 8)});
  EXPECT_FALSE(database_->eventAggregatesWithName("purchase")->lastSampledComplexEventID());
  EXPECT_EQ(describe(database_->allEventAggregates()), "_s:2:0 _f:1:0 old:4:0 purchase:8:0 ");
  EXPECT_EQ(database_->publicEventCount(), 3);  // purchase, old and the nameless row

  ErrorRef error;
  EXPECT_FALSE(database_->updateEventAggregates(nullptr, &error));
  EXPECT_EQ(error->code(), 3);
}

TEST_F(EventsTableTest, ClearingSessionCountsKeepsTheRest) {
  write({aggregates("a", 5, 2), aggregates("b", 6, 9)});
  ASSERT_TRUE(database_->clearCurrentSessionCounts());
  EXPECT_EQ(describe(database_->allEventAggregates()), "a:5:0 b:6:0 ");
}

TEST_F(EventsTableTest, SnapshotRoundTrip) {
  ErrorRef error;
  EXPECT_FALSE(database_->eventAggregatesSnapshotWithName("a", &error));
  EXPECT_FALSE(error);
  write({aggregates("a", 5, 2), aggregates("b", 6, 9)});
  // Without a snapshot the restore changes nothing.
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(describe(database_->allEventAggregates()), "a:5:2 b:6:9 ");

  ASSERT_TRUE(database_->createEventsSnapshotTable());
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("b")->lifetimeCount(), 6);
  ASSERT_TRUE(database_->deleteAllEventAggregates());
  write({aggregates("c", 1), aggregates("_f", 1)});
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
  // The first open counted since the snapshot stays.
  EXPECT_EQ(describe(database_->allEventAggregates()), "a:5:2 b:6:9 _f:1:0 ");
  EXPECT_EQ(rowCount(kAPMEventsSnapshotTable), 0);
  // An empty snapshot table makes the next restore a no-op.
  write({aggregates("d", 1)});
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(rowCount(kAPMEventsTable), 4);

  // A snapshot that has counted a first open wins over the current one.
  write({aggregates("_f", 3)});
  ASSERT_TRUE(database_->createEventsSnapshotTable());
  write({aggregates("_f", 9)});
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(database_->eventAggregatesWithName("_f")->lifetimeCount(), 3);
}

TEST_F(EventsTableTest, FailedRestoreLeavesBothTablesAsTheyWere) {
  write({aggregates("a", 5)});
  ASSERT_TRUE(database_->createEventsSnapshotTable());
  write({aggregates("b", 6)});
  // A snapshot row events will not take: the copy fails after the delete.
  fill("INSERT INTO events_snapshot (name, lifetime_count, current_bundle_count, "
       "last_fire_timestamp) VALUES ('x', NULL, 0, ?)",
       1);
  ErrorRef error;
  EXPECT_FALSE(database_->restoreFromEventsSnapshotTable(&error));
  EXPECT_TRUE(error);
  EXPECT_EQ(describe(database_->allEventAggregates()), "a:5:0 b:6:0 ");
  EXPECT_EQ(rowCount(kAPMEventsSnapshotTable), 2);

  // A new snapshot replaces the old one whole.
  ASSERT_TRUE(database_->createEventsSnapshotTable());
  EXPECT_EQ(rowCount(kAPMEventsSnapshotTable), 2);
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("b")->lifetimeCount(), 6);
}

}  // namespace
