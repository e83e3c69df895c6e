// Encoding: output streams, varints, keys and the table-driven message
// encoder. Lengths are written before bodies by measuring first with a
// sizing stream, so nothing is buffered.
#include <cstring>

#include "measurement/messages/wire_codec_internal.h"

using namespace wire_internal;

namespace {

bool bufferWrite(pb_ostream* stream, const uint8_t* buf, size_t count) {
  auto* dest = static_cast<uint8_t*>(stream->state);
  memcpy(dest, buf, count);
  stream->state = dest + count;
  return true;
}

size_t varintSize(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

}  // namespace

pb_ostream pb_ostream_from_buffer(uint8_t* buf, size_t size) {
  return pb_ostream{bufferWrite, buf, size, 0, nullptr};
}

pb_ostream makeSizingStream() { return pb_ostream{nullptr, nullptr, SIZE_MAX, 0, nullptr}; }

bool pb_write(pb_ostream* stream, const uint8_t* buf, size_t count) {
  if (count == 0) return true;
  if (stream->callback) {
    if (stream->bytes_written + count < stream->bytes_written ||
        stream->bytes_written + count > stream->max_size) {
      return fail(stream, "stream full");
    }
    if (!stream->callback(stream, buf, count)) return fail(stream, "io error");
  }
  stream->bytes_written += count;
  return true;
}

bool pb_encode_varint(pb_ostream* stream, uint64_t value) {
  if (!stream->callback) {
    stream->bytes_written += varintSize(value);
    return true;
  }
  const bool direct = stream->callback == bufferWrite && stream->bytes_written <= stream->max_size &&
                      stream->max_size - stream->bytes_written >= 10;
  // Fast path: room for the longest varint, write in place.
  uint8_t scratch[10];
  uint8_t* out = direct ? static_cast<uint8_t*>(stream->state) : scratch;
  size_t length = 0;
  while (value >= 0x80) {
    out[length++] = static_cast<uint8_t>(value) | 0x80;
    value >>= 7;
  }
  out[length++] = static_cast<uint8_t>(value);
  if (!direct) return pb_write(stream, scratch, length);
  stream->state = out + length;
  stream->bytes_written += length;
  return true;
}

bool pb_encode_tag(pb_ostream* stream, uint32_t wire_type, uint32_t field_number) {
  return pb_encode_varint(stream, static_cast<uint64_t>(field_number) << 3 | wire_type);
}

namespace {

// Wire type by LTYPE; -1 where a type has no wire form.
constexpr int kWireTypes[16] = {
    kPbWireVarint, kPbWireVarint, kPbWireVarint, kPbWireVarint,
    kPbWire32Bit,  kPbWire64Bit,  kPbWireLengthDelimited, kPbWireLengthDelimited,
    kPbWireLengthDelimited, -1,   kPbWireLengthDelimited, -1, -1, -1, -1, -1,
};

}  // namespace

bool pb_encode_tag_for_field(pb_ostream* stream, const pb_field_desc* field) {
  const int wire_type = kWireTypes[ltype(field)];
  if (wire_type < 0) return fail(stream, "invalid field type");
  return pb_encode_tag(stream, static_cast<uint32_t>(wire_type), field->tag);
}

bool pb_encode_string(pb_ostream* stream, const uint8_t* buf, size_t size) {
  if (!pb_encode_varint(stream, size)) return false;
  return pb_write(stream, buf, size);
}

bool pb_encode_submessage(pb_ostream* stream, const pb_field_desc* fields, const void* src_struct) {
  pb_ostream sizing = makeSizingStream();
  if (!pb_encode(&sizing, fields, src_struct)) return fail(stream, sizing.errmsg);
  const size_t size = sizing.bytes_written;
  if (!pb_encode_varint(stream, size)) return false;
  if (!stream->callback) return pb_write(stream, nullptr, size);
  if (stream->bytes_written + size < stream->bytes_written ||
      stream->bytes_written + size > stream->max_size) {
    return fail(stream, "stream full");
  }
  pb_ostream substream{stream->callback, stream->state, size, 0, nullptr};
  bool ok = pb_encode(&substream, fields, src_struct);
  stream->bytes_written += substream.bytes_written;
  stream->state = substream.state;
  if (substream.errmsg) fail(stream, substream.errmsg);
  if (ok && substream.bytes_written != size) ok = fail(stream, "submsg size changed");
  return ok;
}

namespace {

bool loadSigned(const pb_field_desc* field, const void* value, int64_t* result) {
  switch (field->data_size) {
    case 1: { int8_t v; memcpy(&v, value, 1); *result = v; return true; }
    case 2: { int16_t v; memcpy(&v, value, 2); *result = v; return true; }
    case 4: { int32_t v; memcpy(&v, value, 4); *result = v; return true; }
    case 8: { int64_t v; memcpy(&v, value, 8); *result = v; return true; }
    default: return false;
  }
}

bool loadUnsigned(const pb_field_desc* field, const void* value, uint64_t* result) {
  switch (field->data_size) {
    case 1: { uint8_t v; memcpy(&v, value, 1); *result = v; return true; }
    case 2: { uint16_t v; memcpy(&v, value, 2); *result = v; return true; }
    case 4: { uint32_t v; memcpy(&v, value, 4); *result = v; return true; }
    case 8: { uint64_t v; memcpy(&v, value, 8); *result = v; return true; }
    default: return false;
  }
}

// Writes one value (no key). `value` is the item's storage; for pointer
// strings and bytes it is the pointer held in the field or array (null
// writes an empty value).
bool encodeItem(pb_ostream* stream, const pb_field_desc* field, const void* value) {
  const bool isStatic = atype(field) == kPbATypeStatic;
  switch (ltype(field)) {
    case kPbLTypeBool:
      return pb_encode_varint(stream, *static_cast<const uint8_t*>(value) != 0 ? 1 : 0);
    case kPbLTypeVarint: {
      int64_t v;
      if (!loadSigned(field, value, &v)) return fail(stream, "invalid data_size");
      return pb_encode_varint(stream, static_cast<uint64_t>(v));
    }
    case kPbLTypeUVarint: {
      uint64_t v;
      if (!loadUnsigned(field, value, &v)) return fail(stream, "invalid data_size");
      return pb_encode_varint(stream, v);
    }
    case kPbLTypeSVarint: {
      int64_t v;
      if (!loadSigned(field, value, &v)) return fail(stream, "invalid data_size");
      return pb_encode_varint(stream, static_cast<uint64_t>(v) << 1 ^ static_cast<uint64_t>(v >> 63));
    }
    case kPbLTypeFixed32: {
      uint32_t v;
      memcpy(&v, value, 4);
      const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
      return pb_write(stream, bytes, 4);
    }
    case kPbLTypeFixed64: {
      uint64_t v;
      memcpy(&v, value, 8);
      uint8_t bytes[8];
      for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
      return pb_write(stream, bytes, 8);
    }
    case kPbLTypeBytes: {
      if (!value) return pb_encode_string(stream, nullptr, 0);
      uint32_t length;
      memcpy(&length, value, 4);
      if (isStatic && (field->data_size < 4 || length > field->data_size - 4)) {
        return fail(stream, "bytes size exceeded");
      }
      return pb_encode_string(stream, static_cast<const uint8_t*>(value) + 4, length);
    }
    case kPbLTypeString: {
      if (!value) return pb_encode_string(stream, nullptr, 0);
      const char* text = static_cast<const char*>(value);
      const size_t length = isStatic ? strnlen(text, field->data_size) : strlen(text);
      return pb_encode_string(stream, reinterpret_cast<const uint8_t*>(text), length);
    }
    case kPbLTypeSubmessage:
      if (!field->ptr) return fail(stream, "invalid field descriptor");
      return pb_encode_submessage(stream, static_cast<const pb_field_desc*>(field->ptr), value);
    case kPbLTypeFixedLengthBytes:
      if (!pb_encode_varint(stream, field->data_size)) return false;
      return pb_write(stream, static_cast<const uint8_t*>(value), field->data_size);
    default:
      return fail(stream, "invalid field type");
  }
}

const void* arrayItem(const pb_field_desc* field, const uint8_t* base, size_t index) {
  if (isPointerStringOrBytes(field)) return reinterpret_cast<void* const*>(base)[index];
  return base + index * field->data_size;
}

bool encodeArray(pb_ostream* stream, const pb_field_desc* field, const void* items, uint32_t count) {
  if (count == 0) return true;
  if (atype(field) == kPbATypeStatic && count > field->array_size) {
    return fail(stream, "array max size exceeded");
  }
  const auto* base = static_cast<const uint8_t*>(items);
  if (!base) return fail(stream, "array max size exceeded");

  if (ltype(field) <= kPbLTypeLastPackable) {
    if (!pb_encode_tag(stream, kPbWireLengthDelimited, field->tag)) return false;
    uint64_t size;
    if (ltype(field) == kPbLTypeFixed32) {
      size = uint64_t{count} * 4;
    } else if (ltype(field) == kPbLTypeFixed64) {
      size = uint64_t{count} * 8;
    } else {
      pb_ostream sizing = makeSizingStream();
      for (uint32_t i = 0; i < count; ++i) {
        if (!encodeItem(&sizing, field, arrayItem(field, base, i))) return fail(stream, sizing.errmsg);
      }
      size = sizing.bytes_written;
    }
    if (!pb_encode_varint(stream, size)) return false;
    if (!stream->callback) return pb_write(stream, nullptr, size);
    for (uint32_t i = 0; i < count; ++i) {
      if (!encodeItem(stream, field, arrayItem(field, base, i))) return false;
    }
    return true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!encodeItem(stream, field, arrayItem(field, base, i))) return false;
  }
  return true;
}

bool encodeKeyAndItem(pb_ostream* stream, const pb_field_desc* field, const void* value) {
  return pb_encode_tag_for_field(stream, field) && encodeItem(stream, field, value);
}

bool encodeField(pb_ostream* stream, const pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  if (atype(field) == kPbATypeCallback) {
    auto* callback = static_cast<pb_callback*>(iter->data);
    if (callback->encode && !callback->encode(stream, field, &callback->arg)) {
      return fail(stream, "callback error");
    }
    return true;
  }
  if (atype(field) != kPbATypeStatic && atype(field) != kPbATypePointer) {
    return fail(stream, "invalid field type");
  }
  const bool isPointer = atype(field) == kPbATypePointer;
  const void* value = isPointer ? *static_cast<void* const*>(iter->data) : iter->data;

  switch (htype(field)) {
    case kPbHTypeRequired:
      if (isPointer && !value) return fail(stream, "missing required field");
      return encodeKeyAndItem(stream, field, value);
    case kPbHTypeOptional: {
      bool present;
      if (isPointer) {
        present = value && (!hasCompanion(iter) || *static_cast<const uint8_t*>(iter->size) != 0);
      } else if (hasCompanion(iter)) {
        present = *static_cast<const uint8_t*>(iter->size) != 0;
      } else {
        present = !pb_check_proto3_default_value(iter);
      }
      return present ? encodeKeyAndItem(stream, field, value) : true;
    }
    case kPbHTypeOneof:
      if (*static_cast<const uint32_t*>(iter->size) != field->tag) return true;
      if (isPointer && !value) return true;
      return encodeKeyAndItem(stream, field, value);
    case kPbHTypeRepeated: {
      const uint32_t count =
          hasCompanion(iter) ? *static_cast<const uint32_t*>(iter->size) : field->array_size;
      return encodeArray(stream, field, value, count);
    }
  }
  return fail(stream, "invalid field type");
}

bool encodeExtensions(pb_ostream* stream, const pb_field_iter* iter) {
  for (auto* extension = *static_cast<pb_extension* const*>(iter->data); extension;
       extension = extension->next) {
    if (extension->type && extension->type->encode) {
      if (!extension->type->encode(stream, extension)) return fail(stream, "callback error");
      continue;
    }
    pb_field_iter extensionIter;
    if (extensionIterator(&extensionIter, extension) && !encodeField(stream, &extensionIter)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool pb_encode(pb_ostream* stream, const pb_field_desc* fields, const void* src_struct) {
  NestingGuard nesting;
  if (nesting.tooDeep()) return fail(stream, kNestingTooDeep);
  pb_field_iter iter;
  if (!pb_field_iter_begin(&iter, fields, const_cast<void*>(src_struct))) return true;
  do {
    const bool ok = ltype(iter.pos) == kPbLTypeExtension ? encodeExtensions(stream, &iter)
                                                         : encodeField(stream, &iter);
    if (!ok) return false;
  } while (pb_field_iter_next(&iter));
  return true;
}
