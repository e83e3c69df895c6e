#include "measurement/engine/event.h"

#include <gtest/gtest.h>

#include <limits>
#include <type_traits>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "tests/support/expect_refused.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::Object;
using Parameters = APMEvent::Parameters;

Object entries(std::initializer_list<std::pair<const std::string, Object>> list) {
  return Object(Object::Dictionary(list));
}

const Parameters& everyKind() {
  static const Parameters parameters = {
      {"text", APMValue(std::string("héllo"))},
      {"count", APMValue(int64_t{-7})},
      {"price", APMValue(2.5)},
      {"items", APMValue(Object::Array{entries({{"id", Object("a")}, {"qty", Object(2)}}),
                                       entries({{"id", Object("b")}, {"cost", Object(0.5)}})})},
  };
  return parameters;
}

std::shared_ptr<APMPBEventParam> param(const std::string& name) {
  auto message = APMPBEventParam::initWithMessageInfo(nullptr);
  if (!name.empty()) APMNanoSetString(message, EventParamField::name, name);
  return message;
}

std::shared_ptr<APMEvent> roundTrip(const APMEvent& event) {
  std::optional<platform::Bytes> bytes = event.protoEvent()->protoBuffer();
  if (!bytes) return nullptr;
  return APMEvent::initWithEventProto(APMPBEvent::initWithBuffer(*bytes).get());
}

}  // namespace

TEST(EventTest, RoundTripThroughItsMessage) {
  auto event = APMEvent::initWithOrigin("app", true, "purchase", 1700000000.1239, 1699999999.5,
                                        everyKind());
  ASSERT_TRUE(event);
  EXPECT_EQ(event->parameters().at("_o"), APMValue(std::string("app")));

  auto message = event->protoEvent();
  EXPECT_EQ(APMNanoGetString(message, EventField::name), "purchase");
  EXPECT_EQ(APMNanoGetInt64(message, EventField::timestamp_millis), 1700000000123);
  EXPECT_EQ(APMNanoGetInt64(message, EventField::previous_timestamp_millis), 1699999999500);

  auto back = roundTrip(*event);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_FALSE(back->isPublic());
  EXPECT_DOUBLE_EQ(back->timestamp(), 1700000000.123);
  EXPECT_DOUBLE_EQ(back->previousTimestamp(), 1699999999.5);
  EXPECT_EQ(back->parameters(), event->parameters());
}

TEST(EventTest, MillisecondsAndThePreviousTimestampRule) {
  struct Case {
    double timestamp;
    double previous;
    int64_t millis;
    std::optional<int64_t> previousMillis;
  } cases[] = {
      {1.9999, 0, 1999, std::nullopt},       // truncated, never rounded
      {10, -5, 10000, std::nullopt},         // only a previous time above 0 is written
      {10, 0.0015, 10000, 1},
      {-1.5, 0, -1500, std::nullopt},        // toward zero below 1970 too
  };
  for (const Case& c : cases) {
    auto event = APMEvent::initWithOrigin("auto", false, "_e", c.timestamp, c.previous, {});
    ASSERT_TRUE(event);
    auto message = event->protoEvent();
    EXPECT_EQ(APMNanoGetInt64(message, EventField::timestamp_millis), c.millis) << c.timestamp;
    EXPECT_EQ(APMNanoHasField(message, EventField::previous_timestamp_millis),
              c.previousMillis.has_value());
    if (c.previousMillis) {
      EXPECT_EQ(APMNanoGetInt64(message, EventField::previous_timestamp_millis), *c.previousMillis);
    }
  }
}

// An event read from its message and written again keeps its times: for
// these, ms / 1000 as a double truncates back to ms - 1 (ms + 1 below zero).
TEST(EventTest, TimesReadFromAMessageWriteBackTheSameMilliseconds) {
  for (int64_t ms : {int64_t{2'127'964'587}, int64_t{539'853'505'670}, int64_t{8'602'846'697'147},
                     int64_t{1'125'899'905'099'276}, int64_t{-2'183'628'170'496},
                     std::numeric_limits<int64_t>::max()}) {
    auto event = APMEvent::initWithOrigin("app", false, "purchase", 0, 0, {});
    auto message = event->protoEvent();
    APMNanoSetInt64(message, EventField::timestamp_millis, ms);
    APMNanoSetInt64(message, EventField::previous_timestamp_millis, ms);
    auto back = APMEvent::initWithEventProto(message.get());
    ASSERT_TRUE(back) << ms;
    auto again = back->protoEvent();
    EXPECT_EQ(APMNanoGetInt64(again, EventField::timestamp_millis), ms);
    if (ms > 0) {
      EXPECT_EQ(APMNanoGetInt64(again, EventField::previous_timestamp_millis), ms);
    }
  }
}

TEST(EventTest, ValidationRefusesBadOriginNameTimesAndParameters) {
  // Only the checked factory makes events: the message form relies on its
  // checks.
  static_assert(!std::is_constructible_v<APMEvent, std::string, bool, std::string, double, double,
                                         Parameters>);
  RecordingMonitor monitor;
  const std::string notUtf8 = "\xc3(";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    std::string origin;
    std::string name;
    Parameters parameters;
    const char* text;
    double timestamp = 1;
    double previous = 0;
  } refused[] = {
      {"", "_e", {}, "Event origin is empty"},
      {"app", "", {}, "Event name is not a valid internal event name"},
      {"app", std::string(41, 'n'), {}, "Event name is not a valid internal event name"},
      {"app", "_e", {{"", APMValue(int64_t{1})}}, "Event parameter name is empty"},
      {"app", "_e", {{"p", APMValue(APMValueTypeString, Object(3))}},
       "Event parameter value does not match its type"},
      {"app", "_e", {{"p", APMValue(Object::Array{Object("not a dictionary")})}},
       "Event parameter value does not match its type"},
      {"app", "_e", {{"p", APMValue(Object::Array{entries({{"x", Object(Object::Array{})}})})}},
       "Event parameter value does not match its type"},
      {notUtf8, "_e", {}, "Event text is not valid UTF-8"},
      {"app", "_" + notUtf8, {}, "Event text is not valid UTF-8"},
      {"app", "_e", {{notUtf8, APMValue(int64_t{1})}}, "Event text is not valid UTF-8"},
      {"app", "_e", {{"p", APMValue(notUtf8)}}, "Event text is not valid UTF-8"},
      {"app", "_e", {{"p", APMValue(Object::Array{entries({{notUtf8, Object(1)}})})}},
       "Event text is not valid UTF-8"},
      {"app", "_e", {{"p", APMValue(Object::Array{entries({{"x", Object(notUtf8)}})})}},
       "Event text is not valid UTF-8"},
      {"app", "_e", {}, "Event time is not a finite number", nan},
      {"app", "_e", {}, "Event time is not a finite number", infinity},
      {"app", "_e", {}, "Event time is not a finite number", 1, nan},
  };
  for (const Case& c : refused) {
    platform::ErrorRef error;
    expectRefused(APMEvent::initWithOrigin(c.origin, false, c.name, c.timestamp, c.previous,
                                           c.parameters, &error),
                  error, 1, c.text);
  }
  EXPECT_TRUE(monitor.logs().empty());

  // A stale previous timestamp is only logged; the caller's "_o" yields.
  auto event = APMEvent::initWithOrigin("app", false, std::string(40, 'n'), 5, 6,
                                        {{"_o", APMValue(std::string("other"))}});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->parameters().at("_o"), APMValue(std::string("app")));
  EXPECT_EQ(monitor.codes(), std::vector<long>{16002});
  EXPECT_EQ(monitor.first(16002).message,
            "Event created with previous timestamp after current timestamp");
}

TEST(EventTest, MessagesThatHoldNoValidEvent) {
  auto valid = [] {
    auto message = APMEvent::initWithOrigin("app", false, "_e", 1, 0, {})->protoEvent();
    return message;
  };
  EXPECT_TRUE(APMEvent::initWithEventProto(valid().get()));
  EXPECT_FALSE(APMEvent::initWithEventProto(nullptr));

  auto noName = valid();
  APMNanoSetString(noName, EventField::name, std::nullopt);
  EXPECT_FALSE(APMEvent::initWithEventProto(noName.get()));

  auto noOrigin = valid();
  APMNanoSetRepeated(noOrigin, EventField::params, nullptr);
  EXPECT_FALSE(APMEvent::initWithEventProto(noOrigin.get()));

  auto numericOrigin = valid();
  auto origin = param("_o");
  APMNanoSetInt64(origin, EventParamField::int_value, 1);
  std::vector<APMNanoValue> params{origin};
  APMNanoSetRepeated(numericOrigin, EventField::params, &params);
  EXPECT_FALSE(APMEvent::initWithEventProto(numericOrigin.get()));

  auto valueless = valid();
  auto good = param("_o");
  APMNanoSetString(good, EventParamField::string_value, "app");
  params = {good, param("empty")};
  APMNanoSetRepeated(valueless, EventField::params, &params);
  EXPECT_FALSE(APMEvent::initWithEventProto(valueless.get()));
}

TEST(EventTest, ParameterDecoding) {
  platform::ErrorRef error;
  EXPECT_FALSE(APMDictionaryFromEventParam(nullptr, false, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to parse empty event params data");
  EXPECT_FALSE(APMDictionaryFromEventParam(param("").get(), false, &error));
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Event parameter name is empty");
  EXPECT_FALSE(APMDictionaryFromEventParam(param("p").get(), false, &error));
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to parse invalid event params data");

  // The string wins over an integer set beside it.
  auto both = param("p");
  APMNanoSetInt64(both, EventParamField::int_value, 4);
  APMNanoSetString(both, EventParamField::string_value, "s");
  EXPECT_EQ(APMDictionaryFromEventParam(both.get(), false),
            (Parameters{{"p", APMValue(std::string("s"))}}));

  // Elements that do not decode are left out of the array.
  auto array = param("list");
  auto element = param("");
  auto field = param("k");
  APMNanoSetDouble(field, EventParamField::double_value, 1.5);
  std::vector<APMNanoValue> fields{field, param("no value")};
  APMNanoSetRepeated(element, EventParamField::param_value, &fields);
  std::vector<APMNanoValue> elements{element, param("")};
  APMNanoSetRepeated(array, EventParamField::param_value, &elements);
  EXPECT_EQ(APMDictionaryFromEventParam(array.get(), false),
            (Parameters{{"list", APMValue(Object::Array{entries({{"k", Object(1.5)}})})}}));

  // An array of which nothing is readable stays, empty.
  elements = {param("")};
  APMNanoSetRepeated(array, EventParamField::param_value, &elements);
  EXPECT_EQ(APMDictionaryFromEventParam(array.get(), false),
            (Parameters{{"list", APMValue(Object::Array{})}}));
}

TEST(EventTest, ArraysWithoutEntriesAreLeftOutOfTheMessageSoItReadsBack) {
  auto event = APMEvent::initWithOrigin(
      "app", false, "_e", 1, 0,
      {{"none", APMValue(Object::Array{})},
       {"blank", APMValue(Object::Array{entries({})})},
       {"some", APMValue(Object::Array{entries({}), entries({{"k", Object("v")}})})}});
  ASSERT_TRUE(event);
  auto back = roundTrip(*event);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->parameters(),
            (Parameters{{"_o", APMValue(std::string("app"))},
                        {"some", APMValue(Object::Array{entries({{"k", Object("v")}})})}}));
}
