#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::ErrorRef;

class PurchasesTableTest : public TableTest {
 protected:
  bool hasFingerprint(const std::string& fingerprint) {
    return store()
               .numberForQuery("SELECT count(1) FROM purchase_transactions WHERE fingerprint = ?",
                               {fingerprint})
               .int64Value() == 1;
  }
};

}  // namespace

TEST_F(PurchasesTableTest, FingerprintsKeepTheNewestThousand) {
  fill("INSERT INTO purchase_transactions (fingerprint) VALUES ('f' || ?)", 1000);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("new"), true);
  EXPECT_EQ(rowCount(kAPMPurchaseTransactionsTable), 1000);
  EXPECT_FALSE(hasFingerprint("f0"));
  EXPECT_TRUE(hasFingerprint("f1"));
  EXPECT_TRUE(hasFingerprint("new"));

  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("new"), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f500"), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint(""), false);
  EXPECT_EQ(rowCount(kAPMPurchaseTransactionsTable), 1000);
  EXPECT_TRUE(hasFingerprint("f1"));
}

TEST_F(PurchasesTableTest, SubscriptionsGrowUntilTrimmed) {
  fill("INSERT INTO subscriptions (subscription_id) VALUES ('s' || ?)", 1000);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1000"), true);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1000"), false);
  EXPECT_EQ(rowCount(kAPMSubscriptionsTable), 1001);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(), 1);
  EXPECT_EQ(rowCount(kAPMSubscriptionsTable), 1000);
  EXPECT_EQ(store().numberForQuery("SELECT count(1) FROM subscriptions WHERE subscription_id = ?",
                                   {"s0"}),
            platform::Object(0));
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(), 0);
}

TEST_F(PurchasesTableTest, FailuresAnswerNothingWithOrWithoutAnOutParameter) {
  store().closeDatabase();
  ErrorRef error;
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f", &error), std::nullopt);
  EXPECT_TRUE(error);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f"), std::nullopt);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s"), std::nullopt);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(), std::nullopt);
}

TEST_F(PurchasesTableTest, AFailedInsertIsAFailure) {
  // Inserting fails while the lookup still works.
  ASSERT_TRUE(store().executeSQL(
      "CREATE TRIGGER refuse BEFORE INSERT ON subscriptions BEGIN SELECT RAISE(ABORT, 'no'); END"));
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s"), std::nullopt);
  ASSERT_TRUE(store().executeSQL(
      "CREATE TRIGGER refuse2 BEFORE INSERT ON purchase_transactions BEGIN SELECT RAISE(ABORT, "
      "'no'); END"));
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f"), std::nullopt);
}

TEST_F(PurchasesTableTest, AFailedTrimKeepsTheInsertAndIsLogged) {
  RecordingMonitor monitor;
  ASSERT_TRUE(store().executeSQL(
      "CREATE TRIGGER refuse BEFORE DELETE ON purchase_transactions BEGIN SELECT RAISE(ABORT, "
      "'no'); END"));
  fill("INSERT INTO purchase_transactions (fingerprint) VALUES ('f' || ?)", 1000);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("new"), true);
  EXPECT_TRUE(hasFingerprint("new"));
  EXPECT_TRUE(monitor.contains(12060));
  EXPECT_EQ(rowCount(kAPMPurchaseTransactionsTable), 1001);

  // The next insert trims again.
  ASSERT_TRUE(store().executeSQL("DROP TRIGGER refuse"));
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("newer"), true);
  EXPECT_EQ(rowCount(kAPMPurchaseTransactionsTable), 1000);
}
