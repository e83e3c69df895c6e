#include "measurement/storage/models/value.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/recording_monitor.h"

TEST(ValueTest, AccessorsAnswerOnlyTheirOwnKind) {
  APMValue integer(int64_t{5});
  EXPECT_TRUE(integer.isInt64());
  EXPECT_EQ(integer.int64Value(), 5);
  EXPECT_EQ(integer.doubleValue(), 0.0);
  EXPECT_EQ(integer.stringValue(), nullptr);

  APMValue number(2.5);
  EXPECT_EQ(number.valueType(), APMValueTypeDouble);
  EXPECT_EQ(number.doubleValue(), 2.5);
  EXPECT_EQ(number.int64Value(), 0);

  APMValue text(std::string("abc"));
  ASSERT_NE(text.stringValue(), nullptr);
  EXPECT_EQ(*text.stringValue(), "abc");
  EXPECT_EQ(text.arrayValue(), nullptr);

  EXPECT_NE(APMValue(1.0), APMValue(int64_t{1}));
  EXPECT_EQ(APMValue(std::string("abc")), text);
}

TEST(ValueTest, ValueFromObject) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(true)), APMValue(int64_t{1}));
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(3.0)), APMValue(3.0));
  EXPECT_EQ(APMValue::valueFromObject(platform::Object("x")), APMValue(std::string("x")));
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(std::numeric_limits<uint64_t>::max())),
            APMValue(std::numeric_limits<int64_t>::max()));
  EXPECT_TRUE(monitor.logs().empty());

  EXPECT_FALSE(APMValue::valueFromObject(platform::Object()));
  EXPECT_EQ(monitor.first(35000).text, "Cannot create Value type with nil value");

  platform::Object array(platform::Object::Array{platform::Object(1), platform::Object("a")});
  EXPECT_FALSE(APMValue::valueFromObject(array));
  EXPECT_EQ(monitor.first(35001).level, 0);
  EXPECT_FALSE(APMValue::valueFromObject(platform::Object::null()));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{35000, 35001, 35001}));

  auto value = APMValue::valueFromObject(array, true);
  ASSERT_TRUE(value && value->isArray());
  EXPECT_EQ(value->arrayValue()->size(), 2u);
}
