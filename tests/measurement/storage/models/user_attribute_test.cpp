#include "measurement/storage/models/user_attribute.h"

#include <gtest/gtest.h>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::Object;

}  // namespace

TEST(UserAttributeTest, RefusesWhatTheValidatorRefusesWithoutLogging) {
  RecordingMonitor monitor;
  struct Case {
    std::string name;
    APMValue value;
    bool accepted;
  } cases[] = {
      {"_fot", APMValue(int64_t{1}), true},
      {std::string(24, 'n'), APMValue(2.5), true},
      {std::string(25, 'n'), APMValue(2.5), false},
      {"", APMValue(int64_t{1}), false},
      {"p", APMValue(std::string()), false},
      {"p", APMValue(std::string(36, 'v')), true},
      {"p", APMValue(std::string(37, 'v')), false},
      {"_id", APMValue(std::string(256, 'v')), true},
      {"p", APMValue(Object::Array{Object(1)}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<bool>(APMUserAttribute::initWithOrigin("app", c.name, c.value, 1)),
              c.accepted)
        << c.name << " = " << c.value.description();
  }
  EXPECT_TRUE(monitor.logs().empty());
}

TEST(UserAttributeTest, PublicNames) {
  auto attribute = [](const std::string& name) {
    return APMUserAttribute(/*origin=*/"app", name, APMValue(int64_t{1}), 0);
  };
  EXPECT_FALSE(attribute("_fot").isPublic());
  EXPECT_TRUE(attribute("score").isPublic());
  EXPECT_FALSE(attribute("").isPublic());
}

TEST(UserAttributeTest, MessageCarriesTheValueInItsKindsFieldAndMilliseconds) {
  struct Case {
    APMValue value;
    int32_t field;
  } cases[] = {
      {APMValue(std::string("gold")), UserAttributeField::string_value},
      {APMValue(int64_t{-3}), UserAttributeField::int_value},
      {APMValue(0.25), UserAttributeField::double_value},
  };
  for (const Case& c : cases) {
    auto attribute = APMUserAttribute::initWithOrigin("app", "tier", c.value, 1.9999);
    ASSERT_TRUE(attribute);
    auto message = attribute->protoUserAttribute();
    EXPECT_EQ(APMNanoGetString(message, UserAttributeField::name), "tier");
    EXPECT_EQ(APMNanoGetInt64(message, UserAttributeField::set_timestamp_millis), 1999);
    for (int32_t field : {UserAttributeField::string_value, UserAttributeField::int_value,
                          UserAttributeField::float_value, UserAttributeField::double_value}) {
      EXPECT_EQ(APMNanoHasField(message, field), field == c.field) << c.value.description();
    }
  }
  auto message = APMUserAttribute::initWithOrigin("app", "tier", APMValue(0.25), 1)
                     ->protoUserAttribute();
  EXPECT_EQ(APMNanoGetDouble(message, UserAttributeField::double_value), 0.25);
}
