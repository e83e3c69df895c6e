#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "measurement/messages/message_routines.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/nano_callbacks.h"
#include "measurement/messages/nano_memory.h"
#include "measurement/messages/nano_slots.h"
#include "platform/log.h"
#include "tests/measurement/messages/field_table.h"
#include "tests/measurement/messages/test_messages.h"

namespace {

using namespace test_messages;
using platform::Object;
using Bytes = std::vector<uint8_t>;

TEST(NanoSlots, StoreRoutinesAllocateOnceAndPrintOnNullDestinations) {
  platform::LogCapture capture;
  void* slot = nullptr;
  ASSERT_TRUE(APMNanoStoreUInt32(&slot, 0xFFFFFFFFu));
  uint64_t cell;
  memcpy(&cell, slot, 8);
  EXPECT_EQ(cell, 0xFFFFFFFFu);  // zero-extended
  void* first = slot;
  ASSERT_TRUE(APMNanoStoreUInt64(&slot, 7));
  EXPECT_EQ(slot, first);  // reused
  nanoRelease(slot);

  slot = nullptr;
  ASSERT_TRUE(APMNanoStoreString(&slot, reinterpret_cast<const uint8_t*>("abc"), 3));
  auto* value = static_cast<APMNanoBytes*>(slot);
  EXPECT_EQ(value->length, 3u);
  EXPECT_EQ(value->data[3], 0);  // terminator after the text
  ASSERT_TRUE(APMNanoStoreString(&slot, nullptr, 0));
  EXPECT_EQ(value->length, 0u);
  EXPECT_NE(value->data, nullptr);  // an empty value keeps data
  APMNanoFreeString(value);
  EXPECT_EQ(value->data, nullptr);
  nanoRelease(value);

  EXPECT_FALSE(APMNanoStoreBool(nullptr, true));
  EXPECT_FALSE(APMNanoStoreUInt32(nullptr, 1));
  EXPECT_FALSE(APMNanoStoreUInt64(nullptr, 1));
  EXPECT_FALSE(APMNanoStoreFloat(nullptr, 1));
  EXPECT_FALSE(APMNanoStoreDouble(nullptr, 1));
  EXPECT_FALSE(APMNanoStoreString(nullptr, nullptr, 0));
  EXPECT_FALSE(APMNanoFreeString(nullptr));
  EXPECT_FALSE(APMNanoFreeRepeated(nullptr));
  EXPECT_EQ(capture.stdoutText(),
            "<ERROR> Unable to set bool. Destination pointer is NULL\n"
            "<ERROR> Unable to set uint32. Destination pointer is NULL\n"
            "<ERROR> Unable to set uint64. Destination pointer is NULL\n"
            "<ERROR> Unable to set float. Destination pointer is NULL\n"
            "<ERROR> Unable to set double. Destination pointer is NULL\n"
            "<ERROR> Unable to set string. Destination array is NULL\n"
            "<ERROR> Unable to dealloc string field. String struct is NULL\n"
            "<ERROR> Unable to initialize the array. Array pointer is NULL\n");
}

// A wire structure as the message layer builds it: a string, a repeated
// varint and a repeated string field, all through callbacks.
struct Wire {
  pb_callback name;
  pb_callback values;
  pb_callback labels;
};
const std::vector<pb_field_desc> kWireFields = makeFieldTable({
    {1, kPbLTypeString | kPbHTypeOptional | kPbATypeCallback, offsetof(Wire, name), -1, sizeof(pb_callback)},
    {2, kPbLTypeVarint | kPbHTypeRepeated | kPbATypeCallback, offsetof(Wire, values), -1, sizeof(pb_callback)},
    {3, kPbLTypeString | kPbHTypeRepeated | kPbATypeCallback, offsetof(Wire, labels), -1, sizeof(pb_callback)},
});

// Decodes in the message layer's two passes into a Sample record's fields
// kString, kInts and kNames.
bool decodeSample(const Bytes& bytes, MessageInfo* record, std::string* error = nullptr) {
  auto* ints = static_cast<APMNanoRepeated*>(record->slots[kInts]);
  auto* names = static_cast<APMNanoRepeated*>(record->slots[kNames]);
  Wire wire{};
  wire.name = {APMNanoDecodeString, nullptr, &record->slots[kString]};
  wire.values = {APMNanoDecodeRepeatedVarint, nullptr, ints};
  wire.labels = {APMNanoDecodeRepeatedString, nullptr, names};
  for (int pass = 0; pass < 2; ++pass) {
    pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    if (!pb_decode(&stream, kWireFields.data(), &wire)) {
      if (error) *error = stream.errmsg ? stream.errmsg : "";
      return false;
    }
    for (APMNanoRepeated* header : {ints, names}) {
      if (pass == 0 && header->count) header->items = static_cast<void**>(nanoAllocateZeroed(header->count, sizeof(void*)));
    }
  }
  return true;
}

int32_t encodeSample(const MessageInfo* record, uint8_t** buffer) {
  Wire wire{};
  if (record->slots[kString]) wire.name = {nullptr, APMNanoEncodeString, record->slots[kString]};
  auto* ints = static_cast<APMNanoRepeated*>(record->slots[kInts]);
  auto* names = static_cast<APMNanoRepeated*>(record->slots[kNames]);
  if (ints->count) wire.values = {nullptr, APMNanoEncodeRepeatedVarint, ints};
  if (names->count) wire.labels = {nullptr, APMNanoEncodeRepeatedString, names};
  return APMNanoEncodeMessage(kWireFields.data(), &wire, buffer);
}

Bytes encodeSample(const MessageInfo* record) {
  uint8_t* buffer = nullptr;
  const int32_t length = encodeSample(record, &buffer);
  EXPECT_GE(length, 0);
  Bytes bytes(buffer, buffer + (length > 0 ? length : 0));
  free(buffer);
  return bytes;
}

TEST(NanoCallbacks, TwoPassDecodeAndUnpackedEncode) {
  auto sample = TestMessage::sample();
  MessageInfo* record = sample->messageInfo();
  // Name "hi" then "bye" (the first stays); values 1, packed 2 and 150, an
  // empty packed run; labels "" and "x".
  const Bytes input = {0x0A, 0x02, 'h', 'i', 0x0A, 0x03, 'b', 'y', 'e', 0x10, 0x01,
                       0x12, 0x03, 0x02, 0x96, 0x01, 0x12, 0x00, 0x1A, 0x00, 0x1A, 0x01, 'x'};
  std::string error;
  ASSERT_TRUE(decodeSample(input, record, &error)) << error;
  EXPECT_EQ(APMNanoGetString(sample, kString), "hi");
  const auto ints = APMNanoGetRepeated(sample, kInts);
  ASSERT_TRUE(ints);
  ASSERT_EQ(ints->size(), 3u);
  EXPECT_EQ(std::get<Object>((*ints)[2]), Object(150));
  const auto names = APMNanoGetRepeated(sample, kNames);
  ASSERT_EQ(names->size(), 2u);
  EXPECT_EQ(std::get<Object>((*names)[0]), Object(""));  // present and empty

  // Encoding writes each item with its own key and the empty label as an
  // empty value.
  EXPECT_EQ(encodeSample(record), (Bytes{0x0A, 0x02, 'h', 'i', 0x10, 0x01, 0x10, 0x02, 0x10, 0x96, 0x01,
                                         0x1A, 0x00, 0x1A, 0x01, 'x'}));
}

TEST(NanoCallbacks, StringLengthLimit) {
  auto decodeString = [](size_t length, std::string* error) {
    auto sample = TestMessage::sample();
    Bytes bytes = {0x0A};
    for (size_t n = length; ; n >>= 7) {
      bytes.push_back(static_cast<uint8_t>(n & 0x7F) | (n >= 0x80 ? 0x80 : 0));
      if (n < 0x80) break;
    }
    bytes.resize(bytes.size() + length, 'a');
    const bool ok = decodeSample(bytes, sample->messageInfo(), error);
    EXPECT_EQ(ok, APMNanoHasField(sample, kString));
    return ok;
  };
  platform::LogCapture capture;
  std::string error;
  EXPECT_TRUE(decodeString(1048576, &error));
  EXPECT_EQ(capture.stdoutText(), "");
  EXPECT_FALSE(decodeString(1048577, &error));
  EXPECT_EQ(error, "callback failed");
  EXPECT_EQ(capture.stdoutText(), "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");

  // The check writers make before they keep bytes draws the same line.
  auto sample = TestMessage::sample();
  APMNanoSetString(sample, kString, std::string(1048576, 'a'));
  EXPECT_TRUE(messages::fitsDecodeLimits(sample->messageInfo()));
  APMNanoSetString(sample, kString, std::string(1048577, 'a'));
  EXPECT_FALSE(messages::fitsDecodeLimits(sample->messageInfo()));
}

TEST(NanoCallbacks, MissingArgumentsAndEncodeResults) {
  pb_istream in = pb_istream_from_buffer(reinterpret_cast<const uint8_t*>("\x01"), 1);
  void* none = nullptr;
  EXPECT_FALSE(APMNanoDecodeRepeatedVarint(&in, &kWireFields[1], &none));
  EXPECT_FALSE(APMNanoDecodeString(&in, &kWireFields[0], &none));
  EXPECT_FALSE(APMNanoDecodeRepeatedString(&in, &kWireFields[2], &none));
  pb_ostream out = makeSizingStream();
  EXPECT_FALSE(APMNanoEncodeRepeatedVarint(&out, &kWireFields[1], &none));
  EXPECT_FALSE(APMNanoEncodeString(&out, &kWireFields[0], &none));
  EXPECT_FALSE(APMNanoEncodeRepeatedString(&out, &kWireFields[2], &none));

  // A message with nothing present encodes to zero bytes and a buffer.
  auto sample = TestMessage::sample();
  uint8_t* buffer = nullptr;
  EXPECT_EQ(encodeSample(sample->messageInfo(), &buffer), 0);
  EXPECT_NE(buffer, nullptr);
  free(buffer);

  // A value without data cannot be written: -1 and no buffer.
  APMNanoSetString(sample, kString, "x");
  APMNanoFreeString(static_cast<APMNanoBytes*>(sample->messageInfo()->slots[kString]));
  buffer = reinterpret_cast<uint8_t*>(&buffer);
  EXPECT_EQ(encodeSample(sample->messageInfo(), &buffer), -1);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(APMNanoEncodeMessage(kWireFields.data(), nullptr, nullptr), -1);

  // A size beyond the signed 32-bit range is refused before any buffer is
  // allocated (the sizing pass only counts).
  Wire huge{};
  huge.name.encode = [](pb_ostream* stream, const pb_field_desc*, void**) {
    return pb_write(stream, nullptr, size_t{INT32_MAX} + 1);
  };
  buffer = reinterpret_cast<uint8_t*>(&buffer);
  EXPECT_EQ(APMNanoEncodeMessage(kWireFields.data(), &huge, &buffer), -1);
  EXPECT_EQ(buffer, nullptr);
}

TEST(NanoAccessors, ScalarsAndTheirKinds) {
  platform::LogCapture capture;
  auto sample = TestMessage::sample();
  EXPECT_FALSE(APMNanoHasField(sample, kInt32));
  APMNanoSetInt32(sample, kInt32, -1);
  EXPECT_TRUE(APMNanoHasField(sample, kInt32));
  EXPECT_EQ(APMNanoGetInt32(sample, kInt32), -1);
  uint64_t cell;
  memcpy(&cell, sample->messageInfo()->slots[kInt32], 8);
  EXPECT_EQ(cell, 0xFFFFFFFFu);
  APMNanoSetInt32(sample, kEnum, 3);
  EXPECT_EQ(APMNanoGetInt32(sample, kEnum), 3);
  APMNanoSetInt64(sample, kUInt64, -2);
  EXPECT_EQ(APMNanoGetInt64(sample, kUInt64), -2);
  APMNanoSetBool(sample, kBool, true);
  EXPECT_TRUE(APMNanoGetBool(sample, kBool));
  APMNanoSetDouble(sample, kDouble, 2.5);
  EXPECT_EQ(APMNanoGetDouble(sample, kDouble), 2.5);
  APMNanoClearField(sample, kDouble);
  EXPECT_FALSE(APMNanoHasField(sample, kDouble));
  EXPECT_EQ(APMNanoGetDouble(sample, kDouble), 0.0);
  EXPECT_TRUE(capture.nslogLines().empty());

  // Wrong kinds and IDs outside the field list: the kind text, empty result.
  EXPECT_EQ(APMNanoGetInt32(sample, kInt64), 0);
  EXPECT_EQ(APMNanoGetInt64(sample, kInts), 0);
  APMNanoSetBool(sample, kInt32, true);
  EXPECT_EQ(APMNanoGetInt32(sample, kInt32), -1);
  EXPECT_EQ(APMNanoGetInt32(sample, kFieldCount), 0);
  EXPECT_EQ(APMNanoGetString(sample, -1), std::nullopt);
  EXPECT_FALSE(APMNanoHasField(sample, kFieldCount));
  // ClearField leaves the ID to the message's own clear routine.
  APMNanoClearField(sample, 1000);
  EXPECT_EQ(capture.nslogLines(),
            (std::vector<std::string>{
                "<Nano/Failure> Field type isn't a scalar INT32. Message: Sample, field ID: 2",
                "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: 6",
                "<Nano/Failure> Field type isn't a scalar BOOL. Message: Sample, field ID: 1",
                "<Nano/Failure> Field type isn't a scalar INT32. Message: Sample, field ID: 14",
                "<Nano/Failure> Field type isn't a scalar STRING. Message: Sample, field ID: -1",
                "<Nano/Failure> Unknown field. Message: Sample, field ID: 14",
            }));
}

TEST(NanoAccessors, NotInitializedTexts) {
  platform::LogCapture capture;
  auto empty = TestMessage::empty();
  EXPECT_FALSE(APMNanoHasField(empty, 0));
  EXPECT_FALSE(APMNanoHasField(static_cast<const NANOMessageBase*>(nullptr), 0));
  APMNanoClearField(empty, 0);
  EXPECT_FALSE(APMNanoGetBool(empty, 0));
  APMNanoSetBool(empty, 0, true);
  EXPECT_EQ(APMNanoGetInt32(empty, 1), 0);
  APMNanoSetInt32(empty, 1, 1);
  EXPECT_EQ(APMNanoGetInt64(empty, 2), 0);
  APMNanoSetInt64(empty, 2, 1);
  EXPECT_EQ(APMNanoGetDouble(empty, 3), 0.0);
  APMNanoSetDouble(empty, 3, 1);
  EXPECT_EQ(APMNanoGetString(empty, 4), std::nullopt);
  APMNanoSetString(empty, 4, "x");
  EXPECT_EQ(APMNanoGetMessage<TestMessage>(empty, 5), nullptr);
  APMNanoSetMessage(empty, 5, TestMessage::child().get());
  EXPECT_EQ(APMNanoGetRepeated(empty, 6), std::nullopt);
  APMNanoSetRepeated(empty, 6, nullptr);
  std::vector<std::string> expected = {
      "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
      "Message name Sample",
      "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
      "Message name (null)"};
  for (const char* op : {"ClearField", "GetBool", "SetBool", "GetInt32", "SetInt32", "GetInt64",
                         "SetInt64", "GetDouble", "SetDouble", "GetString", "SetString", "GetMessage",
                         "SetMessage", "GetArray", "SetArray"}) {
    expected.push_back(std::string("ProtocolBuffer message hasn't been initialized. ") + op +
                       " can't be performed");
  }
  EXPECT_EQ(capture.nslogLines(), expected);
}

TEST(NanoAccessors, Strings) {
  auto sample = TestMessage::sample();
  APMNanoSetString(sample, kString, "");
  EXPECT_TRUE(APMNanoHasField(sample, kString));
  EXPECT_EQ(APMNanoGetString(sample, kString), "");
  EXPECT_EQ(encodeSample(sample->messageInfo()), (Bytes{0x0A, 0x00}));
  APMNanoSetString(sample, kString, "h\xC3\xA9");
  EXPECT_EQ(APMNanoGetString(sample, kString), "h\xC3\xA9");
  APMNanoSetString(sample, kString, std::nullopt);
  EXPECT_FALSE(APMNanoHasField(sample, kString));
  EXPECT_EQ(APMNanoGetString(sample, kString), std::nullopt);
  // Bytes that are not UTF-8 read as no string, as the platform's decoder
  // answers.
  APMNanoSetString(sample, kString, "\xFF");
  EXPECT_EQ(APMNanoGetString(sample, kString), std::nullopt);

  APMNanoBytes value{};
  EXPECT_TRUE(APMNanoStringToBytes(Object(), &value));
  EXPECT_EQ(value.data, nullptr);
  EXPECT_FALSE(APMNanoStringToBytes(Object(1), &value));
  EXPECT_FALSE(APMNanoDataToBytes(Object("text"), &value));
  ASSERT_TRUE(APMNanoDataToBytes(Object(platform::Bytes{1, 2}), &value));
  EXPECT_EQ(value.length, 2u);
  ASSERT_TRUE(APMNanoStringToBytes(Object("abc"), &value));  // replaces the data
  EXPECT_EQ(memcmp(value.data, "abc", 3), 0);
  APMNanoFreeString(&value);
}

TEST(NanoAccessors, Messages) {
  platform::LogCapture capture;
  auto sample = TestMessage::sample();
  auto child = TestMessage::child();
  APMNanoSetInt32(child, 0, 7);
  APMNanoSetMessage(sample, kChildField, child.get());
  APMNanoSetInt32(child, 0, 8);  // the field holds a copy
  auto read = APMNanoGetMessage<TestMessage>(sample, kChildField);
  ASSERT_TRUE(read);
  EXPECT_EQ(APMNanoGetInt32(read, 0), 7);
  EXPECT_NE(read->messageInfo(), sample->messageInfo()->slots[kChildField]);

  // Another message type is refused and changes nothing; no value clears.
  auto other = TestMessage::sample();
  APMNanoSetMessage(sample, kChildField, other.get());
  EXPECT_EQ(APMNanoGetInt32(APMNanoGetMessage<TestMessage>(sample, kChildField), 0), 7);
  const NANOMessageClass noInitializer{"NSObject", nullptr};
  EXPECT_EQ(APMNanoGetMessage(sample, kChildField, noInitializer), nullptr);
  EXPECT_EQ(capture.nslogLines(),
            (std::vector<std::string>{
                "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Sample, field ID: 5",
                "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: NSObject"}));
  APMNanoSetMessage(sample, kChildField, nullptr);
  EXPECT_FALSE(APMNanoHasField(sample, kChildField));
}

TEST(NanoAccessors, RepeatedFields) {
  platform::LogCapture capture;
  auto sample = TestMessage::sample();
  // Never allocated: an empty array, and a repeated field always "has".
  EXPECT_TRUE(APMNanoHasField(sample, kInts));
  ASSERT_TRUE(APMNanoGetRepeated(sample, kInts));
  EXPECT_TRUE(APMNanoGetRepeated(sample, kInts)->empty());

  std::vector<APMNanoValue> numbers = {Object(1), Object(uint64_t{1} << 63), Object(-3.9)};
  APMNanoSetRepeated(sample, kInts, &numbers);
  auto ints = APMNanoGetRepeated(sample, kInts);
  ASSERT_EQ(ints->size(), 3u);
  EXPECT_EQ(std::get<Object>((*ints)[1]).int64Value(), INT64_MIN);
  EXPECT_EQ(std::get<Object>((*ints)[2]), Object(-3));
  std::vector<APMNanoValue> uints = {Object(-1), Object(true)};
  APMNanoSetRepeated(sample, kUInt32s, &uints);
  auto u32 = APMNanoGetRepeated(sample, kUInt32s);
  EXPECT_EQ(std::get<Object>((*u32)[0]).kind(), Object::Kind::UInt);
  EXPECT_EQ(std::get<Object>((*u32)[0]).uint64Value(), 0xFFFFFFFFu);
  std::vector<APMNanoValue> floats = {Object(0.5)};
  APMNanoSetRepeated(sample, kFloats, &floats);
  EXPECT_EQ(std::get<Object>((*APMNanoGetRepeated(sample, kFloats))[0]), Object(0.5));
  std::vector<APMNanoValue> blobs = {Object(platform::Bytes{}), Object(platform::Bytes{9})};
  APMNanoSetRepeated(sample, kBlobs, &blobs);
  EXPECT_EQ(APMNanoGetRepeated(sample, kBlobs)->size(), 2u);
  EXPECT_TRUE(capture.nslogLines().empty());

  // A wrong element anywhere leaves the field empty.
  std::vector<APMNanoValue> mixed = {Object("a"), Object("b"), Object(1)};
  APMNanoSetRepeated(sample, kNames, &mixed);
  EXPECT_TRUE(APMNanoGetRepeated(sample, kNames)->empty());
  std::vector<APMNanoValue> texts = {Object("a")};
  APMNanoSetRepeated(sample, kInts, &texts);
  EXPECT_TRUE(APMNanoGetRepeated(sample, kInts)->empty());

  // Message items: copies in, copies out, and only of the field's type.
  auto child = TestMessage::child();
  APMNanoSetString(child, 1, "kid");
  std::vector<APMNanoValue> children = {child, child};
  APMNanoSetRepeated(sample, kChildren, &children);
  const NANOMessageClass childClass = nanoMessageClass<TestMessage>("TestMessage");
  auto read = APMNanoGetRepeated(sample, kChildren, &childClass);
  ASSERT_EQ(read->size(), 2u);
  auto first = std::get<std::shared_ptr<NANOMessageBase>>((*read)[0]);
  EXPECT_EQ(APMNanoGetString(first, 1), "kid");
  EXPECT_NE(first->messageInfo(), child->messageInfo());
  EXPECT_TRUE(APMNanoGetRepeated(sample, kChildren)->empty());  // no class: items left out
  std::vector<APMNanoValue> wrongType = {child, TestMessage::sample()};
  APMNanoSetRepeated(sample, kChildren, &wrongType);
  EXPECT_TRUE(APMNanoGetRepeated(sample, kChildren, &childClass)->empty());

  APMNanoSetRepeated(sample, kBool, &numbers);
  EXPECT_EQ(APMNanoGetRepeated(sample, kString), std::nullopt);
  EXPECT_EQ(capture.nslogLines(),
            (std::vector<std::string>{
                "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber",
                "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSString",
                "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)",
                "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)",
                "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: APMPBSample",
                "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 0",
                "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 4",
            }));

  // Clearing keeps the header: the field still reads as an empty array.
  APMNanoSetRepeated(sample, kChildren, &children);
  APMNanoClearField(sample, kChildren);
  ASSERT_TRUE(APMNanoGetRepeated(sample, kChildren, &childClass));
  EXPECT_TRUE(APMNanoGetRepeated(sample, kChildren, &childClass)->empty());

  void* header = sample->messageInfo()->slots[kInts];
  sample->messageInfo()->slots[kInts] = nullptr;
  capture.clear();
  EXPECT_EQ(APMNanoGetRepeated(sample, kInts), std::nullopt);
  APMNanoSetRepeated(sample, kInts, &numbers);
  EXPECT_EQ(capture.nslogLines(), (std::vector<std::string>(2, "<ERROR> Repeated field should have been allocated")));
  sample->messageInfo()->slots[kInts] = header;
}

}  // namespace
