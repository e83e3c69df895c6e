// The record routines of the measurement messages: create, clear one field,
// free, deep-copy, decode and encode a `MessageInfo` record.
//
// One table-driven implementation serves all 42 messages; each works from
// the message's schema (message_schemas.h). Decoding runs the wire codec's
// field decoders and callbacks (wire_codec.h, nano_callbacks.h) straight
// into the record, with the codec's rules and error texts; encoding writes
// the codec's bytes straight from the record. The named entry points below (`AudienceDecode`,
// `EventFilterCopyMessageInfo`, ...) are thin calls into it, one set per
// message; the wrapper classes and the field-index accessors reach records
// through them.
//
// Results: 1 for success and 0 for failure (Encode: a byte length or -1).
// Failures print one line beginning "<ERROR> " on standard output where the
// routine names one; nothing is raised or logged elsewhere.
//
// Memory: a decode or deep copy builds its whole tree in one arena
// (nano_memory.h) owned by the root record and released with it; a record
// that owns an arena may sit inside another record's tree (a value set
// through the accessors) and is freed with it.
//
// Limits: a record nests at most kMessageNestingLimit messages deep
// (EventParam and RuntimeEntity nest themselves). Decoding deeper input
// fails ("<ERROR> %s decoder failed: nesting too deep"), copying a deeper
// record fails, and freeing works at any depth without recursion.
//
// Memory bound: the tree one decode builds may take at most
// kDecodeMemoryPerByte bytes per input byte plus kDecodeMemoryBase
// (nano_memory.h counts every block with its header). Input from the
// network could otherwise make a record of a few hundred bytes out of
// every two bytes (an empty bundle in a batch takes 425 times its size, an
// empty instruction in a program 64 times). Real messages stay below: a
// batch of events with short parameters takes about 15 bytes per byte, a
// program of short instructions 23 to 33, and the base covers the records
// of small messages. Past the bound the decode fails with
// "<ERROR> %s decoder failed: decoded message over the memory limit".
//
// Item caps: a caller may cap the items of repeated message fields that
// its decodes make (DecodeItemCaps below). The decoder checks each item as
// it meets it, in the pass that counts items before any of them is built,
// so a cap holds over exactly what is decoded whatever the input's wire
// types; a count taken beside the decoder would have to model it and
// could be walked around. Past a cap the decode fails with
// "<ERROR> %s decoder failed: " and the caps' text.
//
// Bounds of a message's own: a measurement configuration is decoded within
// the bounds of config_bounds.h, whatever the caller, under caps of its own
// (hiding any the caller put in force). Bytes over its byte bound fail
// before anything is decoded ("over 1048576 bytes"); its settings, event
// configurations and program nodes are capped as above ("too many
// settings", "too many event configurations", "too many program nodes").
//
// Threads: any thread; a record is used by one thread at a time.
#pragma once

#include "measurement/messages/message_info.h"
#include "measurement/messages/message_schemas.h"
#include "platform/object.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace messages {

inline constexpr int kMessageNestingLimit = 100;
inline constexpr size_t kDecodeMemoryPerByte = 48;
inline constexpr size_t kDecodeMemoryBase = size_t{64} << 10;

// What a caller lets its decodes make. Called once for each item of a
// repeated message field as the decode meets it; `element` is the item's
// message and `inRecord` the items of that field in the record so far,
// this one included. Answers null to take the item, or the text the decode
// fails with. One item is offered once, whatever the record's depth.
class DecodeItemCaps {
 public:
  virtual ~DecodeItemCaps() = default;
  virtual const char* admitItem(const MessageSchema& element, uint32_t inRecord) = 0;
};

// Puts `caps` in force for the decodes this thread runs while the scope
// lives (an inner scope hides an outer one). Under caps every decode takes
// the two passes, whose counting pass offers each item before it is built.
class DecodeItemCapsScope {
 public:
  explicit DecodeItemCapsScope(DecodeItemCaps& caps);
  ~DecodeItemCapsScope();
  DecodeItemCapsScope(const DecodeItemCapsScope&) = delete;
  DecodeItemCapsScope& operator=(const DecodeItemCapsScope&) = delete;

  // The scope in force on this thread, or null.
  static DecodeItemCapsScope* current();
  // Offers an item to the caps; remembers the first refusal.
  const char* admit(const MessageSchema& element, uint32_t inRecord);
  // The text of the first item refused in the scope; null when none was.
  const char* refusal() const { return refusal_; }

 private:
  DecodeItemCaps& caps_;
  DecodeItemCapsScope* const outer_;
  const char* refusal_ = nullptr;
};

// Sets up a zeroed record: name, kinds, empty slots and an empty repeated
// header for each repeated field. Null record: 0.
int initMessageInfo(const MessageSchema& schema, MessageInfo* record);
// Frees one field's value and empties its slot; a repeated field keeps its
// header with no items. An ID outside the field list prints
// "<ERROR> %s: Cannot deallocate field %d: Unknown field" and answers 0.
int deallocField(const MessageSchema& schema, MessageInfo* record, int32_t fieldID);
// Frees every value, the headers, the slot array and the record itself.
// Null record: 0.
int freeMessageInfo(const MessageSchema& schema, MessageInfo* record);
// Replaces `*destination` (freed when set) by a new record holding deep
// copies of every present field of `source`. A failure leaves the partial
// copy in `*destination` for the caller to free.
int copyMessageInfo(const MessageSchema& schema, MessageInfo** destination,
                    const MessageInfo* source);
// Fills an initialised record from wire bytes. The decode works in two
// passes when the message or a singular submessage it nests has a repeated
// field (the first counts items, the second fills arrays allocated at their
// exact size), and its results, texts and order of failures are theirs. A
// record that holds nothing yet is first decoded in one walk that gathers
// items and makes each array once at its size; it takes only well-formed
// input and hands anything else, silently and with the record emptied, to
// the two passes. A failure leaves the record partly filled for the caller
// to free. A message with bounds of its own refused past one of them sets
// `*pastBound` (when given) to the bound's text; nothing else sets it.
int decodeMessage(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                  MessageInfo* record, const char** pastBound = nullptr);
// Encodes the record into a new malloc'ed buffer of exactly its length,
// stored in `*output` (the caller frees it); answers the length, or -1 with
// no buffer. Absent fields and empty repeated fields are not written.
int32_t encodeMessage(const MessageSchema& schema, const MessageInfo* record, uint8_t** output);
// The same bytes as a data object; nullopt when the record cannot be
// encoded.
std::optional<platform::Bytes> encodeMessage(const MessageSchema& schema,
                                             const MessageInfo* record);
// Whether the record's encoding decodes again: no string or bytes value, at
// any depth, is longer than the decoder takes (kNanoMaxStringLength) and
// records nest at most kMessageNestingLimit deep. The encoder writes what
// the decoder refuses, so writers that keep bytes to read them later ask
// this first. Needs only the records' kinds; a null record fits.
bool fitsDecodeLimits(const MessageInfo* record);
// Whether `bytes` decode as a record of the message type of `record`, by
// the decoder itself with every limit it has (text lengths, nesting, the
// memory bound). Writers that keep bytes to read them later store only
// what this accepts: a model of the decoder's limits would drift from the
// decoder. False also when memory runs out while checking. `pastBound` as
// for decodeMessage.
bool decodesAs(const MessageInfo* record, const uint8_t* bytes, size_t length,
               const char** pastBound = nullptr);

} // namespace messages

// The per-message entry points: <Message>InitMessageInfo,
// <Message>DeallocField, <Message>FreeMessageInfo, <Message>CopyMessageInfo
// for every message, <Message>Decode for every message but SstmSetting,
// <Message>Encode for every message but SstmSetting and Region.
#define APM_WHEN_true(...) __VA_ARGS__
#define APM_WHEN_false(...)
#define APM_DECLARE_ROUTINES(message, count, wrapper, decode, encode)                              \
  int message##InitMessageInfo(MessageInfo* record);                                               \
  int message##DeallocField(MessageInfo* record, int32_t fieldID);                                 \
  int message##FreeMessageInfo(MessageInfo* record);                                               \
  int message##CopyMessageInfo(MessageInfo** destination, const MessageInfo* source);              \
  APM_WHEN_##decode(                                                                               \
      int message##Decode(const uint8_t* bytes, size_t length, MessageInfo* record);)              \
      APM_WHEN_##encode(int32_t message##Encode(const MessageInfo* record, uint8_t** output);)
APM_MESSAGE_LIST(APM_DECLARE_ROUTINES)
#undef APM_DECLARE_ROUTINES
