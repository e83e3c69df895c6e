// Replacing a damaged file by one that keeps what can still be read.
//
// A failed integrity or schema check says that the file cannot be used as
// it is, not that its rows are gone: one bad page of a table the engine
// never reads, or a column a newer version added, would otherwise cost
// every event and bundle stored. The rows SQLite still reads are copied
// into a scratch file made with the owner's tables, and the scratch
// database is then written over the damaged one through SQLite's backup
// API.
//
// Another process may hold the file open, so the file is never renamed or
// removed: SQLite's locks belong to the inode and its journal to the name.
// The backup writes in place, through a connection to the file, under
// SQLite's own locks and rollback journal: other connections see one
// ordinary commit, and a kill leaves the old content or the new (the next
// opener rolls a hot journal back), plus a scratch file that the next open
// removes.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "measurement/storage/database/sqlite_held_rows_internal.h"
#include "measurement/storage/database/sqlite_page_keys_internal.h"
#include "measurement/storage/database/sqlite_read_budget_internal.h"
#include "measurement/storage/database/sqlite_store.h"
#include "measurement/storage/database/sqlite_store_internal.h"
#include "platform/paths.h"

using namespace sqlite_internal;

namespace {

// The scratch files of a salvage of "<name>" are "<name>-salvage-XXXXXX"
// (with their own journal); "<name>-damaged-XXXXXX" are files an earlier
// version moved aside and was killed before it copied their rows back.
constexpr std::string_view kScratchInfix = "-salvage-";
constexpr std::string_view kMovedAsideInfix = "-damaged-";
constexpr const char* kCompanions[] = {"-journal", "-wal", "-shm"};

// A salvage starts over when another connection commits to the file while
// its rows are copied. Writers are kept out during the copy, so this is
// rare; a writer that wins every time makes the salvage fail as transient,
// keeping everything for the next open.
constexpr int kSalvageAttempts = 4;

APMSqliteStore::SalvageObserver& salvageObserver() {
  static APMSqliteStore::SalvageObserver observer;
  return observer;
}

void reachedStep(const char* step) {
  if (salvageObserver()) salvageObserver()(step);
}

// How a step on the old file ended.
enum class Outcome { kDone, kDamaged, kTransient };

Outcome outcomeOf(int result) {
  if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return Outcome::kDone;
  return isTransientResultCode(result) ? Outcome::kTransient : Outcome::kDamaged;
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The start of the names of the database's leftovers of one kind.
std::string leftoverPrefix(const std::string& databasePath, std::string_view infix) {
  const size_t slash = databasePath.rfind('/');
  return databasePath.substr(slash == std::string::npos ? 0 : slash + 1) + std::string(infix);
}

// Held while a database of the folder is salvaged, here or in another
// process: an flock on the folder itself. Not on the database file:
// closing any descriptor of that file would drop the locks SQLite holds on
// it in this process. Leftover scratch files are removed only under it, so
// a live salvage's scratch file is never taken for a dead one.
class SalvageLock {
 public:
  explicit SalvageLock(const std::string& folder) {
    fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      failure_ = errno;
      return;
    }
    // As long as SQLite waits for a lock: a salvage of a large file may take
    // longer, and this open then fails as transient.
    for (int waited = 0; waited <= kBusyTimeoutMilliseconds; ++waited) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      failure_ = errno;
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      waited_ = true;
      ::usleep(1000);
    }
    ::close(fd_);
    fd_ = -1;
  }
  ~SalvageLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  SalvageLock(const SalvageLock&) = delete;
  SalvageLock& operator=(const SalvageLock&) = delete;
  bool held() const { return held_; }
  // Another salvage held the lock first.
  bool waited() const { return waited_; }
  // Why the lock is not held: EWOULDBLOCK while another salvage held it
  // throughout, or why the folder could not be opened or locked.
  int failure() const { return failure_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  bool waited_ = false;
  int failure_ = 0;
};

// The folder's entries whose names start with `prefix`.
std::vector<std::string> entriesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!directory) return names;
  while (const dirent* entry = ::readdir(directory)) {
    if (hasPrefix(entry->d_name, prefix)) names.emplace_back(entry->d_name);
  }
  ::closedir(directory);
  return names;
}

// Only under the salvage lock: a live salvage's scratch file is never taken.
void removeEntriesStartingWith(const std::string& folder, const std::string& prefix) {
  for (const std::string& name : entriesStartingWith(folder, prefix)) {
    ::unlink(platform::appendingPathComponent(folder, name).c_str());
  }
}

bool isCompanion(const std::string& name) {
  for (const char* suffix : kCompanions) {
    const std::string_view tail(suffix);
    if (name.size() > tail.size() && std::string_view(name).substr(name.size() - tail.size()) == tail) {
      return true;
    }
  }
  return false;
}

void removeWithCompanions(const std::string& path) {
  ::unlink(path.c_str());
  for (const char* suffix : kCompanions) ::unlink((path + suffix).c_str());
}

// A connection closed when it goes.
struct Connection {
  sqlite3* handle = nullptr;
  ~Connection() { sqlite3_close_v2(handle); }
};

// The columns of sqlite_master, and of a table's description: no read of
// the schema answers more.
constexpr int64_t kSchemaColumns = 6;

// The connection's tables by name, with their root pages, internal ones
// left out; the step's result in `result`.
std::map<std::string, int64_t> tablesOf(sqlite3* handle, int* result) {
  std::map<std::string, int64_t> tables;
  Statement list(handle,
                 "SELECT name, rootpage FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
                 "ESCAPE '\\'");
  *result = list.result();
  if (*result != SQLITE_OK) return tables;
  while ((*result = sqlite3_step(list.get())) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(list.get(), 0);
    if (name) tables.emplace(reinterpret_cast<const char*>(name), sqlite3_column_int64(list.get(), 1));
  }
  return tables;
}

// Holds a read transaction on a connection that had none, for as long as
// it lives: the pages read beside SQLite must be those its lookups read.
class ReadTransaction {
 public:
  explicit ReadTransaction(sqlite3* handle)
      : handle_(sqlite3_get_autocommit(handle) ? handle : nullptr) {
    if (handle_) sqlite3_exec(handle_, "BEGIN", nullptr, nullptr, nullptr);
  }
  ~ReadTransaction() {
    if (handle_ && sqlite3_get_autocommit(handle_) == 0) sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  sqlite3* const handle_;
};

// A table's column names, and the column that is its rowid, if one is.
struct Columns {
  std::set<std::string> names;
  std::string rowidAlias;
};

Columns columnsOf(sqlite3* handle, const std::string& table, int* result) {
  Columns columns;
  Statement info(handle, "PRAGMA table_info(" + quotedIdentifier(table) + ")");
  *result = info.result();
  if (*result != SQLITE_OK) return columns;
  int keyColumns = 0;
  std::string integerKey;
  while ((*result = sqlite3_step(info.get())) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 2));
    if (!name) continue;
    columns.names.emplace(name);
    if (sqlite3_column_int(info.get(), 5) == 0) continue;
    ++keyColumns;
    if (type && sqlite3_stricmp(type, "INTEGER") == 0) integerKey = name;
  }
  // Only a lone INTEGER key is the rowid itself.
  if (keyColumns == 1) columns.rowidAlias = integerKey;
  return columns;
}

// The counter SQLite moves whenever the file changes, by this connection
// or by a commit of any other, here or in another process. It also moves
// when nothing was written: with a header cut inside its change counter
// and page count (28 to 39 bytes), each failed read moves it.
std::optional<unsigned> dataVersion(sqlite3* handle) {
  unsigned version = 0;
  if (sqlite3_file_control(handle, "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK) {
    return std::nullopt;
  }
  return version;
}

// What a write leaves on the file: its header (a commit in rollback mode
// moves the change counter at its bytes 24-27), and the inode, size and
// times of the file and of its write-ahead log (where a commit in WAL mode
// goes). Read through the connection's own descriptor: closing one of ours
// would drop the locks SQLite holds on the file in this process.
std::optional<std::string> writeMarks(sqlite3* handle, const std::string& path) {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(handle, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods) {
    return std::nullopt;
  }
  // A short read fills the rest with zeros, the same at every read.
  std::string marks(100, '\0');
  const int read = file->pMethods->xRead(file, marks.data(), static_cast<int>(marks.size()), 0);
  if (read != SQLITE_OK && read != SQLITE_IOERR_SHORT_READ) return std::nullopt;
  for (const std::string& name : {path, path + "-wal"}) {
    struct stat status {};
    if (::stat(name.c_str(), &status) != 0) {
      if (errno != ENOENT) return std::nullopt;
      marks += '-';
      continue;
    }
    for (const int64_t value : {int64_t(status.st_ino), int64_t(status.st_size), int64_t(status.st_mtim.tv_sec),
                                int64_t(status.st_mtim.tv_nsec), int64_t(status.st_ctim.tv_sec),
                                int64_t(status.st_ctim.tv_nsec)}) {
      marks.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
  }
  return marks;
}

// A sign that another connection committed: both the data version and the
// marks a write leaves moved (either alone may move without a write, the
// marks when a time is touched), or either could not be read.
struct WriteSign {
  std::optional<unsigned> version;
  std::optional<std::string> marks;
  WriteSign(sqlite3* handle, const std::string& path)
      : version(dataVersion(handle)), marks(writeMarks(handle, path)) {}
  bool writtenSince(const WriteSign& before) const {
    return !before.version || !version || !before.marks || !marks ||
           (*before.version != *version && *before.marks != *marks);
  }
};

// What became of one table's rows.
struct Tally {
  int64_t kept = 0;
  int64_t refused = 0;
  // Rows of a leftover file the table held already, left out.
  int64_t held = 0;
  // Some rows could not be read (a damaged part, or no column the fresh
  // table has): they are lost, uncounted.
  bool unreadable = false;
};

// Copies the rows of one table that a lookup by rowid reads. Scans cannot
// be trusted to find them on a damaged file: they stop at a damaged page
// whose far side they never reach from either end, and a page out of place
// makes them read rows out of order or twice without an error. So the
// rowids are read from the table's own b-tree pages (every key on every
// leaf reachable from its root), each is looked up once, and the row the
// lookup answers is copied through `insert`, which takes the shared
// columns (and the rowid first when rowids are kept).
//
// A key whose lookup answers no row the fresh table takes is then looked
// for by a scan from each end, and the first row read under it that the
// table takes is copied: a refused row (a damaged cell met first) stands
// for nothing, and a lookup's way down may turn on bytes SQLite reads past
// a damaged page's end, which differ from one connection to the next, so
// a row one lookup finds another may miss while a scan reads it in place.
//
// The work is one lookup and at most one insert per key the pages hold,
// each page read once, and two scans when a key was missed, each read
// under the budget of one that visits every leaf reached once: bounded by
// the file's size, however many regions are damaged, however sparse the
// keys, and however many paths lead to a page.
class TableCopy {
 public:
  // Reads through `source`, writes through `destination`. With
  // `keepRowids` each row keeps its rowid; otherwise rows are appended,
  // except those the destination's table holds already.
  TableCopy(sqlite3* source, ReadBudget& budget, sqlite3* destination, ReadBudget& destinationBudget,
            const std::string& table, int64_t rootPage, const std::vector<std::string>& columns,
            const std::string& rowidAlias, bool keepRowids)
      : source_(source),
        budget_(budget),
        destination_(destination),
        destinationBudget_(destinationBudget),
        table_(table),
        rootPage_(rootPage),
        columns_(columns),
        rowidAlias_(rowidAlias),
        count_(static_cast<int>(columns.size())),
        keepRowids_(keepRowids) {}

  // kTransient ends the whole salvage; the others end this table only.
  Outcome run(Tally& tally) {
    const std::string list = quotedList(columns_);
    std::string values, read;
    for (const std::string& column : columns_) {
      values += values.empty() ? "?" : ", ?";
      // The fresh table's rowid column takes the old row's key. SQLite keeps
      // the key of a rowid column in the rowid and NULL in the row, so where
      // a damaged declaration made the old one a plain column, it reads NULL.
      const std::string quoted = quotedIdentifier(column);
      read += (read.empty() ? "" : ", ") + (column == rowidAlias_ ? "coalesce(" + quoted + ", rowid)" : quoted);
    }
    const std::string select = "SELECT " + read + ", rowid FROM " + quotedIdentifier(table_);
    Statement insert(destination_, "INSERT INTO " + quotedIdentifier(table_) + " (" + (keepRowids_ ? "rowid, " : "") +
                                       list + ") VALUES (" + (keepRowids_ ? "?, " : "") + values + ")");
    Statement lookup(source_, select + " WHERE rowid = ?");
    Statement forward(source_, select + " ORDER BY rowid");
    Statement backward(source_, select + " ORDER BY rowid DESC");
    for (const Statement* statement : {&insert, &lookup, &forward, &backward}) {
      if (statement->result() != SQLITE_OK) return outcomeOf(failure_ = statement->result());
    }
    insert_ = insert.get();
    tally_ = &tally;
    int result = SQLITE_OK;
    if (!keepRowids_) {
      held_.emplace(destination_, destinationBudget_, table_, columns_, &result);
      if (result != SQLITE_DONE) return outcomeOf(failure_ = result == SQLITE_OK ? SQLITE_ERROR : result);
    }
    const PageKeys keys = rowidsUnderRoot(source_, rootPage_, &result);
    if (result != SQLITE_OK) return outcomeOf(failure_ = result);
    if (keys.strayPages) tally.unreadable = true;
    // The columns and the rowid, of at most every cell the pages hold.
    steps_ = ReadBudget::stepsForRows(keys.cells, count_ + 1);
    for (const int64_t rowid : keys.rowids) {
      sqlite3_bind_int64(lookup.get(), 1, rowid);
      const int found = lookUp(lookup.get());
      const int settled = found == SQLITE_ROW ? settle(insertRow(lookup.get(), rowid)) : found;
      sqlite3_reset(lookup.get());
      if (found == SQLITE_ROW && settled == SQLITE_DONE) continue;
      if (isTransientResultCode(settled)) return outcomeOf(failure_ = settled);
      // Damage on the way to this rowid loses its row unless a scan reads it.
      if (found != SQLITE_ROW && found != SQLITE_DONE) tally.unreadable = true;
      missed_.push_back({rowid, settled == SQLITE_CONSTRAINT && found == SQLITE_ROW});
    }
    for (sqlite3_stmt* scan : {forward.get(), backward.get()}) {
      if (missed_.empty()) break;
      const int scanned = findMissed(scan);
      if (isTransientResultCode(scanned)) return outcomeOf(failure_ = scanned);
      // Rows past where it ended, damaged or out of budget, are lost.
      if (scanned != SQLITE_DONE) tally.unreadable = true;
    }
    for (const Missed& key : missed_) tally.refused += key.refused && !key.copied ? 1 : 0;
    return tally.unreadable ? Outcome::kDamaged : Outcome::kDone;
  }

  // The result code of the last failed step.
  int failure() const { return failure_; }

 private:
  // A key whose lookup gave no row the table took; `refused` when a read
  // gave one the table refused, `copied` once a scan's row was taken.
  struct Missed {
    int64_t rowid;
    bool refused;
    bool copied = false;
  };

  // Inserts the current row of `select` (under `rowid` when rowids are
  // kept); answers the insert's result.
  int insertRow(sqlite3_stmt* select, int64_t rowid) {
    const int offset = keepRowids_ ? 1 : 0;
    if (keepRowids_) sqlite3_bind_int64(insert_, 1, rowid);
    for (int column = 0; column < count_; ++column) {
      sqlite3_bind_value(insert_, column + 1 + offset, sqlite3_column_value(select, column));
    }
    const int inserted = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    return inserted;
  }

  // Counts an insert that answered `inserted`: SQLITE_DONE for a row kept
  // (or left out as one the table held), SQLITE_CONSTRAINT for a row the
  // table refused, or the code of a failure that is no verdict on the row
  // (a full disk, no memory), which stops the salvage.
  int settle(int inserted) {
    if (inserted != SQLITE_DONE) return isTransientResultCode(inserted) ? inserted : SQLITE_CONSTRAINT;
    int result = SQLITE_OK;
    const bool held = held_ && held_->dropIfHeld(sqlite3_last_insert_rowid(destination_), &result);
    if (isTransientResultCode(result)) return result;
    // A row that could not be compared stays.
    ++(held ? tally_->held : tally_->kept);
    return SQLITE_DONE;
  }

  // Reads the table with `scan` until it ends or fails, copying the first
  // row the table takes under each missed key; answers the result of the
  // last step that failed, or SQLITE_DONE.
  int findMissed(sqlite3_stmt* scan) {
    // The whole scan is one read: a scan that reads the rows of a shared
    // subtree once per path spends its budget and ends there.
    const MeteredRead metered(budget_, steps_);
    int step;
    while ((step = sqlite3_step(scan)) == SQLITE_ROW) {
      const int64_t rowid = sqlite3_column_int64(scan, count_);
      auto at = std::lower_bound(missed_.begin(), missed_.end(), rowid,
                                 [](const Missed& key, int64_t value) { return key.rowid < value; });
      if (at == missed_.end() || at->rowid != rowid || at->copied) continue;
      const int settled = settle(insertRow(scan, rowid));
      if (settled == SQLITE_CONSTRAINT) {
        at->refused = true;
        continue;
      }
      if (settled != SQLITE_DONE) {
        sqlite3_reset(scan);
        return settled;
      }
      at->copied = true;
    }
    sqlite3_reset(scan);
    return budget_.verdict(step);
  }

  // A lookup, under the budget of a read that visits each page once; a row
  // it does not reach within it is unreadable.
  int lookUp(sqlite3_stmt* lookup) {
    const MeteredRead metered(budget_, steps_);
    return budget_.verdict(sqlite3_step(lookup));
  }

  sqlite3* const source_;
  ReadBudget& budget_;
  sqlite3* const destination_;
  ReadBudget& destinationBudget_;
  const std::string table_;
  const int64_t rootPage_;
  const std::vector<std::string> columns_;
  const std::string rowidAlias_;
  const int count_;
  const bool keepRowids_;
  sqlite3_stmt* insert_ = nullptr;
  Tally* tally_ = nullptr;
  std::optional<HeldRows> held_;
  // Sorted by rowid, as the keys are.
  std::vector<Missed> missed_;
  int64_t steps_ = 0;
  int failure_ = SQLITE_OK;
};

}  // namespace

struct APMSqliteStore::CopiedTable {
  std::string table;
  Tally tally;
  // No table of that name in the destination.
  bool homeless = false;
};

void APMSqliteStore::setSalvageObserver(SalvageObserver observer) {
  salvageObserver() = std::move(observer);
}

std::shared_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     const TableCreator& createTables,
                                                                     platform::ErrorRef* error) {
  if (path.empty()) {
    APMSetError(error, kArgument, "Received empty database path on init");
    return nullptr;
  }
  if (!createTables) return initWithDatabasePath(path, error);
  std::shared_ptr<APMSqliteStore> store(new APMSqliteStore(path));
  platform::ErrorRef openError;
  if (store->openAndValidateDatabase(&openError)) {
    store->adoptLeftovers(createTables);
    return store;
  }
  platform::setError(error, openError);
  // A check that could not run says nothing of the file.
  if (isTransientFailure(openError)) return nullptr;
  if (store->replaceDamagedFile(createTables, error)) return store;
  return nullptr;
}

void APMSqliteStore::removeLeftovers(bool movedAsideToo) {
  const std::string folder = platform::deletingLastPathComponent(databasePath_);
  const std::string scratchPrefix = leftoverPrefix(databasePath_, kScratchInfix);
  const std::string asidePrefix = leftoverPrefix(databasePath_, kMovedAsideInfix);
  std::vector<std::string> scratch = entriesStartingWith(folder, scratchPrefix);
  std::vector<std::string> aside =
      movedAsideToo ? entriesStartingWith(folder, asidePrefix) : std::vector<std::string>{};
  if (scratch.empty() && aside.empty()) return;
  // Only a dead salvage's scratch file may go: a live one holds the lock.
  SalvageLock lock(folder);
  if (!lock.held()) return;
  removeEntriesStartingWith(folder, scratchPrefix);
  for (const std::string& name : aside) ::unlink(platform::appendingPathComponent(folder, name).c_str());
}

void APMSqliteStore::adoptLeftovers(const TableCreator& createTables) {
  const std::string folder = platform::deletingLastPathComponent(databasePath_);
  std::vector<std::string> aside = entriesStartingWith(folder, leftoverPrefix(databasePath_, kMovedAsideInfix));
  if (aside.empty()) {
    removeLeftovers(false);
    return;
  }
  SalvageLock lock(folder);
  if (!lock.held()) return;
  removeEntriesStartingWith(folder, leftoverPrefix(databasePath_, kScratchInfix));
  // A file an earlier version moved aside holds the rows it had not copied
  // back when it was killed, or rows it had copied (with new rowids) just
  // before: those this file does not hold yet are added to it (a row whose
  // key a later one took stays out), and the file goes once they are
  // committed. A kill between the two adds nothing the next time.
  for (const std::string& name : entriesStartingWith(folder, leftoverPrefix(databasePath_, kMovedAsideInfix))) {
    if (isCompanion(name)) continue;
    const std::string path = platform::appendingPathComponent(folder, name);
    Connection source;
    const int opened = sqlite3_open_v2(path.c_str(), &source.handle, SQLITE_OPEN_READWRITE, nullptr);
    if (opened != SQLITE_OK) continue;
    sqlite3_busy_timeout(source.handle, kBusyTimeoutMilliseconds);
    std::vector<CopiedTable> copied;
    if (!createTables(*this, nullptr) || !copyReadableRows(source.handle, *this, false, &copied, nullptr)) continue;
    logCopiedTables(copied);
    sqlite3_close_v2(source.handle);
    source.handle = nullptr;
    removeWithCompanions(path);
  }
}

bool APMSqliteStore::replaceDamagedFile(const TableCreator& createTables, platform::ErrorRef* error) {
  closeDatabase();
  if (!platform::fileExists(databasePath_)) {
    // Nothing to keep: a file that could not be made is made again, and
    // the error is that of making it.
    if (openAndValidateDatabase(error) && createTables(*this, error)) return true;
    closeDatabase();
    return false;
  }
  const std::string folder = platform::deletingLastPathComponent(databasePath_);
  SalvageLock lock(folder);
  if (!lock.held()) {
    // Either way a failure of the moment: the file stays as it is.
    const bool busy = lock.failure() == EWOULDBLOCK;
    APMSetErrorWithContext(error, kSqlite,
                           busy ? std::string("Another process is replacing the damaged database file")
                                : "Cannot lock the folder of the damaged database file " + folder + ": " +
                                      std::strerror(lock.failure()),
                           "replace damaged database," + std::to_string(busy ? SQLITE_BUSY : SQLITE_CANTOPEN) +
                               ",A");
    return false;
  }
  reachedStep("locked");
  removeEntriesStartingWith(folder, leftoverPrefix(databasePath_, kScratchInfix));
  platform::ErrorRef stepError;
  for (int attempt = 0; attempt < kSalvageAttempts; ++attempt) {
    // Another salvage, or a commit that made this one start over, may have
    // left a file that can be used as it is.
    if (attempt > 0 || lock.waited()) {
      stepError.reset();
      if (openAndValidateDatabase(&stepError) && createTables(*this, &stepError)) return true;
      closeDatabase();
      if (isTransientFailure(stepError)) break;
    }
    stepError.reset();
    bool again = false;
    if (salvage(createTables, &again, &stepError)) return true;
    closeDatabase();
    if (!again) break;
  }
  platform::setError(error, stepError);
  if (!stepError) {
    APMSetErrorWithContext(error, kSqlite, "The damaged database file changed during each copy",
                           "replace damaged database," + std::to_string(SQLITE_BUSY) + ",A");
  }
  return false;
}

bool APMSqliteStore::salvage(const TableCreator& createTables, bool* again, platform::ErrorRef* error) {
  auto failTransient = [&](int code, const std::string& operation) {
    APMSetErrorWithContext(error, kSqlite,
                           "Failed to replace the damaged database file: " + std::string(sqlite3_errstr(code)),
                           operation + "," + std::to_string(code) + ",A");
    return false;
  };
  // The scratch file: the owner's tables, then the rows. A kill leaves it
  // behind, to be removed under the lock by the next open.
  std::string scratchPath = databasePath_ + std::string(kScratchInfix) + "XXXXXX";
  const int reserved = ::mkstemp(scratchPath.data());
  if (reserved < 0) return failTransient(SQLITE_CANTOPEN, "make scratch file");
  ::close(reserved);
  struct Remover {
    const std::string& path;
    ~Remover() { removeWithCompanions(path); }
  } remover{scratchPath};
  std::shared_ptr<APMSqliteStore> scratch(new APMSqliteStore(scratchPath));
  // The scratch file is thrown away when anything fails: it needs no
  // journal and no flush.
  if (!scratch->openAndValidateDatabase(error)) return false;
  sqlite3_exec(scratch->sqliteHandle(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF", nullptr,
               nullptr, nullptr);
  if (!createTables(*scratch, error)) return false;
  reachedStep("scratch made");
  // The damaged file, read through a connection of its own.
  Connection source;
  int result = sqlite3_open_v2(databasePath_.c_str(), &source.handle, SQLITE_OPEN_READWRITE, nullptr);
  if (result != SQLITE_OK) return failTransient(result, "copy damaged database");
  sqlite3_busy_timeout(source.handle, kBusyTimeoutMilliseconds);
  // Writers are kept out while the rows are copied. A file whose header
  // forbids writing, or that SQLite cannot read, has no writer to keep out.
  result = sqlite3_exec(source.handle, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (result != SQLITE_OK && isTransientResultCode(result) && (result & 0xff) != SQLITE_READONLY) {
    return failTransient(result, "copy damaged database");
  }
  // The connection that writes the copy over the file notes the signs of a
  // write before the copy starts: a commit of anyone else in between
  // shows as a change once it holds the write lock.
  if (!openConnection(error)) return false;
  // A file SQLite reads in write-ahead-log mode (its header may say so)
  // takes a backup only in its own page size, so the empty scratch file is
  // rebuilt in that size. Both reads load the damaged file's schema, each
  // under a budget (a count of sqlite_master's rows would walk every path
  // to each of its pages in one step, beyond any budget).
  int64_t pageSize = 0;
  {
    ReadBudget budget(sqliteHandle_);
    const int64_t steps = ReadBudget::stepsForRows(mostRowsIn(sqliteHandle_), kSchemaColumns);
    budget.start(steps);
    sqlite3_exec(sqliteHandle_, "SELECT name FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
    budget.start(steps);
    pageSize = pageSizeOf(sqliteHandle_);
  }
  const WriteSign before(sqliteHandle_, databasePath_);
  if (pageSize != 0 && pageSize != pageSizeOf(scratch->sqliteHandle()) &&
      (result = sqlite3_exec(scratch->sqliteHandle(), ("PRAGMA page_size = " + std::to_string(pageSize) + "; VACUUM").c_str(),
                             nullptr, nullptr, nullptr)) != SQLITE_OK) {
    return failTransient(result, "make scratch file");
  }
  std::vector<CopiedTable> copied;
  if (!copyReadableRows(source.handle, *scratch, true, &copied, error)) return false;
  // Rowids the old file gave to rows deleted since stay given.
  {
    ReadBudget budget(source.handle);
    result = carrySequences(source.handle, budget, scratch->sqliteHandle());
  }
  if (result != SQLITE_OK) return failTransient(result, "copy damaged database");
  if (sqlite3_get_autocommit(source.handle) == 0) sqlite3_exec(source.handle, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(source.handle);
  source.handle = nullptr;
  reachedStep("copied");

  // The whole file is written over, so nothing of its old bytes may stop
  // the write: with this flag SQLite takes the file for an empty database,
  // one it may write whatever its header says. The old pages still go to
  // the rollback journal first.
  int ignored = 0;
  sqlite3_db_config(sqliteHandle_, SQLITE_DBCONFIG_RESET_DATABASE, 1, &ignored);
  sqlite3_backup* backup = sqlite3_backup_init(sqliteHandle_, "main", scratch->sqliteHandle(), "main");
  if (!backup) {
    sqlite3_db_config(sqliteHandle_, SQLITE_DBCONFIG_RESET_DATABASE, 0, &ignored);
    return failTransient(sqlite3_errcode(sqliteHandle_), "write over damaged database");
  }
  // No page is copied yet: this takes the file's write lock.
  result = sqlite3_backup_step(backup, 0);
  const bool changed = WriteSign(sqliteHandle_, databasePath_).writtenSince(before);
  if (result == SQLITE_OK && !changed) {
    reachedStep("destination locked");
    result = sqlite3_backup_step(backup, -1);
  }
  const int finished = sqlite3_backup_finish(backup);
  sqlite3_db_config(sqliteHandle_, SQLITE_DBCONFIG_RESET_DATABASE, 0, &ignored);
  if (result == SQLITE_OK && changed) {
    // Someone committed after the copy began: their rows would be lost.
    *again = true;
    return false;
  }
  if (result != SQLITE_DONE) {
    const int code = result == SQLITE_OK ? finished : result;
    if (isTransientResultCode(code)) return failTransient(code, "write over damaged database");
    setDatabaseError(error, "write over damaged database");
    return false;
  }
  reachedStep("written");
  closeDatabase();
  if (!openAndValidateDatabase(error)) return false;
  logCopiedTables(copied);
  return true;
}

bool APMSqliteStore::copyReadableRows(sqlite3* source, APMSqliteStore& destination, bool keepRowids,
                                      std::vector<CopiedTable>* copied, platform::ErrorRef* error) {
  // The error of a transient failure, made from its own result code: the
  // connection's last code may by now be that of a later call.
  auto failTransient = [&](int code) {
    APMSetErrorWithContext(error, kSqlite,
                           std::string("Failed to copy the damaged database file: ") +
                               sqlite3_errstr(code),
                           "copy damaged database," + std::to_string(code) + ",A");
    return false;
  };
  int transient = SQLITE_OK;
  auto noteTransient = [&](int result) {
    if (transient == SQLITE_OK && outcomeOf(result) == Outcome::kTransient) transient = result;
    return transient != SQLITE_OK;
  };
  int result = SQLITE_OK;
  // Its first read takes the lock.
  const ReadTransaction reading(source);
  // Every read of either file runs under a budget. Reads of the schema
  // read at most a row per cell the file can hold.
  ReadBudget budget(source);
  ReadBudget destinationBudget(destination.sqliteHandle());
  const auto readSchema = [&](const auto& read, int* code) {
    const MeteredRead metered(budget, ReadBudget::stepsForRows(mostRowsIn(source), kSchemaColumns));
    auto answer = read();
    *code = budget.verdict(*code);
    return answer;
  };
  std::map<std::string, int64_t> oldTables = readSchema([&] { return tablesOf(source, &result); }, &result);
  if (noteTransient(result)) return failTransient(transient);
  if (outcomeOf(result) == Outcome::kDamaged) {
    log(1, 34024, "Damaged database file cannot be read; its rows are lost",
        std::string(sqlite3_errstr(result)));
    oldTables.clear();
  }
  if (!destination.beginTransaction()) {
    destination.setTransactionError(error, "Failed to begin transaction", "begin transaction");
    return false;
  }
  sqlite3* fresh = destination.sqliteHandle();
  const std::map<std::string, int64_t> freshTables = tablesOf(fresh, &result);
  noteTransient(result);
  for (const auto& [table, rootPage] : oldTables) {
    if (transient != SQLITE_OK) break;
    if (!freshTables.count(table)) {
      copied->push_back({table, {}, true});
      continue;
    }
    int freshResult = SQLITE_OK;
    int oldResult = SQLITE_OK;
    const Columns freshColumns = columnsOf(fresh, table, &freshResult);
    const std::set<std::string> oldColumns =
        readSchema([&, &name = table] { return columnsOf(source, name, &oldResult).names; }, &oldResult);
    if (noteTransient(freshResult) || noteTransient(oldResult)) break;
    // A column declared as the rowid is the rowid: kept or given by the
    // copy as the rowid itself, never compared as content.
    std::vector<std::string> shared;
    for (const std::string& column : oldColumns) {
      if (column != kRowIDColumn && freshColumns.names.count(column)) shared.push_back(column);
    }
    CopiedTable entry{table, {}, false};
    if (shared.empty() || outcomeOf(oldResult) == Outcome::kDamaged) {
      entry.tally.unreadable = true;
    } else {
      TableCopy copy(source, budget, fresh, destinationBudget, table, rootPage, shared, freshColumns.rowidAlias,
                     keepRowids);
      if (copy.run(entry.tally) == Outcome::kTransient && noteTransient(copy.failure())) break;
    }
    copied->push_back(std::move(entry));
  }
  bool committed = false;
  if (transient == SQLITE_OK) {
    committed = destination.endTransaction();
    if (!committed) destination.setTransactionError(error, "Failed to end transaction", "end transaction");
  } else {
    failTransient(transient);
  }
  if (!committed && sqlite3_get_autocommit(fresh) == 0 && !destination.rollbackTransaction()) {
    log(1, 34011, "Failed to rollback transaction");
  }
  return committed;
}

void APMSqliteStore::logCopiedTables(const std::vector<CopiedTable>& copied) {
  for (const CopiedTable& entry : copied) {
    if (entry.homeless) continue;
    log(entry.tally.refused || entry.tally.unreadable ? 1 : 4, 34023,
        "Copied the readable rows of a damaged database file. Table, rows kept, rows refused, "
        "rows unreadable, rows held already",
        APMMonitor::Contexts{entry.table, entry.tally.kept, entry.tally.refused,
                             entry.tally.unreadable, entry.tally.held});
  }
  for (const CopiedTable& entry : copied) {
    if (!entry.homeless) continue;
    log(1, 34025, "Table of a damaged database file has no place in the fresh one. Table", entry.table);
  }
}
