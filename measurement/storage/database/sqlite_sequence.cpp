// The sequences of the tables whose rowids are never given twice, carried
// across the copies that rebuild a table or salvage a file: SQLite sets a
// sequence from the rows inserted, and a copy has lost the deleted ones.
#include "measurement/storage/database/sqlite_store_internal.h"

namespace {

// A statement of its own, finalized when it goes; `result` is SQLite's
// code of the last step taken.
struct SequenceStatement {
  SequenceStatement(sqlite3* handle, const char* sql) {
    result = sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr);
  }
  ~SequenceStatement() { sqlite3_finalize(statement); }
  SequenceStatement(const SequenceStatement&) = delete;
  SequenceStatement& operator=(const SequenceStatement&) = delete;

  // Binds the table name and, when given, a rowid, then steps once.
  int run(const std::string& table, std::optional<int64_t> rowid = std::nullopt) {
    if (result != SQLITE_OK) return result;
    sqlite3_bind_text(statement, 1, table.c_str(), static_cast<int>(table.size()),
                      SQLITE_TRANSIENT);
    if (rowid) sqlite3_bind_int64(statement, 2, *rowid);
    return result = sqlite3_step(statement);
  }

  sqlite3_stmt* statement = nullptr;
  int result = SQLITE_OK;
};

int doneOrFailure(int result) {
  return result == SQLITE_DONE || result == SQLITE_ROW ? SQLITE_OK : result;
}

}  // namespace

std::optional<int64_t> sqlite_internal::sequenceOf(sqlite3* handle, const std::string& table,
                                                   int* result) {
  SequenceStatement read(handle, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
  const int stepped = read.run(table);
  *result = doneOrFailure(stepped);
  if (stepped != SQLITE_ROW || sqlite3_column_type(read.statement, 0) != SQLITE_INTEGER)
    return std::nullopt;
  return sqlite3_column_int64(read.statement, 0);
}

int sqlite_internal::raiseSequence(sqlite3* handle, const std::string& table, int64_t floor) {
  // sqlite_sequence has no key on the name: one statement raises a row
  // that is there, the other adds one that is not.
  SequenceStatement raise(handle,
                          "UPDATE sqlite_sequence SET seq = ?2 WHERE name = ?1 AND seq < ?2");
  const int raised = doneOrFailure(raise.run(table, floor));
  if (raised != SQLITE_OK) return raised;
  SequenceStatement add(handle, "INSERT INTO sqlite_sequence (name, seq) SELECT ?1, ?2 "
                                "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = ?1)");
  return doneOrFailure(add.run(table, floor));
}

int sqlite_internal::carrySequences(sqlite3* source, sqlite3* destination) {
  // Only the tables the destination made with the sequence type: their
  // names are the destination's, read from its own schema.
  SequenceStatement tables(destination,
                           "SELECT name FROM sqlite_master WHERE type = 'table' AND sql LIKE "
                           "'%AUTOINCREMENT%'");
  if (tables.result != SQLITE_OK)
    return isTransientResultCode(tables.result) ? tables.result : SQLITE_OK;
  while ((tables.result = sqlite3_step(tables.statement)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(tables.statement, 0);
    if (!name) continue;
    const std::string table(reinterpret_cast<const char*>(name));
    int read = SQLITE_OK;
    std::optional<int64_t> sequence = sequenceOf(source, table, &read);
    if (isTransientResultCode(read)) return read;
    if (!sequence) continue;
    // The destination is the fresh file: a failure there is no damage.
    const int raised = raiseSequence(destination, table, *sequence);
    if (raised != SQLITE_OK) return raised;
  }
  return isTransientResultCode(tables.result) ? tables.result : SQLITE_OK;
}
