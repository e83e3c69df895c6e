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
// What a table writes, its reader reads back: a message kept as bytes (raw
// events and their metadata, bundles, complex and conditional events, the
// configuration) is refused with code 1, and nothing written, when it holds
// a value the decoder would refuse (`APMColumnOfMessage`).
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
#include "measurement/storage/database/storage_limits.h"
#include "measurement/storage/models/conditional_user_property.h"
#include "measurement/storage/models/daily_counts.h"
#include "platform/error.h"

// How reading one stored row came out (table_support.h).
enum class APMRowReading;

class APMAppMetadata;
class APMEvent;
class APMEventAggregates;
class APMEventFilter;
class APMFilterResult;
class APMPBMeasurementBundle;
class APMPBMeasurementConfig;
class APMPersistedConfig;
class APMPropertyFilter;
class APMRawEventData;
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

inline constexpr const char* kAPMEventsSnapshotTable = "events_snapshot";

// Raw events read per fingerprint at most.
inline constexpr int64_t kAPMRawEventsReadLimit = 1'000;
// A retry count stops here.
inline constexpr int64_t kAPMMaxBundleRetryCount = 2'147'483'647;

// A queued bundle as read back: the bundle (its retry count set from the
// row) and its row ID in the queue table.
struct APMQueuedBundle {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  int64_t rowID = 0;
  // The bytes this bundle adds to an upload batch: its encoding with the
  // retry count set, and the field tag and length that frame it there.
  int64_t batchSize = 0;
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
  // Sets `error` to the first failing table's error.
  bool ensureAllTables(platform::ErrorRef* error = nullptr);

  // --- App metadata and daily counts ------------------------------------

  // Creates the app_metadata row (index 0, zero timestamps) unless there is
  // one. A row that exists but cannot be converted (an index that is not an
  // integer from 0 to 2147483647) has its bundle bookkeeping reset, keeping
  // the stored configuration and counters. Either way the bundle numbering
  // starts again, and 12067 says so with the reason.
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
  // without bytes or without its Voraza app ID, and one the reader below
  // would refuse: past a bound of a configuration (config_bounds.h, found
  // by the reader's decode before it builds anything) or holding a value
  // the decoder does not take back (code 1). Fails while the
  // app_metadata row does not exist; it never makes the row.
  bool updateRemoteConfig(const std::shared_ptr<const APMPBMeasurementConfig>& config,
                          platform::ErrorRef* error = nullptr);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::ErrorRef* error = nullptr);
  // Null without an error when none is stored; bytes that do not decode
  // fail with code 2 "Remote config data is corrupted", and bytes past a
  // bound of a configuration with code 2 as well, naming the bound.
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


  // --- Raw events and their metadata -------------------------------------
  //
  // Each raw event refers to its shared bundle metadata by the metadata's
  // fingerprint (`apm_64LSBMD5` of its encoded bytes). A raw event row that
  // can no longer be turned into an event is deleted when a read meets it
  // (12063 logged), so that it does not hold back the events stored after
  // it. Rowids are never given twice in a file (older files are migrated
  // at open), so a rowid read earlier names that row or, once another
  // process has deleted it, none.

  // The limits in force; by default `APMCurrentStorageLimits`.
  void setStorageLimitsSource(APMStorageLimitsSource source);
  APMStorageLimits storageLimits() const;

  // Stores the bundle's encoding under its fingerprint unless a row with
  // that fingerprint decodes already (a row that does not decode is
  // replaced). A new fingerprint is refused once the table holds 100,000
  // rows. Metadata no bundle may be made of is refused with the error
  // `insertBundle` gives (code 1, "Failed to insert bundle without App ID").
  bool insertIfNotExistsRawEventMetadata(const std::shared_ptr<const APMPBMeasurementBundle>& metadata,
                                         platform::ErrorRef* error = nullptr);
  // Null with code 3 when there is no row. A row without bytes, or whose
  // bytes do not decode, is deleted with the raw events that refer to it
  // (12064 logged): they could never make a bundle, and the oldest of them
  // would hold back every later event. Null with code 3 then too. So is a
  // row that decodes to metadata `insertBundle` refuses, as older versions
  // stored (12066 logged, "Data loss", with the reason); null with that
  // reason.
  std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
      int64_t fingerprint, platform::ErrorRef* error = nullptr);
  bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                     platform::ErrorRef* error = nullptr);
  // Deletes the metadata no raw event refers to.
  bool deleteUnusedRawEventsMetadata(platform::ErrorRef* error = nullptr);
  std::optional<bool> isRawEventsTableEmpty(platform::ErrorRef* error = nullptr);
  // Appends the event (its message form without the name, which has a
  // column of its own); refuses a null event (code 1).
  bool insertRawEvent(const std::shared_ptr<const APMEvent>& event, int64_t metadataFingerprint,
                      bool isRealtime, platform::ErrorRef* error = nullptr);
  // The engine's write of one event, as one change: stores the metadata if
  // it is new, trims the table to its limit (23070 logged with the count
  // when events went) and appends the event. On failure nothing is written
  // and 23071 is logged with the error. Refuses (code 1) an event stamped
  // further from now than the stale-data purge keeps (`maxQueueTime`, past
  // or future): the next purge would delete it unseen. A time in
  // milliseconds is the usual cause.
  bool storeRawEvent(const std::shared_ptr<const APMEvent>& event,
                     const std::shared_ptr<const APMPBMeasurementBundle>& metadata, bool isRealtime,
                     platform::ErrorRef* error = nullptr);
  // Seconds; nullopt for an empty table or on failure.
  std::optional<double> queryLatestRawEventTime(platform::ErrorRef* error = nullptr);
  // The oldest 1,000 events of the fingerprint, in row order. `eventFilter`
  // sees each row with the number taken so far, and false stops the read.
  // Empty when no row matches; nullopt on failure, and when rows were read
  // but none could be turned into an event. Rows that cannot be are deleted
  // and logged (12063); beside events read they are no failure, and leave
  // `error` alone.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, platform::ErrorRef* error = nullptr,
      const APMRecordFilter& eventFilter = nullptr);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                              platform::ErrorRef* error = nullptr);
  // Deletes the events up to and including `rowID`, of every fingerprint.
  // After bundling one fingerprint, use the call below: events of other
  // fingerprints stored in between would go unbundled.
  bool deleteRawEventsWithMaxRowID(int64_t rowID, platform::ErrorRef* error = nullptr);
  // Deletes the events of `fingerprint` up to and including `rowID`: what a
  // bundle of that fingerprint took, when `rowID` is the last one a read of
  // its events answered (the read takes them in rowid order, and events
  // stored since have higher rowids).
  bool deleteRawEventsWithMetadataFingerprint(int64_t fingerprint, int64_t maxRowID,
                                              platform::ErrorRef* error = nullptr);
  // Deletes the oldest events so that `maxEventsStored` - 1 stay (none for
  // a limit of 0 or 1), making room for the one about to be stored; the
  // number deleted. The count of stored events is kept by the connection
  // as rows come and go, so the check costs the same at any table size.
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(platform::ErrorRef* error = nullptr);
  // Deletes the events stamped more than `maxAge` seconds from now, in the
  // past or the future, then the metadata left without events. Refuses a
  // negative age (code 1).
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::ErrorRef* error = nullptr);
  // The fingerprint of the oldest event; nullopt without an error for an
  // empty table.
  std::optional<int64_t> nextMetadataFingerprintToProcess(platform::ErrorRef* error = nullptr);
  // The event of a raw_events row (read with its rowid); null with the
  // reason when the row does not make one.
  std::shared_ptr<APMRawEventData> rawEventDataFromDictionary(const APMRecord& record,
                                                              platform::ErrorRef* error = nullptr);
  std::optional<bool> containsRealtimeRawEventsWithError(platform::ErrorRef* error = nullptr);

  // --- Upload queue --------------------------------------------------------
  //
  // Bundles are stored gzip-compressed. A row whose data no longer inflates
  // or decodes is deleted when a read meets it (12062 logged), so that it
  // does not take the place of a good bundle in every later read. Rowids
  // are never given twice: the rowids of a batch read earlier name its
  // bundles, or none once another process has deleted them.

  std::optional<bool> isQueuedBundleTableEmpty(platform::ErrorRef* error = nullptr);
  // Refuses (code 1) a bundle without bytes, without app ID, without an
  // end time of at least 1 ms, or larger than a read inflates
  // (kGULMaxInflatedSize); runs the stale-data purge first.
  bool insertBundle(const std::shared_ptr<const APMPBMeasurementBundle>& bundle, bool isRealtime,
                    platform::ErrorRef* error = nullptr);
  // Adds one failed attempt to each listed bundle, never past 2147483647
  // (12054 logged when a bundle has reached it). Refuses an empty list.
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                              platform::ErrorRef* error = nullptr);
  // The oldest bundles, at most `countLimit`, whose batch sizes add up to
  // at most `sizeLimit` bytes: the oldest readable bundle is always taken,
  // even alone past the limit, and the first that does not fit ends the
  // list. So a batch made of them, apart from that one case, never exceeds
  // `sizeLimit`.
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(
      int64_t countLimit, int64_t sizeLimit, platform::ErrorRef* error = nullptr);
  // The readable bundles among the rows, in row order. Refuses an empty
  // list (code 3).
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithRowIDs(
      const std::vector<int64_t>& rowIDs, platform::ErrorRef* error = nullptr);
  bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                               platform::ErrorRef* error = nullptr);
  // Purges stale raw events and bundles when the last purge is more than
  // the deletion interval away: true when it purged, false when it was not
  // due, nullopt when a purge failed (it is tried again next time). A purge
  // that deleted anything logs 12065 with the counts of raw events and
  // bundles. The time of the last purge is kept in the persisted settings;
  // a database without them purges at every call.
  std::optional<bool> maybeDeleteStaleData(platform::ErrorRef* error = nullptr);
  // Deletes the bundles ending more than `maxAge` seconds from now, in the
  // past or the future. Refuses a negative age (code 1).
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::ErrorRef* error = nullptr);
  // Seconds; nullopt for an empty table or on failure.
  std::optional<double> queryLatestBundleTime(platform::ErrorRef* error = nullptr);
  std::optional<bool> containsRealtimeBundlesWithError(platform::ErrorRef* error = nullptr);

  // --- Event aggregates (events) and their snapshot ----------------------

  // Rows whose name does not begin with "_".
  std::optional<int64_t> publicEventCount(platform::ErrorRef* error = nullptr);
  // The first 1,000 rows in row order; rows that make no aggregates are
  // left out.
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> allEventAggregates(
      platform::ErrorRef* error = nullptr);
  // Null when there is none or on failure.
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              platform::ErrorRef* error = nullptr);
  // From events_snapshot; null without an error when there is no snapshot.
  std::shared_ptr<APMEventAggregates> eventAggregatesSnapshotWithName(
      const std::string& name, platform::ErrorRef* error = nullptr);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              const std::string& table,
                                                              platform::ErrorRef* error = nullptr);
  // Inserts or replaces the row of the name; a new name is refused once the
  // table holds 1,000 rows.
  bool updateEventAggregates(const std::shared_ptr<const APMEventAggregates>& aggregates,
                             platform::ErrorRef* error = nullptr);
  // Sets every current session count to 0.
  bool clearCurrentSessionCounts(platform::ErrorRef* error = nullptr);
  bool deleteAllEventAggregates(platform::ErrorRef* error = nullptr);
  bool deleteAllEventAggregatesInSnapshot(platform::ErrorRef* error = nullptr);
  // Copies every events row into a new events_snapshot, as one change: on
  // failure both tables are as they were.
  bool createEventsSnapshotTable(platform::ErrorRef* error = nullptr);
  // Replaces the events rows by the snapshot's and empties the snapshot, as
  // one change; a "_f" row counted since the snapshot is kept when the
  // snapshot has no first open. Without a snapshot, or with an empty one,
  // nothing changes. On failure both tables are as they were.
  bool restoreFromEventsSnapshotTable(platform::ErrorRef* error = nullptr);

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
  bool deleteDatabaseFiles(const std::string& path, platform::ErrorRef* error);
  bool resetAppMetadataBookkeeping();
  // Without row 1, deletes (and logs) the rows app_metadata holds: none
  // is the engine's, which writes row 1 only.
  bool replaceStrayAppMetadataRows();
  std::optional<std::vector<APMRecord>> recordsOfAllRows(const std::string& table, long tableLimit,
                                                         platform::ErrorRef* error);
  std::optional<std::vector<APMRecord>> recordsWithKey(const std::string& table,
                                                       const std::string& columnName,
                                                       const platform::Object& columnValue,
                                                       platform::ErrorRef* error);

  // The queue row as a bundle; null with the reason when it makes none.
  std::optional<APMQueuedBundle> queuedBundleFromRecord(const APMRecord& record,
                                                        platform::ErrorRef* error);
  // The queued bundles of `records` in order, within `sizeLimit` when one
  // is given; rows met whose data is damaged are deleted. Nullopt, with
  // nothing deleted, when memory ran out while reading a row.
  std::optional<std::vector<APMQueuedBundle>> queuedBundlesFromRecords(
      const std::vector<APMRecord>& records, std::optional<int64_t> sizeLimit,
      platform::ErrorRef* error);
  // Stores the metadata's bytes unless their fingerprint holds bytes that
  // decode; the fingerprint.
  std::optional<int64_t> insertRawEventMetadata(const APMPBMeasurementBundle* metadata,
                                                platform::ErrorRef* error);
  std::optional<std::vector<APMRecord>> storedMetadata(int64_t fingerprint,
                                                       platform::ErrorRef* error);
  // Deletes those rows of `table` that `read` still finds damaged when
  // read again (`columns` of them) inside one write transaction, logging
  // `code` for each of `rowIDs`.
  void deleteUnreadableRows(const char* table, const char* columns,
                            const std::vector<int64_t>& rowIDs, long code,
                            const std::function<APMRowReading(const APMRecord&)>& read);
  // The refusals of `insertBundle` that neither events nor times can lift:
  // an encoding larger than a read inflates, no app ID. A bundle is a copy
  // of its events' metadata, so metadata is held to them too.
  static bool acceptsBundleContent(const APMPBMeasurementBundle& bundle, size_t encodedSize,
                                   platform::ErrorRef* error);
  // The metadata of a stored row, and how reading it came out. Metadata
  // that decodes but that no bundle may be made of (stored by an older
  // version) is damaged too; `refusal` then says why.
  static APMRowReading readMetadataRecord(const APMRecord& record,
                                          std::shared_ptr<APMPBMeasurementBundle>& metadata,
                                          platform::ErrorRef* refusal);
  // Deletes the metadata of `fingerprint` and its raw events, as one
  // change, when the row read again there is still damaged; answers the
  // metadata when it reads now. `refusal` says why metadata that decodes
  // was deleted.
  std::shared_ptr<APMPBMeasurementBundle> deleteUnusableMetadata(int64_t fingerprint,
                                                                 platform::ErrorRef* refusal);
  // Refuses an event the stale-data purge would delete now (code 1).
  static bool acceptsEventTime(const APMEvent* event, const APMStorageLimits& limits,
                               platform::ErrorRef* error);
  // `deleteRawEventsOverAbsoluteLimit` with the limit given.
  std::optional<int64_t> deleteRawEventsOverLimit(int64_t maxEventsStored, platform::ErrorRef* error);
  // The stale deletions, answering how many rows they deleted, so that the
  // purge can say what it lost.
  std::optional<int64_t> deleteStaleRawEvents(double maxAge, platform::ErrorRef* error);
  std::optional<int64_t> deleteStaleBundles(double maxAge, platform::ErrorRef* error);

  std::shared_ptr<APMSqliteStore> sqliteStore_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  APMStorageLimitsSource storageLimitsSource_ = APMCurrentStorageLimits;
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
