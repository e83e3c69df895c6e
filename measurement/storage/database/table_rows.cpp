#include "measurement/storage/database/table_rows.h"

std::optional<std::vector<APMRecord>> APMRecordsOfAllRows(APMSqliteStore& store,
                                                          const std::string& table,
                                                          long tableLimit,
                                                          platform::ErrorRef* error) {
  return store.recordsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {},
      error);
}
