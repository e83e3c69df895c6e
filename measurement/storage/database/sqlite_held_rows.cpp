#include "measurement/storage/database/sqlite_held_rows_internal.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "measurement/storage/database/sqlite_page_keys_internal.h"

namespace sqlite_internal {
namespace {

// The columns of the current row of `statement`, from the first, as one
// text that two rows share only when each value has the same storage class
// and the same bytes.
void appendContent(sqlite3_stmt* statement, int count, std::string& out) {
  out.clear();
  for (int column = 0; column < count; ++column) {
    const int type = sqlite3_column_type(statement, column);
    out += static_cast<char>(type);
    auto appendNumber = [&](const auto number) {
      char bytes[sizeof number];
      std::memcpy(bytes, &number, sizeof number);
      out.append(bytes, sizeof number);
    };
    if (type == SQLITE_INTEGER) {
      appendNumber(sqlite3_column_int64(statement, column));
    } else if (type == SQLITE_FLOAT) {
      appendNumber(sqlite3_column_double(statement, column));
    } else if (type != SQLITE_NULL) {
      const void* bytes = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(statement, column))
                                              : sqlite3_column_blob(statement, column);
      const int size = sqlite3_column_bytes(statement, column);
      appendNumber(int64_t{size});
      if (bytes) out.append(static_cast<const char*>(bytes), static_cast<size_t>(size));
    }
  }
}

uint64_t hashOf(const std::string& content) { return std::hash<std::string_view>()(content); }

}  // namespace

HeldRows::HeldRows(sqlite3* handle, ReadBudget& budget, const std::string& table,
                   const std::vector<std::string>& columns, int* result)
    : budget_(budget),
      steps_(ReadBudget::stepsForRows(mostRowsIn(handle), static_cast<int64_t>(columns.size()) + 1)),
      read_(handle, "SELECT " + quotedList(columns) + " FROM " + quotedIdentifier(table) + " WHERE rowid = ?"),
      remove_(handle, "DELETE FROM " + quotedIdentifier(table) + " WHERE rowid = ?"),
      count_(static_cast<int>(columns.size())) {
  Statement all(handle, "SELECT " + quotedList(columns) + ", rowid FROM " + quotedIdentifier(table));
  for (const Statement* statement : {&read_, &remove_, &all}) {
    if ((*result = statement->result()) != SQLITE_OK) return;
  }
  {
    const MeteredRead metered(budget_, steps_);
    while ((*result = sqlite3_step(all.get())) == SQLITE_ROW) {
      appendContent(all.get(), count_, held_);
      index_.emplace_back(hashOf(held_), sqlite3_column_int64(all.get(), count_));
    }
    *result = budget_.verdict(*result);
  }
  std::sort(index_.begin(), index_.end());
  taken_.assign(index_.size(), false);
}

bool HeldRows::contentOf(int64_t rowid, std::string& out, int* result) {
  sqlite3_stmt* read = read_.get();
  sqlite3_reset(read);
  sqlite3_bind_int64(read, 1, rowid);
  const MeteredRead metered(budget_, steps_);
  const int step = budget_.verdict(sqlite3_step(read));
  if (step == SQLITE_ROW) appendContent(read, count_, out);
  if (step != SQLITE_ROW && step != SQLITE_DONE) *result = step;
  sqlite3_reset(read);
  return step == SQLITE_ROW;
}

bool HeldRows::dropIfHeld(int64_t added, int* result) {
  *result = SQLITE_OK;
  if (index_.empty() || !contentOf(added, added_, result)) return false;
  const uint64_t hash = hashOf(added_);
  auto at = std::lower_bound(index_.begin(), index_.end(), std::make_pair(hash, INT64_MIN));
  for (; at != index_.end() && at->first == hash; ++at) {
    const size_t position = static_cast<size_t>(at - index_.begin());
    if (taken_[position]) continue;
    if (!contentOf(at->second, held_, result)) {
      if (*result != SQLITE_OK) return false;
      continue;
    }
    if (held_ != added_) continue;
    sqlite3_stmt* remove = remove_.get();
    sqlite3_reset(remove);
    sqlite3_bind_int64(remove, 1, added);
    const int removed = sqlite3_step(remove);
    sqlite3_reset(remove);
    if (removed != SQLITE_DONE) {
      *result = removed;
      return false;
    }
    taken_[position] = true;
    return true;
  }
  return false;
}

}  // namespace sqlite_internal
