#include "measurement/messages/nano_slots.h"

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
  if (!*slot) *slot = calloc(1, size);
  return *slot;
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
  free(repeated->items);
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
  free(value->data);
  value->data = nullptr;
  value->length = 0;
  return true;
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
  bool created = false;
  if (!*slot) {
    *slot = calloc(1, sizeof(APMNanoBytes));
    if (!*slot) return false;
    created = true;
  }
  auto* value = static_cast<APMNanoBytes*>(*slot);
  if (nanoCopyBytes(bytes, length, value)) return true;
  if (created) {
    free(*slot);
    *slot = nullptr;
  }
  return false;
}

bool nanoCopyBytes(const void* bytes, size_t length, APMNanoBytes* value) {
  if (!value || length > UINT32_MAX || (!bytes && length > 0)) return false;
  auto* data = static_cast<uint8_t*>(malloc(length + 1));
  if (!data) return false;
  if (length > 0) memcpy(data, bytes, length);
  data[length] = 0;
  free(value->data);
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
