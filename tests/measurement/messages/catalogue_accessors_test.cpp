// Every field of every wrapper class set through the accessors, carried
// over the wire and read back.
#include "measurement/messages/message_routines.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "platform/log.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace messages {
namespace {

using platform::Object;

struct WrapperClass {
  const MessageSchema* schema;
  NANOMessageClass messageClass;
  std::shared_ptr<NANOMessageBase> (*decode)(const platform::Bytes& bytes);
  std::optional<platform::Bytes> (*encode)(const NANOMessageBase& message);
};

const std::map<std::string, WrapperClass>& wrapperClasses() {
  static const auto* classes = [] {
    auto* map = new std::map<std::string, WrapperClass>;
#define APM_WRAPPER_ENTRY(message, count, wrapper, decode, encode)                                 \
  APM_WHEN_##wrapper((*map)[#message] = WrapperClass{                                              \
                         &k##message##Schema, APMPB##message::messageClass(),                      \
                         [](const platform::Bytes& bytes) -> std::shared_ptr<NANOMessageBase> {    \
                           return APMPB##message::initWithBuffer(bytes);                           \
                         },                                                                        \
                         [](const NANOMessageBase& m) {                                            \
                           return static_cast<const APMPB##message&>(m).protoBuffer();             \
                         }};)
    APM_MESSAGE_LIST(APM_WRAPPER_ENTRY)
#undef APM_WRAPPER_ENTRY
    return map;
  }();
  return *classes;
}

// A nested message value: an empty instance of the field's wrapper class,
// with its first field set when that is a plain string.
std::shared_ptr<NANOMessageBase> nestedValue(const MessageSchema& schema, const std::string& text) {
  auto message = wrapperClasses().at(schema.name).decode({});
  if (schema.fields[0].type == FieldType::String && !schema.fields[0].repeated()) {
    APMNanoSetString(message, 0, text);
  }
  return message;
}

Object scalarValue(const FieldSchema& field, int item) {
  switch (field.type) {
  case FieldType::Bool:
    return Object(item % 2 == 0);
  case FieldType::Int32:
    return Object(int32_t{-7} - item);
  case FieldType::Enum:
  case FieldType::UInt32:
    return Object(uint32_t{4000000000u} + item);
  case FieldType::Int64:
    return Object(int64_t{-9000000000000} - item);
  case FieldType::UInt64:
    return Object(uint64_t{18000000000000000000u} + item);
  case FieldType::Float:
    return Object(1.5f + item);
  case FieldType::Double:
    return Object(-0.125 - item);
  default:
    return Object(std::string(field.name) + "#" + std::to_string(item));
  }
}

void setField(const std::shared_ptr<NANOMessageBase>& message, const FieldSchema& field,
              int32_t id) {
  if (field.repeated()) {
    std::vector<APMNanoValue> items;
    for (int item = 0; item < 2; ++item) {
      if (field.type == FieldType::Message) {
        items.push_back(nestedValue(*field.message, "item" + std::to_string(item)));
      } else {
        items.push_back(scalarValue(field, item));
      }
    }
    APMNanoSetRepeated(message, id, &items);
    return;
  }
  const Object value = scalarValue(field, 0);
  switch (field.type) {
  case FieldType::Bool:
    APMNanoSetBool(message, id, value.boolValue());
    break;
  case FieldType::Int32:
  case FieldType::Enum:
  case FieldType::UInt32:
    APMNanoSetInt32(message, id, static_cast<int32_t>(value.int64Value()));
    break;
  case FieldType::Int64:
  case FieldType::UInt64:
    APMNanoSetInt64(message, id, value.int64Value());
    break;
  case FieldType::Double:
    APMNanoSetDouble(message, id, value.doubleValue());
    break;
  case FieldType::String:
    APMNanoSetString(message, id, *value.string());
    break;
  case FieldType::Message: {
    auto nested = nestedValue(*field.message, "nested");
    APMNanoSetMessage(message, id, nested.get());
    break;
  }
  default:
    break;
  }
}

void expectField(const std::shared_ptr<NANOMessageBase>& message, const FieldSchema& field,
                 int32_t id) {
  SCOPED_TRACE(field.name);
  EXPECT_TRUE(APMNanoHasField(message, id));
  if (field.repeated()) {
    const NANOMessageClass* nestedClass =
        field.message ? &wrapperClasses().at(field.message->name).messageClass : nullptr;
    auto items = APMNanoGetRepeated(message, id, nestedClass);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 2u);
    for (int item = 0; item < 2; ++item) {
      if (field.message) {
        auto nested = std::get<std::shared_ptr<NANOMessageBase>>((*items)[item]);
        ASSERT_NE(nested, nullptr);
        EXPECT_STREQ(nested->messageID(), field.message->name);
        if (field.message->fields[0].type == FieldType::String &&
            !field.message->fields[0].repeated()) {
          EXPECT_EQ(APMNanoGetString(nested, 0), "item" + std::to_string(item));
        }
      } else {
        const Object& got = std::get<Object>((*items)[item]);
        const Object expected = scalarValue(field, item);
        if (field.type == FieldType::String) {
          EXPECT_EQ(got, expected);
        } else {
          EXPECT_EQ(got.uint64Value(), expected.uint64Value());
        }
      }
    }
    return;
  }
  const Object expected = scalarValue(field, 0);
  switch (field.type) {
  case FieldType::Bool:
    EXPECT_EQ(APMNanoGetBool(message, id), expected.boolValue());
    break;
  case FieldType::Int32:
  case FieldType::Enum:
  case FieldType::UInt32:
    EXPECT_EQ(APMNanoGetInt32(message, id), static_cast<int32_t>(expected.int64Value()));
    break;
  case FieldType::Int64:
  case FieldType::UInt64:
    EXPECT_EQ(APMNanoGetInt64(message, id), expected.int64Value());
    break;
  case FieldType::Double:
    EXPECT_EQ(APMNanoGetDouble(message, id), expected.doubleValue());
    break;
  case FieldType::String:
    EXPECT_EQ(APMNanoGetString(message, id), *expected.string());
    break;
  case FieldType::Message: {
    auto nested =
        APMNanoGetMessage(message, id, wrapperClasses().at(field.message->name).messageClass);
    ASSERT_NE(nested, nullptr);
    if (field.message->fields[0].type == FieldType::String &&
        !field.message->fields[0].repeated()) {
      EXPECT_EQ(APMNanoGetString(nested, 0), "nested");
    }
    break;
  }
  default:
    break;
  }
}

// Fields the accessors cannot reach: floats have no singular accessor and
// "Region" and "SstmSetting" have no wrapper class.
bool reachable(const FieldSchema& field) {
  if (field.type == FieldType::Float && !field.repeated()) return false;
  return !field.message || field.message->hasWrapper;
}

TEST(CatalogueAccessors, EveryFieldRoundTripsThroughAccessorsAndWire) {
  EXPECT_EQ(wrapperClasses().size(), 40u);
  for (const auto& [name, wrapper] : wrapperClasses()) {
    SCOPED_TRACE(name);
    auto message = wrapper.decode({});
    ASSERT_NE(message, nullptr);
    const MessageSchema& schema = *wrapper.schema;
    for (uint32_t id = 0; id < schema.fieldCount; ++id) {
      if (reachable(schema.fields[id])) setField(message, schema.fields[id], id);
    }
    const std::optional<platform::Bytes> wire = wrapper.encode(*message);
    ASSERT_TRUE(wire.has_value());
    auto decoded = wrapper.decode(*wire);
    ASSERT_NE(decoded, nullptr);
    for (uint32_t id = 0; id < schema.fieldCount; ++id) {
      if (reachable(schema.fields[id])) expectField(decoded, schema.fields[id], id);
    }
    EXPECT_EQ(wrapper.encode(*decoded), wire);
  }
}

TEST(CatalogueAccessors, BundleTimesAndEventsThroughAccessors) {
  auto event = APMPBEvent::initWithBuffer(nullptr);
  APMNanoSetString(event, EventField::name, "_s");
  APMNanoSetInt64(event, EventField::timestamp_millis, millisecondsFromSeconds(1.5));
  APMNanoSetInt64(event, EventField::previous_timestamp_millis, 0);
  // No parameters: no tag 1; name, times under tags 2, 3 and 4.
  EXPECT_EQ(event->protoBuffer(),
            (platform::Bytes{0x12, 0x02, '_', 's', 0x18, 0xdc, 0x0b, 0x20, 0x00}));

  // An array parameter: each item a nameless EventParam under tag 6.
  auto item = APMPBEventParam::initWithBuffer(nullptr);
  APMNanoSetInt64(item, EventParamField::int_value, 1);
  auto array = APMPBEventParam::initWithBuffer(nullptr);
  APMNanoSetString(array, EventParamField::name, "a");
  std::vector<APMNanoValue> items{item, item};
  APMNanoSetRepeated(array, EventParamField::param_value, &items);
  EXPECT_EQ(array->protoBuffer(),
            (platform::Bytes{0x0a, 0x01, 'a', 0x32, 0x02, 0x18, 0x01, 0x32, 0x02, 0x18, 0x01}));

  auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
  APMNanoSetInt64(bundle, MeasurementBundleField::previous_bundle_start_timestamp_millis, 5);
  APMNanoSetString(bundle, MeasurementBundleField::vendor_id, "v");
  APMNanoSetInt32(bundle, MeasurementBundleField::protocol_version, 1);
  EXPECT_EQ(bundle->protoBuffer(),
            (platform::Bytes{0x08, 0x01, 0xd0, 0x01, 0x05, 0xda, 0x01, 0x01, 'v'}));
}

TEST(CatalogueAccessors, DecodedRecordsChangeLikeBuiltOnes) {
  // A decoded event keeps its scalars and texts inside its records' own
  // blocks; replacing, clearing and setting them again behaves as on a
  // record built through the accessors.
  auto event = APMPBEvent::initWithBuffer(platform::Bytes{0x0a, 0x05, 0x0a, 0x01, 'n', 0x18, 0x05,
                                                          0x12, 0x02, '_', 'e', 0x18, 0x07});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(APMNanoGetString(event, EventField::name), "_e");
  EXPECT_EQ(APMNanoGetInt64(event, EventField::timestamp_millis), 7);
  APMNanoSetString(event, EventField::name, "screen_view");
  APMNanoSetInt64(event, EventField::timestamp_millis, 300);
  APMNanoClearField(event, EventField::timestamp_millis);
  EXPECT_FALSE(APMNanoHasField(event, EventField::timestamp_millis));
  APMNanoSetInt64(event, EventField::previous_timestamp_millis, 1);
  APMNanoSetInt64(event, EventField::timestamp_millis, 2);

  const NANOMessageClass paramClass = APMPBEventParam::messageClass();
  auto params = APMNanoGetRepeated(event, EventField::params, &paramClass);
  ASSERT_TRUE(params && params->size() == 1);
  auto param = std::static_pointer_cast<APMPBEventParam>(
      std::get<std::shared_ptr<NANOMessageBase>>((*params)[0]));
  EXPECT_EQ(APMNanoGetString(param, EventParamField::name), "n");
  APMNanoSetString(param, EventParamField::name, std::nullopt);
  APMNanoSetDouble(param, EventParamField::double_value, 0.0);
  std::vector<APMNanoValue> items{param};
  APMNanoSetRepeated(event, EventField::params, &items);

  const platform::Bytes expected{0x0a, 0x0b, 0x18, 0x05, 0x29, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0x12, 0x0b, 's',  'c',  'r',  'e', 'e', 'n', '_', 'v', 'i', 'e', 'w',
                                 0x18, 0x02, 0x20, 0x01};
  EXPECT_EQ(event->protoBuffer(), expected);
  auto copy = APMPBEvent::initWithMessageInfo(event->messageInfo());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->protoBuffer(), expected);
  auto again = APMPBEvent::initWithBuffer(expected);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->protoBuffer(), expected);
}

TEST(CatalogueAccessors, AValueTooDeepToCopyIsRefusedWhole) {
  // Each setting copies its value, so a chain one level deeper than a copy
  // may reach is built one level at a time; handing it over once more then
  // fails part-way, and the partial copy is freed.
  platform::LogCapture capture;
  const NANOMessageClass paramClass = APMPBEventParam::messageClass();
  auto chain = APMPBEventParam::initWithBuffer(nullptr);
  for (int level = 1; level <= kMessageNestingLimit; ++level) {
    auto parent = APMPBEventParam::initWithBuffer(nullptr);
    std::vector<APMNanoValue> items{chain};
    APMNanoSetRepeated(parent, EventParamField::param_value, &items);
    ASSERT_EQ(APMNanoGetRepeated(parent, EventParamField::param_value, &paramClass)->size(), 1u)
        << level;
    chain = parent;
  }
  EXPECT_EQ(capture.stdoutText(), "");
  auto event = APMPBEvent::initWithBuffer(nullptr);
  std::vector<APMNanoValue> items{chain, chain};
  APMNanoSetRepeated(event, EventField::params, &items);
  EXPECT_TRUE(APMNanoGetRepeated(event, EventField::params)->empty());
  EXPECT_NE(capture.stdoutText().find("<ERROR> EventParam copy failed: nesting too deep\n"),
            std::string::npos);

  // The chain encodes but is one level too deep to decode; the check that
  // writers make first says so, and passes the chain's element.
  auto element = APMNanoGetRepeated(chain, EventParamField::param_value, &paramClass)->front();
  const NANOMessageBase& inner = *std::get<std::shared_ptr<NANOMessageBase>>(element);
  EXPECT_TRUE(fitsDecodeLimits(inner.messageInfo()));
  EXPECT_TRUE(APMPBEventParam::initWithBuffer(*inner.protoBuffer()));
  EXPECT_FALSE(fitsDecodeLimits(chain->messageInfo()));
  EXPECT_FALSE(APMPBEventParam::initWithBuffer(*chain->protoBuffer()));
}

} // namespace
} // namespace messages
