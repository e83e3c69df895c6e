// `APMSqliteStore`: the one wrapper through which the measurement storage
// layer touches SQLite.
//
// One store owns one database file and one connection. It opens the file
// (creating the file and its folder), checks its integrity and replaces a
// corrupt file's content by a fresh database once, creates tables from column lists and
// migrates them by added or retyped columns, keeps prepared statements in a
// bounded cache keyed by their text, turns records into rows and rows back
// into records, and runs exclusive transactions. Every failure is an error
// of the measurement error domain: code 1 for a refused argument, 2 for a
// refused state (the database not open, a missing table or column), 3 for a
// failed SQLite call, with SQLite's code and message in the description.
//
// Table and column names are the caller's and are written into the SQL as
// they are: they must come from code, never from input.
//
// Other connections: another process may open the same file. A statement
// that meets its lock waits for it, up to a few seconds, before it fails
// busy; transactions take the write lock as they begin, so that two writers
// take turns rather than one failing halfway. A failure is never retried.
//
// Threads: the connection is opened in serialized mode, but the store takes
// no lock of its own and its statement cache is unguarded. Create a store and
// then use it from one serial queue only.
//
// Statements handed out by `statementForQuery` belong to the cache and
// `prepareSQL` statements to the caller; either must be given back through
// `cleanUpStatement` (or executed through `executeSQLStatement`), which
// resets and unbinds cached statements and finalizes the others.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/storage/database/record.h"
#include "platform/error.h"
#include "platform/object.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

// Ordered (column name, type-and-constraint text) pairs. A pair whose name is
// "PRIMARY KEY" is a table constraint whose text is the parenthesised list of
// key columns.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name to a text: the new declared type of a retyped column or a
// column's declared type.
using APMColumnTextMap = std::map<std::string, std::string, std::less<>>;
// Values bound to the "?" placeholders, from position 1.
using APMSqlParameters = std::vector<platform::Object>;
// Sees each row read by a query with the number of rows accepted so far;
// answering false stops the reading and leaves that row out.
using APMRecordFilter = std::function<bool(size_t acceptedCount, const APMRecord& record)>;

class APMSqliteStore {
 public:
  // Table constraint marker of `APMColumnInfo`.
  static constexpr const char* kPrimaryKey = "PRIMARY KEY";
  // A table whose column list starts with this column, of this type, never
  // gives a rowid twice: SQLite otherwise gives the rowid of a deleted last
  // row to the next insert, so that a rowid read earlier may name another
  // row by the time it is used (to delete what was read). The column is the
  // rowid under its own name, so "rowid" keeps meaning what it meant.
  static constexpr const char* kRowIDColumn = "rowid";
  static constexpr const char* kUniqueRowIDType = "INTEGER PRIMARY KEY AUTOINCREMENT";
  // Upper bound on cached statements. Texts that carry a varying part (an
  // amount written inline, a placeholder list sized to a batch) would
  // otherwise grow the cache without limit; the least recently used
  // statement not in use is finalized first.
  static constexpr size_t kStatementCacheCapacity = 64;

  // Opens (creating if needed) and validates the file at `path`. A file that
  // fails to open or validate is deleted and opened once more. Null, with the
  // last attempt's error, when that fails too, and null without deleting
  // anything when the check could not run for a transient cause (see
  // `isTransientFailure`).
  static std::shared_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              platform::ErrorRef* error = nullptr);
  // Makes the owner's tables in the store's file; false, with the error,
  // when one cannot be made.
  using TableCreator = std::function<bool(APMSqliteStore& store, platform::ErrorRef* error)>;
  // As above, but a file that fails its check is replaced through
  // `replaceDamagedFile`, so that the fresh file keeps what could be read.
  static std::shared_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              const TableCreator& createTables,
                                                              platform::ErrorRef* error = nullptr);
  // True for an error of a failed SQLite call whose cause lies outside the
  // file: another connection holding its lock (busy, locked), a full disk,
  // an I/O or memory failure, a file that cannot be written or opened. Such
  // a failure says nothing about
  // what the file holds, and a later attempt may succeed; owners must not
  // delete the file for it.
  static bool isTransientFailure(const platform::ErrorRef& error);
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  sqlite3* sqliteHandle() const { return sqliteHandle_; }
  const std::string& databasePath() const { return databasePath_; }

  // Closes the connection, then removes the file with its "-journal", "-wal"
  // and "-shm" companions, and the leftovers of killed salvages (scratch
  // files no live salvage holds, files an earlier version moved aside).
  // True when the file is gone (or was never there).
  bool closeAndDeleteDatabase();

  // Replaces the content of the file, damaged or of a schema the owner
  // cannot use, by a fresh database that keeps every row SQLite still reads
  // from it. `createTables` makes the owner's tables in a scratch file
  // beside it ("<file>-salvage-XXXXXX"); in one transaction each table both
  // have receives the old table's rows with their rowids, for the columns
  // both share; then the scratch database is written over the file in place
  // through SQLite's backup API, in one commit under SQLite's locks and
  // rollback journal, and the scratch file goes. The file is never renamed
  // or removed, since another process may hold it open: that process goes
  // on with the new content as after any commit of another connection.
  //
  // A row the fresh table refuses (a NOT NULL column the old one lacks, a
  // repeated key) is lost. The rowids to copy are read from each table's
  // own b-tree pages and each is confirmed by a lookup, so damaged regions,
  // an unreadable end or pages out of place lose only the rows that no
  // lookup by rowid finds. What was kept and lost is logged per table
  // (34023, 34025).
  //
  // Writers of other connections are kept out while the rows are copied;
  // a commit that slips in before the copy is written (seen as a change of
  // the file's data version) makes the salvage start over. One salvage of
  // a folder's databases runs at a time across processes (an flock on the
  // folder); one that waited for another first checks the file again. A
  // kill at any instant leaves the old content or the new, and a scratch
  // file that the next open removes.
  //
  // A transient failure (see `isTransientFailure`), or a file that changes
  // during every attempt, leaves the file as it was and the call fails with
  // that error. On failure the store is closed.
  bool replaceDamagedFile(const TableCreator& createTables, platform::ErrorRef* error = nullptr);

  // Tells the observer, in this process, each step a salvage reaches
  // ("locked", "scratch made", "copied", "destination locked", "written"),
  // so that tests can stop or kill it there. For tests only; set it before
  // any store salvages, never while one does.
  using SalvageObserver = std::function<void(const char* step)>;
  static void setSalvageObserver(SalvageObserver observer);

  // --- Schema -------------------------------------------------------------

  // Creates the table when absent (with its add-on columns), then validates
  // it: required columns present, missing add-on columns added, unknown
  // columns tolerated only when nullable.
  bool ensureTableWithName(const std::string& table, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo,
                           platform::ErrorRef* error = nullptr);
  // As above, then rebuilds the table inside one exclusive transaction when
  // a column of `modifyColumnInfo` is not declared with its new type, or
  // when the columns declare `kRowIDColumn` and the table, made before it
  // had one, lacks it (but has every other elementary column). The rebuild
  // copies the rows by column name, each keeping its rowid, and the
  // highest rowid the table ever gave; a nullable column the code does not
  // know is left behind with the old table. Whether the rebuild is needed
  // is checked again inside its transaction, so that a second process
  // opening the file at the same time does not rebuild it twice. The rows
  // move in runs, so that the rebuild needs about the table's size free on
  // the disk and the file keeps about its size. A rebuild that fails for a
  // transient cause (a full disk, a lock held past the timeout; see
  // `isTransientFailure`) changes nothing, is logged (34027) and waits for
  // a later open: the table, validated as it is, serves meanwhile, with
  // rowids SQLite may give again. Any other failure fails the call, with
  // the failed step's error and SQLite's reason.
  bool ensureTableWithName(const std::string& table, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo,
                           const APMColumnTextMap& modifyColumnInfo,
                           platform::ErrorRef* error = nullptr);
  // `addOnColumns` pairs each add-on column with its ALTER TABLE text; they
  // are added in list order, so that a table keeps one column order whether
  // it was created or migrated.
  bool ensureTableWithName(const std::string& table, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const APMColumnInfo& addOnColumns,
                           platform::ErrorRef* error = nullptr);
  // Rebuilds the table when its declared types differ from the target lists.
  bool ensureSchemaOfTableWithName(const std::string& table,
                                   const APMColumnInfo& elementaryColumnInfo,
                                   const APMColumnInfo& addOnColumnInfo,
                                   platform::ErrorRef* error = nullptr);
  bool dropTableWithName(const std::string& table, platform::ErrorRef* error = nullptr);
  bool renameTable(const std::string& oldName, const std::string& newName,
                   platform::ErrorRef* error = nullptr);
  // Copies every row of `source` into `destination`, by column name: the
  // columns both tables have, whatever their order. A `kRowIDColumn` of
  // `destination` takes each row's rowid, which every source table has.
  bool copyContentsFromTable(const std::string& source, const std::string& destination,
                             platform::ErrorRef* error = nullptr);
  bool createEmptyTable(const std::string& destination, const std::string& source,
                        platform::ErrorRef* error = nullptr);
  // Nullopt when the table has no columns (it does not exist) or on failure.
  std::optional<bool> validateTableWithName(const std::string& table,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const APMColumnInfo& addOnColumns,
                                            platform::ErrorRef* error = nullptr);
  std::optional<bool> tableExists(const std::string& table, platform::ErrorRef* error = nullptr);
  std::optional<int64_t> rowCountForTableWithName(const std::string& table,
                                                  platform::ErrorRef* error = nullptr);
  std::optional<int64_t> rowCountForTableWithName(const std::string& table,
                                                  const std::string& columnName,
                                                  const platform::Object& columnValue,
                                                  platform::ErrorRef* error = nullptr);
  // Column names in table order; empty when the table is absent.
  std::vector<std::string> columnsForTableWithName(const std::string& table,
                                                   platform::ErrorRef* error = nullptr);
  // Column name to declared type; empty when the table is absent.
  APMColumnTextMap columnInfoForTableWithName(const std::string& table,
                                              platform::ErrorRef* error = nullptr);

  // --- Records ------------------------------------------------------------

  // INSERT OR REPLACE of the record's columns. A value of a kind that cannot
  // be stored is logged and answers false without an error; a number that
  // cannot be stored as it is fails as in `bindValues`. The statement is
  // cached under its text, as records of one table repeat their columns.
  bool upsertRecord(const APMRecord& record, const std::string& table,
                    platform::ErrorRef* error = nullptr);
  // UPDATE of the record's columns in the rows whose `columnName` equals
  // `columnValue`.
  bool updateRecord(const APMRecord& record, const std::string& table,
                    const std::string& columnName, const platform::Object& columnValue,
                    platform::ErrorRef* error = nullptr);
  bool updateAllRecordsInTableWithName(const std::string& table, const std::string& columnName,
                                       const platform::Object& columnValue,
                                       platform::ErrorRef* error = nullptr);
  // Adds `amount` to an INTEGER column in the rows matching `condition`.
  bool increaseColumn(const std::string& column, int64_t amount, const std::string& table,
                      const std::string& condition, const APMSqlParameters& parameterValues,
                      platform::ErrorRef* error = nullptr);
  bool deleteRecordFromTableWithName(const std::string& table, const std::string& columnName,
                                     const platform::Object& columnValue,
                                     platform::ErrorRef* error = nullptr);
  // Number of rows deleted, or nullopt on failure.
  std::optional<int64_t> deleteRecordsFromTableWithName(const std::string& table,
                                                        const std::string& condition,
                                                        const APMSqlParameters& parameterValues,
                                                        platform::ErrorRef* error = nullptr);
  bool deleteAllRecordsFromTableWithName(const std::string& table,
                                         platform::ErrorRef* error = nullptr);
  // Rows of a SELECT text as records. A zero-length blob reads as no value.
  std::optional<std::vector<APMRecord>> recordsForQuery(const std::string& query,
                                                        const APMSqlParameters& parameterValues,
                                                        platform::ErrorRef* error = nullptr);
  std::optional<std::vector<APMRecord>> recordsForQuery(const std::string& query,
                                                        const APMSqlParameters& parameterValues,
                                                        platform::ErrorRef* error,
                                                        const APMRecordFilter& filter);
  // The first column of the first row as an integer or double number. Nil
  // without an error when that column is NULL (MAX over an empty table).
  platform::Object numberForQuery(const std::string& query,
                                  const APMSqlParameters& parameterValues,
                                  platform::ErrorRef* error = nullptr);

  // --- Transactions -------------------------------------------------------

  // Runs `block` inside "BEGIN EXCLUSIVE TRANSACTION". A block answering true
  // commits; false rolls back and fails with "Transaction failed"; an
  // exception rolls back and continues to the caller. A commit that fails
  // (the file busy or full) rolls back as well, so the connection never
  // stays inside a transaction. Transactions do not nest.
  bool performTransactionWithError(const std::function<bool()>& block,
                                   platform::ErrorRef* error = nullptr);
  // A failed BEGIN or commit keeps its text ("Failed to begin transaction",
  // "Failed to end transaction"), followed by SQLite's reason in the form
  // of the other store errors; code 3.
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // --- Statements ---------------------------------------------------------

  // A statement for `query`, from the cache when it is there, bound to
  // `parameterValues` when they are given. Texts with placeholders or
  // without WHERE are cached. Null on failure.
  sqlite3_stmt* statementForQuery(const std::string& query, platform::ErrorRef* error = nullptr);
  sqlite3_stmt* statementForQuery(const std::string& query,
                                  const APMSqlParameters& parameterValues,
                                  platform::ErrorRef* error = nullptr);
  // Gives a statement back after use: resets and unbinds a cached one,
  // finalizes any other.
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& query);
  // A new statement outside the cache, owned by the caller. The text must
  // hold exactly one statement with nothing after it.
  sqlite3_stmt* prepareSQL(const std::string& sql, platform::ErrorRef* error = nullptr);
  bool executeSQL(const std::string& sql, platform::ErrorRef* error = nullptr);
  // Steps once and finalizes; true only when the statement ran to its end.
  bool executeSQLStatement(sqlite3_stmt* statement, platform::ErrorRef* error = nullptr);

  // --- Lifecycle ----------------------------------------------------------

  bool openAndValidateDatabase(platform::ErrorRef* error = nullptr);
  // True only when "PRAGMA integrity_check" answers one row of one column,
  // "ok", and the file's header lets SQLite write it (a write version above
  // 2 makes SQLite open it read-only for good: damage, not a failure of the
  // moment). Closes the connection otherwise.
  bool validateDatabaseWithError(platform::ErrorRef* error = nullptr);
  void closeDatabase();
  void finalizeAndClearStatements();

  // --- Values and errors --------------------------------------------------

  // The value of a column of the current row; nil for a zero-length blob.
  platform::Object valueAtColumn(int column, sqlite3_stmt* statement) const;
  // New statements outside the cache, bound to the record (and the key
  // value); the caller executes them through `executeSQLStatement`.
  sqlite3_stmt* upsertStatementForRecord(const APMRecord& record, const std::string& table,
                                         platform::ErrorRef* error = nullptr);
  sqlite3_stmt* updateStatementForRecord(const APMRecord& record, const std::string& table,
                                         const std::string& columnName,
                                         const platform::Object& columnValue,
                                         platform::ErrorRef* error = nullptr);
  // Clears the statement's bindings, then binds each value at its index + 1.
  // Byte data is bound without copying: the values must outlive the
  // statement's execution and its clean-up. An unsigned number above the
  // int64 range or a NaN is refused (code 1): neither could be stored as it
  // is. On failure the statement is reset and left without bindings.
  bool bindValues(const APMSqlParameters& values, sqlite3_stmt* statement,
                  platform::ErrorRef* error = nullptr);
  // SQLite's message of the last failure; nullopt while closed.
  std::optional<std::string> lastErrorMessage() const;
  // Nullopt while closed.
  std::optional<std::string> errorDescriptionForDatabaseOperation(
      const std::string& operation) const;
  // "<operation>,<sqlite code>,<A or NA>", NA when the file is not writable.
  std::string monitorContextForDatabaseOperation(const std::string& operation) const;
  // Stores a code 3 error describing the connection's last failure.
  void setDatabaseError(platform::ErrorRef* error, const std::string& operation) const;

 private:
  explicit APMSqliteStore(std::string path);

  struct CachedStatement {
    std::string query;
    sqlite3_stmt* statement = nullptr;
    // Handed out and not given back yet; never evicted while set.
    bool inUse = false;
  };
  using CacheList = std::list<CachedStatement>;
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };

  CachedStatement* cachedStatement(std::string_view query);
  // Runs a text with placeholders through its cached statement (prepared
  // and cached on first use): `bind` fills it, one step must finish it.
  bool executeReusable(const std::string& sql, const std::function<bool(sqlite3_stmt*)>& bind,
                       platform::ErrorRef* error);
  // The texts of record upserts and updates. The last few are kept with
  // their table and columns: records of one table repeat their columns, and
  // comparing a few names costs less than building the text again.
  const std::string& upsertText(const APMRecord& record, const std::string& table);
  const std::string& updateText(const APMRecord& record, const std::string& table,
                                const std::string& columnName);
  struct RecordText {
    std::string table;
    // Empty for an upsert.
    std::string keyColumn;
    std::vector<std::string> columns;
    std::string sql;
  };
  static constexpr size_t kRecordTextCapacity = 16;
  const std::string* findRecordText(const APMRecord& record, const std::string& table,
                                    const std::string& keyColumn);
  const std::string& keepRecordText(const APMRecord& record, const std::string& table,
                                    const std::string& keyColumn, std::string sql);
  bool bindUpdate(const APMRecord& record, const platform::Object& columnValue,
                  sqlite3_stmt* statement, platform::ErrorRef* error);
  void cacheStatement(const std::string& query, sqlite3_stmt* statement);
  // Binds the values of a record or parameter list through one routine.
  template <typename Values>
  bool bindEach(const Values& values, sqlite3_stmt* statement, platform::ErrorRef* error,
                bool clearFirst = true);
  // Code 3: `text`, then SQLite's description of the failed `operation`.
  void setTransactionError(platform::ErrorRef* error, const std::string& text,
                           const std::string& operation) const;
  // The error of a value that failed to bind: a clear refusal (code 1) of a
  // number that cannot be stored as it is, else SQLite's.
  void reportBindFailure(const platform::Object& value, platform::ErrorRef* error) const;
  bool stepToDone(sqlite3_stmt* statement, const std::string& query, const std::string& operation,
                  platform::ErrorRef* error);
  bool executeDirect(const char* sql);
  // Requires the connection's mutex to be held.
  static platform::Object objectOfValue(sqlite3_value* value);
  // `filter` may be null: every row is accepted.
  std::optional<std::vector<APMRecord>> readRecords(const std::string& query,
                                                    const APMSqlParameters& parameterValues,
                                                    platform::ErrorRef* error,
                                                    const APMRecordFilter* filter);
  bool checkOpen(const char* message, platform::ErrorRef* error) const;
  // Calls `visit(name, declaredType, notNull)` for each column of the table,
  // in table order. False, with the error, when the list cannot be read to
  // its end; true with no call for an absent table.
  template <typename Visit>
  bool forEachColumn(const std::string& table, Visit&& visit, platform::ErrorRef* error);
  // Whether the declared types of the table's columns are the expected
  // ones; nullopt, with the error, when they cannot be read or the table
  // is absent.
  std::optional<bool> tableHasTypes(const std::string& table, const APMColumnTextMap& expected,
                                    platform::ErrorRef* error);
  // Rebuilds the table with these columns, in one exclusive transaction
  // and only while `needed` (run inside it) answers true.
  using RebuildCheck = std::function<std::optional<bool>(platform::ErrorRef* error)>;
  bool rebuildTable(const std::string& table, const APMColumnInfo& elementaryColumnInfo,
                    const APMColumnInfo& addOnColumnInfo, const RebuildCheck& needed,
                    platform::ErrorRef* error);
  // Whether a rebuild that failed with `reason` may wait for a later open:
  // true, logged (34027), for a transient failure (see
  // `isTransientFailure`); otherwise false with `reason` as the error.
  bool rebuildWaits(const std::string& table, const platform::ErrorRef& reason,
                    platform::ErrorRef* error);
  // The columns of `destination` that `source` has too, and its
  // `kRowIDColumn`, in the order of `destination`.
  std::optional<std::vector<std::string>> sharedColumns(const std::string& source,
                                                        const std::string& destination,
                                                        platform::ErrorRef* error);
  // The most a rebuild moves per step: a run's growth of the file is all
  // the space it needs beyond the journal.
  static constexpr int64_t kRebuildRunRows = 256;
  static constexpr int64_t kRebuildRunBytes = 64 * 1024;
  // Moves every row of `source` into `destination` as
  // `copyContentsFromTable` copies them, deleting them from `source` run by
  // run. Call inside a transaction.
  bool moveContentsFromTable(const std::string& source, const std::string& destination,
                             platform::ErrorRef* error);
  // The rebuild that gives an older table its `kRowIDColumn`, when the
  // columns declare one.
  bool ensureRowIDColumn(const std::string& table, const APMColumnInfo& columns,
                         const APMColumnInfo& addOnColumnInfo, platform::ErrorRef* error);
  // Opens the connection to the file (creating the file and its folder)
  // without checking it.
  bool openConnection(platform::ErrorRef* error);
  // The file opened read-only because its header's write version is above
  // what SQLite writes.
  bool headerForbidsWriting() const;
  // One attempt of `replaceDamagedFile`; `*again` when another connection
  // committed during the copy.
  bool salvage(const TableCreator& createTables, bool* again, platform::ErrorRef* error);
  // What became of one table's rows in a copy.
  struct CopiedTable;
  // Copies what can be read through `source` into `destination` in one
  // transaction, with the rows' rowids when `keepRowids`, else appended.
  // False, with the error, only for a transient failure; damage met on the
  // way is noted in `copied` and skipped.
  bool copyReadableRows(sqlite3* source, APMSqliteStore& destination, bool keepRowids,
                        std::vector<CopiedTable>* copied, platform::ErrorRef* error);
  static void logCopiedTables(const std::vector<CopiedTable>& copied);
  // Removes the scratch files of killed salvages (and, with
  // `movedAsideToo`, files an earlier version moved aside).
  void removeLeftovers(bool movedAsideToo);
  // Adds to the open file the rows of files an earlier version moved aside
  // that it does not hold yet (compared by content: that version may have
  // copied them back, with new rowids, before it was killed), then removes
  // them and any dead scratch file.
  void adoptLeftovers(const TableCreator& createTables);

  sqlite3* sqliteHandle_ = nullptr;
  const std::string databasePath_;
  // Most recently used first.
  CacheList statementCache_;
  std::unordered_map<std::string, CacheList::iterator, StringHash, std::equal_to<>> cacheIndex_;
  // Most recently used first.
  std::list<RecordText> recordTexts_;
};
