// The record routines of all messages against the wire: generated messages
// holding every field, the irregular cases as exact bytes, and the limits.
#include "measurement/messages/message_routines.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/nano_memory.h"
#include "measurement/messages/nano_slots.h"
#include "platform/log.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace messages {
namespace {

using Bytes = std::vector<uint8_t>;

void putVarint(Bytes& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void putKey(Bytes& out, uint32_t tag, uint32_t wireType) {
  putVarint(out, tag << 3 | wireType);
}

void putDelimited(Bytes& out, uint32_t tag, const Bytes& body) {
  putKey(out, tag, 2);
  putVarint(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
}

// The canonical encoding of a message holding every field (two items per
// repeated field); nested messages below `depth` 0 are present but empty.
Bytes everyField(const MessageSchema& schema, int depth) {
  Bytes out;
  if (depth < 0) return out;
  std::vector<const FieldSchema*> byTag;
  for (const FieldSchema& field : schema.fieldList()) byTag.push_back(&field);
  std::sort(byTag.begin(), byTag.end(), [](auto* a, auto* b) { return a->tag < b->tag; });
  for (const FieldSchema* field : byTag) {
    for (int item = 0; item < (field->repeated() ? 2 : 1); ++item) {
      switch (field->type) {
      case FieldType::Bool:
        putKey(out, field->tag, 0);
        putVarint(out, 1);
        break;
      case FieldType::Int32: // negative: sign-extended to ten bytes
        putKey(out, field->tag, 0);
        putVarint(out, static_cast<uint64_t>(int64_t{-5 - item}));
        break;
      case FieldType::Enum:
      case FieldType::UInt32:
        putKey(out, field->tag, 0);
        putVarint(out, 0xFFFFFFF0u + item);
        break;
      case FieldType::Int64:
      case FieldType::UInt64:
        putKey(out, field->tag, 0);
        putVarint(out, 0x8000000000000000ull + field->tag + item);
        break;
      case FieldType::Float: {
        putKey(out, field->tag, 5);
        const float value = 1.5f + item;
        uint8_t raw[4];
        std::memcpy(raw, &value, 4);
        out.insert(out.end(), raw, raw + 4);
        break;
      }
      case FieldType::Double: {
        putKey(out, field->tag, 1);
        const double value = -2.25 - item;
        uint8_t raw[8];
        std::memcpy(raw, &value, 8);
        out.insert(out.end(), raw, raw + 8);
        break;
      }
      case FieldType::String:
      case FieldType::Bytes: {
        const std::string text = std::string(field->name) + std::to_string(item);
        putDelimited(out, field->tag, Bytes(text.begin(), text.end()));
        break;
      }
      case FieldType::Message:
        putDelimited(out, field->tag, everyField(*field->message, depth - 1));
        break;
      }
    }
  }
  return out;
}

MessageInfo* newRecord(const MessageSchema& schema) {
  auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  EXPECT_EQ(initMessageInfo(schema, record), 1);
  return record;
}

Bytes encode(const MessageSchema& schema, const MessageInfo* record) {
  uint8_t* buffer = nullptr;
  const int32_t length = encodeMessage(schema, record, &buffer);
  EXPECT_GE(length, 0) << schema.name;
  Bytes bytes;
  if (length >= 0) bytes.assign(buffer, buffer + length);
  free(buffer);
  return bytes;
}

// Every pointer reachable from a record, to check that copies share none.
void collectPointers(const MessageSchema& schema, const MessageInfo* record,
                     std::set<const void*>& out) {
  out.insert(record);
  out.insert(record->slots);
  for (uint32_t id = 0; id < schema.fieldCount; ++id) {
    const FieldSchema& field = schema.fields[id];
    const void* slot = record->slots[id];
    if (!slot) continue;
    auto collect = [&](const void* value) {
      out.insert(value);
      if (field.type == FieldType::String)
        out.insert(static_cast<const APMNanoBytes*>(value)->data);
      if (field.type == FieldType::Message) {
        collectPointers(*field.message, static_cast<const MessageInfo*>(value), out);
      }
    };
    if (!field.repeated()) {
      collect(slot);
      continue;
    }
    auto* header = static_cast<const APMNanoRepeated*>(slot);
    out.insert(header);
    if (header->items) out.insert(header->items);
    for (uint32_t i = 0; header->items && i < header->count; ++i) collect(header->items[i]);
  }
}

TEST(CatalogueWire, EveryFieldOfEveryMessageRoundTripsAndCopiesDeeply) {
  for (const MessageSchema* schema : allMessageSchemas()) {
    SCOPED_TRACE(schema->name);
    const Bytes wire = everyField(*schema, 3);
    MessageInfo* record = newRecord(*schema);
    ASSERT_EQ(decodeMessage(*schema, wire.data(), wire.size(), record), 1);
    for (uint32_t id = 0; id < schema->fieldCount; ++id) {
      ASSERT_NE(record->slots[id], nullptr) << "field ID " << id;
      if (schema->fields[id].repeated()) {
        EXPECT_EQ(static_cast<APMNanoRepeated*>(record->slots[id])->count, 2u) << id;
      }
    }
    EXPECT_EQ(encode(*schema, record), wire);

    MessageInfo* copy = nullptr;
    ASSERT_EQ(copyMessageInfo(*schema, &copy, record), 1);
    EXPECT_EQ(encode(*schema, copy), wire);
    std::set<const void*> original, copied;
    collectPointers(*schema, record, original);
    collectPointers(*schema, copy, copied);
    for (const void* pointer : copied) EXPECT_EQ(original.count(pointer), 0u);

    EXPECT_EQ(freeMessageInfo(*schema, record), 1);
    EXPECT_EQ(freeMessageInfo(*schema, copy), 1);
  }
}

TEST(CatalogueWire, EmptyInputGivesEmptySlotsAndZeroBytes) {
  for (const MessageSchema* schema : allMessageSchemas()) {
    SCOPED_TRACE(schema->name);
    MessageInfo* record = newRecord(*schema);
    ASSERT_EQ(decodeMessage(*schema, nullptr, 0, record), 1);
    for (uint32_t id = 0; id < schema->fieldCount; ++id) {
      if (schema->fields[id].repeated()) {
        auto* header = static_cast<APMNanoRepeated*>(record->slots[id]);
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->count, 0u);
      } else {
        EXPECT_EQ(record->slots[id], nullptr);
      }
    }
    EXPECT_TRUE(encode(*schema, record).empty());
    freeMessageInfo(*schema, record);
  }
}

// Decodes `wire` as `schema` and answers the re-encoded bytes.
Bytes reencode(const MessageSchema& schema, const Bytes& wire, MessageInfo** keep = nullptr) {
  MessageInfo* record = newRecord(schema);
  EXPECT_EQ(decodeMessage(schema, wire.data(), wire.size(), record), 1);
  Bytes out = encode(schema, record);
  if (keep) {
    *keep = record;
  } else {
    freeMessageInfo(schema, record);
  }
  return out;
}

TEST(CatalogueWire, IrregularCasesAsExactBytes) {
  // Bundle field IDs 6 and 20 travel under tags 26 and 27, written in tag
  // order after the fields around them.
  MessageInfo* bundle = nullptr;
  const Bytes bundleWire{0x08, 0x01, 0x30, 0x02, 0xd0, 0x01, 0x03, 0xda, 0x01, 0x01, 'v'};
  EXPECT_EQ(reencode(kMeasurementBundleSchema, bundleWire, &bundle), bundleWire);
  uint64_t previousStart = 0;
  std::memcpy(&previousStart,
              bundle->slots[MeasurementBundleField::previous_bundle_start_timestamp_millis], 8);
  EXPECT_EQ(previousStart, 3u);
  auto* vendor = static_cast<APMNanoBytes*>(bundle->slots[MeasurementBundleField::vendor_id]);
  ASSERT_NE(vendor, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(vendor->data), vendor->length), "v");
  EXPECT_EQ(bundle->slots[MeasurementBundleField::end_timestamp_millis] != nullptr, true);
  freeMessageInfo(kMeasurementBundleSchema, bundle);

  // int32 -1 is sign-extended to ten bytes; an enum holding the same 32
  // bits is an unsigned varint of five.
  const Bytes int32Minus1{0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  EXPECT_EQ(reencode(kAudienceSchema, int32Minus1), int32Minus1);
  const Bytes enumMinus1{0x08, 0xff, 0xff, 0xff, 0xff, 0x0f};
  EXPECT_EQ(reencode(kStringFilterSchema, enumMinus1), enumMinus1);
  // A ten-byte negative enum is read as its low 32 bits.
  EXPECT_EQ(reencode(kStringFilterSchema, int32Minus1), enumMinus1);

  // Of two occurrences of a singular string the first stays; of a scalar
  // the last.
  EXPECT_EQ(reencode(kSettingSchema, {0x0a, 0x01, 'a', 0x0a, 0x01, 'b'}), (Bytes{0x0a, 0x01, 'a'}));
  EXPECT_EQ(reencode(kAudienceSchema, {0x08, 0x01, 0x08, 0x02}), (Bytes{0x08, 0x02}));
  // The same with and without a repeated item (two passes or one).
  EXPECT_EQ(reencode(kEventParamSchema, {0x0a, 0x01, 'a', 0x18, 0x01, 0x0a, 0x01, 'b', 0x18, 0x02}),
            (Bytes{0x0a, 0x01, 'a', 0x18, 0x02}));
  EXPECT_EQ(reencode(kEventParamSchema,
                     {0x0a, 0x01, 'a', 0x18, 0x01, 0x32, 0x00, 0x0a, 0x01, 'b', 0x18, 0x02}),
            (Bytes{0x0a, 0x01, 'a', 0x18, 0x02, 0x32, 0x00}));

  // Zero and empty values are written; so are empty nested messages.
  const Bytes zeros{0x0a, 0x00, 0x10, 0x00, 0x18, 0x00, 0x20, 0x00};
  EXPECT_EQ(reencode(kEventConfigSchema, zeros), zeros);
  EXPECT_EQ(reencode(kPropertyFilterSchema, {0x1a, 0x00}), (Bytes{0x1a, 0x00}));

  // Repeated items arrive in two runs and keep wire order; packed scalars
  // are read but written unpacked.
  EXPECT_EQ(reencode(kResultDataSchema, {0x08, 0x01, 0x10, 0x07, 0x08, 0x02}),
            (Bytes{0x08, 0x01, 0x08, 0x02, 0x10, 0x07}));
  EXPECT_EQ(reencode(kResultDataSchema, {0x0a, 0x02, 0x05, 0x06}), (Bytes{0x08, 0x05, 0x08, 0x06}));

  // A batch without bundles is empty; unknown fields are dropped.
  EXPECT_TRUE(reencode(kMeasurementBatchSchema, {0x98, 0x06, 0x01, 0x15, 1, 2, 3, 4}).empty());
}

// A fresh record is decoded in one walk where the input allows it; what it
// does not take is decoded in two passes, whose results and texts stand.
TEST(CatalogueWire, OneWalkAndTwoPassesGiveTheSameResults) {
  platform::LogCapture capture;
  struct Case {
    const MessageSchema* schema;
    Bytes wire;
    Bytes reencoded;
    std::string text; // the decode fails with it when not empty
  };
  const std::vector<Case> cases{
      // A negative int32 in five bytes.
      {&kAudienceSchema,
       {0x08, 0xff, 0xff, 0xff, 0xff, 0x0f},
       {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01},
       ""},
      // An int32 of 64 bits that are no sign extension does not fit.
      {&kAudienceSchema,
       {0x08, 0x80, 0x80, 0x80, 0x80, 0x10},
       {},
       "<ERROR> Audience decoder failed: integer too large\n"},
      // A string sent as a varint keeps the varint's bytes.
      {&kSettingSchema, {0x08, 0x61}, {0x0a, 0x01, 'a'}, ""},
      // A singular submessage twice, with items in both.
      {&kAudienceLeafFilterResultSchema,
       {0x12, 0x02, 0x08, 0x01, 0x12, 0x02, 0x08, 0x02},
       {0x12, 0x04, 0x08, 0x01, 0x08, 0x02},
       ""},
      // An empty packed field adds no item; a zero key ends the message.
      {&kResultDataSchema, {0x0a, 0x00, 0x08, 0x03, 0x00, 0x08, 0x04}, {0x08, 0x03}, ""},
      // A bool of more than 32 bits; a key of five bytes.
      {&kEventConfigSchema,
       {0x18, 0x80, 0x80, 0x80, 0x80, 0x10},
       {},
       "<ERROR> EventConfig decoder failed: varint overflow\n"},
      {&kAudienceSchema, {0x88, 0x80, 0x80, 0x80, 0x00, 0x05}, {0x08, 0x05}, ""},
      // The first pass counts bundles without decoding them, so a damaged
      // field after a damaged bundle is what fails the decode.
      {&kMeasurementBatchSchema,
       {0x0a, 0x02, 0x08, 0x80, 0x3a, 0x05, 'a'},
       {},
       "<ERROR> MeasurementBatch decoder failed: parent stream too short\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::PrintToString(test.wire));
    capture.clear();
    MessageInfo* record = newRecord(*test.schema);
    const int decoded = decodeMessage(*test.schema, test.wire.data(), test.wire.size(), record);
    EXPECT_EQ(decoded, test.text.empty() ? 1 : 0);
    EXPECT_EQ(capture.stdoutText(), test.text);
    if (decoded) {
      EXPECT_EQ(encode(*test.schema, record), test.reencoded);
    }
    freeMessageInfo(*test.schema, record);
  }

  // A record that holds values already keeps its strings.
  MessageInfo* setting = newRecord(kSettingSchema);
  ASSERT_TRUE(APMNanoStoreString(&setting->slots[SettingField::name],
                                 reinterpret_cast<const uint8_t*>("x"), 1));
  const Bytes named{0x0a, 0x01, 'a', 0x12, 0x01, 'v'};
  EXPECT_EQ(decodeMessage(kSettingSchema, named.data(), named.size(), setting), 1);
  EXPECT_EQ(encode(kSettingSchema, setting), (Bytes{0x0a, 0x01, 'x', 0x12, 0x01, 'v'}));
  freeMessageInfo(kSettingSchema, setting);
}

TEST(CatalogueWire, RepeatedFieldsInsideSingularSubmessagesAreKept) {
  struct Case {
    const MessageSchema* schema;
    Bytes wire;
  };
  const std::vector<Case> cases{
      // AudienceLeafFilterResult.current_data.status / previous_data.results
      {&kAudienceLeafFilterResultSchema,
       {0x08, 0x07, 0x12, 0x04, 0x08, 0x01, 0x08, 0x02, 0x1a, 0x02, 0x10, 0x03}},
      // PropertyFilter.filter.string_filter.expression_list, two levels down
      {&kPropertyFilterSchema,
       {0x1a, 0x0a, 0x0a, 0x08, 0x08, 0x06, 0x22, 0x01, 'a', 0x22, 0x01, 'b'}},
      // SdkResponse.snapshot.experiments
      {&kSdkResponseSchema, {0x1a, 0x06, 0x12, 0x02, 0x08, 0x09, 0x12, 0x00}},
      // MeasurementConfig.consent_config.defaults and .core_platform_services
      {&kMeasurementConfigSchema,
       {0x7a, 0x0a, 0x0a, 0x04, 0x08, 0x01, 0x10, 0x02, 0x1a, 0x02, 0x0a, 0x00}},
      // Program.ogt_activities.activities[0].data
      {&kProgramSchema, {0x12, 0x08, 0x0a, 0x06, 0x0a, 0x00, 0x12, 0x02, 0x08, 0x04}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.schema->name);
    EXPECT_EQ(reencode(*test.schema, test.wire), test.wire);
    // Copies keep them too.
    MessageInfo* record = nullptr;
    reencode(*test.schema, test.wire, &record);
    MessageInfo* copy = nullptr;
    ASSERT_EQ(copyMessageInfo(*test.schema, &copy, record), 1);
    EXPECT_EQ(encode(*test.schema, copy), test.wire);
    freeMessageInfo(*test.schema, record);
    freeMessageInfo(*test.schema, copy);
  }
}

TEST(CatalogueWire, AbsentSubmessagesLeaveNoSlot) {
  MessageInfo* record = nullptr;
  reencode(kMeasurementConfigSchema, {0x08, 0x05}, &record);
  for (int32_t id : {MeasurementConfigField::consent_config, MeasurementConfigField::psm_setting,
                     MeasurementConfigField::sstm_setting, MeasurementConfigField::region}) {
    EXPECT_EQ(record->slots[id], nullptr) << id;
  }
  freeMessageInfo(kMeasurementConfigSchema, record);
  // The schema defaults 14, 11 and 60 never reach a record.
  reencode(kPsmSettingSchema, {}, &record);
  for (uint32_t id = 0; id < 3; ++id) EXPECT_EQ(record->slots[id], nullptr);
  freeMessageInfo(kPsmSettingSchema, record);
}

// `levels` EventParams, each the only param_value item of the one above.
Bytes nestedParams(int levels, uint32_t tag = 6) {
  Bytes wire;
  for (int i = 0; i < levels; ++i) {
    Bytes outer;
    putDelimited(outer, tag, wire);
    wire = outer;
  }
  return wire;
}

TEST(CatalogueWire, NestingDepthIsBounded) {
  platform::LogCapture capture;
  {
    const Bytes wire = nestedParams(kMessageNestingLimit - 5);
    MessageInfo* record = newRecord(kEventParamSchema);
    EXPECT_EQ(decodeMessage(kEventParamSchema, wire.data(), wire.size(), record), 1);
    EXPECT_EQ(encode(kEventParamSchema, record), wire);
    MessageInfo* copy = nullptr;
    EXPECT_EQ(copyMessageInfo(kEventParamSchema, &copy, record), 1);
    freeMessageInfo(kEventParamSchema, copy);
    freeMessageInfo(kEventParamSchema, record);
    EXPECT_EQ(capture.stdoutText(), "");
  }
  for (const MessageSchema* schema : {&kEventParamSchema, &kRuntimeEntitySchema}) {
    capture.clear();
    const Bytes wire = nestedParams(5000, schema == &kEventParamSchema ? 6 : 2);
    MessageInfo* record = newRecord(*schema);
    EXPECT_EQ(decodeMessage(*schema, wire.data(), wire.size(), record), 0);
    EXPECT_NE(capture.stdoutText().find(std::string("<ERROR> ") + schema->name +
                                        " decoder failed: nesting too deep\n"),
              std::string::npos);
    freeMessageInfo(*schema, record);
  }

  // A record deeper than any decode gives (built by hand) is freed without
  // recursion, and refused by the copy.
  MessageInfo* root = newRecord(kEventParamSchema);
  MessageInfo* level = root;
  for (int i = 0; i < 200000; ++i) {
    auto* header = static_cast<APMNanoRepeated*>(level->slots[EventParamField::param_value]);
    header->items = static_cast<void**>(nanoAllocateZeroed(1, sizeof(void*)));
    header->count = 1;
    level = newRecord(kEventParamSchema);
    header->items[0] = level;
  }
  capture.clear();
  MessageInfo* copy = nullptr;
  EXPECT_EQ(copyMessageInfo(kEventParamSchema, &copy, root), 0);
  EXPECT_NE(capture.stdoutText().find("<ERROR> EventParam copy failed: nesting too deep\n"),
            std::string::npos);
  EXPECT_EQ(freeMessageInfo(kEventParamSchema, copy), 1);
  EXPECT_EQ(freeMessageInfo(kEventParamSchema, root), 1);
}

TEST(CatalogueWire, RoutineTexts) {
  platform::LogCapture capture;
  MessageInfo* record = newRecord(kAudienceSchema);
  EXPECT_EQ(AudienceDeallocField(record, 5), 0);
  EXPECT_EQ(AudienceDeallocField(record, -1), 0);
  EXPECT_EQ(capture.stdoutText(), "<ERROR> Audience: Cannot deallocate field 5: Unknown field\n"
                                  "<ERROR> Audience: Cannot deallocate field -1: Unknown field\n");
  // The accessor hands any ID to that routine and adds no text of its own.
  auto audience = APMPBAudience::initWithBuffer(nullptr);
  APMNanoClearField(audience, 5);
  EXPECT_EQ(capture.stdoutText(), "<ERROR> Audience: Cannot deallocate field 5: Unknown field\n"
                                  "<ERROR> Audience: Cannot deallocate field -1: Unknown field\n"
                                  "<ERROR> Audience: Cannot deallocate field 5: Unknown field\n");
  EXPECT_TRUE(capture.nslogLines().empty());

  // Clearing a repeated field keeps its (empty) header.
  const Bytes wire{0x12, 0x00, 0x12, 0x00};
  ASSERT_EQ(AudienceDecode(wire.data(), wire.size(), record), 1);
  EXPECT_EQ(AudienceDeallocField(record, AudienceField::property_filters), 1);
  auto* header = static_cast<APMNanoRepeated*>(record->slots[AudienceField::property_filters]);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->count, 0u);
  EXPECT_EQ(header->items, nullptr);

  capture.clear();
  EXPECT_EQ(EventFilterDecode(wire.data(), wire.size(), nullptr), 0);
  EXPECT_EQ(capture.stdoutText(), "<ERROR> EventFilter decoder failed: message_info is NULL\n");

  capture.clear();
  const Bytes truncated{0x12, 0x05, 0x08};
  MessageInfo* other = newRecord(kAudienceSchema);
  EXPECT_EQ(AudienceDecode(truncated.data(), truncated.size(), other), 0);
  EXPECT_EQ(capture.stdoutText(), "<ERROR> Audience decoder failed: parent stream too short\n");
  AudienceFreeMessageInfo(other);

  // A missing header cannot be encoded.
  capture.clear();
  void* saved = record->slots[AudienceField::event_filters];
  record->slots[AudienceField::event_filters] = nullptr;
  uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
  EXPECT_EQ(AudienceEncode(record, &buffer), -1);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(capture.stdoutText(),
            "<ERROR> Audience Encoder: 'event_filters' should have been allocated\n");
  record->slots[AudienceField::event_filters] = saved;
  EXPECT_EQ(AudienceEncode(record, nullptr), -1);
  EXPECT_EQ(AudienceFreeMessageInfo(record), 1);
  EXPECT_EQ(AudienceFreeMessageInfo(nullptr), 0);
  EXPECT_EQ(AudienceInitMessageInfo(nullptr), 0);
  MessageInfo* copy = nullptr;
  EXPECT_EQ(AudienceCopyMessageInfo(&copy, nullptr), 0);
  EXPECT_EQ(AudienceCopyMessageInfo(nullptr, record), 0);
}

// `count` copies of `element` as items of field `tag`.
Bytes repeatedItems(uint32_t tag, const Bytes& element, size_t count) {
  Bytes wire;
  for (size_t i = 0; i < count; ++i) putDelimited(wire, tag, element);
  return wire;
}

// A batch shaped like a real upload: bundles of events with parameters.
Bytes realisticBatch() {
  Bytes event;
  for (int p = 0; p < 10; ++p) {
    Bytes param;
    putDelimited(param, 1, Bytes{'_', 'p', static_cast<uint8_t>('0' + p)});
    putKey(param, 3, 0);
    putVarint(param, 1000 + p);
    putDelimited(event, 1, param);
  }
  putDelimited(event, 2, Bytes{'s', 'c', 'r', 'e', 'e', 'n', '_', 'v', 'i', 'e', 'w'});
  putKey(event, 3, 0);
  putVarint(event, 1700000000000);
  Bytes bundle;
  putKey(bundle, 1, 0);
  putVarint(bundle, 1);
  const Bytes events = repeatedItems(2, event, 50);
  bundle.insert(bundle.end(), events.begin(), events.end());
  return repeatedItems(1, bundle, 4);
}

TEST(CatalogueWire, DecodeMemoryIsBoundedByTheInput) {
  platform::LogCapture capture;
  // Two bytes of wire per empty element, hundreds of bytes of record each.
  const Bytes empty;
  struct Hostile {
    const MessageSchema* schema;
    const char* element;
  };
  for (const Hostile& hostile : {Hostile{&kMeasurementBatchSchema, "MeasurementBundle"},
                                 Hostile{&kProgramSchema, "RuntimeEntity"}}) {
    capture.clear();
    const Bytes wire = repeatedItems(1, empty, 1 << 19);
    MessageInfo* record = newRecord(*hostile.schema);
    EXPECT_EQ(decodeMessage(*hostile.schema, wire.data(), wire.size(), record), 0);
    EXPECT_EQ(capture.stdoutText(),
              std::string("<ERROR> ") + hostile.element +
                  " decoder failed: Unable to initialize MessageInfo\n<ERROR> " +
                  hostile.schema->name +
                  " decoder failed: decoded message over the memory limit\n");
    freeMessageInfo(*hostile.schema, record);
  }

  // Real shapes stay inside: a batch of short events at under 16 bytes per
  // byte, a program of short instructions at under 24.
  Bytes instruction;
  putKey(instruction, 1, 0);
  putVarint(instruction, 1);
  putDelimited(instruction, 3, Bytes{'x'});
  struct Real {
    const MessageSchema* schema;
    Bytes wire;
    size_t perByte;
  };
  for (const Real& real : {Real{&kMeasurementBatchSchema, realisticBatch(), 16},
                           Real{&kProgramSchema, repeatedItems(1, instruction, 20000), 24}}) {
    capture.clear();
    MessageInfo* record = newRecord(*real.schema);
    NanoAllocationLimit tighter(real.wire.size() * real.perByte);
    EXPECT_EQ(decodeMessage(*real.schema, real.wire.data(), real.wire.size(), record), 1);
    EXPECT_FALSE(tighter.exceeded()) << real.schema->name;
    EXPECT_EQ(encode(*real.schema, record), real.wire);
    freeMessageInfo(*real.schema, record);
    EXPECT_EQ(capture.stdoutText(), "");
  }
}

TEST(CatalogueWire, RecordsAllocatedByCallersWorkEverywhere) {
  const Bytes wire = everyField(kEventFilterSchema, 2);
  auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  ASSERT_EQ(EventFilterInitMessageInfo(record), 1);
  ASSERT_EQ(EventFilterDecode(wire.data(), wire.size(), record), 1);
  EXPECT_EQ(EventFilterDeallocField(record, EventFilterField::event_name), 1);
  const Bytes changed = encode(kEventFilterSchema, record);

  // A caller's record as a copy's destination is freed and replaced.
  auto* destination = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  ASSERT_EQ(EventFilterInitMessageInfo(destination), 1);
  ASSERT_EQ(EventFilterCopyMessageInfo(&destination, record), 1);
  EXPECT_EQ(encode(kEventFilterSchema, destination), changed);
  auto wrapper = APMPBEventFilter::initWithMessageInfo(record);
  ASSERT_NE(wrapper, nullptr);
  EXPECT_EQ(wrapper->protoBuffer(), changed);
  EXPECT_EQ(EventFilterFreeMessageInfo(destination), 1);
  EXPECT_EQ(EventFilterFreeMessageInfo(record), 1);

  // Never set up: only the record itself to free.
  EXPECT_EQ(EventFilterFreeMessageInfo(static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)))),
            1);
}

TEST(CatalogueWire, ANestedRecordThatCannotBeMadeFailsTheDecoders) {
  platform::LogCapture capture;
  const Bytes wire{0x12, 0x00}; // an empty number_filter
  MessageInfo* record = newRecord(kFilterSchema);
  {
    NanoAllocationLimit nothing(0);
    EXPECT_EQ(FilterDecode(wire.data(), wire.size(), record), 0);
  }
  EXPECT_EQ(capture.stdoutText(), "<ERROR> Filter decoder failed: Unable to set decoders\n");
  FilterFreeMessageInfo(record);
}

TEST(CatalogueWire, OversizeStringFailsTheDecode) {
  platform::LogCapture capture;
  Bytes wire;
  putDelimited(wire, 2, Bytes(1048577, 'x'));
  MessageInfo* record = newRecord(kEventSchema);
  EXPECT_EQ(EventDecode(wire.data(), wire.size(), record), 0);
  EXPECT_EQ(capture.stdoutText(),
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576"
            "<ERROR> Event decoder failed: callback failed\n");
  EventFreeMessageInfo(record);
}

} // namespace
} // namespace messages
