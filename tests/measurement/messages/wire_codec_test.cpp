#include "measurement/messages/wire_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/measurement/messages/field_table.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOptional = kPbHTypeOptional | kPbATypeStatic;
constexpr uint8_t kRepeated = kPbHTypeRepeated | kPbATypeStatic;

struct Inner {
  bool has_a;
  int32_t a;
};
const std::vector<pb_field_desc> kInnerFields = makeFieldTable({
    {1, kPbLTypeVarint | kOptional, offsetof(Inner, a), offsetof(Inner, has_a), 4},
});

struct StaticBytes {
  uint32_t size;
  uint8_t bytes[4];
};

struct Scalars {
  bool has_flag;
  bool flag;
  bool has_i32;
  int32_t i32;
  bool has_s32;
  int32_t s32;
  bool has_u64;
  uint64_t u64;
  bool has_f;
  float f;
  bool has_d;
  double d;
  bool has_text;
  char text[8];
  bool has_blob;
  StaticBytes blob;
  bool has_inner;
  Inner inner;
  uint32_t packed_count;
  int32_t packed[4];
  bool has_fixed;
  uint8_t fixed[4];
  bool has_big;
  int32_t big;
};

const std::vector<pb_field_desc> kScalarFields = makeFieldTable({
    {1, kPbLTypeBool | kOptional, offsetof(Scalars, flag), offsetof(Scalars, has_flag), 1},
    {2, kPbLTypeVarint | kOptional, offsetof(Scalars, i32), offsetof(Scalars, has_i32), 4},
    {3, kPbLTypeSVarint | kOptional, offsetof(Scalars, s32), offsetof(Scalars, has_s32), 4},
    {4, kPbLTypeUVarint | kOptional, offsetof(Scalars, u64), offsetof(Scalars, has_u64), 8},
    {5, kPbLTypeFixed32 | kOptional, offsetof(Scalars, f), offsetof(Scalars, has_f), 4},
    {6, kPbLTypeFixed64 | kOptional, offsetof(Scalars, d), offsetof(Scalars, has_d), 8},
    {7, kPbLTypeString | kOptional, offsetof(Scalars, text), offsetof(Scalars, has_text), 8},
    {8, kPbLTypeBytes | kOptional, offsetof(Scalars, blob), offsetof(Scalars, has_blob), 8},
    {9, kPbLTypeSubmessage | kOptional, offsetof(Scalars, inner), offsetof(Scalars, has_inner),
     sizeof(Inner), 0, kInnerFields.data()},
    {10, kPbLTypeVarint | kRepeated, offsetof(Scalars, packed), offsetof(Scalars, packed_count), 4, 4},
    {11, kPbLTypeFixedLengthBytes | kOptional, offsetof(Scalars, fixed), offsetof(Scalars, has_fixed), 4},
    {16, kPbLTypeVarint | kOptional, offsetof(Scalars, big), offsetof(Scalars, has_big), 4},
});

// The published encoding of every wire type, worked out by hand.
const Bytes kScalarBytes = {
    0x08, 0x01,                                            // 1: bool true
    0x10, 0x96, 0x01,                                      // 2: int32 150
    0x18, 0x03,                                            // 3: sint32 -2 (zig-zag 3)
    0x20, 0xAC, 0x02,                                      // 4: uint64 300
    0x2D, 0x00, 0x00, 0x80, 0x3F,                          // 5: float 1.0
    0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F,  // 6: double 1.0
    0x3A, 0x07, 't', 'e', 's', 't', 'i', 'n', 'g',         // 7: string
    0x42, 0x03, 0x01, 0x02, 0x03,                          // 8: bytes
    0x4A, 0x02, 0x08, 0x01,                                // 9: submessage {1: 1}
    0x52, 0x06, 0x03, 0x8E, 0x02, 0x9E, 0xA7, 0x05,        // 10: packed 3, 270, 86942
    0x5A, 0x04, 0xDE, 0xAD, 0xBE, 0xEF,                    // 11: fixed-length bytes
    0x80, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,  // 16: int32 -1
};

Scalars filledScalars() {
  Scalars s{};
  s.has_flag = true, s.flag = true;
  s.has_i32 = true, s.i32 = 150;
  s.has_s32 = true, s.s32 = -2;
  s.has_u64 = true, s.u64 = 300;
  s.has_f = true, s.f = 1.0f;
  s.has_d = true, s.d = 1.0;
  s.has_text = true, strcpy(s.text, "testing");
  s.has_blob = true, s.blob = {3, {1, 2, 3}};
  s.has_inner = true, s.inner = {true, 1};
  s.packed_count = 3, s.packed[0] = 3, s.packed[1] = 270, s.packed[2] = 86942;
  s.has_fixed = true, memcpy(s.fixed, "\xDE\xAD\xBE\xEF", 4);
  s.has_big = true, s.big = -1;
  return s;
}

// Encodes into a buffer of exactly `capacity` bytes (default: the size).
bool encode(const pb_field_desc* fields, const void* src, Bytes* out, std::string* error = nullptr,
            long capacity = -1) {
  pb_ostream sizing = makeSizingStream();
  pb_encode(&sizing, fields, src);
  out->assign(capacity < 0 ? sizing.bytes_written : size_t(capacity), 0);
  pb_ostream stream = pb_ostream_from_buffer(out->data(), out->size());
  const bool ok = pb_encode(&stream, fields, src);
  out->resize(stream.bytes_written);
  if (error) *error = stream.errmsg ? stream.errmsg : "";
  return ok;
}

template <typename T>
bool decode(const pb_field_desc* fields, const Bytes& bytes, T* dest, std::string* error = nullptr) {
  pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  const bool ok = pb_decode(&stream, fields, dest);
  if (error) *error = stream.errmsg ? stream.errmsg : "";
  return ok;
}

TEST(WireCodec, EncodesEveryWireTypeAsPublishedAndDecodesItBack) {
  const Scalars s = filledScalars();
  Bytes bytes;
  ASSERT_TRUE(encode(kScalarFields.data(), &s, &bytes));
  EXPECT_EQ(bytes, kScalarBytes);

  Scalars d;
  memset(&d, 0x55, sizeof d);
  ASSERT_TRUE(decode(kScalarFields.data(), kScalarBytes, &d));
  EXPECT_TRUE(d.flag);
  EXPECT_EQ(d.i32, 150);
  EXPECT_EQ(d.s32, -2);
  EXPECT_EQ(d.u64, 300u);
  EXPECT_EQ(d.f, 1.0f);
  EXPECT_EQ(d.d, 1.0);
  EXPECT_STREQ(d.text, "testing");
  EXPECT_EQ(d.blob.size, 3u);
  EXPECT_TRUE(d.has_inner);
  EXPECT_EQ(d.inner.a, 1);
  ASSERT_EQ(d.packed_count, 3u);
  EXPECT_EQ(d.packed[2], 86942);
  EXPECT_EQ(memcmp(d.fixed, "\xDE\xAD\xBE\xEF", 4), 0);
  EXPECT_EQ(d.big, -1);

  // An empty input gives the defaults; absent fields are not written.
  ASSERT_TRUE(decode(kScalarFields.data(), Bytes{}, &d));
  EXPECT_FALSE(d.has_flag || d.has_i32 || d.has_inner || d.packed_count);
  ASSERT_TRUE(encode(kScalarFields.data(), &d, &bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(WireCodec, VarintBoundaries) {
  auto varint64 = [](const Bytes& bytes, uint64_t* value, std::string* error) {
    pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    const bool ok = pb_decode_varint(&stream, value);
    *error = stream.errmsg ? stream.errmsg : "";
    return ok;
  };
  auto varint32 = [](const Bytes& bytes, uint32_t* value, std::string* error) {
    pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    const bool ok = pb_decode_varint32_eof(&stream, value, nullptr);
    *error = stream.errmsg ? stream.errmsg : "";
    return ok;
  };
  uint64_t v64;
  uint32_t v32;
  std::string error;
  Bytes ten(9, 0xFF);
  ten.push_back(0x01);
  EXPECT_TRUE(varint64(ten, &v64, &error));
  EXPECT_EQ(v64, UINT64_MAX);
  Bytes eleven(10, 0xFF);
  eleven.push_back(0x01);
  EXPECT_FALSE(varint64(eleven, &v64, &error));
  EXPECT_EQ(error, "varint overflow");

  // 32-bit: the 10-byte and 5-byte forms of -1, padding without payload.
  EXPECT_TRUE(varint32(ten, &v32, &error));
  EXPECT_EQ(v32, 0xFFFFFFFFu);
  EXPECT_TRUE(varint32({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, &v32, &error));
  EXPECT_EQ(v32, 0xFFFFFFFFu);
  EXPECT_TRUE(varint32({0x81, 0x80, 0x80, 0x80, 0x80, 0x00}, &v32, &error));
  EXPECT_EQ(v32, 1u);
  // Payload above 32 bits, bits 0x70 in a fifth and last byte, and a run
  // longer than ten bytes all overflow.
  EXPECT_FALSE(varint32({0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  EXPECT_FALSE(varint32({0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  // Bits 32-34 in a fifth byte that is not the last are not dropped either.
  EXPECT_FALSE(varint32({0x80, 0x80, 0x80, 0x80, 0xF0, 0x00}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  EXPECT_FALSE(varint32({0x80, 0x80, 0x80, 0x80, 0x98, 0x00}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  EXPECT_TRUE(varint32({0x80, 0x80, 0x80, 0x80, 0x88, 0x00}, &v32, &error));
  EXPECT_EQ(v32, 0x80000000u);
  // Once a sign extension has begun, it runs to the tenth byte.
  EXPECT_FALSE(varint32({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  EXPECT_FALSE(varint32({0x80, 0x80, 0x80, 0x88, 0x8F, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  Bytes run(11, 0x80);
  run.push_back(0x00);
  EXPECT_FALSE(varint32(run, &v32, &error));
  EXPECT_EQ(error, "varint overflow");
  EXPECT_FALSE(varint32({0x80}, &v32, &error));
  EXPECT_EQ(error, "end-of-stream");

  // A missing first byte is end of input, not an error.
  pb_istream empty = pb_istream_from_buffer(nullptr, 0);
  bool eof = false;
  EXPECT_FALSE(pb_decode_varint32_eof(&empty, &v32, &eof));
  EXPECT_TRUE(eof);
  EXPECT_EQ(empty.errmsg, nullptr);
}

TEST(WireCodec, IntegerWidthsOnDecode) {
  struct Narrow {
    bool has_i8;
    int8_t i8;
    bool has_u16;
    uint16_t u16;
    bool has_i32;
    int32_t i32;
    bool has_u32;
    uint32_t u32;
    bool has_bad;
    int32_t bad;
  };
  const auto fields = makeFieldTable({
      {1, kPbLTypeVarint | kOptional, offsetof(Narrow, i8), offsetof(Narrow, has_i8), 1},
      {2, kPbLTypeUVarint | kOptional, offsetof(Narrow, u16), offsetof(Narrow, has_u16), 2},
      {3, kPbLTypeVarint | kOptional, offsetof(Narrow, i32), offsetof(Narrow, has_i32), 4},
      {4, kPbLTypeUVarint | kOptional, offsetof(Narrow, u32), offsetof(Narrow, has_u32), 4},
      {5, kPbLTypeVarint | kOptional, offsetof(Narrow, bad), offsetof(Narrow, has_bad), 3},
  });
  Narrow n{};
  std::string error;
  Bytes minusOne10 = {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  ASSERT_TRUE(decode(fields.data(), minusOne10, &n));
  EXPECT_EQ(n.i32, -1);
  ASSERT_TRUE(decode(fields.data(), {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, &n));
  EXPECT_EQ(n.i32, -1);
  ASSERT_TRUE(decode(fields.data(), {0x18, 0x80, 0x80, 0x80, 0x80, 0x08}, &n));
  EXPECT_EQ(n.i32, INT32_MIN);
  // More than 32 bits that are not a sign extension do not fit.
  EXPECT_FALSE(decode(fields.data(), {0x18, 0x80, 0x80, 0x80, 0x80, 0x10}, &n, &error));
  EXPECT_EQ(error, "integer too large");
  // An enum written as a 10-byte negative keeps its 32-bit form.
  ASSERT_TRUE(decode(fields.data(), {0x20, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, &n));
  EXPECT_EQ(n.u32, 0xFFFFFFFEu);

  ASSERT_TRUE(decode(fields.data(), {0x08, 0x7F}, &n));
  EXPECT_EQ(n.i8, 127);
  ASSERT_TRUE(decode(fields.data(), {0x08, 0x80, 0xFF, 0xFF, 0xFF, 0x0F}, &n));
  EXPECT_EQ(n.i8, -128);
  EXPECT_FALSE(decode(fields.data(), {0x08, 0x80, 0x01}, &n, &error));
  EXPECT_EQ(error, "integer too large");
  ASSERT_TRUE(decode(fields.data(), {0x10, 0xFF, 0xFF, 0x03}, &n));
  EXPECT_EQ(n.u16, 65535);
  EXPECT_FALSE(decode(fields.data(), {0x10, 0x80, 0x80, 0x04}, &n, &error));
  EXPECT_EQ(error, "integer too large");
  EXPECT_FALSE(decode(fields.data(), {0x28, 0x01}, &n, &error));
  EXPECT_EQ(error, "invalid data_size");
}

TEST(WireCodec, KeysUnknownFieldsAndTermination) {
  Scalars d{};
  std::string error;
  // Unknown fields of wire types 0, 1, 2 and 5 are skipped; a zero key ends
  // the message even with bytes after it.
  const Bytes unknown = {0xF8, 0x01, 0x96, 0x01,                                // 31: varint
                         0xF9, 0x01, 1, 2, 3, 4, 5, 6, 7, 8,                  // 31: fixed64
                         0xFA, 0x01, 0x02, 0xAA, 0xBB,                         // 31: bytes
                         0xFD, 0x01, 1, 2, 3, 4,                               // 31: fixed32
                         0x10, 0x05, 0x00, 0x10, 0x07};
  ASSERT_TRUE(decode(kScalarFields.data(), unknown, &d, &error)) << error;
  EXPECT_EQ(d.i32, 5);
  for (uint8_t key : {0xFB, 0xFC, 0xFE, 0xFF}) {  // groups and wire types 6, 7
    EXPECT_FALSE(decode(kScalarFields.data(), {key, 0x01, 0x00}, &d, &error));
    EXPECT_EQ(error, "invalid wire_type");
  }
  EXPECT_FALSE(decode(kScalarFields.data(), {0x4A, 0x09, 0x08}, &d, &error));
  EXPECT_EQ(error, "parent stream too short");
  EXPECT_FALSE(decode(kScalarFields.data(), {0x2D, 0x00, 0x00}, &d, &error));
  EXPECT_EQ(error, "end-of-stream");
}

TEST(WireCodec, PackedAndUnpackedRepeatedDecodeAlike) {
  Scalars packed{}, unpacked{};
  ASSERT_TRUE(decode(kScalarFields.data(), {0x52, 0x03, 0x01, 0x96, 0x01}, &packed));
  ASSERT_TRUE(decode(kScalarFields.data(), {0x50, 0x01, 0x50, 0x96, 0x01}, &unpacked));
  ASSERT_EQ(packed.packed_count, 2u);
  ASSERT_EQ(unpacked.packed_count, 2u);
  EXPECT_EQ(packed.packed[1], 150);
  EXPECT_EQ(unpacked.packed[1], 150);

  Scalars d{};
  std::string error;
  ASSERT_TRUE(decode(kScalarFields.data(), {0x50, 0x01, 0x52, 0x00}, &d));
  EXPECT_EQ(d.packed_count, 1u);  // an empty packed field adds nothing
  EXPECT_FALSE(decode(kScalarFields.data(), {0x52, 0x05, 1, 2, 3, 4, 5}, &d, &error));
  EXPECT_EQ(error, "array overflow");
  EXPECT_FALSE(decode(kScalarFields.data(), {0x50, 1, 0x50, 2, 0x50, 3, 0x50, 4, 0x50, 5}, &d, &error));
  EXPECT_EQ(error, "array overflow");
}

TEST(WireCodec, StaticBufferLimits) {
  struct Texts {
    char five[5];
    char six[6];
    StaticBytes blob;
    uint8_t fixed[4];
  };
  const auto fields = makeFieldTable({
      {1, kPbLTypeString | kPbHTypeRequired, offsetof(Texts, five), -1, 5},
      {2, kPbLTypeString | kPbHTypeRequired, offsetof(Texts, six), -1, 6},
      {3, kPbLTypeBytes | kPbHTypeRequired, offsetof(Texts, blob), -1, 8},
      {4, kPbLTypeFixedLengthBytes | kPbHTypeRequired, offsetof(Texts, fixed), -1, 4},
  });
  const Bytes rest = {0x1A, 0x00, 0x22, 0x00};
  Texts t{};
  std::string error;
  Bytes bytes = {0x12, 0x05, 'h', 'e', 'l', 'l', 'o', 0x0A, 0x00};
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  ASSERT_TRUE(decode(fields.data(), bytes, &t, &error)) << error;
  EXPECT_STREQ(t.six, "hello");
  bytes[0] = 0x0A;  // the same five characters into the five-byte buffer
  EXPECT_FALSE(decode(fields.data(), bytes, &t, &error));
  EXPECT_EQ(error, "string overflow");
  EXPECT_FALSE(decode(fields.data(), {0x1A, 0x05, 1, 2, 3, 4, 5}, &t, &error));
  EXPECT_EQ(error, "bytes overflow");
  EXPECT_FALSE(decode(fields.data(), {0x22, 0x03, 1, 2, 3}, &t, &error));
  EXPECT_EQ(error, "incorrect fixed length bytes size");

  // Required fields: all four must be present.
  EXPECT_FALSE(decode(fields.data(), {0x0A, 0x00, 0x12, 0x00, 0x1A, 0x00}, &t, &error));
  EXPECT_EQ(error, "missing required field");

  // Encoding refuses a static bytes value longer than its buffer.
  t.blob.size = 5;
  Bytes out;
  EXPECT_FALSE(encode(fields.data(), &t, &out, &error));
  EXPECT_EQ(error, "bytes size exceeded");
}

TEST(WireCodec, OutputLimitsAndFirstErrorWins) {
  const Scalars s = filledScalars();
  Bytes out;
  std::string error;
  EXPECT_FALSE(encode(kScalarFields.data(), &s, &out, &error, long(kScalarBytes.size()) - 1));
  EXPECT_EQ(error, "stream full");
  EXPECT_TRUE(encode(kScalarFields.data(), &s, &out, &error, long(kScalarBytes.size())));

  // A submessage that writes less on its second pass than its first.
  struct Outer {
    bool has_inner;
    struct {
      pb_callback cb;
    } inner;
  };
  static int calls;
  calls = 0;
  static const auto innerFields = makeFieldTable({{1, kPbLTypeString | kPbHTypeOptional | kPbATypeCallback,
                                                  0, -1, sizeof(pb_callback)}});
  const auto outerFields = makeFieldTable({{1, kPbLTypeSubmessage | kOptional, offsetof(Outer, inner),
                                            offsetof(Outer, has_inner), sizeof(pb_callback), 0,
                                            innerFields.data()}});
  Outer o{};
  o.has_inner = true;
  o.inner.cb.encode = [](pb_ostream* stream, const pb_field_desc* field, void**) {
    const char* text = ++calls == 1 ? "long text" : "short";
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const uint8_t*>(text), strlen(text));
  };
  out.assign(64, 0);
  pb_ostream stream = pb_ostream_from_buffer(out.data(), out.size());
  EXPECT_FALSE(pb_encode(&stream, outerFields.data(), &o));
  EXPECT_STREQ(stream.errmsg, "submsg size changed");

  // The first failure's text stays; a substream's text reaches its parent.
  Scalars d{};
  EXPECT_FALSE(decode(kScalarFields.data(), {0x4A, 0x02, 0x08, 0x80}, &d, &error));
  EXPECT_EQ(error, "end-of-stream");
  pb_istream input = pb_istream_from_buffer(kScalarBytes.data(), 3);
  input.errmsg = "earlier failure";
  EXPECT_FALSE(pb_decode(&input, kScalarFields.data(), &d));
  EXPECT_STREQ(input.errmsg, "earlier failure");
}

TEST(WireCodec, OptionalWithoutHasFlagIsWrittenOnlyWhenNotDefault) {
  struct Plain {
    int32_t number;
    char text[4];
    Inner inner;
  };
  const auto fields = makeFieldTable({
      {1, kPbLTypeVarint | kOptional, offsetof(Plain, number), -1, 4},
      {2, kPbLTypeString | kOptional, offsetof(Plain, text), -1, 4},
      {3, kPbLTypeSubmessage | kOptional, offsetof(Plain, inner), -1, sizeof(Inner), 0, kInnerFields.data()},
  });
  Plain p{};
  Bytes out;
  ASSERT_TRUE(encode(fields.data(), &p, &out));
  EXPECT_TRUE(out.empty());
  p.number = 1;
  p.inner.has_a = true;
  ASSERT_TRUE(encode(fields.data(), &p, &out));
  EXPECT_EQ(out, (Bytes{0x08, 0x01, 0x1A, 0x02, 0x08, 0x00}));
}

// Pointer, oneof, fixed-count and extension forms.
struct Dynamic {
  char* name;
  uint8_t* blob;
  uint32_t names_count;
  char** names;
  uint32_t values_count;
  int64_t* values;
  Inner* inner;
  uint32_t which;
  union {
    int32_t number;
    Inner message;
  } choice;
  int32_t pair[2];
  pb_extension* extensions;
};

const std::vector<pb_field_desc> kDynamicFields = makeFieldTable({
    {1, kPbLTypeString | kPbHTypeOptional | kPbATypePointer, offsetof(Dynamic, name), -1, 0},
    {2, kPbLTypeBytes | kPbHTypeOptional | kPbATypePointer, offsetof(Dynamic, blob), -1, 0},
    {3, kPbLTypeString | kPbHTypeRepeated | kPbATypePointer, offsetof(Dynamic, names),
     offsetof(Dynamic, names_count), 0},
    {4, kPbLTypeVarint | kPbHTypeRepeated | kPbATypePointer, offsetof(Dynamic, values),
     offsetof(Dynamic, values_count), 8},
    {5, kPbLTypeSubmessage | kPbHTypeOptional | kPbATypePointer, offsetof(Dynamic, inner), -1,
     sizeof(Inner), 0, kInnerFields.data()},
    {6, kPbLTypeVarint | kPbHTypeOneof, offsetof(Dynamic, choice), offsetof(Dynamic, which), 4},
    {7, kPbLTypeSubmessage | kPbHTypeOneof, kSharesPrevious, offsetof(Dynamic, which), sizeof(Inner), 0,
     kInnerFields.data()},
    {8, kPbLTypeVarint | kRepeated, offsetof(Dynamic, pair), -1, 4, 2},
    {100, kPbLTypeExtension | kPbHTypeOptional, offsetof(Dynamic, extensions), -1, sizeof(void*)},
});

TEST(WireCodec, PointerOneofFixedCountAndExtensionFields) {
  int32_t extensionValue = 0;
  const auto extensionField =
      makeFieldTable({{200, kPbLTypeSVarint | kPbHTypeOptional, 0, -1, 4}});
  const pb_extension_type extensionType{nullptr, nullptr, extensionField.data()};
  pb_extension extension{&extensionType, &extensionValue, nullptr, false};

  Dynamic d{};
  d.extensions = &extension;
  const Bytes bytes = {0x0A, 0x02, 'h', 'i',             // name
                       0x12, 0x01, 0x07,                 // blob
                       0x1A, 0x01, 'a', 0x1A, 0x00,      // names "a", ""
                       0x22, 0x02, 0x01, 0x02, 0x20, 0x03,  // values packed 1, 2 then 3
                       0x2A, 0x02, 0x08, 0x09,           // inner {9}
                       0x30, 0x05,                       // choice: number 5
                       0x3A, 0x02, 0x08, 0x04,           // choice: message {4}
                       0x40, 0x01, 0x40, 0x02,           // pair 1, 2
                       0xC0, 0x0C, 0x03};                // extension 200: sint -2
  std::string error;
  ASSERT_TRUE(decode(kDynamicFields.data(), bytes, &d, &error)) << error;
  EXPECT_STREQ(d.name, "hi");
  uint32_t blobLength;
  memcpy(&blobLength, d.blob, 4);
  EXPECT_EQ(blobLength, 1u);
  ASSERT_EQ(d.names_count, 2u);
  EXPECT_STREQ(d.names[0], "a");
  EXPECT_STREQ(d.names[1], "");
  ASSERT_EQ(d.values_count, 3u);
  EXPECT_EQ(d.values[2], 3);
  EXPECT_EQ(d.inner->a, 9);
  EXPECT_EQ(d.which, 7u);
  EXPECT_EQ(d.choice.message.a, 4);
  EXPECT_EQ(d.pair[1], 2);
  EXPECT_TRUE(extension.found);
  EXPECT_EQ(extensionValue, -2);

  // Re-encoding writes pointer arrays of packable types packed.
  Bytes out;
  ASSERT_TRUE(encode(kDynamicFields.data(), &d, &out, &error)) << error;
  Dynamic again{};
  int32_t againValue = 0;
  pb_extension againExtension{&extensionType, &againValue, nullptr, false};
  again.extensions = &againExtension;
  ASSERT_TRUE(decode(kDynamicFields.data(), out, &again, &error)) << error;
  EXPECT_EQ(again.values_count, 3u);
  EXPECT_EQ(again.choice.message.a, 4);
  EXPECT_EQ(againValue, -2);
  pb_release(kDynamicFields.data(), &again);
  pb_release(kDynamicFields.data(), &d);
  EXPECT_EQ(d.name, nullptr);
  EXPECT_EQ(d.values_count, 0u);

  // A fixed-count array must receive exactly its count; a failed decode
  // frees what it allocated (the leak checker watches this).
  Dynamic partial{};
  EXPECT_FALSE(decode(kDynamicFields.data(), {0x0A, 0x01, 'x', 0x40, 0x01}, &partial, &error));
  EXPECT_EQ(error, "wrong size for fixed count field");
  EXPECT_EQ(partial.name, nullptr);
  EXPECT_FALSE(decode(kDynamicFields.data(), {0x40, 0x01, 0x0A, 0x01, 'x', 0x40, 0x02, 0x40, 0x03},
                      &partial, &error));
  EXPECT_EQ(error, "array overflow");
  EXPECT_FALSE(decode(kDynamicFields.data(), {0x0A, 0x05, 'x'}, &partial, &error));
  EXPECT_EQ(error, "end-of-stream");
  EXPECT_EQ(partial.name, nullptr);

  // A selector naming no member.
  pb_istream stream = pb_istream_from_buffer(reinterpret_cast<const uint8_t*>("\x30\x01"), 2);
  Dynamic broken{};
  broken.which = 99;
  EXPECT_FALSE(pb_decode_noinit(&stream, kDynamicFields.data(), &broken));
  EXPECT_STREQ(stream.errmsg, "invalid union tag");
}

TEST(WireCodec, CallbacksSeePackedAndUnpackedValuesAlike) {
  struct WithCallback {
    pb_callback values;
  };
  const auto fields = makeFieldTable(
      {{1, kPbLTypeUVarint | kPbHTypeRepeated | kPbATypeCallback, 0, -1, sizeof(pb_callback)}});
  std::vector<uint64_t> seen;
  WithCallback w{};
  w.values.arg = &seen;
  w.values.decode = [](pb_istream* stream, const pb_field_desc*, void** arg) {
    uint64_t value;
    if (!pb_decode_varint(stream, &value)) return false;
    static_cast<std::vector<uint64_t>*>(*arg)->push_back(value);
    return true;
  };
  ASSERT_TRUE(decode(fields.data(), {0x08, 0x01, 0x0A, 0x02, 0x02, 0x03}, &w));
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3}));

  // A callback that reads nothing would loop forever: it fails instead.
  w.values.decode = [](pb_istream*, const pb_field_desc*, void**) { return true; };
  std::string error;
  EXPECT_FALSE(decode(fields.data(), {0x0A, 0x01, 0x01}, &w, &error));
  EXPECT_EQ(error, "callback failed");
  w.values.decode = [](pb_istream*, const pb_field_desc*, void**) { return false; };
  EXPECT_FALSE(decode(fields.data(), {0x08, 0x01}, &w, &error));
  EXPECT_EQ(error, "callback failed");
  Bytes eleven = {0x08};
  eleven.insert(eleven.end(), 10, 0x80);
  eleven.push_back(0x00);
  EXPECT_FALSE(decode(fields.data(), eleven, &w, &error));
  EXPECT_EQ(error, "varint overflow");

  w.values.encode = [](pb_ostream*, const pb_field_desc*, void**) { return false; };
  Bytes out;
  EXPECT_FALSE(encode(fields.data(), &w, &out, &error));
  EXPECT_EQ(error, "callback error");
}

TEST(WireCodec, NestingIsBounded) {
  struct Node {
    Node* child;
  };
  static std::vector<pb_field_desc> fields;
  fields = makeFieldTable({{1, kPbLTypeSubmessage | kPbHTypeOptional | kPbATypePointer, 0, -1,
                            sizeof(Node), 0, nullptr}});
  fields[0].ptr = fields.data();
  auto nested = [](int depth) {
    Bytes bytes;
    for (int i = 0; i < depth; ++i) {
      Bytes outer = {0x0A, static_cast<uint8_t>(bytes.size())};
      if (bytes.size() >= 0x80) {
        outer = {0x0A, static_cast<uint8_t>(bytes.size() | 0x80), static_cast<uint8_t>(bytes.size() >> 7)};
      }
      outer.insert(outer.end(), bytes.begin(), bytes.end());
      bytes = outer;
    }
    return bytes;
  };
  Node root{};
  std::string error;
  ASSERT_TRUE(decode(fields.data(), nested(kPbMaxNestingDepth - 1), &root, &error)) << error;
  Bytes out;
  ASSERT_TRUE(encode(fields.data(), &root, &out));
  EXPECT_EQ(out, nested(kPbMaxNestingDepth - 1));
  pb_release(fields.data(), &root);
  EXPECT_FALSE(decode(fields.data(), nested(kPbMaxNestingDepth + 1), &root, &error));
  EXPECT_EQ(error, "nesting too deep");
  EXPECT_EQ(root.child, nullptr);
}

}  // namespace
