// Small pieces the table files of the measurement database share: messages
// and events kept as bytes in a column, damaged rows told apart from reads
// that failed and deleted only while still damaged, LIKE patterns built
// from caller text, deletes of many keys split into statements SQLite
// accepts, and savepoints that make several statements one change.
//
// Threads: as the store's; call from the database's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/engine/event.h"
#include "measurement/storage/database/sqlite_store.h"
#include "platform/allocation_failures.h"
#include "platform/error.h"
#include "platform/object.h"

// The one app_metadata row is addressed by its rowid, written as the text
// "1" as it always has been; SQLite compares it as the integer.
inline constexpr const char* kAPMAppMetadataKeyColumn = "rowid";
inline constexpr const char* kAPMAppMetadataKeyValue = "1";

// The escape character of the patterns below; a LIKE that uses them says
// "ESCAPE '!'".
inline constexpr char kAPMLikeEscape = '!';

// The event stored as `column`'s message bytes. Code 2 when the column is
// not bytes ("Failed to convert data to an event. Data must be a NSData
// instance"), does not decode ("Failed to parse event from data") or holds
// no valid event ("Failed to initialize event from proto data").
std::shared_ptr<APMEvent> APMEventFromColumn(const platform::Object& column,
                                             platform::ErrorRef* error = nullptr);

// The text of a column; empty when it holds none.
std::string APMTextColumn(const APMRecord& record, std::string_view column);
// The bytes of a column, whatever storage class holds them: a value kept
// as TEXT (a file written by other code, or changed by hand) still holds
// the message's bytes. Points into the record, or into `text` where a copy
// of the text's bytes is made; null when the column holds neither bytes
// nor text, or no bytes at all.
const platform::Bytes* APMBytesColumn(const APMRecord& record, std::string_view column,
                                      platform::Bytes& text);

// What reading one stored row came to: its object; damage (its bytes do
// not inflate, decode or convert, and never will); or a failure that says
// nothing of the bytes (memory ran out), after which the row is kept and
// the read fails, to be tried again.
enum class APMRowReading { kRead, kDamaged, kNotNow };

// Runs `read` (true when it made the row's object) and tells how it came
// out: a std::bad_alloc, or a failure while an allocation failed, is
// kNotNow.
template <typename Read>
APMRowReading APMReadRow(Read&& read) {
  platform::AllocationFailureWatch watch;
  try {
    if (read()) return APMRowReading::kRead;
  } catch (const std::bad_alloc&) {
    return APMRowReading::kNotNow;
  }
  return watch.failed() ? APMRowReading::kNotNow : APMRowReading::kDamaged;
}

// Deletes the rows of `table` among `rowIDs` that are still damaged, as one
// write transaction (or inside the caller's): each row is read again there
// ("SELECT rowid, <columns> FROM <table> WHERE rowid = ?") and deleted only
// when `read` finds it damaged once more. Another process may have
// replaced a row since it was read, or taken its rowid (SQLite reuses the
// rowids of deleted rows); what it stored stays. One transaction waits for
// the file's lock once: when another process holds it past the busy
// timeout nothing is deleted and nullopt answers, to be tried at the next
// read. Answers the rowids deleted.
std::optional<std::vector<int64_t>> APMDeleteDamagedRows(
    APMSqliteStore& store, const std::string& table, const std::string& columns,
    const std::vector<int64_t>& rowIDs, const std::function<APMRowReading(const APMRecord&)>& read,
    platform::ErrorRef* error = nullptr);

// A column written from a 32-bit value (an audience or filter ID); a wider
// stored number is clamped, no number gives 0.
int32_t APMInt32Column(const APMRecord& record, std::string_view column);

// The answer of a query for one number, as an EXISTS (true for non-zero),
// an integer or a double; nullopt when the query gave no number (it failed,
// or an aggregate found no rows).
std::optional<bool> APMBooleanOfNumber(const platform::Object& number);
std::optional<int64_t> APMIntegerOfNumber(const platform::Object& number);
std::optional<double> APMDoubleOfNumber(const platform::Object& number);

// How a table reports a message it cannot turn into bytes at all, and how
// it names one past a bound of the message's own decode (config_bounds.h).
struct APMColumnFailure {
  long code;
  const char* text;
  // The text before the bound's; null for "<message name> past its bounds: ".
  const char* pastBound = nullptr;
};

// The bytes of `message` for a column, made only when the table's reader
// can take them back: bytes the decoder refuses would be stored and then
// lost at the first read. A text or bytes value over the decoder's limit,
// or records nested deeper than it goes, gets nullopt and code 1
// "<message name> holds a value the reader cannot take back: text or bytes
// over 1048576 bytes, or messages nested too deep"; bytes the decoder
// refuses otherwise (past its memory bound) get code 1 "<message name>
// holds more than the reader takes back from its <n> bytes", or code 2
// when memory ran out while checking, or past a bound of the message's own
// code 1, `failure.pastBound` and the bound's text; no message, or one that
// encodes to no bytes, gets nullopt and `failure`.
std::optional<platform::Bytes> APMColumnOfMessage(const NANOMessageBase* message,
                                                  const APMColumnFailure& failure,
                                                  platform::ErrorRef* error = nullptr);
// The same for the message form of `event`, without its name when
// `withName` is false (a table that keeps the name in a column of its own).
std::optional<platform::Bytes> APMColumnOfEvent(const APMEvent& event, bool withName,
                                                const APMColumnFailure& failure,
                                                platform::ErrorRef* error = nullptr);

// `text` with the LIKE wildcards "%" and "_" (and the escape character)
// escaped, so that it matches only itself.
std::string APMLikeLiteral(std::string_view text);

// Deletes from `table` the rows of `count` keys, at most
// `kAPMDeleteChunkSize` keys per statement: `condition(begin, end)` writes
// the condition of the keys [begin, end). One OR chain of a thousand terms
// passes SQLite's expression-depth limit. The chunks are not atomic
// together; true when every statement ran.
inline constexpr size_t kAPMDeleteChunkSize = 200;
bool APMDeleteRowsInChunks(APMSqliteStore& store, const std::string& table, size_t count,
                           const std::function<std::string(size_t begin, size_t end)>& condition,
                           platform::ErrorRef* error = nullptr);

// Runs `block` inside a savepoint: what it wrote stays when it answers true
// and is undone when it answers false or throws (the exception continues).
// Nests inside a transaction or another savepoint; outside one it is a
// transaction of its own, which takes the file's write lock as it begins
// (waiting for another connection's writer like any statement), is
// committed when the block answers true, and whose failed commit (the file
// busy or full) undoes the block and answers false with the store's error.
bool APMWithSavepoint(APMSqliteStore& store, const std::function<bool()>& block,
                      platform::ErrorRef* error = nullptr);

// Runs a statement without parameters through the store's cache, to its
// end; false with the store's error otherwise.
bool APMExecuteCached(APMSqliteStore& store, const std::string& sql,
                      platform::ErrorRef* error = nullptr);
