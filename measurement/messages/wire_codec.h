// The protobuf wire codec: proto2 binary encoding (varints, zig-zag, little-
// endian fixed32 and fixed64, length-delimited values, key = field number
// << 3 | wire type) between flat C structures and bytes.
//
// The codec knows no message: each message type is described by a constant
// table of `pb_field_desc` records that its owner supplies, and the codec
// walks that table. Streams, tables and structures belong to the caller.
// Operations answer true on success; on failure they answer false and leave
// one error text in the stream (the first failure's text wins; a
// substream's text is handed to its parent). The codec never logs.
//
// Allocation happens only for pointer fields (malloc/realloc, released with
// free by pb_release). Message nesting is bounded: a decode or encode that
// would nest more than kPbMaxNestingDepth messages deep, including nesting
// through callbacks that decode or encode submessages with the codec, fails
// with "nesting too deep".
//
// Threads: no shared state; any thread may use the codec, two threads at
// once on different streams and structures.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kPbMaxNestingDepth = 100;

// Field types: one byte = low type | presence (HTYPE) | storage (ATYPE).
inline constexpr uint8_t kPbLTypeBool = 0x00;
inline constexpr uint8_t kPbLTypeVarint = 0x01;
inline constexpr uint8_t kPbLTypeUVarint = 0x02;
inline constexpr uint8_t kPbLTypeSVarint = 0x03;
inline constexpr uint8_t kPbLTypeFixed32 = 0x04;
inline constexpr uint8_t kPbLTypeFixed64 = 0x05;
inline constexpr uint8_t kPbLTypeBytes = 0x06;
inline constexpr uint8_t kPbLTypeString = 0x07;
inline constexpr uint8_t kPbLTypeSubmessage = 0x08;
inline constexpr uint8_t kPbLTypeExtension = 0x09;
inline constexpr uint8_t kPbLTypeFixedLengthBytes = 0x0A;
inline constexpr uint8_t kPbLTypeMask = 0x0F;
inline constexpr uint8_t kPbLTypeLastPackable = kPbLTypeFixed64;

inline constexpr uint8_t kPbHTypeRequired = 0x00;
inline constexpr uint8_t kPbHTypeOptional = 0x10;
inline constexpr uint8_t kPbHTypeRepeated = 0x20;
inline constexpr uint8_t kPbHTypeOneof = 0x30;
inline constexpr uint8_t kPbHTypeMask = 0x30;

inline constexpr uint8_t kPbATypeStatic = 0x00;
inline constexpr uint8_t kPbATypeCallback = 0x40;
inline constexpr uint8_t kPbATypePointer = 0x80;
inline constexpr uint8_t kPbATypeMask = 0xC0;

// Wire types.
inline constexpr uint32_t kPbWireVarint = 0;
inline constexpr uint32_t kPbWire64Bit = 1;
inline constexpr uint32_t kPbWireLengthDelimited = 2;
inline constexpr uint32_t kPbWire32Bit = 5;

// data_offset of a oneof member that shares the previous member's storage.
inline constexpr uint32_t kPbSharedStorage = 0xFFFFFFFF;

// One field of a message structure. A table lists the fields in the order
// of the structure and ends with a record whose tag is 0.
struct pb_field_desc {
  uint32_t tag;          // field number on the wire; 0 ends the table
  uint8_t type;          // LTYPE | HTYPE | ATYPE
  uint32_t data_offset;  // from the end of the previous field's storage
  int32_t size_offset;   // companion (has-flag, count, selector) relative to the storage; 0 = none
  uint32_t data_size;    // size of one item
  uint32_t array_size;   // capacity of a static repeated field
  const void* ptr;       // submessage table, or the default value of a static field (null = zeros)
};

struct pb_istream;
struct pb_ostream;
struct pb_extension;

// A callback field. On decode `decode` gets the field's bytes (a substream
// for a length-delimited field, a buffer stream over the raw value
// otherwise); on encode `encode` writes the field, key included. A null
// function skips the field on decode and writes nothing on encode.
struct pb_callback {
  bool (*decode)(pb_istream* stream, const pb_field_desc* field, void** arg);
  bool (*encode)(pb_ostream* stream, const pb_field_desc* field, void** arg);
  void* arg;
};

// The type of an extension: its own decode and encode functions (either may
// be null) and `field`, a table of the extension's single field followed by
// the end record.
struct pb_extension_type {
  bool (*decode)(pb_istream* stream, pb_extension* extension, uint32_t tag, uint32_t wire_type);
  bool (*encode)(pb_ostream* stream, const pb_extension* extension);
  const pb_field_desc* field;
};

// One extension in the chain held by a message's extension-range field.
// `dest` is the value's storage; an optional value's presence is `found`.
struct pb_extension {
  const pb_extension_type* type;
  void* dest;
  pb_extension* next;
  bool found;
};

// Input: `callback` reads `count` bytes into `buf` (or skips them when `buf`
// is null); `bytes_left` bounds what may still be read.
struct pb_istream {
  bool (*callback)(pb_istream* stream, uint8_t* buf, size_t count);
  void* state;
  size_t bytes_left;
  const char* errmsg;
};

// Output: `callback` writes `count` bytes. A stream without a callback is a
// sizing stream: it only counts, without limit.
struct pb_ostream {
  bool (*callback)(pb_ostream* stream, const uint8_t* buf, size_t count);
  void* state;
  size_t max_size;
  size_t bytes_written;
  const char* errmsg;
};

// Position in a table over one structure: the current field, the index of
// the current required field, the field's storage and its companion (equal
// to the storage when the field has none).
struct pb_field_iter {
  const pb_field_desc* start;
  const pb_field_desc* pos;
  uint32_t required_field_index;
  void* dest_struct;
  void* data;
  void* size;
};

// Iterator. begin answers false for an empty table; next answers false
// after wrapping round to the first field; find searches circularly from
// the current field (skipping extension ranges) and answers false, back
// where it began, when no field has the tag.
bool pb_field_iter_begin(pb_field_iter* iter, const pb_field_desc* fields, void* dest_struct);
bool pb_field_iter_next(pb_field_iter* iter);
bool pb_field_iter_find(pb_field_iter* iter, uint32_t tag);

// Input streams.
pb_istream pb_istream_from_buffer(const uint8_t* buf, size_t size);
bool pb_read(pb_istream* stream, uint8_t* buf, size_t count);
bool pb_decode_varint(pb_istream* stream, uint64_t* dest);
// `eof` (optional) is set when the stream had no bytes left for the first
// byte; no error text is set then.
bool pb_decode_varint32_eof(pb_istream* stream, uint32_t* dest, bool* eof);
bool pb_skip_field(pb_istream* stream, uint32_t wire_type);
// Reads a length and makes `substream` read that many bytes of `stream`;
// close hands the position and error text back (skipping what was left).
bool pb_make_string_substream(pb_istream* stream, pb_istream* substream);
bool pb_close_string_substream(pb_istream* stream, pb_istream* substream);

// Decode. pb_decode sets defaults, decodes and releases the structure's
// pointer fields on failure; pb_decode_noinit merges into what is there.
bool pb_decode(pb_istream* stream, const pb_field_desc* fields, void* dest_struct);
bool pb_decode_noinit(pb_istream* stream, const pb_field_desc* fields, void* dest_struct);
// Decodes a callback field whose key has just been read: a length-delimited
// field calls `callback` over a substream of its bytes, at least once and
// again while bytes remain; any other wire type calls it once over a stream
// of the raw value. A null callback or function skips the field.
bool pb_decode_callback(pb_istream* stream, uint32_t wire_type, const pb_field_desc* field,
                        pb_callback* callback);
// Decodes one value of the field's type into `dest` in the field's static
// storage form (its data_size bytes), whatever the wire type.
bool pb_decode_value(pb_istream* stream, const pb_field_desc* field, void* dest);
void pb_message_set_to_defaults(const pb_field_desc* fields, void* dest_struct);
void pb_field_set_to_default(pb_field_iter* iter);

// Frees every pointer field (recursing into submessages and extensions)
// and sets the pointers to null.
void pb_release(const pb_field_desc* fields, void* dest_struct);
void pb_release_single_field(const pb_field_iter* iter);

// Output streams.
pb_ostream pb_ostream_from_buffer(uint8_t* buf, size_t size);
pb_ostream makeSizingStream();
bool pb_write(pb_ostream* stream, const uint8_t* buf, size_t count);

// Encode.
bool pb_encode(pb_ostream* stream, const pb_field_desc* fields, const void* src_struct);
bool pb_encode_tag(pb_ostream* stream, uint32_t wire_type, uint32_t field_number);
bool pb_encode_tag_for_field(pb_ostream* stream, const pb_field_desc* field);
bool pb_encode_varint(pb_ostream* stream, uint64_t value);
bool pb_encode_string(pb_ostream* stream, const uint8_t* buf, size_t size);
bool pb_encode_submessage(pb_ostream* stream, const pb_field_desc* fields, const void* src_struct);

// True when the field holds its default (and an optional field without a
// has-flag is left out of the encoding).
bool pb_check_proto3_default_value(const pb_field_iter* iter);
