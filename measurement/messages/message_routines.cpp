#include "measurement/messages/message_routines.h"

#include "measurement/messages/config_bounds.h"
#include "measurement/messages/nano_callbacks.h"
#include "measurement/messages/nano_memory.h"
#include "measurement/messages/wire_codec.h"
#include "platform/allocation_failures.h"
#include "platform/log.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace messages {
namespace {

// ---------------------------------------------------------------------------
// Layout: what the routines need of a message beyond its schema. Field IDs
// and tags differ in MeasurementBundle, so each field keeps its own codec
// descriptor by field ID, and the tag order is kept apart.

constexpr uint8_t kNoField = 0xFF;

struct MessageLayout {
  // One codec descriptor per field ID: an optional static value with a
  // has-flag for singular scalars, an optional or repeated callback for
  // strings and repeated fields (singular submessages are decoded by the
  // routines themselves).
  std::vector<pb_field_desc> descriptors;
  std::vector<uint32_t> tagOrder;  // field IDs by ascending tag
  std::vector<uint8_t> fieldByTag; // field ID by tag, kNoField where none
  // Where each singular scalar's cell lies in the slot block (0: none).
  std::vector<uint32_t> cellOffset;
  // The slot block: the slots, then the repeated headers, then one 8-byte
  // cell per singular scalar, so that decoding and copying store scalars
  // without a block of their own.
  size_t slotBlockSize = 0;
  std::vector<uint32_t> repeatedIds; // in field-ID order
  std::vector<uint32_t> nestedIds;   // singular submessages, in field-ID order
  uint32_t repeatedCount = 0;
  // Decoding needs a counting pass: the message or a singular submessage it
  // nests, at any depth, has a repeated field.
  bool twoPasses = false;
  // The position of each repeated field among repeatedIds (0 for others).
  std::vector<uint8_t> repeatedOrdinal;
  // Each field's key as written (tag and wire type, a varint of at most
  // five bytes, little end first in the word) and its length.
  std::vector<uint64_t> keyBytes;
  std::vector<uint8_t> keySize;

  uint32_t fieldFor(uint32_t tag) const {
    return tag < fieldByTag.size() ? fieldByTag[tag] : kNoField;
  }
};

bool isString(const FieldSchema& field) {
  return field.type == FieldType::String || field.type == FieldType::Bytes;
}
bool isNested(const FieldSchema& field) {
  return field.type == FieldType::Message;
}

// Width of a singular scalar's value on the codec's side and in its cell.
uint32_t scalarWidth(FieldType type) {
  switch (type) {
  case FieldType::Bool:
    return 1;
  case FieldType::Enum:
  case FieldType::Int32:
  case FieldType::UInt32:
  case FieldType::Float:
    return 4;
  default:
    return 8;
  }
}

uint8_t lowType(FieldType type) {
  switch (type) {
  case FieldType::Bool:
    return kPbLTypeBool;
  case FieldType::Int32:
  case FieldType::Int64:
    return kPbLTypeVarint;
  case FieldType::Enum:
  case FieldType::UInt32:
  case FieldType::UInt64:
    return kPbLTypeUVarint;
  case FieldType::Float:
    return kPbLTypeFixed32;
  case FieldType::Double:
    return kPbLTypeFixed64;
  case FieldType::String:
    return kPbLTypeString;
  case FieldType::Bytes:
    return kPbLTypeBytes;
  case FieldType::Message:
    return kPbLTypeSubmessage;
  }
  return kPbLTypeBytes;
}

uint32_t wireType(FieldType type) {
  switch (type) {
  case FieldType::Float:
    return kPbWire32Bit;
  case FieldType::Double:
    return kPbWire64Bit;
  case FieldType::String:
  case FieldType::Bytes:
  case FieldType::Message:
    return kPbWireLengthDelimited;
  default:
    return kPbWireVarint;
  }
}

class Layouts {
 public:
  Layouts() {
    for (const MessageSchema* schema : allMessageSchemas()) build(*schema);
  }
  const MessageLayout& of(const MessageSchema& schema) const { return layouts_[schema.index]; }

 private:
  const MessageLayout& build(const MessageSchema& schema) {
    MessageLayout& layout = layouts_[schema.index];
    if (built_[schema.index]) return layout;
    built_[schema.index] = true;

    std::vector<uint32_t> byTag(schema.fieldCount);
    for (uint32_t id = 0; id < schema.fieldCount; ++id) byTag[id] = id;
    std::sort(byTag.begin(), byTag.end(),
              [&](uint32_t a, uint32_t b) { return schema.fields[a].tag < schema.fields[b].tag; });
    layout.tagOrder = byTag;
    layout.fieldByTag.assign(schema.fieldCount ? schema.fields[byTag.back()].tag + 1 : 0, kNoField);
    layout.descriptors.resize(schema.fieldCount);
    layout.cellOffset.assign(schema.fieldCount, 0);
    std::vector<uint32_t> scalars;
    for (uint32_t id = 0; id < schema.fieldCount; ++id) {
      const FieldSchema& field = schema.fields[id];
      layout.fieldByTag[field.tag] = static_cast<uint8_t>(id);
      pb_field_desc& descriptor = layout.descriptors[id];
      descriptor.tag = field.tag;
      if (field.repeated() || isString(field)) {
        descriptor.type = lowType(field.type) |
                          (field.repeated() ? kPbHTypeRepeated : kPbHTypeOptional) |
                          kPbATypeCallback;
        descriptor.data_size = sizeof(pb_callback);
      } else if (isNested(field)) {
        layout.twoPasses = layout.twoPasses || build(*field.message).twoPasses;
        layout.nestedIds.push_back(id);
        descriptor.type = kPbLTypeSubmessage | kPbHTypeOptional | kPbATypeStatic;
      } else {
        const uint32_t width = scalarWidth(field.type);
        descriptor.type = lowType(field.type) | kPbHTypeOptional | kPbATypeStatic;
        descriptor.size_offset = -static_cast<int32_t>(width);
        descriptor.data_size = width;
        scalars.push_back(id);
      }
      if (field.repeated()) {
        layout.twoPasses = true;
        ++layout.repeatedCount;
        layout.repeatedIds.push_back(id);
      }
    }
    layout.keyBytes.assign(schema.fieldCount, 0);
    layout.keySize.assign(schema.fieldCount, 0);
    for (uint32_t id = 0; id < schema.fieldCount; ++id) {
      uint64_t key = uint64_t{schema.fields[id].tag} << 3 | wireType(schema.fields[id].type);
      uint8_t size = 0;
      do {
        const uint64_t byte = (key & 0x7F) | (key >= 0x80 ? 0x80 : 0);
        layout.keyBytes[id] |= byte << (8 * size++);
        key >>= 7;
      } while (key > 0);
      layout.keySize[id] = size;
    }
    layout.repeatedOrdinal.assign(schema.fieldCount, 0);
    for (size_t i = 0; i < layout.repeatedIds.size(); ++i) {
      layout.repeatedOrdinal[layout.repeatedIds[i]] = static_cast<uint8_t>(i);
    }
    size_t end = schema.fieldCount * sizeof(void*) + layout.repeatedCount * sizeof(APMNanoRepeated);
    for (uint32_t id : scalars) {
      layout.cellOffset[id] = static_cast<uint32_t>(end);
      end += sizeof(uint64_t);
    }
    layout.slotBlockSize = end;
    return layout;
  }

  std::array<MessageLayout, kMessageCount> layouts_;
  std::array<bool, kMessageCount> built_{};
};

const MessageLayout& layoutOf(const MessageSchema& schema) {
  // Never destroyed: pool threads may still encode while the process exits.
  static const Layouts& layouts = *new Layouts();
  return layouts.of(schema);
}

// The cell a singular scalar keeps in its record's slot block.
void* inlineCell(const MessageLayout& layout, MessageInfo* record, uint32_t id) {
  return reinterpret_cast<char*>(record->slots) + layout.cellOffset[id];
}

void printLine(const std::string& text) {
  platform::stdoutPrint(text);
}

std::string format(const char* pattern, const char* a, const char* b = nullptr) {
  char line[512];
  std::snprintf(line, sizeof(line), pattern, a, b);
  return line;
}

// Message nesting of decodes and copies on this thread.
class DepthGuard {
 public:
  DepthGuard() { ++depth(); }
  ~DepthGuard() { --depth(); }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool tooDeep() const { return depth() > kMessageNestingLimit; }

 private:
  static int& depth() {
    thread_local int value = 0;
    return value;
  }
};

// ---------------------------------------------------------------------------
// Releasing values. Nested records are queued rather than freed
// recursively, so that freeing never runs out of stack however deep a
// record is. The queue allocates nothing: freeing runs in destructors,
// where a failed allocation could only end the process. A queued record is
// linked through its own `kinds` and `name` words, which nothing reads
// once it is being freed (its slots are still walked); arenas wait in a
// list linked through themselves and are released once every record, some
// of them cut from those arenas, is gone.

class PendingRecords {
 public:
  PendingRecords() = default;
  PendingRecords(const PendingRecords&) = delete;
  PendingRecords& operator=(const PendingRecords&) = delete;

  void push(const MessageSchema* schema, MessageInfo* record) {
    if (!record) return;
    record->kinds = reinterpret_cast<const APMNanoFieldKind*>(schema);
    record->name = reinterpret_cast<const char*>(head_);
    head_ = record;
  }
  void pushArena(NanoArena* arena) { nanoArenaDefer(arena, &arenas_); }
  bool empty() const { return head_ == nullptr; }
  // The last record pushed, with its schema.
  MessageInfo* pop(const MessageSchema*& schema) {
    MessageInfo* record = head_;
    schema = reinterpret_cast<const MessageSchema*>(record->kinds);
    head_ = reinterpret_cast<MessageInfo*>(const_cast<char*>(record->name));
    return record;
  }
  void releaseArenas() {
    nanoArenaReleaseDeferred(arenas_);
    arenas_ = nullptr;
  }

 private:
  MessageInfo* head_ = nullptr;
  NanoArena* arenas_ = nullptr;
};

void releaseValue(const FieldSchema& field, void* value, PendingRecords& pending) {
  if (!value) return;
  if (isNested(field)) {
    pending.push(field.message, static_cast<MessageInfo*>(value));
    return;
  }
  if (isString(field)) {
    nanoReleaseBytes(static_cast<APMNanoBytes*>(value));
    return;
  }
  nanoRelease(value);
}

void releaseField(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                  uint32_t id, PendingRecords& pending) {
  const FieldSchema& field = schema.fields[id];
  void*& slot = record->slots[id];
  if (!field.repeated()) {
    const bool scalar = !isNested(field) && !isString(field);
    if (!scalar || slot != inlineCell(layout, record, id)) releaseValue(field, slot, pending);
    slot = nullptr;
    return;
  }
  auto* header = static_cast<APMNanoRepeated*>(slot);
  if (!header) return;
  if (header->items) {
    for (uint32_t i = 0; i < header->count; ++i) releaseValue(field, header->items[i], pending);
  }
  nanoRelease(header->items);
  header->items = nullptr;
  header->count = 0;
  header->filled = 0;
}

void drain(PendingRecords& pending) {
  while (!pending.empty()) {
    const MessageSchema* schema = nullptr;
    MessageInfo* record = pending.pop(schema);
    pending.pushArena(nanoOwnedArena(nanoRecordBlock(record)));
    if (record->slots) {
      const MessageLayout& layout = layoutOf(*schema);
      for (uint32_t id = 0; id < schema->fieldCount; ++id) {
        if (record->slots[id]) releaseField(*schema, layout, record, id, pending);
      }
    }
    nanoReleaseRecordShell(record);
  }
  pending.releaseArenas();
}

// Sets up a record over a zeroed slot block.
void setUpRecord(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                 void* slotBlock) {
  record->name = schema.name;
  record->kinds = schema.kinds;
  record->slots = static_cast<void**>(slotBlock);
  auto* header = reinterpret_cast<APMNanoRepeated*>(record->slots + schema.fieldCount);
  for (uint32_t id : layout.repeatedIds) record->slots[id] = header++;
}

// A record made by the routines themselves: the record and its slot block
// are one block (nanoReleaseRecord knows).
MessageInfo* newRecord(const MessageSchema& schema, const MessageLayout& layout) {
  void* block = nanoAllocateZeroed(1, sizeof(MessageInfo) + layout.slotBlockSize);
  if (!block) return nullptr;
  auto* record = static_cast<MessageInfo*>(block);
  setUpRecord(schema, layout, record, record + 1);
  return record;
}
MessageInfo* newRecord(const MessageSchema& schema) { return newRecord(schema, layoutOf(schema)); }

// ---------------------------------------------------------------------------
// Decoding.

bool decodeRepeatedElement(const MessageSchema& schema, pb_istream* stream, void** arg);
bool fillElement(const MessageSchema& schema, APMNanoRepeated* header, const uint8_t* bytes,
                 size_t length);

template <uint32_t Index>
bool decodeRepeatedElementOf(pb_istream* stream, const pb_field_desc*, void** arg) {
  return decodeRepeatedElement(*allMessageSchemas()[Index], stream, arg);
}

template <size_t... Index>
constexpr auto makeElementDecoders(std::index_sequence<Index...>) {
  using Decoder = bool (*)(pb_istream*, const pb_field_desc*, void**);
  return std::array<Decoder, sizeof...(Index)>{&decodeRepeatedElementOf<Index>...};
}
constexpr auto kElementDecoders = makeElementDecoders(std::make_index_sequence<kMessageCount>());

// Item arrays at the counted sizes, in this record and in every singular
// submessage it holds.
bool allocateArrays(const MessageSchema& schema, MessageInfo* record) {
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    if (field.repeated()) {
      auto* header = static_cast<APMNanoRepeated*>(record->slots[id]);
      if (!header) {
        printLine(format("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n",
                         schema.name, field.name));
        return false;
      }
      header->filled = 0;
      if (header->count > 0 && !header->items) {
        header->items = static_cast<void**>(nanoAllocateZeroed(header->count, sizeof(void*)));
        if (!header->items) return false;
      }
    } else if (isNested(field) && record->slots[id]) {
      if (!allocateArrays(*field.message, static_cast<MessageInfo*>(record->slots[id]))) {
        return false;
      }
    }
  }
  return true;
}

// Whether the counting pass found any repeated item, here or in a singular
// submessage.
bool countedItems(const MessageSchema& schema, const MessageLayout& layout,
                  const MessageInfo* record) {
  for (uint32_t id : layout.repeatedIds) {
    const auto* header = static_cast<const APMNanoRepeated*>(record->slots[id]);
    if (header && header->count > 0) return true;
  }
  for (uint32_t id : layout.nestedIds) {
    const auto* nested = static_cast<const MessageInfo*>(record->slots[id]);
    const MessageSchema& nestedSchema = *schema.fields[id].message;
    if (nested && countedItems(nestedSchema, layoutOf(nestedSchema), nested)) return true;
  }
  return false;
}

// Before a decode: repeated fields lose their items and singular submessages
// their records, so that the decode starts them afresh.
void emptyForDecode(const MessageSchema& schema, MessageInfo* record) {
  const MessageLayout& layout = layoutOf(schema);
  PendingRecords pending;
  for (uint32_t id : layout.repeatedIds) {
    auto* header = static_cast<APMNanoRepeated*>(record->slots[id]);
    if (header && (header->items || header->count)) {
      releaseField(schema, layout, record, id, pending);
    }
  }
  for (uint32_t id : layout.nestedIds) releaseField(schema, layout, record, id, pending);
  drain(pending);
}

// A decoded tree takes about this many bytes of records per byte of wire.
constexpr size_t kDecodedBytesPerWireByte = 6;

// The read function of buffer streams, whose `state` is the read position.
// (Null until this file's statics are set up, which only turns the fast
// paths that test it off.)
const auto kBufferReader = pb_istream_from_buffer(nullptr, 0).callback;

bool isBufferStream(const pb_istream* stream) {
  return kBufferReader && stream->callback == kBufferReader;
}

bool failStream(pb_istream* stream, const char* text) {
  if (!stream->errmsg) stream->errmsg = text;
  return false;
}

// Message bodies being decoded on this thread, singular submessages
// included, with the codec's bound and text.
class BodyDepth {
 public:
  BodyDepth() { ++depth(); }
  ~BodyDepth() { --depth(); }
  BodyDepth(const BodyDepth&) = delete;
  BodyDepth& operator=(const BodyDepth&) = delete;
  bool tooDeep() const { return depth() > kPbMaxNestingDepth; }

 private:
  static int& depth() {
    thread_local int value = 0;
    return value;
  }
};

thread_local DecodeItemCapsScope* capsInForce = nullptr;

// Whether the caps in force take one more item of a repeated message
// field; a refusal fails the stream with the caps' text.
bool admitItem(const MessageSchema& element, uint32_t inRecord, pb_istream* stream) {
  if (!capsInForce) return true;
  const char* refused = capsInForce->admit(element, inRecord);
  return !refused || failStream(stream, refused);
}

// The codec decoder of a repeated field's items.
using FieldDecoder = bool (*)(pb_istream*, const pb_field_desc*, void**);
FieldDecoder repeatedDecoder(const FieldSchema& field) {
  if (isNested(field)) return kElementDecoders[field.message->index];
  if (isString(field)) return APMNanoDecodeRepeatedString;
  return APMNanoDecodeRepeatedVarint;
}

// Stores a decoded scalar in its cell, the record's own when the field has
// none yet.
void storeScalar(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                 uint32_t id, uint64_t value) {
  void** slot = &record->slots[id];
  if (!*slot) *slot = inlineCell(layout, record, id);
  switch (schema.fields[id].type) {
  case FieldType::Bool:
    APMNanoStoreBool(slot, (value & 0xFF) != 0);
    break;
  case FieldType::Enum:
  case FieldType::Int32:
  case FieldType::UInt32:
    APMNanoStoreUInt32(slot, static_cast<uint32_t>(value));
    break;
  case FieldType::Float: {
    float number;
    const auto bits = static_cast<uint32_t>(value);
    std::memcpy(&number, &bits, sizeof number);
    APMNanoStoreFloat(slot, number);
    break;
  }
  case FieldType::Double: {
    double number;
    std::memcpy(&number, &value, sizeof number);
    APMNanoStoreDouble(slot, number);
    break;
  }
  default:
    APMNanoStoreUInt64(slot, value);
    break;
  }
}

bool decodeBody(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                pb_istream* stream);

// One field whose key was just read. Values go straight into the record:
// scalars through the codec's value decoders into their cells (the last
// occurrence wins), strings and repeated fields through their codec
// callbacks (the first string wins; items are counted or stored), and a
// singular submessage into its nested record, which repeated occurrences
// merge into.
bool decodeField(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                 uint32_t id, uint32_t wireType, pb_istream* stream) {
  const FieldSchema& field = schema.fields[id];
  void** slot = &record->slots[id];
  const pb_field_desc* descriptor = &layout.descriptors[id];
  if (field.repeated() && isNested(field) && wireType == kPbWireLengthDelimited &&
      isBufferStream(stream)) {
    // What the element decoder does with an element it has room for (or
    // counts), on the element's bytes in place, without a substream and a
    // callback around it.
    auto* header = static_cast<APMNanoRepeated*>(*slot);
    if (header && (header->items ? header->filled < header->count : header->count < UINT32_MAX)) {
      uint32_t length;
      if (!pb_decode_varint32_eof(stream, &length, nullptr)) return false;
      if (stream->bytes_left < length) return failStream(stream, "parent stream too short");
      const auto* bytes = static_cast<const uint8_t*>(stream->state);
      pb_read(stream, nullptr, length);
      if (!header->items) {
        if (!admitItem(*field.message, header->count + 1, stream)) return false;
        ++header->count;
        return true;
      }
      return fillElement(*field.message, header, bytes, length) ||
             failStream(stream, "callback failed");
    }
  }
  if (field.repeated() || isString(field)) {
    pb_callback callback{field.repeated() ? repeatedDecoder(field) : APMNanoDecodeString, nullptr,
                         field.repeated() ? *slot : static_cast<void*>(slot)};
    return pb_decode_callback(stream, wireType, descriptor, &callback);
  }
  if (isNested(field)) {
    pb_istream substream;
    if (!pb_make_string_substream(stream, &substream)) return false;
    const MessageSchema& nestedSchema = *field.message;
    const MessageLayout& nestedLayout = layoutOf(nestedSchema);
    if (!*slot) *slot = newRecord(nestedSchema, nestedLayout);
    bool ok = *slot ? decodeBody(nestedSchema, nestedLayout, static_cast<MessageInfo*>(*slot),
                                 &substream)
                    : failStream(stream, "Unable to set decoders");
    if (!pb_close_string_substream(stream, &substream)) ok = false;
    return ok;
  }
  uint64_t value = 0;
  if (!pb_decode_value(stream, descriptor, &value)) return false;
  storeScalar(schema, layout, record, id, value);
  return true;
}

// One pass over a message body, with the codec's rules: a zero key or the
// end of input ends it, unknown fields are skipped by wire type, the first
// failure's text stays in the stream.
bool decodeBody(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
                pb_istream* stream) {
  BodyDepth depth;
  if (depth.tooDeep()) return failStream(stream, "nesting too deep");
  while (stream->bytes_left > 0) {
    uint32_t key;
    const auto* next = static_cast<const uint8_t*>(stream->state);
    if (isBufferStream(stream) && *next < 0x80) {
      // Nearly every key is one byte: read it in place.
      key = *next;
      stream->state = const_cast<uint8_t*>(next + 1);
      --stream->bytes_left;
    } else {
      bool eof = false;
      if (!pb_decode_varint32_eof(stream, &key, &eof)) return eof;
    }
    if (key == 0) break;
    const uint32_t id = layout.fieldFor(key >> 3);
    const bool ok = id == kNoField ? pb_skip_field(stream, key & 7)
                                   : decodeField(schema, layout, record, id, key & 7, stream);
    if (!ok) return false;
  }
  return true;
}

// The bound of the decode running on this thread, if any.
thread_local const NanoAllocationLimit* decodeLimit = nullptr;

// The reason a decode failed with: past the limit or a cap, the text a
// refused block or item caused further down (a failed callback, a record
// that could not be made) would hide the real one.
const char* failureReason(const char* text) {
  if (decodeLimit && decodeLimit->exceeded()) return "decoded message over the memory limit";
  const DecodeItemCapsScope* caps = DecodeItemCapsScope::current();
  return caps && caps->refusal() ? caps->refusal() : text;
}

bool decodePass(const MessageSchema& schema, const MessageLayout& layout, const uint8_t* bytes,
                size_t length, MessageInfo* record) {
  pb_istream stream = pb_istream_from_buffer(bytes, length);
  if (decodeBody(schema, layout, record, &stream)) return true;
  printLine(format("<ERROR> %s decoder failed: %s\n", schema.name,
                   failureReason(stream.errmsg ? stream.errmsg : "(none)")));
  return false;
}

// Decodes into `record`; a `fresh` record, just made, has nothing to empty
// first.
bool decodeRecord(const MessageSchema& schema, const MessageLayout& layout, const uint8_t* bytes,
                  size_t length, MessageInfo* record, bool fresh) {
  if (!record || !record->slots) {
    printLine(format("<ERROR> %s decoder failed: message_info is NULL\n", schema.name));
    return false;
  }
  DepthGuard depth;
  if (depth.tooDeep()) {
    printLine(format("<ERROR> %s decoder failed: %s\n", schema.name, "nesting too deep"));
    return false;
  }
  if (!fresh) emptyForDecode(schema, record);
  // A decode that is not part of another one builds its tree in an arena
  // owned by the record.
  std::optional<NanoArenaScope> scope;
  if (!NanoArenaScope::current()) {
    void* owner = nanoRecordBlock(record);
    NanoArena* arena = nanoOwnedArena(owner);
    if (!arena) {
      arena = nanoArenaNew(length * kDecodedBytesPerWireByte);
      if (!nanoSetOwnedArena(owner, arena)) {
        nanoArenaRelease(arena);
        arena = nullptr;
      }
    }
    if (arena) scope.emplace(arena);
  }
  if (!decodePass(schema, layout, bytes, length, record)) return false;
  // When the counting pass found no items, the filling pass would decode
  // the same scalars again and fill nothing: its result is already there.
  if (layout.twoPasses && countedItems(schema, layout, record)) {
    if (!allocateArrays(schema, record)) {
      printLine(format("<ERROR> %s decoder failed: %s\n", schema.name,
                       failureReason("Unable to allocate arrays")));
      return false;
    }
    if (!decodePass(schema, layout, bytes, length, record)) return false;
  }
  return true;
}

// Decodes the filling pass's next element of a repeated message field from
// its bytes; the header has room for it.
bool fillElement(const MessageSchema& schema, APMNanoRepeated* header, const uint8_t* bytes,
                 size_t length) {
  const MessageLayout& layout = layoutOf(schema);
  MessageInfo* element = newRecord(schema, layout);
  if (!element) {
    printLine(format("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", schema.name));
    return false;
  }
  header->items[header->filled] = element;
  if (!decodeRecord(schema, layout, bytes, length, element, true)) {
    printLine(format("<ERROR> %s decoder failed: Unable to decode repeated %s\n", schema.name,
                     schema.name));
    return false;
  }
  ++header->filled;
  return true;
}

bool decodeRepeatedElement(const MessageSchema& schema, pb_istream* stream, void** arg) {
  auto* header = arg ? static_cast<APMNanoRepeated*>(*arg) : nullptr;
  if (!header) {
    printLine(format("<ERROR> %s decoder failed: Invalid arg parameter\n", schema.name));
    return false;
  }
  if (!header->items) {
    if (header->count == UINT32_MAX) return false;
    if (!admitItem(schema, header->count + 1, stream)) return false;
    if (!pb_read(stream, nullptr, stream->bytes_left)) {
      printLine(format("<ERROR> %s decoder failed: %s\n", schema.name,
                       stream->errmsg ? stream->errmsg : "(none)"));
      return false;
    }
    ++header->count;
    return true;
  }
  // The filling pass reads the bytes the counting pass counted; an item
  // beyond the count would be written past the array.
  if (header->filled >= header->count) {
    printLine(format("<ERROR> %s decoder failed: %s\n", schema.name, "too many items"));
    return false;
  }
  const size_t length = stream->bytes_left;
  // A buffer stream keeps its read position in `state`: its bytes are
  // decoded in place. Other streams are copied out first.
  std::unique_ptr<uint8_t[]> copied;
  const uint8_t* bytes = static_cast<const uint8_t*>(stream->state);
  const bool inPlace = isBufferStream(stream);
  if (!inPlace) {
    copied.reset(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
    bytes = copied.get();
  }
  if (!bytes) platform::noteAllocationFailure();
  if (!bytes || !pb_read(stream, inPlace ? nullptr : copied.get(), length)) {
    printLine(
        format("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", schema.name));
    return false;
  }
  return fillElement(schema, header, bytes, length);
}

// ---------------------------------------------------------------------------
// Decoding in one pass. A fresh record is first decoded in a single walk
// over the bytes: items of repeated fields are gathered on a scratch stack
// and their arrays made at their exact size once the message ends, so that
// the tree and every block of it, and the memory charged for it, are those
// the two passes above make. This walk takes only input that is plainly
// well formed (the expected wire type for every known field, varints of
// usual lengths, strings within their limit, nesting within its bounds);
// on anything else it gives up without a word, the tree is dropped and the
// two passes decode the bytes again, with their texts and their order of
// failures.

class OnePassDecoder {
 public:
  bool decode(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
              const uint8_t* bytes, size_t length) {
    items_.clear();
    return body(schema, layout, record, bytes, bytes + length, 1, 1);
  }

 private:
  struct Item {
    uint32_t field;
    void* value;
  };

  // A varint of at most `maxBytes` bytes, none of whose bits is dropped.
  static bool varint(const uint8_t*& p, const uint8_t* end, uint64_t& value, int maxBytes) {
    if (p < end && *p < 0x80) {
      value = *p++;
      return true;
    }
    uint64_t result = 0;
    for (int i = 0; i < maxBytes && p < end; ++i) {
      const uint8_t byte = *p++;
      result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
      if (byte < 0x80) {
        value = result;
        return true;
      }
    }
    return false;
  }
  // Keys and lengths: four bytes at most, where the 32-bit reading has no
  // special cases.
  static bool varint32(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
    uint64_t wide;
    if (!varint(p, end, wide, 4)) return false;
    value = static_cast<uint32_t>(wide);
    return true;
  }
  static bool delimited(const uint8_t*& p, const uint8_t* end, const uint8_t*& start,
                        uint32_t& length) {
    if (!varint32(p, end, length) || static_cast<size_t>(end - p) < length) return false;
    start = p;
    p += length;
    return true;
  }

  bool body(const MessageSchema& schema, const MessageLayout& layout, MessageInfo* record,
            const uint8_t* p, const uint8_t* end, int recordDepth, int bodyDepth) {
    if (recordDepth > kMessageNestingLimit || bodyDepth > kPbMaxNestingDepth) return false;
    const size_t base = items_.size();
    while (p < end) {
      uint32_t key;
      if (!varint32(p, end, key)) return false;
      if (key == 0) break;
      const uint32_t id = layout.fieldFor(key >> 3);
      const uint32_t wire = key & 7;
      if (id == kNoField) {
        if (!skip(p, end, wire)) return false;
        continue;
      }
      const FieldSchema& field = schema.fields[id];
      if (wire != wireType(field.type) &&
          !(field.repeated() && wire == kPbWireLengthDelimited && wireType(field.type) == kPbWireVarint)) {
        return false;
      }
      void** slot = &record->slots[id];
      if (field.repeated()) {
        if (!repeatedItem(field, id, wire, p, end, recordDepth, bodyDepth)) return false;
      } else if (isString(field)) {
        const uint8_t* start;
        uint32_t length;
        if (!delimited(p, end, start, length)) return false;
        if (*slot) {
          // The first occurrence stays.
          if (!static_cast<APMNanoBytes*>(*slot)->data) return false;
        } else if (length > kNanoMaxStringLength || !(*slot = nanoNewBytes(start, length))) {
          return false;
        }
      } else if (isNested(field)) {
        const uint8_t* start;
        uint32_t length;
        if (!delimited(p, end, start, length)) return false;
        const MessageSchema& nestedSchema = *field.message;
        const MessageLayout& nestedLayout = layoutOf(nestedSchema);
        if (!*slot && !(*slot = newRecord(nestedSchema, nestedLayout))) return false;
        if (!body(nestedSchema, nestedLayout, static_cast<MessageInfo*>(*slot), start,
                  start + length, recordDepth, bodyDepth + 1)) {
          return false;
        }
      } else if (!scalar(field.type, p, end, inlineCell(layout, record, id))) {
        return false;
      } else {
        *slot = inlineCell(layout, record, id);
      }
    }
    return makeArrays(layout, record, base);
  }

  static bool skip(const uint8_t*& p, const uint8_t* end, uint32_t wire) {
    switch (wire) {
    case kPbWireVarint: {
      uint64_t ignored;
      return varint(p, end, ignored, 10);
    }
    case kPbWire64Bit:
    case kPbWire32Bit: {
      const size_t size = wire == kPbWire64Bit ? 8 : 4;
      if (static_cast<size_t>(end - p) < size) return false;
      p += size;
      return true;
    }
    case kPbWireLengthDelimited: {
      const uint8_t* start;
      uint32_t length;
      return delimited(p, end, start, length);
    }
    default:
      return false;
    }
  }

  // A singular scalar into its cell, as the codec's value decoders and the
  // store routines leave it.
  static bool scalar(FieldType type, const uint8_t*& p, const uint8_t* end, void* cell) {
    uint64_t value;
    switch (type) {
    case FieldType::Float:
    case FieldType::Double: {
      const size_t size = type == FieldType::Float ? 4 : 8;
      if (static_cast<size_t>(end - p) < size) return false;
      std::memcpy(cell, p, size);
      p += size;
      return true;
    }
    case FieldType::Bool:
      // The codec reads a bool as a 32-bit varint.
      if (!varint(p, end, value, 4)) return false;
      value = value != 0;
      break;
    case FieldType::Int32: {
      if (!varint(p, end, value, 10)) return false;
      // Sign-extended negatives take ten bytes; other values beyond 32 bits
      // do not fit.
      const auto narrow = static_cast<int32_t>(value);
      if (value > 0xFFFFFFFFu && static_cast<uint64_t>(static_cast<int64_t>(narrow)) != value) {
        return false;
      }
      value = static_cast<uint32_t>(narrow);
      break;
    }
    case FieldType::Enum:
    case FieldType::UInt32:
      if (!varint(p, end, value, 10)) return false;
      value = static_cast<uint32_t>(value);
      break;
    default:
      if (!varint(p, end, value, 10)) return false;
      break;
    }
    std::memcpy(cell, &value, sizeof value);
    return true;
  }

  bool repeatedItem(const FieldSchema& field, uint32_t id, uint32_t wire, const uint8_t*& p,
                    const uint8_t* end, int recordDepth, int bodyDepth) {
    if (isNested(field)) {
      const uint8_t* start;
      uint32_t length;
      if (!delimited(p, end, start, length)) return false;
      const MessageSchema& elementSchema = *field.message;
      const MessageLayout& elementLayout = layoutOf(elementSchema);
      MessageInfo* element = newRecord(elementSchema, elementLayout);
      if (!element) return false;
      items_.push_back({id, element});
      return body(elementSchema, elementLayout, element, start, start + length, recordDepth + 1,
                  bodyDepth + 1);
    }
    if (isString(field)) {
      const uint8_t* start;
      uint32_t length;
      if (!delimited(p, end, start, length) || length > kNanoMaxStringLength) return false;
      APMNanoBytes* value = nanoNewBytes(start, length);
      if (!value) return false;
      items_.push_back({id, value});
      return true;
    }
    if (wire != kPbWireLengthDelimited) return varintItem(id, p, end);
    // Packed: any number of varints, none for an empty field.
    const uint8_t* start;
    uint32_t length;
    if (!delimited(p, end, start, length)) return false;
    while (start < p) {
      if (!varintItem(id, start, p)) return false;
    }
    return true;
  }

  bool varintItem(uint32_t id, const uint8_t*& p, const uint8_t* end) {
    uint64_t value;
    if (!varint(p, end, value, 10)) return false;
    auto* cell = static_cast<uint64_t*>(nanoAllocate(sizeof(uint64_t)));
    if (!cell) return false;
    *cell = value;
    items_.push_back({id, cell});
    return true;
  }

  // The item arrays of the message whose items were gathered from `base`
  // on, each allocated once at its size and filled in wire order.
  bool makeArrays(const MessageLayout& layout, MessageInfo* record, size_t base) {
    if (items_.size() == base) return true;
    if (layout.repeatedIds.size() > kMaxRepeated) return false;
    uint32_t counts[kMaxRepeated] = {};
    for (size_t i = base; i < items_.size(); ++i) ++counts[layout.repeatedOrdinal[items_[i].field]];
    void** arrays[kMaxRepeated];
    for (uint32_t ordinal = 0; ordinal < layout.repeatedIds.size(); ++ordinal) {
      arrays[ordinal] = nullptr;
      if (counts[ordinal] == 0) continue;
      auto* header = static_cast<APMNanoRepeated*>(record->slots[layout.repeatedIds[ordinal]]);
      // A second occurrence of a singular submessage adding items: the two
      // passes would make one array for both.
      if (header->items) return false;
      arrays[ordinal] = static_cast<void**>(nanoAllocate(counts[ordinal] * sizeof(void*)));
      if (!arrays[ordinal]) return false;
      header->items = arrays[ordinal];
      header->count = counts[ordinal];
      header->filled = counts[ordinal];
    }
    for (size_t i = base; i < items_.size(); ++i) {
      *arrays[layout.repeatedOrdinal[items_[i].field]]++ = items_[i].value;
    }
    items_.resize(base);
    return true;
  }

  // More repeated fields than any message has.
  static constexpr size_t kMaxRepeated = 8;

  std::vector<Item> items_;
};

// Whether the record holds nothing yet: no singular value, no repeated item.
bool isEmptyRecord(const MessageSchema& schema, const MessageInfo* record) {
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const void* slot = record->slots[id];
    if (!schema.fields[id].repeated()) {
      if (slot) return false;
    } else {
      const auto* header = static_cast<const APMNanoRepeated*>(slot);
      if (!header || header->count || header->items) return false;
    }
  }
  return true;
}

// Decodes an empty record in one pass, in the arena it owns. On failure the
// record is empty again, with a new arena, and nothing was printed.
bool decodeInOnePass(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                     MessageInfo* record, size_t bound) {
  void* owner = nanoRecordBlock(record);
  NanoArena* arena = nanoOwnedArena(owner);
  const bool ownArena = !arena;
  if (ownArena) {
    arena = nanoArenaNew(length * kDecodedBytesPerWireByte);
    if (!arena || !nanoSetOwnedArena(owner, arena)) {
      nanoArenaRelease(arena);
      return false;
    }
  }
  const MessageLayout& layout = layoutOf(schema);
  {
    NanoArenaScope scope(arena);
    NanoAllocationLimit limit(bound);
    thread_local OnePassDecoder decoder;
    if (decoder.decode(schema, layout, record, bytes, length)) return true;
  }
  // Nothing holds the blocks of an arena made here: the record was empty.
  // An arena the record had already stays, with the walk's blocks in it.
  if (ownArena) {
    nanoArenaRelease(arena);
    nanoSetOwnedArena(owner, nullptr);
  }
  std::memset(record->slots, 0, layout.slotBlockSize);
  setUpRecord(schema, layout, record, record->slots);
  return false;
}

// ---------------------------------------------------------------------------
// Encoding. The bytes are those the codec writes for the message's wire
// structure (fields in tag order, absent fields and empty repeated fields
// left out, strings and messages length-delimited, repeated fields
// unpacked), produced in two walks over the record: the first measures every
// nested message once, in the order the second writes them, so that each
// length is known before its body without measuring it again at every
// level.

size_t varintSize(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

uint64_t readCell(const void* cell, FieldType type) {
  uint64_t value = 0;
  std::memcpy(&value, cell, type == FieldType::Float ? sizeof(float) : sizeof(uint64_t));
  switch (type) {
  case FieldType::Bool:
    return (value & 0xFF) != 0;
  // int32 values are sign-extended (a negative one takes 10 bytes); enums
  // and uint32 values are zero-extended.
  case FieldType::Int32:
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
  case FieldType::Enum:
  case FieldType::UInt32:
  case FieldType::Float:
    return static_cast<uint32_t>(value);
  default:
    return value;
  }
}

// The output of the writing walk: exactly the measured number of bytes.
class Output {
 public:
  Output(uint8_t* begin, size_t size) : pos_(begin), end_(begin + size) {}
  bool put(const void* bytes, size_t count) {
    if (static_cast<size_t>(end_ - pos_) < count) return false;
    if (count > 0) std::memcpy(pos_, bytes, count);
    pos_ += count;
    return true;
  }
  // A key of `size` bytes held in `bytes`, little end first.
  bool putKey(uint64_t bytes, size_t size) {
    if (static_cast<size_t>(end_ - pos_) >= sizeof bytes) {
      // The bytes past the key are written over next.
      std::memcpy(pos_, &bytes, sizeof bytes);
      pos_ += size;
      return true;
    }
    uint8_t key[sizeof bytes];
    std::memcpy(key, &bytes, sizeof bytes);
    return put(key, size);
  }
  bool putVarint(uint64_t value) {
    if (static_cast<size_t>(end_ - pos_) >= 10) {
      while (value >= 0x80) {
        *pos_++ = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
      }
      *pos_++ = static_cast<uint8_t>(value);
      return true;
    }
    uint8_t bytes[10];
    size_t count = 0;
    while (value >= 0x80) {
      bytes[count++] = static_cast<uint8_t>(value | 0x80);
      value >>= 7;
    }
    bytes[count++] = static_cast<uint8_t>(value);
    return put(bytes, count);
  }
  bool full() const { return pos_ == end_; }

 private:
  uint8_t* pos_;
  uint8_t* end_;
};

class Encoder {
 public:
  // Measures `record`, recording the body size of every nested message.
  bool measure(const MessageSchema& schema, const MessageInfo* record, size_t& size) {
    size = 0;
    const MessageLayout& layout = layoutOf(schema);
    for (uint32_t id : layout.tagOrder) {
      const FieldSchema& field = schema.fields[id];
      const void* slot = record->slots[id];
      const size_t keySize = layout.keySize[id];
      if (field.repeated()) {
        auto* header = static_cast<const APMNanoRepeated*>(slot);
        if (!header) {
          printLine(format("<ERROR> %s Encoder: '%s' should have been allocated\n", schema.name,
                           field.name));
          return false;
        }
        if (header->count == 0 || !header->items) continue;
        for (uint32_t i = 0; i < header->count; ++i) {
          size_t itemSize = 0;
          if (!measureValue(field, header->items[i], itemSize)) return false;
          size += keySize + itemSize;
        }
      } else if (slot) {
        size_t valueSize = 0;
        if (!measureValue(field, slot, valueSize)) return false;
        size += keySize + valueSize;
      }
    }
    return true;
  }

  bool write(const MessageSchema& schema, const MessageInfo* record, Output& stream) {
    const MessageLayout& layout = layoutOf(schema);
    for (uint32_t id : layout.tagOrder) {
      const FieldSchema& field = schema.fields[id];
      const void* slot = record->slots[id];
      if (field.repeated()) {
        auto* header = static_cast<const APMNanoRepeated*>(slot);
        if (header->count == 0 || !header->items) continue;
        for (uint32_t i = 0; i < header->count; ++i) {
          if (!stream.putKey(layout.keyBytes[id], layout.keySize[id]) ||
              !writeValue(field, header->items[i], stream)) {
            return false;
          }
        }
      } else if (slot && !(stream.putKey(layout.keyBytes[id], layout.keySize[id]) &&
                           writeValue(field, slot, stream))) {
        return false;
      }
    }
    return true;
  }

 private:
  // Size of the value without its key; strings and messages include their
  // length prefix. A missing item, a string value without data or a too
  // large message cannot be encoded.
  bool measureValue(const FieldSchema& field, const void* value, size_t& size) {
    if (!value) return false;
    switch (field.type) {
    case FieldType::Float:
      size = 4;
      return true;
    case FieldType::Double:
      size = 8;
      return true;
    case FieldType::String:
    case FieldType::Bytes: {
      auto* bytes = static_cast<const APMNanoBytes*>(value);
      if (!bytes->data) return false;
      size = varintSize(bytes->length) + bytes->length;
      return true;
    }
    case FieldType::Message: {
      const size_t index = sizes_.size();
      sizes_.push_back(0);
      size_t body = 0;
      if (!measure(*field.message, static_cast<const MessageInfo*>(value), body)) return false;
      if (body > INT32_MAX) return false;
      sizes_[index] = static_cast<uint32_t>(body);
      size = varintSize(body) + body;
      return true;
    }
    default:
      size = varintSize(readCell(value, field.type));
      return true;
    }
  }

  // The value after its key. Floats and doubles are stored in the cells as
  // the little-endian bytes the wire takes.
  bool writeValue(const FieldSchema& field, const void* value, Output& stream) {
    switch (field.type) {
    case FieldType::Float:
      return stream.put(value, 4);
    case FieldType::Double:
      return stream.put(value, 8);
    case FieldType::String:
    case FieldType::Bytes: {
      auto* bytes = static_cast<const APMNanoBytes*>(value);
      return stream.putVarint(bytes->length) && stream.put(bytes->data, bytes->length);
    }
    case FieldType::Message:
      return stream.putVarint(sizes_[next_++]) &&
             write(*field.message, static_cast<const MessageInfo*>(value), stream);
    default:
      return stream.putVarint(readCell(value, field.type));
    }
  }

  std::vector<uint32_t> sizes_; // nested message bodies, in writing order
  size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// Copying.

// Copies an item of a repeated field, or a singular string or message.
bool copyValue(const FieldSchema& field, const void* source, void** destination) {
  if (isNested(field)) {
    return copyMessageInfo(*field.message, reinterpret_cast<MessageInfo**>(destination),
                           static_cast<const MessageInfo*>(source)) == 1;
  }
  if (isString(field)) {
    auto* bytes = static_cast<const APMNanoBytes*>(source);
    return APMNanoStoreString(destination, bytes->data, bytes->length);
  }
  const size_t width = field.type == FieldType::Float ? sizeof(float) : sizeof(uint64_t);
  *destination = nanoAllocate(width);
  if (!*destination) return false;
  std::memcpy(*destination, source, width);
  return true;
}

} // namespace

// ---------------------------------------------------------------------------

int initMessageInfo(const MessageSchema& schema, MessageInfo* record) {
  if (!record) return 0;
  // The slots, the repeated headers and the scalar cells share one block:
  // they live exactly as long as their record.
  void* block = nanoAllocateZeroed(1, layoutOf(schema).slotBlockSize);
  if (!block) return 0;
  setUpRecord(schema, layoutOf(schema), record, block);
  return 1;
}

int deallocField(const MessageSchema& schema, MessageInfo* record, int32_t fieldID) {
  if (static_cast<uint32_t>(fieldID) >= schema.fieldCount) {
    char line[256];
    std::snprintf(line, sizeof(line), "<ERROR> %s: Cannot deallocate field %d: Unknown field\n",
                  schema.name, fieldID);
    printLine(line);
    return 0;
  }
  if (!record || !record->slots) return 0;
  PendingRecords pending;
  releaseField(schema, layoutOf(schema), record, static_cast<uint32_t>(fieldID), pending);
  drain(pending);
  return 1;
}

int freeMessageInfo(const MessageSchema& schema, MessageInfo* record) {
  if (!record) return 0;
  PendingRecords pending;
  pending.push(&schema, record);
  drain(pending);
  return 1;
}

int copyMessageInfo(const MessageSchema& schema, MessageInfo** destination,
                    const MessageInfo* source) {
  if (!destination || !source) return 0;
  DepthGuard depth;
  if (*destination) {
    freeMessageInfo(schema, *destination);
    *destination = nullptr;
  }
  if (depth.tooDeep()) {
    printLine(format("<ERROR> %s copy failed: %s\n", schema.name, "nesting too deep"));
    return 0;
  }
  // A copy that is not part of another one builds its tree in an arena
  // owned by its root record, which itself is an ordinary block.
  NanoArena* arena = NanoArenaScope::current() ? nullptr : nanoArenaNew(0);
  MessageInfo* copy = newRecord(schema);
  if (!copy) {
    nanoArenaRelease(arena);
    return 0;
  }
  nanoSetOwnedArena(nanoRecordBlock(copy), arena);
  *destination = copy;
  std::optional<NanoArenaScope> scope;
  if (arena) scope.emplace(arena);
  if (!source->slots) return 1;
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    const void* slot = source->slots[id];
    if (!slot) continue;
    if (!field.repeated()) {
      if (isNested(field) || isString(field)) {
        if (!copyValue(field, slot, &copy->slots[id])) return 0;
      } else {
        copy->slots[id] = inlineCell(layoutOf(schema), copy, id);
        std::memcpy(copy->slots[id], slot, field.type == FieldType::Float ? 4 : 8);
      }
      continue;
    }
    auto* from = static_cast<const APMNanoRepeated*>(slot);
    auto* to = static_cast<APMNanoRepeated*>(copy->slots[id]);
    if (from->count == 0 || !from->items) continue;
    to->items = static_cast<void**>(nanoAllocateZeroed(from->count, sizeof(void*)));
    if (!to->items) return 0;
    to->count = from->count;
    to->filled = from->count;
    for (uint32_t i = 0; i < from->count; ++i) {
      if (from->items[i] && !copyValue(field, from->items[i], &to->items[i])) return 0;
    }
  }
  return 1;
}

namespace {

// The caps of one measurement configuration, offered each item by the
// decoder itself, so that no encoding of the fields carries more than they
// let through.
class ConfigCaps : public DecodeItemCaps {
 public:
  const char* admitItem(const MessageSchema& element, uint32_t inRecord) override {
    if (&element == &kSettingSchema && inRecord > kAPMMaxMeasurementConfigSettings) {
      return "too many settings";
    }
    if (&element == &kEventConfigSchema && inRecord > kAPMMaxMeasurementConfigEvents) {
      return "too many event configurations";
    }
    if (&element == &kRuntimeEntitySchema &&
        ++programNodes_ > kAPMMaxMeasurementConfigProgramNodes) {
      return "too many program nodes";
    }
    return nullptr;
  }

 private:
  uint32_t programNodes_ = 0;
};

static_assert(kAPMMaxMeasurementConfigBytes == 1'048'576, "the refusal below names the bound");
constexpr const char* kConfigOverBytes = "over 1048576 bytes";

int decodeWithinMemoryBound(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                            MessageInfo* record) {
  const size_t bound = length > (SIZE_MAX - kDecodeMemoryBase) / kDecodeMemoryPerByte
                           ? SIZE_MAX
                           : length * kDecodeMemoryPerByte + kDecodeMemoryBase;
  // Decoding never raises: a scratch stack or a text that cannot grow fails
  // the decode for lack of memory, like a refused block. The one-pass walk
  // gathers items without offering them to caps.
  try {
    if (record && record->slots && !NanoArenaScope::current() && !capsInForce &&
        isEmptyRecord(schema, record) &&
        (length == 0 || bytes) && decodeInOnePass(schema, bytes, length, record, bound)) {
      return 1;
    }
  } catch (const std::bad_alloc&) {
    platform::noteAllocationFailure();
    return 0;
  }
  NanoAllocationLimit limit(bound);
  const NanoAllocationLimit* outer = std::exchange(decodeLimit, &limit);
  bool decoded = false;
  try {
    decoded = decodeRecord(schema, layoutOf(schema), bytes, length, record, false);
  } catch (const std::bad_alloc&) {
    platform::noteAllocationFailure();
  }
  decodeLimit = outer;
  return decoded ? 1 : 0;
}

} // namespace

int decodeMessage(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                  MessageInfo* record, const char** pastBound) {
  if (&schema != &kMeasurementConfigSchema) {
    return decodeWithinMemoryBound(schema, bytes, length, record);
  }
  // A configuration past its bounds can never be taken: it is refused
  // before it is built, by its length first, then by its caps as the
  // counting passes meet each item.
  const char* refused = nullptr;
  int decoded = 0;
  if (length > kAPMMaxMeasurementConfigBytes) {
    refused = kConfigOverBytes;
    printLine(format("<ERROR> %s decoder failed: %s\n", schema.name, refused));
  } else {
    ConfigCaps caps;
    DecodeItemCapsScope scope(caps);
    decoded = decodeWithinMemoryBound(schema, bytes, length, record);
    if (!decoded) refused = scope.refusal();
  }
  if (refused && pastBound) *pastBound = refused;
  return decoded;
}

DecodeItemCapsScope::DecodeItemCapsScope(DecodeItemCaps& caps) : caps_(caps), outer_(capsInForce) {
  capsInForce = this;
}

DecodeItemCapsScope::~DecodeItemCapsScope() { capsInForce = outer_; }

DecodeItemCapsScope* DecodeItemCapsScope::current() { return capsInForce; }

const char* DecodeItemCapsScope::admit(const MessageSchema& element, uint32_t inRecord) {
  const char* refused = caps_.admitItem(element, inRecord);
  if (refused && !refusal_) refusal_ = refused;
  return refused;
}

namespace {

bool recordFits(const MessageInfo* record, int depth);

bool valueFits(APMNanoFieldKind kind, const void* value, int depth) {
  if (kind & (kNanoString | kNanoBytes)) {
    return static_cast<const APMNanoBytes*>(value)->length <= kNanoMaxStringLength;
  }
  return !(kind & kNanoMessage) || recordFits(static_cast<const MessageInfo*>(value), depth + 1);
}

// Recursion stops at the nesting limit, so the stack stays bounded however
// deep the record is.
bool recordFits(const MessageInfo* record, int depth) {
  if (depth > kMessageNestingLimit) return false;
  if (!record->slots) return true;
  const uint32_t fieldCount = messageFieldCount(record);
  for (uint32_t id = 0; id < fieldCount; ++id) {
    const APMNanoFieldKind kind = record->kinds[id];
    const void* slot = record->slots[id];
    if (!slot || !(kind & (kNanoString | kNanoBytes | kNanoMessage))) continue;
    if (!(kind & kNanoRepeated)) {
      if (!valueFits(kind, slot, depth)) return false;
      continue;
    }
    const auto* header = static_cast<const APMNanoRepeated*>(slot);
    if (!header->items) continue;
    for (uint32_t i = 0; i < header->count; ++i) {
      if (header->items[i] && !valueFits(kind, header->items[i], depth)) return false;
    }
  }
  return true;
}

// Measures the record, lets `buffer` provide exactly that many bytes, and
// writes them there. Answers the length, or -1.
template <class Buffer>
int32_t encodeInto(const MessageSchema& schema, const MessageInfo* record, Buffer buffer) {
  if (!record || !record->slots) return -1;
  Encoder encoder;
  size_t size = 0;
  if (!encoder.measure(schema, record, size) || size > INT32_MAX) return -1;
  uint8_t* bytes = buffer(size);
  if (!bytes) return -1;
  Output output(bytes, size);
  if (!encoder.write(schema, record, output) || !output.full()) return -1;
  return static_cast<int32_t>(size);
}

} // namespace

int32_t encodeMessage(const MessageSchema& schema, const MessageInfo* record, uint8_t** output) {
  if (!output) return -1;
  *output = nullptr;
  uint8_t* buffer = nullptr;
  const int32_t length = encodeInto(schema, record, [&](size_t size) {
    // A zero-length message still gets a buffer that the caller frees.
    buffer = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    return buffer;
  });
  if (length < 0) {
    free(buffer);
    return -1;
  }
  *output = buffer;
  return length;
}

std::optional<platform::Bytes> encodeMessage(const MessageSchema& schema,
                                             const MessageInfo* record) {
  platform::Bytes bytes;
  uint8_t none = 0;
  const int32_t length = encodeInto(schema, record, [&](size_t size) {
    bytes.resize(size);
    return size > 0 ? bytes.data() : &none;
  });
  if (length < 0) return std::nullopt;
  return bytes;
}

bool fitsDecodeLimits(const MessageInfo* record) {
  return !record || recordFits(record, 1);
}

bool decodesAs(const MessageInfo* record, const uint8_t* bytes, size_t length,
               const char** pastBound) {
  const MessageSchema* schema = record ? findMessageSchema(record->name) : nullptr;
  if (!schema) return false;
  // A record of the readers' own making: zeroed, set up, then decoded.
  auto* decoded = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  if (!decoded) {
    platform::noteAllocationFailure();
    return false;
  }
  const bool fits =
      initMessageInfo(*schema, decoded) == 1 &&
      decodeMessage(*schema, length > 0 ? bytes : nullptr, length, decoded, pastBound) == 1;
  freeMessageInfo(*schema, decoded);
  return fits;
}

} // namespace messages

#define APM_DEFINE_ROUTINES(message, count, wrapper, decode, encode)                               \
  int message##InitMessageInfo(MessageInfo* record) {                                              \
    return messages::initMessageInfo(messages::k##message##Schema, record);                        \
  }                                                                                                \
  int message##DeallocField(MessageInfo* record, int32_t fieldID) {                                \
    return messages::deallocField(messages::k##message##Schema, record, fieldID);                  \
  }                                                                                                \
  int message##FreeMessageInfo(MessageInfo* record) {                                              \
    return messages::freeMessageInfo(messages::k##message##Schema, record);                        \
  }                                                                                                \
  int message##CopyMessageInfo(MessageInfo** destination, const MessageInfo* source) {             \
    return messages::copyMessageInfo(messages::k##message##Schema, destination, source);           \
  }                                                                                                \
  APM_WHEN_##decode(                                                                               \
      int message##Decode(const uint8_t* bytes, size_t length, MessageInfo* record) {              \
        return messages::decodeMessage(messages::k##message##Schema, bytes, length, record);       \
      }) APM_WHEN_##encode(int32_t message##Encode(const MessageInfo* record, uint8_t** output) {  \
    return messages::encodeMessage(messages::k##message##Schema, record, output);                  \
  })
APM_MESSAGE_LIST(APM_DEFINE_ROUTINES)
#undef APM_DEFINE_ROUTINES
