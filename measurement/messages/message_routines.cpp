#include "measurement/messages/message_routines.h"

#include "measurement/messages/nano_callbacks.h"
#include "measurement/messages/wire_codec.h"
#include "platform/log.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace messages {
namespace {

// ---------------------------------------------------------------------------
// Wire layout: the flat structure the codec reads and writes for a message,
// laid out from its schema. Descriptors follow the tags; each field ID keeps
// its own offsets, since field IDs and tags differ in MeasurementBundle.
//
// Storage per field: a has-flag byte followed by the value for singular
// scalars (the value 1, 4 or 8 bytes after the flag, as the codec's
// size_offset expects), a has-flag followed by the nested structure for
// singular submessages, and a callback record for strings and repeated
// fields. Every field starts 8-aligned so that values are naturally aligned.

struct FieldLayout {
  uint32_t offset = 0;     // value, callback record or nested structure
  uint32_t flagOffset = 0; // has-flag of a singular scalar or submessage
};

struct WireLayout {
  std::vector<pb_field_desc> descriptors; // in tag order, then the end record
  std::vector<FieldLayout> fields;        // by field ID
  std::vector<uint32_t> tagOrder;         // field IDs by ascending tag
  uint32_t repeatedCount = 0;
  size_t size = 0;
  // Decoding needs a counting pass: the message or a singular submessage it
  // nests, at any depth, has a repeated field.
  bool twoPasses = false;
};

size_t alignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool isString(const FieldSchema& field) {
  return field.type == FieldType::String || field.type == FieldType::Bytes;
}
bool isNested(const FieldSchema& field) {
  return field.type == FieldType::Message;
}

// Width of a singular scalar's value in the wire structure and in its cell.
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

class Layouts {
 public:
  Layouts() {
    for (const MessageSchema* schema : allMessageSchemas()) build(*schema);
  }
  const WireLayout& of(const MessageSchema& schema) const { return layouts_[schema.index]; }

 private:
  const WireLayout& build(const MessageSchema& schema) {
    WireLayout& layout = layouts_[schema.index];
    if (built_[schema.index]) return layout;
    built_[schema.index] = true;

    std::vector<uint32_t> byTag(schema.fieldCount);
    for (uint32_t id = 0; id < schema.fieldCount; ++id) byTag[id] = id;
    std::sort(byTag.begin(), byTag.end(),
              [&](uint32_t a, uint32_t b) { return schema.fields[a].tag < schema.fields[b].tag; });

    layout.fields.resize(schema.fieldCount);
    layout.tagOrder = byTag;
    size_t cursor = 0;
    size_t previousEnd = 0;
    for (uint32_t id : byTag) {
      const FieldSchema& field = schema.fields[id];
      pb_field_desc descriptor{};
      descriptor.tag = field.tag;
      size_t offset = alignUp(cursor, 8);
      uint32_t dataSize = 0;
      if (field.repeated() || isString(field)) {
        descriptor.type = lowType(field.type) |
                          (field.repeated() ? kPbHTypeRepeated : kPbHTypeOptional) |
                          kPbATypeCallback;
        dataSize = sizeof(pb_callback);
      } else if (isNested(field)) {
        const WireLayout& nested = build(*field.message);
        layout.twoPasses = layout.twoPasses || nested.twoPasses;
        layout.fields[id].flagOffset = static_cast<uint32_t>(offset);
        offset += 8;
        descriptor.type = kPbLTypeSubmessage | kPbHTypeOptional | kPbATypeStatic;
        descriptor.size_offset = -8;
        descriptor.ptr = nested.descriptors.data();
        dataSize = static_cast<uint32_t>(alignUp(nested.size, 8));
      } else {
        const uint32_t width = scalarWidth(field.type);
        layout.fields[id].flagOffset = static_cast<uint32_t>(offset);
        offset += width; // the flag sits `width` bytes before the value
        descriptor.type = lowType(field.type) | kPbHTypeOptional | kPbATypeStatic;
        descriptor.size_offset = -static_cast<int32_t>(width);
        descriptor.ptr = field.defaultValue; // little-endian: the low bytes
        dataSize = width;
      }
      if (field.repeated()) {
        layout.twoPasses = true;
        ++layout.repeatedCount;
      }
      descriptor.data_size = dataSize;
      descriptor.data_offset = static_cast<uint32_t>(offset - previousEnd);
      layout.fields[id].offset = static_cast<uint32_t>(offset);
      layout.descriptors.push_back(descriptor);
      previousEnd = offset + dataSize;
      cursor = previousEnd;
    }
    layout.descriptors.push_back(pb_field_desc{});
    layout.size = alignUp(std::max<size_t>(cursor, 1), 8);
    return layout;
  }

  std::array<WireLayout, kMessageCount> layouts_;
  std::array<bool, kMessageCount> built_{};
};

const WireLayout& layoutOf(const MessageSchema& schema) {
  static const Layouts layouts;
  return layouts.of(schema);
}

// A zeroed wire structure; small ones live on the stack, since decoding
// nests one per message level.
class WireBuffer {
 public:
  explicit WireBuffer(size_t size) {
    if (size <= sizeof(local_)) {
      data_ = local_;
    } else {
      heap_ = std::make_unique<unsigned char[]>(size);
      data_ = heap_.get();
    }
    std::memset(data_, 0, size);
  }
  unsigned char* data() { return data_; }

 private:
  alignas(16) unsigned char local_[384];
  std::unique_ptr<unsigned char[]> heap_;
  unsigned char* data_;
};

pb_callback* callbackAt(unsigned char* wire, const FieldLayout& field) {
  return reinterpret_cast<pb_callback*>(wire + field.offset);
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
// record is.

struct PendingRecord {
  const MessageSchema* schema;
  MessageInfo* record;
};

class PendingRecords {
 public:
  void push(const MessageSchema* schema, MessageInfo* record) {
    if (record) items_.push_back({schema, record});
  }
  bool empty() const { return items_.empty(); }
  PendingRecord pop() {
    PendingRecord last = items_.back();
    items_.pop_back();
    return last;
  }

 private:
  std::vector<PendingRecord> items_;
};

void releaseValue(const FieldSchema& field, void* value, PendingRecords& pending) {
  if (!value) return;
  if (isNested(field)) {
    pending.push(field.message, static_cast<MessageInfo*>(value));
    return;
  }
  if (isString(field)) free(static_cast<APMNanoBytes*>(value)->data);
  free(value);
}

void releaseField(const MessageSchema& schema, MessageInfo* record, uint32_t id,
                  PendingRecords& pending) {
  const FieldSchema& field = schema.fields[id];
  void*& slot = record->slots[id];
  if (!field.repeated()) {
    releaseValue(field, slot, pending);
    slot = nullptr;
    return;
  }
  auto* header = static_cast<APMNanoRepeated*>(slot);
  if (!header) return;
  if (header->items) {
    for (uint32_t i = 0; i < header->count; ++i) releaseValue(field, header->items[i], pending);
  }
  free(header->items);
  header->items = nullptr;
  header->count = 0;
  header->filled = 0;
}

// The repeated headers live in the slot array's block (initMessageInfo).
void freeRecordShell(MessageInfo* record) {
  free(record->slots);
  free(record);
}

void drain(PendingRecords& pending) {
  while (!pending.empty()) {
    auto [schema, record] = pending.pop();
    if (record->slots) {
      for (uint32_t id = 0; id < schema->fieldCount; ++id)
        releaseField(*schema, record, id, pending);
    }
    freeRecordShell(record);
  }
}

MessageInfo* newRecord(const MessageSchema& schema) {
  auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  if (record && !initMessageInfo(schema, record)) {
    freeRecordShell(record);
    return nullptr;
  }
  return record;
}

// ---------------------------------------------------------------------------
// Decoding.

bool decodeRepeatedElement(const MessageSchema& schema, pb_istream* stream, void** arg);

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

bool setDecoders(const MessageSchema& schema, MessageInfo* record, unsigned char* wire) {
  const WireLayout& layout = layoutOf(schema);
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    const FieldLayout& place = layout.fields[id];
    if (field.repeated()) {
      auto* header = static_cast<APMNanoRepeated*>(record->slots[id]);
      if (header && (header->items || header->count)) {
        PendingRecords pending;
        releaseField(schema, record, id, pending);
        drain(pending);
      }
      pb_callback* callback = callbackAt(wire, place);
      callback->arg = record->slots[id];
      if (isNested(field)) {
        callback->decode = kElementDecoders[field.message->index];
      } else if (isString(field)) {
        callback->decode = APMNanoDecodeRepeatedString;
      } else {
        callback->decode = APMNanoDecodeRepeatedVarint;
      }
    } else if (isString(field)) {
      pb_callback* callback = callbackAt(wire, place);
      callback->decode = APMNanoDecodeString;
      callback->arg = &record->slots[id];
    } else if (isNested(field)) {
      PendingRecords pending;
      releaseField(schema, record, id, pending);
      drain(pending);
      MessageInfo* nested = newRecord(*field.message);
      if (!nested) return false;
      record->slots[id] = nested;
      if (!setDecoders(*field.message, nested, wire + place.offset)) return false;
    }
  }
  return true;
}

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
        header->items = static_cast<void**>(calloc(header->count, sizeof(void*)));
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
bool countedItems(const MessageSchema& schema, const MessageInfo* record) {
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    const void* slot = record->slots[id];
    if (!slot) continue;
    if (field.repeated()) {
      if (static_cast<const APMNanoRepeated*>(slot)->count > 0) return true;
    } else if (isNested(field) &&
               countedItems(*field.message, static_cast<const MessageInfo*>(slot))) {
      return true;
    }
  }
  return false;
}

template <typename T>
T readWire(const unsigned char* wire, uint32_t offset) {
  T value;
  std::memcpy(&value, wire + offset, sizeof(T));
  return value;
}

void copyScalars(const MessageSchema& schema, const unsigned char* wire, MessageInfo* record) {
  const WireLayout& layout = layoutOf(schema);
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    if (field.repeated() || isString(field)) continue;
    const FieldLayout& place = layout.fields[id];
    const bool present = wire[place.flagOffset] != 0;
    void** slot = &record->slots[id];
    if (isNested(field)) {
      if (present) {
        copyScalars(*field.message, wire + place.offset, static_cast<MessageInfo*>(*slot));
      } else {
        // An absent submessage leaves no slot, not an empty record.
        PendingRecords pending;
        releaseField(schema, record, id, pending);
        drain(pending);
      }
      continue;
    }
    if (!present) continue;
    switch (field.type) {
    case FieldType::Bool:
      APMNanoStoreBool(slot, wire[place.offset] != 0);
      break;
    case FieldType::Enum:
    case FieldType::Int32:
    case FieldType::UInt32:
      APMNanoStoreUInt32(slot, readWire<uint32_t>(wire, place.offset));
      break;
    case FieldType::Int64:
    case FieldType::UInt64:
      APMNanoStoreUInt64(slot, readWire<uint64_t>(wire, place.offset));
      break;
    case FieldType::Float:
      APMNanoStoreFloat(slot, readWire<float>(wire, place.offset));
      break;
    case FieldType::Double:
      APMNanoStoreDouble(slot, readWire<double>(wire, place.offset));
      break;
    default:
      break;
    }
  }
}

bool decodePass(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                unsigned char* wire) {
  pb_istream stream = pb_istream_from_buffer(bytes, length);
  if (pb_decode(&stream, layoutOf(schema).descriptors.data(), wire)) return true;
  printLine(format("<ERROR> %s decoder failed: %s\n", schema.name,
                   stream.errmsg ? stream.errmsg : "(none)"));
  return false;
}

bool decodeRepeatedElement(const MessageSchema& schema, pb_istream* stream, void** arg) {
  auto* header = arg ? static_cast<APMNanoRepeated*>(*arg) : nullptr;
  if (!header) {
    printLine(format("<ERROR> %s decoder failed: Invalid arg parameter\n", schema.name));
    return false;
  }
  if (!header->items) {
    if (header->count == UINT32_MAX) return false;
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
  const bool inPlace = stream->callback == pb_istream_from_buffer(nullptr, 0).callback;
  if (!inPlace) {
    copied.reset(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
    bytes = copied.get();
  }
  if (!bytes || !pb_read(stream, inPlace ? nullptr : copied.get(), length)) {
    printLine(
        format("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", schema.name));
    return false;
  }
  MessageInfo* element = newRecord(schema);
  if (!element) {
    printLine(format("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", schema.name));
    return false;
  }
  header->items[header->filled] = element;
  if (!decodeMessage(schema, bytes, length, element)) {
    printLine(format("<ERROR> %s decoder failed: Unable to decode repeated %s\n", schema.name,
                     schema.name));
    return false;
  }
  ++header->filled;
  return true;
}

// ---------------------------------------------------------------------------
// Encoding. The bytes are those the codec writes for the message's wire
// structure (fields in tag order, absent fields and empty repeated fields
// left out, strings and messages length-delimited, repeated fields
// unpacked), produced in two walks over the record: the first measures every
// nested message once, in the order the second writes them, so that each
// length is known before its body without measuring it again at every
// level.

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

class Encoder {
 public:
  // Measures `record`, recording the body size of every nested message.
  bool measure(const MessageSchema& schema, const MessageInfo* record, size_t& size) {
    size = 0;
    const WireLayout& layout = layoutOf(schema);
    for (uint32_t id : layout.tagOrder) {
      const FieldSchema& field = schema.fields[id];
      const void* slot = record->slots[id];
      const size_t keySize = varintSize(uint64_t{field.tag} << 3);
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

  bool write(const MessageSchema& schema, const MessageInfo* record, pb_ostream* stream) {
    const WireLayout& layout = layoutOf(schema);
    for (uint32_t id : layout.tagOrder) {
      const FieldSchema& field = schema.fields[id];
      const void* slot = record->slots[id];
      if (field.repeated()) {
        auto* header = static_cast<const APMNanoRepeated*>(slot);
        if (header->count == 0 || !header->items) continue;
        for (uint32_t i = 0; i < header->count; ++i) {
          if (!writeValue(field, header->items[i], stream)) return false;
        }
      } else if (slot && !writeValue(field, slot, stream)) {
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

  bool writeValue(const FieldSchema& field, const void* value, pb_ostream* stream) {
    if (!pb_encode_tag(stream, wireType(field.type), field.tag)) return false;
    switch (field.type) {
    case FieldType::Float:
      return pb_write(stream, static_cast<const uint8_t*>(value), 4);
    case FieldType::Double:
      return pb_write(stream, static_cast<const uint8_t*>(value), 8);
    case FieldType::String:
    case FieldType::Bytes: {
      auto* bytes = static_cast<const APMNanoBytes*>(value);
      return pb_encode_string(stream, bytes->data, bytes->length);
    }
    case FieldType::Message:
      return pb_encode_varint(stream, sizes_[next_++]) &&
             write(*field.message, static_cast<const MessageInfo*>(value), stream);
    default:
      return pb_encode_varint(stream, readCell(value, field.type));
    }
  }

  std::vector<uint32_t> sizes_; // nested message bodies, in writing order
  size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// Copying.

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
  *destination = malloc(width);
  if (!*destination) return false;
  std::memcpy(*destination, source, width);
  return true;
}

} // namespace

// ---------------------------------------------------------------------------

int initMessageInfo(const MessageSchema& schema, MessageInfo* record) {
  if (!record) return 0;
  record->name = schema.name;
  record->kinds = schema.kinds;
  // The slot array and the repeated headers share one block: headers live
  // exactly as long as their record and are freed with its slot array.
  const uint32_t repeatedCount = layoutOf(schema).repeatedCount;
  void* block =
      calloc(1, schema.fieldCount * sizeof(void*) + repeatedCount * sizeof(APMNanoRepeated));
  if (!block) return 0;
  record->slots = static_cast<void**>(block);
  auto* header = reinterpret_cast<APMNanoRepeated*>(record->slots + schema.fieldCount);
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    if (schema.fields[id].repeated()) record->slots[id] = header++;
  }
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
  releaseField(schema, record, static_cast<uint32_t>(fieldID), pending);
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
  auto* copy = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  if (!copy) return 0;
  *destination = copy;
  if (!initMessageInfo(schema, copy)) return 0;
  if (!source->slots) return 1;
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    const void* slot = source->slots[id];
    if (!slot) continue;
    if (!field.repeated()) {
      if (!copyValue(field, slot, &copy->slots[id])) return 0;
      continue;
    }
    auto* from = static_cast<const APMNanoRepeated*>(slot);
    auto* to = static_cast<APMNanoRepeated*>(copy->slots[id]);
    if (from->count == 0 || !from->items) continue;
    to->items = static_cast<void**>(calloc(from->count, sizeof(void*)));
    if (!to->items) return 0;
    to->count = from->count;
    to->filled = from->count;
    for (uint32_t i = 0; i < from->count; ++i) {
      if (from->items[i] && !copyValue(field, from->items[i], &to->items[i])) return 0;
    }
  }
  return 1;
}

int decodeMessage(const MessageSchema& schema, const uint8_t* bytes, size_t length,
                  MessageInfo* record) {
  if (!record || !record->slots) {
    printLine(format("<ERROR> %s decoder failed: message_info is NULL\n", schema.name));
    return 0;
  }
  DepthGuard depth;
  if (depth.tooDeep()) {
    printLine(format("<ERROR> %s decoder failed: %s\n", schema.name, "nesting too deep"));
    return 0;
  }
  const WireLayout& layout = layoutOf(schema);
  WireBuffer wire(layout.size);
  if (!setDecoders(schema, record, wire.data())) {
    printLine(format("<ERROR> %s decoder failed: Unable to set decoders\n", schema.name));
    return 0;
  }
  if (!decodePass(schema, bytes, length, wire.data())) return 0;
  // When the counting pass found no items, the filling pass would decode
  // the same scalars again and fill nothing: its result is already there.
  if (layout.twoPasses && countedItems(schema, record)) {
    if (!allocateArrays(schema, record)) {
      printLine(format("<ERROR> %s decoder failed: Unable to allocate arrays\n", schema.name));
      return 0;
    }
    if (!decodePass(schema, bytes, length, wire.data())) return 0;
  }
  copyScalars(schema, wire.data(), record);
  return 1;
}

int32_t encodeMessage(const MessageSchema& schema, const MessageInfo* record, uint8_t** output) {
  if (!output) return -1;
  *output = nullptr;
  if (!record || !record->slots) return -1;
  Encoder encoder;
  size_t size = 0;
  if (!encoder.measure(schema, record, size) || size > INT32_MAX) return -1;
  // A zero-length message still gets a buffer that the caller frees.
  auto* buffer = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (!buffer) return -1;
  pb_ostream stream = pb_ostream_from_buffer(buffer, size);
  if (!encoder.write(schema, record, &stream) || stream.bytes_written != size) {
    free(buffer);
    return -1;
  }
  *output = buffer;
  return static_cast<int32_t>(size);
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
