// Decoding: input streams, varints, field skipping and the table-driven
// message decoder.
#include <cstdlib>
#include <cstring>

#include "measurement/messages/wire_codec_internal.h"

using namespace wire_internal;

namespace {

bool bufferRead(pb_istream* stream, uint8_t* buf, size_t count) {
  const auto* source = static_cast<const uint8_t*>(stream->state);
  if (buf) memcpy(buf, source, count);
  stream->state = const_cast<uint8_t*>(source + count);
  return true;
}

inline bool readByte(pb_istream* stream, uint8_t* byte) {
  if (stream->bytes_left == 0) return fail(stream, "end-of-stream");
  if (stream->callback == bufferRead) {
    const auto* source = static_cast<const uint8_t*>(stream->state);
    *byte = *source;
    stream->state = const_cast<uint8_t*>(source + 1);
  } else if (!stream->callback || !stream->callback(stream, byte, 1)) {
    return fail(stream, "io error");
  }
  stream->bytes_left--;
  return true;
}

inline bool decodeVarint32(pb_istream* stream, uint32_t* dest) {
  return pb_decode_varint32_eof(stream, dest, nullptr);
}

}  // namespace

pb_istream pb_istream_from_buffer(const uint8_t* buf, size_t size) {
  return pb_istream{bufferRead, const_cast<uint8_t*>(buf), size, nullptr};
}

bool pb_read(pb_istream* stream, uint8_t* buf, size_t count) {
  if (count == 0) return true;
  if (stream->bytes_left < count) return fail(stream, "end-of-stream");
  if (stream->callback == bufferRead) {
    bufferRead(stream, buf, count);
    stream->bytes_left -= count;
    return true;
  }
  if (!buf && stream->callback != bufferRead) {
    // Other streams cannot seek: skip through a small scratch area.
    uint8_t scratch[16];
    while (count > 0) {
      const size_t step = count < sizeof scratch ? count : sizeof scratch;
      if (!pb_read(stream, scratch, step)) return false;
      count -= step;
    }
    return true;
  }
  if (!stream->callback || !stream->callback(stream, buf, count)) return fail(stream, "io error");
  stream->bytes_left -= count;
  return true;
}

bool pb_decode_varint32_eof(pb_istream* stream, uint32_t* dest, bool* eof) {
  uint8_t byte;
  if (stream->bytes_left == 0 && eof) {
    *eof = true;
    return false;
  }
  if (stream->callback == bufferRead && stream->bytes_left > 0) {
    // Keys and lengths are mostly one or two bytes: read those in place.
    const auto* source = static_cast<const uint8_t*>(stream->state);
    size_t used = 0;
    if (source[0] < 0x80) {
      *dest = source[0];
      used = 1;
    } else if (stream->bytes_left > 1 && source[1] < 0x80) {
      *dest = (source[0] & 0x7Fu) | static_cast<uint32_t>(source[1]) << 7;
      used = 2;
    }
    if (used > 0) {
      stream->state = const_cast<uint8_t*>(source + used);
      stream->bytes_left -= used;
      return true;
    }
  }
  if (!readByte(stream, &byte)) return false;
  if ((byte & 0x80) == 0) {
    *dest = byte;
    return true;
  }
  uint32_t result = byte & 0x7F;
  uint32_t bitpos = 7;
  // Payload every byte after the fifth must carry: none, or all ones when
  // the fifth byte began the sign extension of a negative value. Anything
  // else would be dropped from the 32-bit result.
  uint8_t extension = 0;
  do {
    // Ten bytes carry 64 bits; an eleventh would let a run of 0x80 bytes
    // go on forever.
    if (bitpos >= 70) return fail(stream, "varint overflow");
    if (!readByte(stream, &byte)) return false;
    if (bitpos >= 32) {
      const uint8_t expected = extension == 0 ? 0 : bitpos < 63 ? 0x7F : 0x01;
      if ((byte & 0x7F) != expected) return fail(stream, "varint overflow");
    } else {
      if (bitpos == 28 && (byte & 0x80)) {
        // Bits 32-34 of a fifth byte that is not the last.
        if ((byte & 0x78) == 0x78) {
          extension = 0x7F;
        } else if ((byte & 0x70) != 0) {
          return fail(stream, "varint overflow");
        }
      }
      result |= static_cast<uint32_t>(byte & 0x7F) << bitpos;
    }
    bitpos += 7;
  } while (byte & 0x80);
  if (bitpos == 35 && (byte & 0x70) != 0) return fail(stream, "varint overflow");
  *dest = result;
  return true;
}

bool pb_decode_varint(pb_istream* stream, uint64_t* dest) {
  uint64_t result = 0;
  uint32_t bitpos = 0;
  uint8_t byte;
  if (stream->callback == bufferRead) {
    // Fast path: read straight from the buffer.
    const auto* p = static_cast<const uint8_t*>(stream->state);
    const size_t available = stream->bytes_left;
    size_t used = 0;
    do {
      if (bitpos >= 64) return fail(stream, "varint overflow");
      if (used == available) {
        stream->state = const_cast<uint8_t*>(p + used);
        stream->bytes_left -= used;
        return fail(stream, "end-of-stream");
      }
      byte = p[used++];
      result |= static_cast<uint64_t>(byte & 0x7F) << bitpos;
      bitpos += 7;
    } while (byte & 0x80);
    stream->state = const_cast<uint8_t*>(p + used);
    stream->bytes_left -= used;
    *dest = result;
    return true;
  }
  do {
    if (bitpos >= 64) return fail(stream, "varint overflow");
    if (!readByte(stream, &byte)) return false;
    result |= static_cast<uint64_t>(byte & 0x7F) << bitpos;
    bitpos += 7;
  } while (byte & 0x80);
  *dest = result;
  return true;
}

bool pb_skip_field(pb_istream* stream, uint32_t wire_type) {
  switch (wire_type) {
    case kPbWireVarint: {
      uint8_t byte;
      do {
        if (!readByte(stream, &byte)) return false;
      } while (byte & 0x80);
      return true;
    }
    case kPbWire64Bit:
      return pb_read(stream, nullptr, 8);
    case kPbWireLengthDelimited: {
      uint32_t length;
      if (!decodeVarint32(stream, &length)) return false;
      return pb_read(stream, nullptr, length);
    }
    case kPbWire32Bit:
      return pb_read(stream, nullptr, 4);
    default:
      return fail(stream, "invalid wire_type");
  }
}

bool pb_make_string_substream(pb_istream* stream, pb_istream* substream) {
  uint32_t size;
  if (!decodeVarint32(stream, &size)) return false;
  if (stream->bytes_left < size) return fail(stream, "parent stream too short");
  substream->callback = stream->callback;
  substream->state = stream->state;
  substream->bytes_left = size;
  substream->errmsg = stream->errmsg;
  stream->bytes_left -= size;
  return true;
}

bool pb_close_string_substream(pb_istream* stream, pb_istream* substream) {
  bool ok = true;
  if (substream->bytes_left > 0) ok = pb_read(substream, nullptr, substream->bytes_left);
  stream->state = substream->state;
  if (substream->errmsg) stream->errmsg = substream->errmsg;
  return ok;
}

namespace {

// --- Type decoders. `dest` is the item's storage; for pointer strings and
// bytes it is the address of the pointer, which the decoder allocates.

bool allocateField(pb_istream* stream, void** pointer, size_t itemSize, size_t count) {
  if (itemSize == 0) return fail(stream, "invalid size");
  if (count == 0 || count > SIZE_MAX / itemSize) return fail(stream, "size too large");
  void* resized = realloc(*pointer, itemSize * count);
  if (!resized) return fail(stream, "realloc failed");
  *pointer = resized;
  return true;
}

// Stores `value` in a field of `Narrow` width; with `checked`, a value the
// width cannot hold fails instead of being cut.
template <typename Narrow, typename Wide>
bool storeNarrowed(pb_istream* stream, void* dest, Wide value, bool checked) {
  const auto stored = static_cast<Narrow>(value);
  if (checked && static_cast<Wide>(stored) != value) return fail(stream, "integer too large");
  memcpy(dest, &stored, sizeof stored);
  return true;
}

bool storeSigned(pb_istream* stream, const pb_field_desc* field, void* dest, int64_t value) {
  switch (field->data_size) {
    case 1: return storeNarrowed<int8_t>(stream, dest, value, true);
    case 2: return storeNarrowed<int16_t>(stream, dest, value, true);
    case 4: return storeNarrowed<int32_t>(stream, dest, value, true);
    case 8: return storeNarrowed<int64_t>(stream, dest, value, false);
    default: return fail(stream, "invalid data_size");
  }
}

// 32-bit unsigned fields (enums among them) keep plain truncation, so that a
// negative enum sent as a 10-byte varint still decodes.
bool storeUnsigned(pb_istream* stream, const pb_field_desc* field, void* dest, uint64_t value) {
  switch (field->data_size) {
    case 1: return storeNarrowed<uint8_t>(stream, dest, value, true);
    case 2: return storeNarrowed<uint16_t>(stream, dest, value, true);
    case 4: return storeNarrowed<uint32_t>(stream, dest, value, false);
    case 8: return storeNarrowed<uint64_t>(stream, dest, value, false);
    default: return fail(stream, "invalid data_size");
  }
}

bool decodeBool(pb_istream* stream, const pb_field_desc*, void* dest) {
  uint32_t value;
  if (!decodeVarint32(stream, &value)) return false;
  *static_cast<bool*>(dest) = value != 0;
  return true;
}

bool decodeVarintField(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint64_t raw;
  if (!pb_decode_varint(stream, &raw)) return false;
  int64_t value;
  if (field->data_size == 8 || raw > 0xFFFFFFFFu) {
    // Beyond 32 bits only a sign-extended negative fits a narrow field.
    value = static_cast<int64_t>(raw);
  } else {
    // Negative 32-bit values arrive as 5 bytes from some writers.
    value = static_cast<int32_t>(static_cast<uint32_t>(raw));
  }
  return storeSigned(stream, field, dest, value);
}

bool decodeUVarintField(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint64_t raw;
  if (!pb_decode_varint(stream, &raw)) return false;
  // Narrow fields take the low 32 bits, so that negative enum values
  // (10 bytes on the wire) keep their 32-bit form.
  const uint64_t value = field->data_size == 8 ? raw : static_cast<uint32_t>(raw);
  return storeUnsigned(stream, field, dest, value);
}

bool decodeSVarintField(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint64_t raw;
  if (!pb_decode_varint(stream, &raw)) return false;
  const int64_t value = static_cast<int64_t>(raw >> 1) ^ -static_cast<int64_t>(raw & 1);
  return storeSigned(stream, field, dest, value);
}

bool decodeFixed32(pb_istream* stream, const pb_field_desc*, void* dest) {
  uint8_t bytes[4];
  if (!pb_read(stream, bytes, 4)) return false;
  const uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  memcpy(dest, &value, 4);
  return true;
}

bool decodeFixed64(pb_istream* stream, const pb_field_desc*, void* dest) {
  uint8_t bytes[8];
  if (!pb_read(stream, bytes, 8)) return false;
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  memcpy(dest, &value, 8);
  return true;
}

bool decodeBytes(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint32_t length;
  if (!decodeVarint32(stream, &length)) return false;
  uint8_t* block;
  if (atype(field) == kPbATypePointer) {
    if (length > stream->bytes_left) return fail(stream, "end-of-stream");
    if (!allocateField(stream, static_cast<void**>(dest), static_cast<size_t>(length) + 4, 1)) {
      return false;
    }
    block = *static_cast<uint8_t**>(dest);
  } else {
    if (static_cast<uint64_t>(length) + 4 > field->data_size) return fail(stream, "bytes overflow");
    block = static_cast<uint8_t*>(dest);
  }
  memcpy(block, &length, 4);
  return pb_read(stream, block + 4, length);
}

bool decodeString(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint32_t length;
  if (!decodeVarint32(stream, &length)) return false;
  if (length == 0xFFFFFFFFu) return fail(stream, "size too large");
  char* text;
  if (atype(field) == kPbATypePointer) {
    if (length > stream->bytes_left) return fail(stream, "end-of-stream");
    if (!allocateField(stream, static_cast<void**>(dest), static_cast<size_t>(length) + 1, 1)) {
      return false;
    }
    text = *static_cast<char**>(dest);
  } else {
    if (static_cast<uint64_t>(length) + 1 > field->data_size) return fail(stream, "string overflow");
    text = static_cast<char*>(dest);
  }
  text[length] = '\0';
  return pb_read(stream, reinterpret_cast<uint8_t*>(text), length);
}

bool decodeSubmessage(pb_istream* stream, const pb_field_desc* field, void* dest) {
  if (!field->ptr) return fail(stream, "invalid field descriptor");
  pb_istream substream;
  if (!pb_make_string_substream(stream, &substream)) return false;
  const auto* fields = static_cast<const pb_field_desc*>(field->ptr);
  // A repeated item starts from defaults; a singular message merges.
  bool ok = htype(field) == kPbHTypeRepeated ? pb_decode(&substream, fields, dest)
                                             : pb_decode_noinit(&substream, fields, dest);
  if (!pb_close_string_substream(stream, &substream)) ok = false;
  return ok;
}

bool decodeFixedLengthBytes(pb_istream* stream, const pb_field_desc* field, void* dest) {
  uint32_t length;
  if (!decodeVarint32(stream, &length)) return false;
  if (length == 0) {
    memset(dest, 0, field->data_size);
    return true;
  }
  if (length != field->data_size) return fail(stream, "incorrect fixed length bytes size");
  return pb_read(stream, static_cast<uint8_t*>(dest), length);
}

using TypeDecoder = bool (*)(pb_istream*, const pb_field_desc*, void*);

constexpr TypeDecoder kTypeDecoders[16] = {
    decodeBool,    decodeVarintField, decodeUVarintField, decodeSVarintField,
    decodeFixed32, decodeFixed64,     decodeBytes,        decodeString,
    decodeSubmessage, nullptr,        decodeFixedLengthBytes,
};

bool decodeItem(pb_istream* stream, const pb_field_desc* field, void* dest) {
  const TypeDecoder decoder = kTypeDecoders[ltype(field)];
  if (!decoder) return fail(stream, "invalid field type");
  return decoder(stream, field, dest);
}

bool isPackable(const pb_field_desc* field) { return ltype(field) <= kPbLTypeLastPackable; }

// --- Field decoders by storage form.

bool decodeStaticField(pb_istream* stream, uint32_t wire_type, pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  switch (htype(field)) {
    case kPbHTypeRequired:
      return decodeItem(stream, field, iter->data);
    case kPbHTypeOptional:
      if (hasCompanion(iter)) *static_cast<bool*>(iter->size) = true;
      return decodeItem(stream, field, iter->data);
    case kPbHTypeRepeated: {
      auto* count = static_cast<uint32_t*>(iter->size);
      auto* items = static_cast<uint8_t*>(iter->data);
      if (wire_type == kPbWireLengthDelimited && isPackable(field)) {
        pb_istream substream;
        if (!pb_make_string_substream(stream, &substream)) return false;
        bool ok = true;
        while (substream.bytes_left > 0 && *count < field->array_size) {
          if (!decodeItem(&substream, field, items + static_cast<size_t>(field->data_size) * *count)) {
            ok = false;
            break;
          }
          (*count)++;
        }
        if (ok && substream.bytes_left > 0) ok = fail(&substream, "array overflow");
        if (!pb_close_string_substream(stream, &substream)) ok = false;
        return ok;
      }
      if (*count >= field->array_size) return fail(stream, "array overflow");
      void* item = items + static_cast<size_t>(field->data_size) * *count;
      (*count)++;
      return decodeItem(stream, field, item);
    }
    case kPbHTypeOneof: {
      auto* selector = static_cast<uint32_t*>(iter->size);
      if (ltype(field) == kPbLTypeSubmessage && *selector != field->tag) {
        memset(iter->data, 0, field->data_size);
        if (field->ptr) {
          pb_message_set_to_defaults(static_cast<const pb_field_desc*>(field->ptr), iter->data);
        }
      }
      *selector = field->tag;
      return decodeItem(stream, field, iter->data);
    }
  }
  return fail(stream, "invalid field type");
}

// Makes a freshly allocated item ready for decoding.
void initializeItem(const pb_field_desc* field, void* item) {
  if (isPointerStringOrBytes(field)) {
    *static_cast<void**>(item) = nullptr;
    return;
  }
  memset(item, 0, field->data_size);
  if (ltype(field) == kPbLTypeSubmessage && field->ptr) {
    pb_message_set_to_defaults(static_cast<const pb_field_desc*>(field->ptr), item);
  }
}

bool decodePointerField(pb_istream* stream, uint32_t wire_type, pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  void** pointer = static_cast<void**>(iter->data);
  if (htype(field) != kPbHTypeRepeated) {
    if (ltype(field) == kPbLTypeSubmessage && *pointer && field->ptr) {
      pb_release(static_cast<const pb_field_desc*>(field->ptr), *pointer);
    }
    if (htype(field) == kPbHTypeOneof) *static_cast<uint32_t*>(iter->size) = field->tag;
    if (isPointerStringOrBytes(field)) return decodeItem(stream, field, pointer);
    if (!allocateField(stream, pointer, field->data_size, 1)) return false;
    initializeItem(field, *pointer);
    return decodeItem(stream, field, *pointer);
  }

  auto* count = static_cast<uint32_t*>(iter->size);
  const size_t size = itemSize(field);
  if (size == 0) return fail(stream, "invalid size");
  if (wire_type == kPbWireLengthDelimited && isPackable(field)) {
    pb_istream substream;
    if (!pb_make_string_substream(stream, &substream)) return false;
    bool ok = true;
    size_t allocated = *count;
    while (substream.bytes_left > 0) {
      if (*count == 0xFFFFFFFFu) {
        ok = fail(&substream, "too many array entries");
        break;
      }
      if (*count >= allocated) {
        // Grow by an estimate of the items left instead of one by one.
        size_t more = (substream.bytes_left - 1) / size + 1;
        if (allocated + more > 0xFFFFFFFFu) more = 1;
        allocated += more;
        if (!allocateField(&substream, pointer, size, allocated)) {
          ok = false;
          break;
        }
      }
      void* item = static_cast<uint8_t*>(*pointer) + size * *count;
      initializeItem(field, item);
      if (!decodeItem(&substream, field, item)) {
        ok = false;
        break;
      }
      (*count)++;
    }
    if (!pb_close_string_substream(stream, &substream)) ok = false;
    return ok;
  }
  if (*count == 0xFFFFFFFFu) return fail(stream, "too many array entries");
  if (!allocateField(stream, pointer, size, static_cast<size_t>(*count) + 1)) return false;
  void* item = static_cast<uint8_t*>(*pointer) + size * *count;
  // Counted before decoding, so that release frees what a failed item holds.
  (*count)++;
  initializeItem(field, item);
  return decodeItem(stream, field, item);
}

bool decodeCallbackField(pb_istream* stream, uint32_t wire_type, pb_field_iter* iter) {
  return pb_decode_callback(stream, wire_type, iter->pos, static_cast<pb_callback*>(iter->data));
}

bool decodeField(pb_istream* stream, uint32_t wire_type, pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  if (htype(field) == kPbHTypeOneof) {
    const uint32_t selected = *static_cast<uint32_t*>(iter->size);
    if (selected != 0 && selected != field->tag) {
      // Another member holds the shared storage: release it first.
      const uint32_t tag = field->tag;
      if (!pb_field_iter_find(iter, selected)) return fail(stream, "invalid union tag");
      pb_release_single_field(iter);
      if (!pb_field_iter_find(iter, tag)) return fail(stream, "iterator error");
      if (atype(iter->pos) == kPbATypePointer) *static_cast<void**>(iter->data) = nullptr;
    }
  }
  switch (atype(iter->pos)) {
    case kPbATypeStatic:
      return decodeStaticField(stream, wire_type, iter);
    case kPbATypePointer:
      return decodePointerField(stream, wire_type, iter);
    case kPbATypeCallback:
      return decodeCallbackField(stream, wire_type, iter);
    default:
      return fail(stream, "invalid field type");
  }
}

bool decodeExtensionDefault(pb_istream* stream, pb_extension* extension, uint32_t tag,
                            uint32_t wire_type) {
  pb_field_iter iter;
  if (!extensionIterator(&iter, extension) || iter.pos->tag != tag) return true;
  extension->found = true;
  return decodeField(stream, wire_type, &iter);
}

// Offers a field to each extension of the chain until one consumes it.
bool decodeExtension(pb_istream* stream, uint32_t tag, uint32_t wire_type, pb_field_iter* iter) {
  auto* extension = *static_cast<pb_extension**>(iter->data);
  const size_t before = stream->bytes_left;
  for (; extension && stream->bytes_left == before; extension = extension->next) {
    if (extension->type && extension->type->decode) {
      if (!extension->type->decode(stream, extension, tag, wire_type)) {
        return fail(stream, "callback failed");
      }
    } else if (!decodeExtensionDefault(stream, extension, tag, wire_type)) {
      return false;
    }
  }
  return true;
}

bool findExtensionRange(pb_field_iter* iter) {
  const pb_field_desc* begin = iter->pos;
  do {
    if (ltype(iter->pos) == kPbLTypeExtension) return true;
    pb_field_iter_next(iter);
  } while (iter->pos != begin);
  return false;
}

}  // namespace

bool pb_decode_noinit(pb_istream* stream, const pb_field_desc* fields, void* dest_struct) {
  NestingGuard nesting;
  if (nesting.tooDeep()) return fail(stream, kNestingTooDeep);

  pb_field_iter iter;
  const bool hasFields = pb_field_iter_begin(&iter, fields, dest_struct);
  uint64_t requiredSeen = 0;
  uint32_t extensionRangeStart = 0;
  const pb_field_desc* fixedCountField = nullptr;
  uint32_t fixedCount = 0;

  while (stream->bytes_left > 0) {
    uint32_t key;
    bool eof = false;
    if (!pb_decode_varint32_eof(stream, &key, &eof)) {
      if (eof) break;
      return false;
    }
    if (key == 0) break;  // zero-terminated messages end here
    const uint32_t tag = key >> 3;
    const uint32_t wire_type = key & 7;

    if (!hasFields || !pb_field_iter_find(&iter, tag)) {
      if (hasFields && tag >= extensionRangeStart) {
        extensionRangeStart = findExtensionRange(&iter) ? iter.pos->tag : 0xFFFFFFFFu;
        if (tag >= extensionRangeStart) {
          const size_t before = stream->bytes_left;
          if (!decodeExtension(stream, tag, wire_type, &iter)) return false;
          if (stream->bytes_left != before) continue;
        }
      }
      if (!pb_skip_field(stream, wire_type)) return false;
      continue;
    }

    const pb_field_desc* field = iter.pos;
    if (htype(field) == kPbHTypeRepeated && field->size_offset == 0) {
      // A fixed-count array: the running count stands in for the companion.
      if (field != fixedCountField) {
        if (fixedCountField && fixedCount != fixedCountField->array_size) {
          return fail(stream, "wrong size for fixed count field");
        }
        fixedCountField = field;
        fixedCount = 0;
      }
      iter.size = &fixedCount;
    }
    if (htype(field) == kPbHTypeRequired && iter.required_field_index < 64) {
      requiredSeen |= uint64_t{1} << iter.required_field_index;
    }
    if (!decodeField(stream, wire_type, &iter)) return false;
  }

  if (fixedCountField && fixedCount != fixedCountField->array_size) {
    return fail(stream, "wrong size for fixed count field");
  }
  uint32_t required = 0;
  for (const pb_field_desc* field = fields; field->tag != 0; ++field) {
    if (htype(field) == kPbHTypeRequired && ltype(field) != kPbLTypeExtension) ++required;
  }
  if (required > 64) required = 64;
  const uint64_t all = required == 64 ? ~uint64_t{0} : (uint64_t{1} << required) - 1;
  if ((requiredSeen & all) != all) return fail(stream, "missing required field");
  return true;
}

bool pb_decode_callback(pb_istream* stream, uint32_t wire_type, const pb_field_desc* field,
                        pb_callback* callback) {
  if (!callback || !callback->decode) return pb_skip_field(stream, wire_type);

  if (wire_type == kPbWireLengthDelimited) {
    pb_istream substream;
    if (!pb_make_string_substream(stream, &substream)) return false;
    bool ok = true;
    do {
      const size_t before = substream.bytes_left;
      if (!callback->decode(&substream, field, &callback->arg)) {
        ok = fail(&substream, "callback failed");
        break;
      }
      // A callback that reads nothing would be called forever.
      if (before > 0 && substream.bytes_left == before) {
        ok = fail(&substream, "callback failed");
        break;
      }
    } while (substream.bytes_left > 0);
    if (!pb_close_string_substream(stream, &substream)) ok = false;
    return ok;
  }

  // Scalars: hand the raw value over as a stream of its own, so that one
  // callback serves packed and unpacked forms alike.
  uint8_t buffer[10];
  size_t length = 0;
  switch (wire_type) {
    case kPbWireVarint:
      do {
        if (length == sizeof buffer) return fail(stream, "varint overflow");
        if (!readByte(stream, &buffer[length])) return false;
      } while (buffer[length++] & 0x80);
      break;
    case kPbWire64Bit:
      length = 8;
      if (!pb_read(stream, buffer, length)) return false;
      break;
    case kPbWire32Bit:
      length = 4;
      if (!pb_read(stream, buffer, length)) return false;
      break;
    default:
      return fail(stream, "invalid wire_type");
  }
  pb_istream substream = pb_istream_from_buffer(buffer, length);
  if (!callback->decode(&substream, field, &callback->arg)) {
    return fail(stream, substream.errmsg ? substream.errmsg : "callback failed");
  }
  return true;
}

bool pb_decode_value(pb_istream* stream, const pb_field_desc* field, void* dest) {
  return decodeItem(stream, field, dest);
}

bool pb_decode(pb_istream* stream, const pb_field_desc* fields, void* dest_struct) {
  pb_message_set_to_defaults(fields, dest_struct);
  if (pb_decode_noinit(stream, fields, dest_struct)) return true;
  pb_release(fields, dest_struct);
  return false;
}
