// Builds codec descriptor tables for test structures from absolute member
// offsets, so that tests and fuzz targets need not count the relative
// offsets by hand.
#pragma once

#include <cstddef>
#include <vector>

#include "measurement/messages/wire_codec.h"

struct TestField {
  uint32_t tag;
  uint8_t type;
  size_t offset;           // of the storage; kSharesPrevious for a oneof member sharing it
  long companion;          // offset of the has-flag, count or selector; -1 = none
  uint32_t dataSize;
  uint32_t arraySize = 0;
  const void* ptr = nullptr;
};

inline constexpr size_t kSharesPrevious = static_cast<size_t>(-1);

inline std::vector<pb_field_desc> makeFieldTable(const std::vector<TestField>& fields) {
  std::vector<pb_field_desc> table;
  size_t previousStart = 0;
  size_t previousEnd = 0;
  for (const TestField& field : fields) {
    pb_field_desc desc{};
    desc.tag = field.tag;
    desc.type = field.type;
    const size_t start = field.offset == kSharesPrevious ? previousStart : field.offset;
    desc.data_offset = field.offset == kSharesPrevious ? kPbSharedStorage
                                                       : static_cast<uint32_t>(start - previousEnd);
    desc.size_offset = field.companion < 0 ? 0 : static_cast<int32_t>(field.companion - long(start));
    desc.data_size = field.dataSize;
    desc.array_size = field.arraySize;
    desc.ptr = field.ptr;
    table.push_back(desc);
    size_t storage = field.dataSize;
    if ((field.type & kPbATypeMask) == kPbATypePointer) {
      storage = sizeof(void*);
    } else if ((field.type & kPbATypeMask) == kPbATypeStatic &&
               (field.type & kPbHTypeMask) == kPbHTypeRepeated) {
      storage = size_t{field.dataSize} * field.arraySize;
    }
    previousStart = start;
    previousEnd = start + storage;
  }
  table.push_back(pb_field_desc{});
  return table;
}
