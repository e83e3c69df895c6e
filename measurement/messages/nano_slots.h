// Small routines that store values into the slots of a `MessageInfo`
// record (message_info.h) and free string and repeated values.
//
// Each takes the address of a slot (or of an item of a repeated field),
// allocates the value cell when the slot is empty and reuses it otherwise.
// Given a null destination a routine prints its "<ERROR> ..." line on
// standard output and answers false; an allocation failure also answers
// false and leaves the slot as it was. Plain functions, no shared state.
#pragma once

#include <cstdint>

#include "measurement/messages/message_info.h"
#include "measurement/messages/nano_memory.h"
#include "platform/object.h"

// Frees the item array (not the items) and empties the header.
bool APMNanoFreeRepeated(APMNanoRepeated* repeated);
// Frees the data and empties the value; the value itself stays.
bool APMNanoFreeString(APMNanoBytes* value);

// Decoding and copying make a string value and its data as one block, the
// data (with one zero byte after it) right after the value; such data is
// released with its value. Null when memory runs out or the length passes
// 4 GiB.
APMNanoBytes* nanoNewBytes(const uint8_t* bytes, size_t length);
// Releases a string value with its data.
void nanoReleaseBytes(APMNanoBytes* value);
// The block that holds a record's slots: the record's own block when it was
// made in one block with its slot array (the slots right after the record),
// else the slot array. This block owns the arena (nano_memory.h) that the
// record's tree was built in, if any.
void* nanoRecordBlock(const MessageInfo* record);
// Releases a record's slot array and the record itself, but not an arena
// they own. A record made in one block with its slot array is released
// with it; any other record is a caller's, from malloc or calloc, and goes
// back through free.
void nanoReleaseRecordShell(MessageInfo* record);
// The same, then the arena the record owns: for a record whose fields have
// all been released.
void nanoReleaseRecord(MessageInfo* record);

bool APMNanoStoreBool(void** slot, bool value);
bool APMNanoStoreUInt32(void** slot, uint32_t value);  // stored zero-extended
bool APMNanoStoreUInt64(void** slot, uint64_t value);
bool APMNanoStoreFloat(void** slot, float value);
bool APMNanoStoreDouble(void** slot, double value);
// Stores a copy of `length` bytes followed by one zero byte (so even an
// empty value has data).
bool APMNanoStoreString(void** slot, const uint8_t* bytes, uint32_t length);

// Replace the data of `value` with a copy of the object's UTF-8 text (a
// string object) or bytes (a data object). Nil leaves the value untouched
// and succeeds; an object of another kind, a null value or a text longer
// than 4 GiB fails and changes nothing. The copy carries one extra zero
// byte after its `length` bytes, so even an empty value has data.
bool APMNanoStringToBytes(const platform::Object& string, APMNanoBytes* value);
bool APMNanoDataToBytes(const platform::Object& data, APMNanoBytes* value);

// The same for a known text, used by the accessors.
bool nanoCopyBytes(const void* bytes, size_t length, APMNanoBytes* value);
