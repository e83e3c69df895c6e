#include "measurement/messages/nano_callbacks.h"

#include "measurement/messages/nano_memory.h"
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/log.h"

namespace {

APMNanoRepeated* headerOf(void** arg) { return arg ? static_cast<APMNanoRepeated*>(*arg) : nullptr; }

}  // namespace

bool APMNanoDecodeRepeatedVarint(pb_istream* stream, const pb_field_desc*, void** arg) {
  APMNanoRepeated* header = headerOf(arg);
  if (!header) return false;
  // An empty packed field calls once with nothing to read: zero items.
  if (stream->bytes_left == 0) return true;
  uint64_t value;
  if (!pb_decode_varint(stream, &value)) return false;
  if (!header->items) {
    if (header->count == UINT32_MAX) return false;
    header->count++;
    return true;
  }
  // The filling pass reads the bytes the counting pass counted.
  if (header->filled >= header->count) return false;
  auto* cell = static_cast<uint64_t*>(nanoAllocate(sizeof(uint64_t)));
  if (!cell) return false;
  *cell = value;
  header->items[header->filled++] = cell;
  return true;
}

bool APMNanoDecodeString(pb_istream* stream, const pb_field_desc*, void** arg) {
  if (!arg || !*arg) return false;
  void** slot = static_cast<void**>(*arg);
  if (auto* existing = static_cast<APMNanoBytes*>(*slot)) {
    if (existing->data) return pb_read(stream, nullptr, stream->bytes_left);
    platform::stdoutPrint("<ERROR> String decoder failed: string data is NULL\n");
    return false;
  }
  const size_t length = stream->bytes_left;
  if (length > kNanoMaxStringLength) {
    char text[96];
    snprintf(text, sizeof text, "Unable to process proto stream. Buffer is too big. %zu > %d", length,
             static_cast<int>(kNanoMaxStringLength));
    platform::stdoutPrint(text);
    return false;
  }
  // The value and its data in one block, as nanoNewBytes makes them.
  auto* value = static_cast<APMNanoBytes*>(nanoAllocate(sizeof(APMNanoBytes) + length + 1));
  if (!value) return false;
  value->data = reinterpret_cast<uint8_t*>(value + 1);
  if (!pb_read(stream, value->data, length)) {
    nanoRelease(value);
    return false;
  }
  value->data[length] = 0;
  value->length = static_cast<uint32_t>(length);
  *slot = value;
  return true;
}

bool APMNanoDecodeRepeatedString(pb_istream* stream, const pb_field_desc* field, void** arg) {
  APMNanoRepeated* header = headerOf(arg);
  if (!header) return false;
  if (!header->items) {
    if (header->count == UINT32_MAX) return false;
    header->count++;
    return pb_read(stream, nullptr, stream->bytes_left);
  }
  if (header->filled >= header->count) return false;
  void* itemSlot = &header->items[header->filled++];
  return APMNanoDecodeString(stream, field, &itemSlot);
}

bool APMNanoEncodeRepeatedVarint(pb_ostream* stream, const pb_field_desc* field, void** arg) {
  const APMNanoRepeated* header = headerOf(arg);
  if (!header) return false;
  if (header->count == 0) return true;
  if (!header->items) return false;
  for (uint32_t i = 0; i < header->count; ++i) {
    const auto* cell = static_cast<const uint64_t*>(header->items[i]);
    if (!cell || !pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, *cell)) {
      return false;
    }
  }
  return true;
}

bool APMNanoEncodeString(pb_ostream* stream, const pb_field_desc* field, void** arg) {
  const auto* value = arg ? static_cast<const APMNanoBytes*>(*arg) : nullptr;
  if (!value || !value->data) return false;
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, value->data, value->length);
}

bool APMNanoEncodeRepeatedString(pb_ostream* stream, const pb_field_desc* field, void** arg) {
  const APMNanoRepeated* header = headerOf(arg);
  if (!header) return false;
  if (header->count == 0) return true;
  if (!header->items) return false;
  for (uint32_t i = 0; i < header->count; ++i) {
    void* item = header->items[i];
    if (!APMNanoEncodeString(stream, field, &item)) return false;
  }
  return true;
}

int32_t APMNanoEncodeMessage(const pb_field_desc* fields, const void* src_struct, uint8_t** buffer) {
  if (!buffer) return -1;
  *buffer = nullptr;
  // A failure here shows again in the real pass below.
  pb_ostream sizing = makeSizingStream();
  pb_encode(&sizing, fields, src_struct);
  const size_t size = sizing.bytes_written;
  if (size > static_cast<size_t>(INT32_MAX)) return -1;
  // At least one byte, so that an empty message still gets a buffer.
  auto* bytes = static_cast<uint8_t*>(calloc(size > 0 ? size : 1, 1));
  if (!bytes) return -1;
  pb_ostream output = pb_ostream_from_buffer(bytes, size);
  if (!pb_encode(&output, fields, src_struct)) {
    free(bytes);
    return -1;
  }
  *buffer = bytes;
  return static_cast<int32_t>(output.bytes_written);
}
