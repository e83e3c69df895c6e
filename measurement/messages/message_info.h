// `MessageInfo`: the in-memory record of one measurement message, and the
// value forms its slots hold.
//
// A record has one slot per field, in field-ID order (the field's zero-based
// position in its message's field list, not its wire tag), a table of kind
// words saying what each slot holds, and the message name that identifies
// the message type. Records are plain C structures so that the wire codec
// and the per-message routines can fill them directly.
//
// Ownership: a record owns its slot array and everything reachable from its
// slots (value cells, byte-string values and their data, repeated headers
// with their item arrays and items, nested records). The kinds table and the
// name are constants shared by every record of the message type and are
// never freed. Every owned block comes from nanoAllocate or
// nanoAllocateZeroed and goes back through nanoRelease (nano_memory.h), so
// that any routine of the message layer may free what another allocated.
//
// The record itself: callers allocate it zeroed with calloc (or malloc and
// zero it) before the create routine sets it up, and the free routine gives
// it back with free. Records the routines make themselves (copies, nested
// records) are one block with their slot array, and are told apart by it.
//
// Threads: records are not locked; one record is used by one thread at a
// time.
#pragma once

#include <cstdint>

// One word per field; exactly one of kNanoSingular and kNanoRepeated, plus
// exactly one type bit. Bits 0x1 and 0x4 are never set.
using APMNanoFieldKind = int32_t;

inline constexpr APMNanoFieldKind kNanoSingular = 0x2;
inline constexpr APMNanoFieldKind kNanoRepeated = 0x8;
inline constexpr APMNanoFieldKind kNanoBool = 0x20;
inline constexpr APMNanoFieldKind kNanoEnum = 0x40;
inline constexpr APMNanoFieldKind kNanoInt32 = 0x80;
inline constexpr APMNanoFieldKind kNanoUInt32 = 0x100;
inline constexpr APMNanoFieldKind kNanoInt64 = 0x200;
inline constexpr APMNanoFieldKind kNanoUInt64 = 0x400;
inline constexpr APMNanoFieldKind kNanoFloat = 0x800;
inline constexpr APMNanoFieldKind kNanoDouble = 0x1000;
inline constexpr APMNanoFieldKind kNanoString = 0x2000;
inline constexpr APMNanoFieldKind kNanoMessage = 0x4000;
inline constexpr APMNanoFieldKind kNanoBytes = 0x8000;
// Ends every kinds table. No field carries it (each carries 0x2 or 0x8), so
// the accessors find the message's field count from the table alone and
// refuse field IDs past it.
inline constexpr APMNanoFieldKind kNanoKindsEnd = 0;

// A string or bytes value: `length` bytes at `data`. The data carries no
// terminator of its own (APMNanoStoreString adds one zero byte after it);
// readers always use the length. A present empty value keeps a non-null
// `data` (a one-byte block holding 0), so that it reads back as "" and is
// written as an empty value; `data` is null only in a value being filled or
// emptied.
struct APMNanoBytes {
  uint32_t length;
  uint8_t* data;
};

// The slot of a repeated field. `count` is the number of items; `items` an
// array of `count` item pointers, each in the value form of the field's type
// (or null while no array is allocated). `filled` counts the items stored so
// far while a decode fills a freshly allocated array; it never passes
// `count`.
struct APMNanoRepeated {
  uint32_t filled;
  uint32_t count;
  void** items;
};

// Slot contents by kind:
// - bool, enum, int32, uint32, int64, uint64, double: an 8-byte cell
//   (uint64_t, or double for double fields). 32-bit values are stored
//   zero-extended and read back as their low 32 bits; a bool is stored as 1
//   or 0 and read as true when the cell's first byte is not 0.
// - float: a 4-byte cell.
// - string, bytes: an APMNanoBytes.
// - message: a nested MessageInfo of the field's message type.
// - repeated (kNanoRepeated): an APMNanoRepeated, created with the record and
//   kept until the record is freed. The headers live in the slot array's
//   block, after the slots, and are released with it. Items take the forms
//   above. Item arrays are allocated zeroed; routines that free items skip
//   null items.
// A null slot means the singular field is absent.
struct MessageInfo {
  void** slots;
  const APMNanoFieldKind* kinds;  // ends with kNanoKindsEnd
  const char* name;               // "Audience", "MeasurementBundle", ...
};

// The per-message routines the accessors and wrapper classes reach through
// a message object; all answer 1 on success and 0 on failure.
//
// Create: sets up a zeroed record (name, kinds, slot array, empty repeated
// headers).
using InitMessageInfoFn = int (*)(MessageInfo* record);
// Clear one field: frees its value and empties its slot; a repeated field
// keeps its header, emptied. An unknown field ID answers 0.
using DeallocMessageFieldFn = int (*)(MessageInfo* record, int32_t fieldID);
// Deep copy: frees the record `*destination` holds (if any), then stores a
// new record there holding copies of every present field of `source`.
using CopyMessageInfoFn = int (*)(MessageInfo** destination, const MessageInfo* source);

// The number of fields of the record's message (the kinds table up to its
// end marker); 0 for a record without kinds.
inline uint32_t messageFieldCount(const MessageInfo* record) {
  uint32_t count = 0;
  if (record && record->kinds) {
    while (record->kinds[count] != kNanoKindsEnd) ++count;
  }
  return count;
}
