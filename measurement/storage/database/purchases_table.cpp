// The purchase_transactions and subscriptions tables: fingerprints of the
// purchases and IDs of the subscriptions already reported, so that each is
// reported once. Both keep their newest 1,000 rows.
#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"

namespace {

struct KeyTable {
  const char* table;
  const char* column;
  const char* existsQuery;
};

constexpr KeyTable kPurchases = {
    kAPMPurchaseTransactionsTable, "fingerprint",
    "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)"};
constexpr KeyTable kSubscriptions = {
    kAPMSubscriptionsTable, "subscription_id",
    "SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)"};

// Nullopt when the existence query or the insert fails, whatever the
// caller asked to know about errors.
std::optional<bool> insertIfNotDuplicate(APMDatabase& database, const KeyTable& keys,
                                         const std::string& key, platform::ErrorRef* error) {
  if (key.empty()) return false;
  platform::Object exists = database.sqliteStore()->numberForQuery(keys.existsQuery, {key}, error);
  if (!exists.isNumber()) return std::nullopt;
  if (exists.int64Value() != 0) return false;
  if (!database.insertDataType(APMRecord{{keys.column, key}}, keys.table, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<int64_t> deleteRowsOverLimit(APMSqliteStore& store, const char* table,
                                           platform::ErrorRef* error) {
  return store.deleteRecordsFromTableWithName(
      table,
      std::string("rowid IN (SELECT rowid FROM ") + table +
          " ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {kAPMPurchasesKeptRows}, error);
}

}  // namespace

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(
    const std::string& fingerprint, platform::ErrorRef* error) {
  std::optional<bool> inserted = insertIfNotDuplicate(*this, kPurchases, fingerprint, error);
  if (inserted.value_or(false)) {
    platform::ErrorRef trimError;
    if (!deleteRowsOverLimit(*sqliteStore_, kAPMPurchaseTransactionsTable, &trimError)) {
      APMMeasurement::monitor()->logWithLevel(
          4, 12060, "Failed to delete purchase fingerprints over the limit. Error", trimError);
    }
  }
  return inserted;
}

std::optional<bool> APMDatabase::insertIfNotDuplicateSubscriptionID(
    const std::string& subscriptionID, platform::ErrorRef* error) {
  return insertIfNotDuplicate(*this, kSubscriptions, subscriptionID, error);
}

std::optional<int64_t> APMDatabase::deleteSubscriptionsOverLimit(platform::ErrorRef* error) {
  return deleteRowsOverLimit(*sqliteStore_, kAPMSubscriptionsTable, error);
}
