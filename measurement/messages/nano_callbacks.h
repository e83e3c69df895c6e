// The codec callbacks (wire_codec.h `pb_callback`) that decode and encode
// strings and repeated fields straight into and out of `MessageInfo`
// records, and the whole-message encode.
//
// Arguments the per-message routines install (`pb_callback::arg`):
// - string decode: the address of the field's slot (void**);
// - string encode: the field's APMNanoBytes value;
// - repeated field, either direction: the field's APMNanoRepeated header.
// A missing argument makes every callback answer false.
//
// Repeated fields are decoded in two passes over the same bytes: while a
// header has no item array the decoders only count items; once the caller
// has allocated a zeroed array of `count` items and set `filled` to 0, the
// second pass stores items[filled++].
//
// Failures answer false to the codec, which fails the decode ("callback
// failed") or encode ("callback error"); the few texts below are printed on
// standard output. No shared state; callers' threads.
#pragma once

#include <cstdint>

#include "measurement/messages/message_info.h"
#include "measurement/messages/nano_slots.h"
#include "measurement/messages/wire_codec.h"

// Longest string or bytes value a decode accepts.
inline constexpr uint32_t kNanoMaxStringLength = 0x100000;  // 1,048,576 bytes

// One 64-bit varint per call, into a new 8-byte cell. An empty substream
// (an empty packed field) is accepted and adds nothing.
bool APMNanoDecodeRepeatedVarint(pb_istream* stream, const pb_field_desc* field, void** arg);
// All bytes left in the field become the slot's value. A slot that already
// holds a value keeps it (the first occurrence wins); one that holds a value
// without data fails with "<ERROR> String decoder failed: string data is
// NULL". Longer than kNanoMaxStringLength: prints "Unable to process proto
// stream. Buffer is too big. <length> > 1048576" (no line end) and fails,
// leaving the slot empty.
bool APMNanoDecodeString(pb_istream* stream, const pb_field_desc* field, void** arg);
bool APMNanoDecodeRepeatedString(pb_istream* stream, const pb_field_desc* field, void** arg);

// Key and value per item, unpacked. A header with count 0 writes nothing.
bool APMNanoEncodeRepeatedVarint(pb_ostream* stream, const pb_field_desc* field, void** arg);
bool APMNanoEncodeString(pb_ostream* stream, const pb_field_desc* field, void** arg);
bool APMNanoEncodeRepeatedString(pb_ostream* stream, const pb_field_desc* field, void** arg);

// Encodes `src_struct` (described by `fields`) into a new buffer of exactly
// the encoded size, stored at `*buffer` (malloc'd; the caller frees it, also
// for length 0). Answers the length, or -1 with `*buffer` null when encoding
// fails, the buffer cannot be allocated or the size exceeds INT32_MAX.
int32_t APMNanoEncodeMessage(const pb_field_desc* fields, const void* src_struct, uint8_t** buffer);
