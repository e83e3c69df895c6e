#include "measurement/messages/nano_slots.h"

#include "measurement/messages/nano_memory.h"
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/log.h"

namespace {

// Allocates a zeroed cell of `size` bytes in an empty slot; answers the
// slot's cell, or null when the destination is missing (after printing
// `nullText`) or the allocation fails.
void* cellFor(void** slot, size_t size, const char* nullText) {
  if (!slot) {
    platform::stdoutPrint(nullText);
    return nullptr;
  }
  if (!*slot) *slot = nanoAllocateZeroed(1, size);
  return *slot;
}

// Where data made with its value by nanoNewBytes lies. No other block can
// start there: every block of nano_memory.h is preceded by its header.
uint8_t* inlineData(APMNanoBytes* value) { return reinterpret_cast<uint8_t*>(value + 1); }

void releaseData(APMNanoBytes* value) {
  if (value->data != inlineData(value)) nanoRelease(value->data);
}

template <typename T>
bool storeCell(void** slot, T value, const char* nullText) {
  static_assert(sizeof(T) <= 8);
  // Every cell but float's is 8 bytes, whatever the value's width.
  void* cell = cellFor(slot, sizeof(T) == 4 && std::is_floating_point_v<T> ? 4 : 8, nullText);
  if (!cell) return false;
  memcpy(cell, &value, sizeof value);
  return true;
}

}  // namespace

bool APMNanoFreeRepeated(APMNanoRepeated* repeated) {
  if (!repeated) {
    platform::stdoutPrint("<ERROR> Unable to initialize the array. Array pointer is NULL\n");
    return false;
  }
  nanoRelease(repeated->items);
  repeated->items = nullptr;
  repeated->filled = 0;
  repeated->count = 0;
  return true;
}

bool APMNanoFreeString(APMNanoBytes* value) {
  if (!value) {
    platform::stdoutPrint("<ERROR> Unable to dealloc string field. String struct is NULL\n");
    return false;
  }
  releaseData(value);
  value->data = nullptr;
  value->length = 0;
  return true;
}

APMNanoBytes* nanoNewBytes(const uint8_t* bytes, size_t length) {
  if (length > UINT32_MAX || (!bytes && length > 0)) return nullptr;
  auto* value = static_cast<APMNanoBytes*>(nanoAllocate(sizeof(APMNanoBytes) + length + 1));
  if (!value) return nullptr;
  value->data = inlineData(value);
  if (length > 0) memcpy(value->data, bytes, length);
  value->data[length] = 0;
  value->length = static_cast<uint32_t>(length);
  return value;
}

void nanoReleaseBytes(APMNanoBytes* value) {
  if (!value) return;
  releaseData(value);
  nanoRelease(value);
}

void* nanoRecordBlock(const MessageInfo* record) {
  if (!record) return nullptr;
  if (record->slots == reinterpret_cast<void* const*>(record + 1)) {
    return const_cast<MessageInfo*>(record);
  }
  return record->slots;
}

void nanoReleaseRecordShell(MessageInfo* record) {
  if (!record) return;
  if (record->slots == reinterpret_cast<void**>(record + 1)) {
    nanoRelease(record);
    return;
  }
  nanoRelease(record->slots);
  free(record);
}

void nanoReleaseRecord(MessageInfo* record) {
  NanoArena* arena = nanoOwnedArena(nanoRecordBlock(record));
  nanoReleaseRecordShell(record);
  nanoArenaRelease(arena);
}

bool APMNanoStoreBool(void** slot, bool value) {
  return storeCell<uint64_t>(slot, value ? 1 : 0,
                             "<ERROR> Unable to set bool. Destination pointer is NULL\n");
}

bool APMNanoStoreUInt32(void** slot, uint32_t value) {
  return storeCell<uint64_t>(slot, value,
                             "<ERROR> Unable to set uint32. Destination pointer is NULL\n");
}

bool APMNanoStoreUInt64(void** slot, uint64_t value) {
  return storeCell<uint64_t>(slot, value,
                             "<ERROR> Unable to set uint64. Destination pointer is NULL\n");
}

bool APMNanoStoreFloat(void** slot, float value) {
  return storeCell<float>(slot, value, "<ERROR> Unable to set float. Destination pointer is NULL\n");
}

bool APMNanoStoreDouble(void** slot, double value) {
  return storeCell<double>(slot, value,
                           "<ERROR> Unable to set double. Destination pointer is NULL\n");
}

bool APMNanoStoreString(void** slot, const uint8_t* bytes, uint32_t length) {
  if (!slot) {
    platform::stdoutPrint("<ERROR> Unable to set string. Destination array is NULL\n");
    return false;
  }
  if (!*slot) {
    *slot = nanoNewBytes(bytes, length);
    return *slot != nullptr;
  }
  return nanoCopyBytes(bytes, length, static_cast<APMNanoBytes*>(*slot));
}

bool nanoCopyBytes(const void* bytes, size_t length, APMNanoBytes* value) {
  if (!value || length > UINT32_MAX || (!bytes && length > 0)) return false;
  auto* data = static_cast<uint8_t*>(nanoAllocate(length + 1));
  if (!data) return false;
  if (length > 0) memcpy(data, bytes, length);
  data[length] = 0;
  releaseData(value);
  value->data = data;
  value->length = static_cast<uint32_t>(length);
  return true;
}

bool APMNanoStringToBytes(const platform::Object& string, APMNanoBytes* value) {
  if (string.isNil()) return true;
  const std::string* text = string.string();
  if (!text) return false;
  return nanoCopyBytes(text->data(), text->size(), value);
}

bool APMNanoDataToBytes(const platform::Object& data, APMNanoBytes* value) {
  if (data.isNil()) return true;
  const platform::Bytes* bytes = data.data();
  if (!bytes) return false;
  return nanoCopyBytes(bytes->data(), bytes->size(), value);
}
