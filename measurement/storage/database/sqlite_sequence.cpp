// The sequences of the tables whose rowids are never given twice, carried
// across the copies that rebuild a table or salvage a file: SQLite sets a
// sequence from the rows inserted, and a copy has lost the deleted ones.
// sqlite_sequence is an ordinary table, so a damaged value is set right
// rather than carried or kept.
#include "measurement/storage/database/sqlite_page_keys_internal.h"
#include "measurement/storage/database/sqlite_read_budget_internal.h"
#include "measurement/storage/database/sqlite_store_internal.h"

using sqlite_internal::kSequenceCeiling;

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

// The sequence kept for a table, as SQLite reads it: the first row of the
// name, the one its inserts use.
struct KeptSequence {
  std::optional<int64_t> sound;        // an integer from 0 to the ceiling
  std::optional<std::string> damaged;  // any other value, as SQL text

  std::string text() const { return damaged ? *damaged : sound ? std::to_string(*sound) : "NULL"; }
};

KeptSequence keptSequenceOf(sqlite3* handle, const std::string& table, int* result) {
  SequenceStatement read(handle, "SELECT typeof(seq) = 'integer' AND seq BETWEEN 0 AND ?2, seq, quote(seq) "
                                 "FROM sqlite_sequence WHERE name = ?1");
  const int stepped = read.run(table, kSequenceCeiling);
  *result = doneOrFailure(stepped);
  if (stepped != SQLITE_ROW) return {};
  if (sqlite3_column_int(read.statement, 0)) return {sqlite3_column_int64(read.statement, 1), std::nullopt};
  const unsigned char* text = sqlite3_column_text(read.statement, 2);
  return {std::nullopt, std::string(text ? reinterpret_cast<const char*>(text) : "NULL")};
}

void logRepaired(const std::string& table, const std::string& found, int64_t set, int64_t renumbered) {
  sqlite_internal::log(1, 34026,
                       "Repaired the rowid sequence of a table. Table, sequence found, sequence set, rows renumbered",
                       APMMonitor::Contexts{table, found, set, renumbered});
}

}  // namespace

std::optional<int64_t> sqlite_internal::sequenceOf(sqlite3* handle, const std::string& table,
                                                   int* result) {
  return keptSequenceOf(handle, table, result).sound;
}

int sqlite_internal::repairSequence(sqlite3* handle, const std::string& table, int64_t floor) {
  // The check every open makes: two seeks, in sqlite_sequence (a row per
  // such table) and at the top of the table's rowids.
  const std::string quoted = quotedIdentifier(table);
  const std::string sound = "typeof(seq) = 'integer' AND seq BETWEEN 0 AND ?2";
  SequenceStatement check(handle, ("SELECT EXISTS (SELECT 1 FROM " + quoted + " WHERE rowid > ?2) OR EXISTS "
                                   "(SELECT 1 FROM sqlite_sequence WHERE name = ?1 AND NOT (" + sound + "))")
                                      .c_str());
  // Only a file whose table was made without the sequence type lacks
  // sqlite_sequence: nothing is kept to be damaged.
  if ((check.result & 0xff) == SQLITE_ERROR) return SQLITE_OK;
  if (check.run(table, kSequenceCeiling) != SQLITE_ROW) return doneOrFailure(check.result);
  if (!sqlite3_column_int(check.statement, 0)) return SQLITE_OK;

  int result = SQLITE_OK;
  const KeptSequence kept = keptSequenceOf(handle, table, &result);
  if (result != SQLITE_OK) return result;
  // The highest rowid known given below the ceiling: what the caller,
  // a sound sequence kept and the rows say.
  const std::string given = "max(?3, coalesce((SELECT max(seq) FROM sqlite_sequence WHERE name = ?1 AND " +
                            sound + "), 0), (SELECT coalesce(max(rowid), 0) FROM " + quoted + " WHERE rowid <= ?2))";
  // A rowid above the ceiling came from damage too. Each such row moves,
  // keeping its content, to the rowid after the highest given, never to
  // a deleted one that another process may still delete by. Each step is
  // one statement; what a kill leaves, the next open goes on with.
  SequenceStatement move(handle, ("UPDATE " + quoted + " SET rowid = " + given + " + 1 WHERE rowid = (SELECT "
                                  "min(rowid) FROM " + quoted + " WHERE rowid > ?2) AND " + given + " < ?2")
                                     .c_str());
  sqlite3_bind_int64(move.statement, 3, floor);
  int64_t renumbered = 0;
  for (;; ++renumbered) {
    if (move.run(table, kSequenceCeiling) != SQLITE_DONE) return move.result;
    if (sqlite3_changes(handle) == 0) break;
    sqlite3_reset(move.statement);
    move.result = SQLITE_OK;
  }
  SequenceStatement drop(handle, ("DELETE FROM sqlite_sequence WHERE name = ?1 AND NOT (" + sound + ")").c_str());
  result = doneOrFailure(drop.run(table, kSequenceCeiling));
  if (result != SQLITE_OK) return result;
  SequenceStatement top(handle, ("SELECT " + given).c_str());
  sqlite3_bind_int64(top.statement, 3, floor);
  if (top.run(table, kSequenceCeiling) != SQLITE_ROW) return doneOrFailure(top.result);
  const int64_t value = sqlite3_column_int64(top.statement, 0);
  result = raiseSequence(handle, table, value);
  if (result != SQLITE_OK) return result;
  logRepaired(table, kept.text(), value, renumbered);
  return SQLITE_OK;
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

int sqlite_internal::carrySequences(sqlite3* source, ReadBudget& sourceBudget, sqlite3* destination) {
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
    const KeptSequence kept = [&] {
      // A scan of sqlite_sequence, of at most a row per cell the file holds.
      const MeteredRead metered(sourceBudget, ReadBudget::stepsForRows(mostRowsIn(source), 3));
      const KeptSequence sequence = keptSequenceOf(source, table, &read);
      read = sourceBudget.verdict(read);
      return sequence;
    }();
    if (isTransientResultCode(read)) return read;
    // Rows copied with damaged rowids raised the fresh file's sequence as
    // they went in: they move above what the old file gave.
    const int repaired = repairSequence(destination, table, kept.sound.value_or(0));
    if (repaired != SQLITE_OK) return repaired;
    if (kept.damaged) {
      // Carried, it would stop every insert or give rowids again; the
      // fresh file's own, from the rows copied, stands instead.
      const int64_t own = sequenceOf(destination, table, &read).value_or(0);
      if (read != SQLITE_OK) return read;
      logRepaired(table, *kept.damaged, own, 0);
    }
    if (!kept.sound) continue;
    // The destination is the fresh file: a failure there is no damage.
    const int raised = raiseSequence(destination, table, *kept.sound);
    if (raised != SQLITE_OK) return raised;
  }
  return isTransientResultCode(tables.result) ? tables.result : SQLITE_OK;
}
