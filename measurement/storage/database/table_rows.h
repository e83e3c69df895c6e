// Reading whole tables: the row query shared by the measurement database and
// the experiment database, so that both read "all rows" the same way (rowid
// order, bounded by a limit).
//
// Threads: as the store's; call from the store's serial queue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "measurement/storage/database/record.h"
#include "measurement/storage/database/sqlite_store.h"
#include "platform/error.h"

// The first `tableLimit` rows of `table` in rowid order ("SELECT rowid, *
// ... ORDER BY rowid LIMIT <limit>"; -1 reads all). Nullopt with the store's
// error when the query fails. `table` must come from code.
std::optional<std::vector<APMRecord>> APMRecordsOfAllRows(APMSqliteStore& store,
                                                          const std::string& table,
                                                          long tableLimit,
                                                          platform::ErrorRef* error = nullptr);
