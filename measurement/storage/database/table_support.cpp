#include "measurement/storage/database/table_support.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "measurement/engine/measurement_errors.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_routines.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/nano_callbacks.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;

constexpr const char* kSavepoint = "SAVEPOINT apm_savepoint";
constexpr const char* kRelease = "RELEASE apm_savepoint";
constexpr const char* kRollbackTo = "ROLLBACK TO apm_savepoint";
constexpr const char* kBeginImmediate = "BEGIN IMMEDIATE";
constexpr const char* kCommit = "COMMIT";

void undoSavepoint(APMSqliteStore& store, bool outermost) {
  if (!outermost) {
    APMExecuteCached(store, kRollbackTo);
    APMExecuteCached(store, kRelease);
    return;
  }
  // A commit that failed leaves the transaction open: the connection must
  // not stay inside it.
  sqlite3* handle = store.sqliteHandle();
  if (handle && !sqlite3_get_autocommit(handle)) store.executeSQL("ROLLBACK");
}

}  // namespace

std::shared_ptr<APMEvent> APMEventFromColumn(const platform::Object& column,
                                             platform::ErrorRef* error) {
  const platform::Bytes* bytes = column.data();
  if (!bytes) {
    APMSetError(error, kState, "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  std::shared_ptr<APMPBEvent> message = APMPBEvent::initWithBuffer(*bytes);
  if (!message) {
    APMSetError(error, kState, "Failed to parse event from data");
    return nullptr;
  }
  std::shared_ptr<APMEvent> event = APMEvent::initWithEventProto(message.get());
  if (!event) APMSetError(error, kState, "Failed to initialize event from proto data");
  return event;
}

std::string APMTextColumn(const APMRecord& record, std::string_view column) {
  const platform::Object* value = record.find(column);
  const std::string* text = value ? value->string() : nullptr;
  return text ? *text : std::string();
}

const platform::Bytes* APMBytesColumn(const APMRecord& record, std::string_view column,
                                      platform::Bytes& text) {
  const platform::Object* value = record.find(column);
  if (!value) return nullptr;
  if (const platform::Bytes* bytes = value->data()) return bytes;
  const std::string* string = value->string();
  if (!string || string->empty()) return nullptr;
  text.assign(string->begin(), string->end());
  return &text;
}

std::optional<std::vector<int64_t>> APMDeleteDamagedRows(
    APMSqliteStore& store, const std::string& table, const std::string& columns,
    const std::vector<int64_t>& rowIDs, const std::function<APMRowReading(const APMRecord&)>& read,
    platform::ErrorRef* error) {
  if (rowIDs.empty()) return std::vector<int64_t>();
  const std::string query = "SELECT rowid, " + columns + " FROM " + table + " WHERE rowid = ?";
  std::vector<int64_t> deleted;
  const bool done = APMWithSavepoint(
      store,
      [&] {
        deleted.clear();
        for (int64_t rowID : rowIDs) {
          auto records = store.recordsForQuery(query, {rowID}, error);
          if (!records) return false;
          // A row gone, or readable now, is another process's to keep.
          if (records->empty() || read(records->front()) != APMRowReading::kDamaged) continue;
          if (!store.deleteRecordsFromTableWithName(table, "rowid = ?", {rowID}, error)) return false;
          deleted.push_back(rowID);
        }
        return true;
      },
      error);
  if (!done) return std::nullopt;
  return deleted;
}

int32_t APMInt32Column(const APMRecord& record, std::string_view column) {
  return static_cast<int32_t>(std::clamp<int64_t>(record[column].int64Value(),
                                                  std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

std::optional<bool> APMBooleanOfNumber(const platform::Object& number) {
  if (!number.isNumber()) return std::nullopt;
  return number.int64Value() != 0;
}

std::optional<int64_t> APMIntegerOfNumber(const platform::Object& number) {
  if (!number.isNumber()) return std::nullopt;
  return number.int64Value();
}

std::optional<double> APMDoubleOfNumber(const platform::Object& number) {
  if (!number.isNumber()) return std::nullopt;
  return number.doubleValue();
}

std::optional<platform::Bytes> APMColumnOfMessage(const NANOMessageBase* message,
                                                  const APMColumnFailure& failure,
                                                  platform::ErrorRef* error) {
  if (message && !messages::fitsDecodeLimits(message->messageInfo())) {
    APMSetError(error, kArgument,
                std::string(message->messageID()) +
                    " holds a value the reader cannot take back: text or bytes over " +
                    std::to_string(kNanoMaxStringLength) + " bytes, or messages nested too deep");
    return std::nullopt;
  }
  std::optional<platform::Bytes> bytes = message ? message->protoBuffer() : std::nullopt;
  if (!bytes || bytes->empty()) {
    APMSetError(error, failure.code, failure.text);
    return std::nullopt;
  }
  // The reader's own decode of the bytes about to be stored: what it
  // refuses here it would refuse at every read, and the row would be lost.
  platform::AllocationFailureWatch watch;
  const char* pastBound = nullptr;
  if (!messages::decodesAs(message->messageInfo(), bytes->data(), bytes->size(), &pastBound)) {
    if (pastBound) {
      APMSetError(error, kArgument,
                  (failure.pastBound ? std::string(failure.pastBound)
                                     : std::string(message->messageID()) + " past its bounds: ") +
                      pastBound);
    } else if (watch.failed()) {
      APMSetError(error, kState, "Not enough memory to check " + std::string(message->messageID()));
    } else {
      APMSetError(error, kArgument,
                  std::string(message->messageID()) +
                      " holds more than the reader takes back from its " +
                      std::to_string(bytes->size()) + " bytes");
    }
    return std::nullopt;
  }
  return bytes;
}

std::optional<platform::Bytes> APMColumnOfEvent(const APMEvent& event, bool withName,
                                                const APMColumnFailure& failure,
                                                platform::ErrorRef* error) {
  std::shared_ptr<APMPBEvent> message = event.protoEvent();
  if (message && !withName) APMNanoClearField(message, EventField::name);
  return APMColumnOfMessage(message.get(), failure, error);
}

std::string APMLikeLiteral(std::string_view text) {
  std::string literal;
  literal.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '_' || c == kAPMLikeEscape) literal += kAPMLikeEscape;
    literal += c;
  }
  return literal;
}

bool APMDeleteRowsInChunks(APMSqliteStore& store, const std::string& table, size_t count,
                           const std::function<std::string(size_t begin, size_t end)>& condition,
                           platform::ErrorRef* error) {
  for (size_t begin = 0; begin < count; begin += kAPMDeleteChunkSize) {
    size_t end = std::min(count, begin + kAPMDeleteChunkSize);
    if (!store.deleteRecordsFromTableWithName(table, condition(begin, end), {}, error)) return false;
  }
  return true;
}

bool APMExecuteCached(APMSqliteStore& store, const std::string& sql, platform::ErrorRef* error) {
  sqlite3_stmt* statement = store.statementForQuery(sql, error);
  if (!statement) return false;
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) store.setDatabaseError(error, "execute statement");
  store.cleanUpStatement(statement, sql);
  return done;
}

bool APMWithSavepoint(APMSqliteStore& store, const std::function<bool()>& block,
                      platform::ErrorRef* error) {
  sqlite3* handle = store.sqliteHandle();
  const bool outermost = handle && sqlite3_get_autocommit(handle);
  // Outside a transaction a savepoint would begin a deferred one, which
  // asks for the write lock at its first write while holding a read lock:
  // SQLite then answers busy at once instead of waiting for another
  // connection's writer, as waiting could deadlock the two. The outermost
  // level takes the write lock as it begins, waiting its turn for it.
  if (!APMExecuteCached(store, outermost ? kBeginImmediate : kSavepoint, error)) return false;
  bool kept = false;
  try {
    kept = block();
  } catch (...) {
    undoSavepoint(store, outermost);
    throw;
  }
  if (kept && APMExecuteCached(store, outermost ? kCommit : kRelease, error)) return true;
  undoSavepoint(store, outermost);
  return false;
}
