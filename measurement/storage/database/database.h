// `APMDatabase`: the measurement database, one SQLite file
// ("voraza-app-measurement.sql" in "Voraza/Measurement" under Application
// Support) holding everything the engine keeps between launches.
//
// It owns the file's `APMSqliteStore`, makes sure the thirteen tables of the
// schema exist with their add-on columns (migrating older files), replaces a
// file whose schema cannot be brought up to date by an empty one, and keeps
// the one app_metadata row. The table operations of the other storage files
// are built on the generic record helpers here; a full table refuses a new
// key ("Failed to insert data type. Table is full") and never evicts.
//
// Errors are of the measurement domain: code 1 a refused argument, 2 a
// refused state (full table, missing row, rows no object could be made of),
// 3 a failed SQLite call or a record that cannot be converted.
//
// Threads: created by the engine and then called only from the measurement
// worker queue; it holds no lock. A transaction block runs on the calling
// queue and may call any operation but a second `performTransaction`.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/measurement_errors.h"
#include "measurement/engine/value.h"
#include "measurement/storage/database/record.h"
#include "measurement/storage/database/sqlite_store.h"
#include "measurement/storage/models/conditional_user_property.h"
#include "measurement/storage/models/daily_counts.h"
#include "platform/error.h"

class APMAppMetadata;
class APMEvent;
class APMEventFilter;
class APMFilterResult;
class APMPBMeasurementConfig;
class APMPersistedConfig;
class APMPropertyFilter;
class APMUserAttribute;

inline constexpr const char* kAPMMeasurementDatabaseName = "voraza-app-measurement.sql";

inline constexpr const char* kAPMAppMetadataTable = "app_metadata";
inline constexpr const char* kAPMRawEventsMetadataTable = "raw_events_metadata";
inline constexpr const char* kAPMRawEventsTable = "raw_events";
inline constexpr const char* kAPMEventsTable = "events";
inline constexpr const char* kAPMUserAttributesTable = "user_attributes";
inline constexpr const char* kAPMQueueTable = "queue";
inline constexpr const char* kAPMEventFiltersTable = "event_filters";
inline constexpr const char* kAPMPropertyFiltersTable = "property_filters";
inline constexpr const char* kAPMAudienceFilterValuesTable = "audience_filter_values";
inline constexpr const char* kAPMPurchaseTransactionsTable = "purchase_transactions";
inline constexpr const char* kAPMSubscriptionsTable = "subscriptions";
inline constexpr const char* kAPMConditionalPropertiesTable = "conditional_properties";
inline constexpr const char* kAPMMainEventParamsTable = "main_event_params";

// Row limits of the generic upsert, and of reads of all rows.
inline constexpr long kAPMAppMetadataTableLimit = 1;
inline constexpr long kAPMRawEventsMetadataTableLimit = 100'000;
inline constexpr long kAPMEventsTableLimit = 1'000;
inline constexpr long kAPMUserAttributesTableLimit = 1'000;
inline constexpr long kAPMConditionalPropertiesTableLimit = 1'000;
// Purchase fingerprints and subscription IDs: the newest rows kept.
inline constexpr long kAPMPurchasesKeptRows = 1'000;
inline constexpr long kAPMNoReadLimit = -1;

// One table of the schema: the columns created with it, the columns added
// to older files, and the columns whose declared type changed.
struct APMTableSchema {
  std::string name;
  APMColumnInfo elementaryColumnInfo;
  APMColumnInfo addOnColumnInfo;
  APMColumnTextMap modifyColumnInfo;
};

// The thirteen tables, in creation order.
const std::vector<APMTableSchema>& APMDatabaseSchema();

// The value to store for an `APMValue`: its string, its double, or else the
// 64-bit integer of its int64 reading.
platform::Object APMDatabaseObjectFromValue(const APMValue& value);

class APMDatabase {
 public:
  // Turns one record into a model object; null (or nullopt) when it cannot.
  template <typename T>
  using CreateDataTypeBlock = std::function<T(const APMRecord& record, platform::ErrorRef* error)>;

  // Opens (or creates) the database file `name` in the measurement folder,
  // brings its tables up to date and makes sure the app_metadata row
  // exists. A file whose tables cannot be brought up to date is deleted, so
  // the next creation starts from an empty file; a file that could not be
  // checked for a transient cause (another process holding it, a full disk:
  // see `APMSqliteStore::isTransientFailure`) is kept. Null on failure, with
  // the store's error (code 3) when the file could not be opened or checked,
  // else a code 2 error naming the step that failed.
  static std::shared_ptr<APMDatabase> initWithDatabaseName(
      const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig,
      platform::ErrorRef* error = nullptr);
  ~APMDatabase();
  APMDatabase(const APMDatabase&) = delete;
  APMDatabase& operator=(const APMDatabase&) = delete;

  const std::shared_ptr<APMSqliteStore>& sqliteStore() const { return sqliteStore_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  // Replaces the file by an empty one with the same schema and a fresh
  // app_metadata row.
  bool reset(platform::ErrorRef* error = nullptr);
  // Runs `block` inside one exclusive transaction (12056 logged on failure).
  // A block that throws rolls back and the exception continues.
  bool performTransaction(const std::function<bool()>& block);

  // `context` ("Init" or "Reset") goes into the log lines.
  bool initializeDatabaseResourcesWithContext(const std::string& context, const std::string& path,
                                              platform::ErrorRef* error = nullptr);
  bool ensureAllTables();

  // --- App metadata and daily counts ------------------------------------

  // Creates the app_metadata row (index 0, zero timestamps) unless there is
  // one. A row that exists but cannot be converted has its bundle
  // bookkeeping reset, keeping the stored configuration and counters.
  bool initializeAppMetadata();
  std::shared_ptr<APMAppMetadata> queryAppMetadata(platform::ErrorRef* error = nullptr);
  // Refuses (code 1) a bundle time that is NaN or infinite.
  bool updateAppMetadata(const std::shared_ptr<APMAppMetadata>& appMetadata,
                         platform::ErrorRef* error = nullptr);
  // The stored counters; the day is today when none is stored. A stored day
  // other than today is answered as it is: the counters roll over at the
  // next increment.
  std::optional<APMDailyCounts> dailyCounts(platform::ErrorRef* error = nullptr);
  bool updateDailyCounts(const std::optional<APMDailyCounts>& dailyCounts,
                         platform::ErrorRef* error = nullptr);
  // floor((now - midnight offset) / 86400), now from the current clock.
  int32_t currentDayNumber();

  // --- User properties (user_attributes) ---------------------------------
  //
  // Attributes are read through `APMUserAttribute`: rows whose value or
  // name it refuses are skipped by the readers that skip, and fail the
  // lifetime-value listing.

  // Rows whose name does not begin with "_".
  std::optional<int64_t> publicUserAttributeCount(platform::ErrorRef* error = nullptr);
  std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                     platform::ErrorRef* error = nullptr);
  std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                    platform::ErrorRef* error = nullptr);
  // Null when there is none or on failure.
  std::shared_ptr<APMUserAttribute> userAttributeWithName(const std::string& name,
                                                          platform::ErrorRef* error = nullptr);
  // The attributes named "_ltv_..." (the underscores literal), newest first;
  // nullopt when any row cannot be read as an attribute.
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> allLifetimeValueUserAttributes(
      platform::ErrorRef* error = nullptr);
  // The first 1,000 rows in row order. Without `includeInternal`, only the
  // app's own: no name beginning with "_" or a reserved prefix, and none of
  // the reserved public names. Nullopt when the read fails.
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> userAttributesIncludingInternal(
      bool includeInternal, platform::ErrorRef* error = nullptr);
  // Inserts or replaces the row of the attribute's name. A new name is
  // refused once the table holds 1,000 rows ("Failed to insert data type.
  // Table is full"); an existing one is always replaced.
  bool updateUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute,
                           platform::ErrorRef* error = nullptr);
  bool deleteUserAttributeWithName(const std::string& name, platform::ErrorRef* error = nullptr);

  // --- Audience filters and filter results -------------------------------
  //
  // A filter's three flags are read from its stored message, never from the
  // "session_scoped" column, which serves `allSessionScopedFilters` only;
  // bytes that do not decode give all three NO. Writes of several filters
  // or results are not atomic: wrap them in `performTransaction` for that.

  // The audiences of the event and property filters.
  std::optional<std::vector<int32_t>> allAudienceIDs(platform::ErrorRef* error = nullptr);
  std::optional<std::vector<std::shared_ptr<APMEventFilter>>> eventFiltersForEventName(
      const std::string& eventName, platform::ErrorRef* error = nullptr);
  std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> propertyFiltersForPropertyName(
      const std::string& propertyName, platform::ErrorRef* error = nullptr);
  // Audience ID to the IDs of its session-scoped filters; nullopt when the
  // query fails.
  std::optional<std::map<int32_t, std::vector<int32_t>>> allSessionScopedFilters(
      platform::ErrorRef* error = nullptr);
  // Inserts or replaces one row per filter, in order; the first failure
  // ends the call, leaving the rows written before it.
  bool updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters,
                          platform::ErrorRef* error = nullptr);
  bool updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                             platform::ErrorRef* error = nullptr);
  // Deletes the rows of the filters' (audience, filter) pairs, any number of
  // them.
  bool deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters,
                          platform::ErrorRef* error = nullptr);
  bool deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                             platform::ErrorRef* error = nullptr);
  bool deleteAllEventFilters(platform::ErrorRef* error = nullptr);
  bool deleteAllPropertyFilters(platform::ErrorRef* error = nullptr);
  // Audience ID to its results, all rows.
  std::optional<std::map<int32_t, std::shared_ptr<APMFilterResult>>> allFilterResults(
      platform::ErrorRef* error = nullptr);
  // Null when there is none or on failure.
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(int32_t audienceID,
                                                             platform::ErrorRef* error = nullptr);
  // One row per result; empty previous results are stored as NULL.
  bool updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                           platform::ErrorRef* error = nullptr);
  // Deletes the rows of the results' audiences.
  bool deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                           platform::ErrorRef* error = nullptr);

  // --- Stored measurement configuration (the app_metadata row) ----------

  // Stores the configuration's bytes with the current time. Refuses one
  // without bytes or without its Voraza app ID (code 1), and fails while
  // the app_metadata row does not exist; it never makes the row.
  bool updateRemoteConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config,
                          platform::ErrorRef* error = nullptr);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::ErrorRef* error = nullptr);
  // Null without an error when none is stored; bytes that do not decode
  // fail with code 2 "Remote config data is corrupted".
  std::shared_ptr<APMPBMeasurementConfig> queryMeasurementConfigWithError(
      platform::ErrorRef* error = nullptr);
  // Seconds since 1970; nullopt when none is stored or on failure.
  std::optional<double> lastRemoteConfigUpdateTimestamp(platform::ErrorRef* error = nullptr);

  // --- Purchase fingerprints and subscription IDs ------------------------

  // True when newly inserted, false for a duplicate or an empty value;
  // nullopt when a query or the insert fails. A fingerprint insert then
  // keeps the newest 1,000 rows; when that trim fails the insert still
  // counts (12060 logged) and the next insert trims again.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              platform::ErrorRef* error = nullptr);
  // As above, without the trim: the caller trims.
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                         platform::ErrorRef* error = nullptr);
  // Keeps the newest 1,000 subscription IDs; the number of rows deleted.
  std::optional<int64_t> deleteSubscriptionsOverLimit(platform::ErrorRef* error = nullptr);

  // --- Conditional user properties ---------------------------------------
  //
  // A stored event that no longer decodes is left out of its property (and
  // logged, 12061) rather than losing the property.

  std::optional<APMConditionalUserProperty> conditionalUserPropertyWithName(
      const std::string& name, platform::ErrorRef* error = nullptr);
  // Inserts or replaces the property's row; a new name is refused once the
  // table holds 1,000 rows. Refuses a property without name, origin or value
  // (code 3).
  bool updateConditionalUserProperty(const std::optional<APMConditionalUserProperty>& property,
                                     platform::ErrorRef* error = nullptr);
  bool deleteConditionalUserPropertyWithName(const std::string& name,
                                             platform::ErrorRef* error = nullptr);
  // Inactive properties created more than their trigger timeout ago.
  std::optional<std::vector<APMConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
      platform::ErrorRef* error = nullptr);
  // Active properties triggered more than their time to live ago.
  std::optional<std::vector<APMConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
      platform::ErrorRef* error = nullptr);
  // Inactive properties waiting for `eventName` and not timed out yet.
  std::optional<std::vector<APMConditionalUserProperty>>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                  platform::ErrorRef* error = nullptr);
  // Properties whose name begins with `prefix` and whose origin is
  // `origin` (each compared as text, ignoring ASCII case as LIKE does);
  // an empty argument matches everything.
  std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
      const std::string& prefix, const std::string& origin, platform::ErrorRef* error = nullptr);
  // The rows matching `condition`, an SQL text from code with "?" for
  // `parameterValues`.
  std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithCondition(
      const std::string& condition, const APMSqlParameters& parameterValues,
      platform::ErrorRef* error = nullptr);

  // --- Complex events (main_event_params) --------------------------------

  // The main event and the number of its children still to process;
  // nullopt when there is no row or on failure.
  std::optional<std::pair<std::shared_ptr<APMEvent>, int64_t>>
  mainEventAndChildCountPairWithEventID(int64_t eventID, platform::ErrorRef* error = nullptr);
  bool updateComplexEventForAudienceEvaluationWithEventID(
      int64_t eventID, int64_t childEventCount, const std::shared_ptr<const APMEvent>& mainEvent,
      platform::ErrorRef* error = nullptr);
  bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                          platform::ErrorRef* error = nullptr);

  // --- Generic record helpers -------------------------------------------

  // Objects of the first `tableLimit` rows in rowid order (-1: all); rows
  // the block makes nothing of are left out. Nullopt on failure.
  template <typename T>
  std::optional<std::vector<T>> allDataTypesFromTableWithName(const std::string& table,
                                                              long tableLimit,
                                                              platform::ErrorRef* error,
                                                              const CreateDataTypeBlock<T>& block);
  // Objects of the rows whose `columnName` equals `columnValue`; empty when
  // none match, nullopt when rows matched but none could be converted.
  template <typename T>
  std::optional<std::vector<T>> dataTypesFromTableWithName(const std::string& table,
                                                           const std::string& columnName,
                                                           const platform::Object& columnValue,
                                                           platform::ErrorRef* error,
                                                           const CreateDataTypeBlock<T>& block);
  bool insertDataType(const std::optional<APMRecord>& record, const std::string& table,
                      platform::ErrorRef* error = nullptr);
  // Inserts or replaces the row with the key; a new key (or none) is refused
  // when the table already holds `tableLimit` rows.
  bool upsertDataType(const std::optional<APMRecord>& record, const std::string& table,
                      const std::string& columnName, const platform::Object& columnValue,
                      long tableLimit, platform::ErrorRef* error = nullptr);
  // Updates the existing row with the key; fails when there is none.
  bool updateDataType(const std::optional<APMRecord>& record, const std::string& table,
                      const std::string& columnName, const platform::Object& columnValue,
                      platform::ErrorRef* error = nullptr);

 private:
  explicit APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig);
  // As `ensureAllTables`, with the first failing table's error.
  bool ensureAllTables(platform::ErrorRef* error);
  bool deleteDatabaseFiles(const std::string& path, platform::ErrorRef* error);
  bool resetAppMetadataBookkeeping();
  std::optional<std::vector<APMRecord>> recordsOfAllRows(const std::string& table, long tableLimit,
                                                         platform::ErrorRef* error);
  std::optional<std::vector<APMRecord>> recordsWithKey(const std::string& table,
                                                       const std::string& columnName,
                                                       const platform::Object& columnValue,
                                                       platform::ErrorRef* error);

  std::shared_ptr<APMSqliteStore> sqliteStore_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

// --- Template definitions ----------------------------------------------------

template <typename T>
std::optional<std::vector<T>> APMDatabase::allDataTypesFromTableWithName(
    const std::string& table, long tableLimit, platform::ErrorRef* error,
    const CreateDataTypeBlock<T>& block) {
  if (!block) {
    APMSetError(error, 1, "Received nil block to get all data types");
    return std::nullopt;
  }
  std::optional<std::vector<APMRecord>> records = recordsOfAllRows(table, tableLimit, error);
  if (!records) return std::nullopt;
  std::vector<T> objects;
  objects.reserve(records->size());
  for (const APMRecord& record : *records) {
    T object = block(record, error);
    if (object) objects.push_back(std::move(object));
  }
  return objects;
}

template <typename T>
std::optional<std::vector<T>> APMDatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& columnName, const platform::Object& columnValue,
    platform::ErrorRef* error, const CreateDataTypeBlock<T>& block) {
  if (table.empty()) {
    APMSetError(error, 1, "Received empty table name to create data type from table");
    return std::nullopt;
  }
  if (columnName.empty()) {
    APMSetError(error, 1, "Received empty column name to create data type from table");
    return std::nullopt;
  }
  if (columnValue.isNil()) {
    APMSetError(error, 1, "Received nil column value to create data type from table");
    return std::nullopt;
  }
  if (!block) {
    APMSetError(error, 2, "Received nil block to create data type from table");
    return std::nullopt;
  }
  std::optional<std::vector<APMRecord>> records =
      recordsWithKey(table, columnName, columnValue, error);
  if (!records) return std::nullopt;
  std::vector<T> objects;
  for (const APMRecord& record : *records) {
    T object = block(record, error);
    if (object) objects.push_back(std::move(object));
  }
  if (!records->empty() && objects.empty()) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return objects;
}
