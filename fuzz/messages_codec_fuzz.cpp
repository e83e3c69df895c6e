// Decodes arbitrary bytes through a descriptor table that holds every field
// form of the wire codec (static, pointer and callback storage; optional,
// required, repeated, fixed-count, oneof and extension fields; every type),
// the callback fields decoded in two passes as the message layer does.
// Whatever decodes must encode, and decoding and encoding that output again
// must give the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "measurement/messages/nano_callbacks.h"
#include "measurement/messages/nano_memory.h"
#include "measurement/messages/wire_codec.h"
#include "tests/measurement/messages/field_table.h"

namespace {

constexpr uint8_t kOptional = kPbHTypeOptional | kPbATypeStatic;
constexpr uint8_t kRepeated = kPbHTypeRepeated | kPbATypeStatic;
constexpr uint8_t kPointer = kPbATypePointer;

struct StaticBytes {
  uint32_t size;
  uint8_t bytes[12];
};

struct Leaf {
  bool has_n;
  int32_t n;
  char* text;
};

struct Guarded {
  int32_t must;
  bool has_extra;
  uint64_t extra;
};

struct Node {
  bool has_flag;
  bool flag;
  bool has_i32;
  int32_t i32;
  bool has_i16;
  int16_t i16;
  bool has_s64;
  int64_t s64;
  bool has_u8;
  uint8_t u8;
  bool has_f;
  float f;
  bool has_d;
  double d;
  bool has_text;
  char text[16];
  bool has_blob;
  StaticBytes blob;
  bool has_leaf;
  Leaf leaf;
  uint32_t nums_count;
  uint32_t nums[8];
  bool has_fixed;
  uint8_t fixed[4];
  int32_t pair[2];
  uint32_t which;
  union {
    int32_t number;
    Leaf leaf;
  } choice;
  char* ptext;
  uint8_t* pblob;
  uint32_t pnames_count;
  char** pnames;
  uint32_t pvalues_count;
  int64_t* pvalues;
  Node* child;
  uint32_t pleaves_count;
  Leaf* pleaves;
  Guarded* guarded;
  uint32_t leaves_count;
  Leaf leaves[2];
  pb_callback cstring;
  pb_callback cvarints;
  pb_callback cstrings;
  pb_extension* extensions;
};

const std::vector<pb_field_desc> kLeafFields = makeFieldTable({
    {1, kPbLTypeVarint | kOptional, offsetof(Leaf, n), offsetof(Leaf, has_n), 4},
    {2, kPbLTypeString | kPbHTypeOptional | kPointer, offsetof(Leaf, text), -1, 0},
});

const std::vector<pb_field_desc> kGuardedFields = makeFieldTable({
    {1, kPbLTypeVarint | kPbHTypeRequired, offsetof(Guarded, must), -1, 4},
    {2, kPbLTypeUVarint | kOptional, offsetof(Guarded, extra), offsetof(Guarded, has_extra), 8},
});

std::vector<pb_field_desc> makeNodeFields() {
  auto fields = makeFieldTable({
      {1, kPbLTypeBool | kOptional, offsetof(Node, flag), offsetof(Node, has_flag), 1},
      {2, kPbLTypeVarint | kOptional, offsetof(Node, i32), offsetof(Node, has_i32), 4},
      {3, kPbLTypeVarint | kOptional, offsetof(Node, i16), offsetof(Node, has_i16), 2},
      {4, kPbLTypeSVarint | kOptional, offsetof(Node, s64), offsetof(Node, has_s64), 8},
      {5, kPbLTypeUVarint | kOptional, offsetof(Node, u8), offsetof(Node, has_u8), 1},
      {6, kPbLTypeFixed32 | kOptional, offsetof(Node, f), offsetof(Node, has_f), 4},
      {7, kPbLTypeFixed64 | kOptional, offsetof(Node, d), offsetof(Node, has_d), 8},
      {8, kPbLTypeString | kOptional, offsetof(Node, text), offsetof(Node, has_text), 16},
      {9, kPbLTypeBytes | kOptional, offsetof(Node, blob), offsetof(Node, has_blob), 16},
      {10, kPbLTypeSubmessage | kOptional, offsetof(Node, leaf), offsetof(Node, has_leaf), sizeof(Leaf),
       0, kLeafFields.data()},
      {11, kPbLTypeUVarint | kRepeated, offsetof(Node, nums), offsetof(Node, nums_count), 4, 8},
      {12, kPbLTypeFixedLengthBytes | kOptional, offsetof(Node, fixed), offsetof(Node, has_fixed), 4},
      {13, kPbLTypeVarint | kRepeated, offsetof(Node, pair), -1, 4, 2},
      {14, kPbLTypeVarint | kPbHTypeOneof, offsetof(Node, choice), offsetof(Node, which), 4},
      {15, kPbLTypeSubmessage | kPbHTypeOneof, kSharesPrevious, offsetof(Node, which), sizeof(Leaf), 0,
       kLeafFields.data()},
      {16, kPbLTypeString | kPbHTypeOptional | kPointer, offsetof(Node, ptext), -1, 0},
      {17, kPbLTypeBytes | kPbHTypeOptional | kPointer, offsetof(Node, pblob), -1, 0},
      {18, kPbLTypeString | kPbHTypeRepeated | kPointer, offsetof(Node, pnames),
       offsetof(Node, pnames_count), 0},
      {19, kPbLTypeSVarint | kPbHTypeRepeated | kPointer, offsetof(Node, pvalues),
       offsetof(Node, pvalues_count), 8},
      {20, kPbLTypeSubmessage | kPbHTypeOptional | kPointer, offsetof(Node, child), -1, sizeof(Node)},
      {21, kPbLTypeSubmessage | kPbHTypeRepeated | kPointer, offsetof(Node, pleaves),
       offsetof(Node, pleaves_count), sizeof(Leaf), 0, kLeafFields.data()},
      {22, kPbLTypeSubmessage | kPbHTypeOptional | kPointer, offsetof(Node, guarded), -1,
       sizeof(Guarded), 0, kGuardedFields.data()},
      {23, kPbLTypeSubmessage | kRepeated, offsetof(Node, leaves), offsetof(Node, leaves_count),
       sizeof(Leaf), 2, kLeafFields.data()},
      {24, kPbLTypeString | kPbHTypeOptional | kPbATypeCallback, offsetof(Node, cstring), -1,
       sizeof(pb_callback)},
      {25, kPbLTypeUVarint | kPbHTypeRepeated | kPbATypeCallback, offsetof(Node, cvarints), -1,
       sizeof(pb_callback)},
      {26, kPbLTypeString | kPbHTypeRepeated | kPbATypeCallback, offsetof(Node, cstrings), -1,
       sizeof(pb_callback)},
      {1000, kPbLTypeExtension | kPbHTypeOptional, offsetof(Node, extensions), -1, sizeof(void*)},
  });
  return fields;
}

// The child field's submessage is the Node table itself.
std::vector<pb_field_desc>& nodeFields() {
  static std::vector<pb_field_desc> fields = makeNodeFields();
  static const bool linked = [] {
    for (auto& field : fields) {
      if (field.tag == 20) field.ptr = fields.data();
    }
    return true;
  }();
  (void)linked;
  return fields;
}

const std::vector<pb_field_desc> kExtensionField =
    makeFieldTable({{1001, kPbLTypeFixed64 | kPbHTypeOptional, 0, -1, 8}});
const pb_extension_type kExtensionType{nullptr, nullptr, kExtensionField.data()};

// A decoded message with what its callbacks and extension own.
struct Decoded {
  Node node{};
  void* stringSlot = nullptr;
  APMNanoRepeated varints{};
  APMNanoRepeated strings{};
  uint64_t extensionValue = 0;
  pb_extension extension{&kExtensionType, &extensionValue, nullptr, false};

  ~Decoded() {
    pb_release(nodeFields().data(), &node);
    freeString(stringSlot);
    for (uint32_t i = 0; i < varints.filled; ++i) nanoRelease(varints.items[i]);
    for (uint32_t i = 0; i < strings.filled; ++i) freeString(strings.items[i]);
    nanoRelease(varints.items);
    nanoRelease(strings.items);
  }
  static void freeString(void* value) {
    nanoReleaseBytes(static_cast<APMNanoBytes*>(value));
  }

  void installDecoders() {
    node.cstring = {APMNanoDecodeString, nullptr, &stringSlot};
    node.cvarints = {APMNanoDecodeRepeatedVarint, nullptr, &varints};
    node.cstrings = {APMNanoDecodeRepeatedString, nullptr, &strings};
    node.extensions = &extension;
  }

  // The message layer's two passes: count, allocate, fill.
  bool decode(const uint8_t* data, size_t size) {
    installDecoders();
    pb_istream first = pb_istream_from_buffer(data, size);
    if (!pb_decode(&first, nodeFields().data(), &node)) return false;
    pb_release(nodeFields().data(), &node);
    for (APMNanoRepeated* header : {&varints, &strings}) {
      if (header->count > 0) header->items = static_cast<void**>(nanoAllocateZeroed(header->count, sizeof(void*)));
      header->filled = 0;
    }
    installDecoders();
    pb_istream second = pb_istream_from_buffer(data, size);
    if (!pb_decode(&second, nodeFields().data(), &node)) __builtin_trap();
    if (varints.filled != varints.count || strings.filled != strings.count) __builtin_trap();
    return true;
  }

  std::vector<uint8_t> encode() {
    node.cstring = {nullptr, stringSlot ? APMNanoEncodeString : nullptr, stringSlot};
    node.cvarints = {nullptr, varints.count ? APMNanoEncodeRepeatedVarint : nullptr, &varints};
    node.cstrings = {nullptr, strings.count ? APMNanoEncodeRepeatedString : nullptr, &strings};
    uint8_t* buffer = nullptr;
    const int32_t length = APMNanoEncodeMessage(nodeFields().data(), &node, &buffer);
    if (length < 0 || !buffer) __builtin_trap();
    std::vector<uint8_t> bytes(buffer, buffer + length);
    free(buffer);
    return bytes;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> first;
  {
    Decoded decoded;
    if (!decoded.decode(data, size)) return 0;
    first = decoded.encode();
  }
  Decoded again;
  if (!again.decode(first.data(), first.size())) __builtin_trap();
  if (again.encode() != first) __builtin_trap();
  return 0;
}
