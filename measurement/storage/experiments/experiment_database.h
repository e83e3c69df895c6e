// `APMEDatabase`: the experiment snapshot database, one SQLite file
// ("voraza_experimentation_database.sql" in the measurement folder) with
// three tables of the same shape that mirror the experiment manager's maps:
// "pending_snapshot_table" (fetched, not yet in force),
// "activated_snapshot_table" (in force) and "launched_snapshot_table" (the
// experiment with ID 0, in force). Each holds at most one row per SDK:
// sdk_name, the encoded `Snapshot` message, a timestamp and, for pending
// rows, whether the SDK's client activates the snapshot itself.
//
// Failures are monitor lines (codes 810000 to 810007) and false or nullopt
// results with an error of the measurement domain; nothing is thrown. A
// stored row that cannot be read is deleted when a read meets it (810008).
// After `closeAndDelete`, or a `reset` that could not open a new file,
// every operation fails with a code 2 error.
//
// Threads: only the experiment task manager calls it, always on its worker
// queue; the database takes no lock.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/storage/database/record.h"
#include "measurement/storage/database/sqlite_store.h"
#include "measurement/storage/experiments/snapshot.h"
#include "platform/error.h"

inline constexpr const char* kAPMEDatabaseName = "voraza_experimentation_database.sql";
inline constexpr const char* kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kAPMELaunchedSnapshotTable = "launched_snapshot_table";
// Rows read per table, at most.
inline constexpr long kAPMESnapshotTableLimit = 100'000;
// Activated rows this old (seconds) are deleted at start.
inline constexpr double kAPMEStaleSnapshotAge = 259'200;

class APMEDatabase {
 public:
  // Opens (or creates) the file and ensures its three tables. Null for an
  // empty path (810000), a file that cannot be opened (810001) or tables
  // that cannot be made (810004, 810002; the file is then deleted). A table
  // that could not be made for a transient cause (another process holding
  // the file, a full disk: see `APMSqliteStore::isTransientFailure`) keeps
  // the file and fails as an open would (810004, 810001).
  static std::shared_ptr<APMEDatabase> initWithPath(const std::string& path);
  APMEDatabase(const APMEDatabase&) = delete;
  APMEDatabase& operator=(const APMEDatabase&) = delete;

  // Null after `closeAndDelete` or a failed `reset`.
  const std::shared_ptr<APMSqliteStore>& sqliteStore() const { return sqliteStore_; }

  // Deletes the file and opens an empty one at the same path (810005,
  // 810006 on failure).
  bool reset();
  // Closes and deletes the file; the database is unusable afterwards.
  bool closeAndDelete();
  // Runs `block` in one exclusive transaction: committed when it answers
  // true, rolled back otherwise (810007 logged).
  bool performTransaction(const std::function<bool()>& block);

  // Every row of a table as snapshots; nullopt when the query fails. Rows
  // that cannot be read are deleted (810008 logged) and left out.
  std::optional<APMESnapshots> fetchAllActivatedSnapshots(platform::ErrorRef* error = nullptr);
  std::optional<APMESnapshots> fetchAllPendingSnapshots(platform::ErrorRef* error = nullptr);
  std::optional<APMESnapshots> fetchAllLaunchedSnapshots(platform::ErrorRef* error = nullptr);
  // The first `tableLimit` rows of the table as records.
  std::optional<std::vector<APMRecord>> allDataTypesFromTableWithName(
      const std::string& table, long tableLimit, platform::ErrorRef* error = nullptr);

  // Puts the snapshot's experiment 0 into the launched table and the others
  // into the activated table, both stamped `timestamp`, then deletes the
  // SDK's pending row if it is not newer than `timestamp`. A snapshot
  // without other experiments deletes the SDK's activated row, so that the
  // stored state matches what the manager holds. Call inside a transaction.
  bool activateSnapshot(const APMESnapshotRef& snapshot, double timestamp,
                        platform::ErrorRef* error = nullptr);
  // Activates every pending row not marked for manual activation, each
  // with its own timestamp as activation time; a row that cannot be read is
  // deleted (810008 logged) instead.
  bool activatePendingSnapshotsAutomatically(platform::ErrorRef* error = nullptr);
  // Deletes the activated rows stamped at or before now - 259,200 s.
  bool deleteStaleActivatedSnapshots(platform::ErrorRef* error = nullptr);

  // Writes each snapshot into the pending table with its own timestamp and
  // mark, in order; stops at the first failure.
  bool upsertPendingExperimentSnapshots(const APMESnapshots& snapshots,
                                        platform::ErrorRef* error = nullptr);
  // Replaces the SDK's row of `table`; `manuallyActivated` nullopt leaves
  // the column NULL.
  bool upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& table, double timestamp,
                      std::optional<int64_t> manuallyActivated,
                      platform::ErrorRef* error = nullptr);

  // An empty name is refused (code 1).
  bool deleteActivatedExperimentsOfSDKName(const std::string& SDKName,
                                           platform::ErrorRef* error = nullptr);
  bool deletePendingExperimentsOfSDKName(const std::string& SDKName,
                                         platform::ErrorRef* error = nullptr);
  bool deleteLaunchedExperimentSDKName(const std::string& SDKName,
                                       platform::ErrorRef* error = nullptr);
  bool deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table,
                                  platform::ErrorRef* error = nullptr);

 private:
  APMEDatabase() = default;
  // `context` ("Init" or "Reset") goes into the log lines.
  bool initializeResourcesWithContext(const std::string& context, const std::string& path);
  // The open store, or null with a code 2 error.
  APMSqliteStore* openStore(platform::ErrorRef* error) const;
  std::optional<APMESnapshots> fetchAllSnapshots(const char* table, platform::ErrorRef* error);

  std::shared_ptr<APMSqliteStore> sqliteStore_;
};
