#include "measurement/engine/value.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/recording_monitor.h"

TEST(ValueTest, KindsNeverConvert) {
  APMValue integer(int64_t{5});
  EXPECT_EQ(integer.int64Value(), 5);
  EXPECT_EQ(integer.doubleValue(), 0.0);
  EXPECT_EQ(integer.stringValue(), nullptr);
  EXPECT_EQ(APMValue(2.5).int64Value(), 0);
  EXPECT_EQ(APMValue(std::string("abc")).arrayValue(), nullptr);
  EXPECT_NE(APMValue(1.0), APMValue(int64_t{1}));
  EXPECT_EQ(APMValue(std::string("abc")), APMValue(std::string("abc")));
}

TEST(ValueTest, ValueFromObject) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(true)), APMValue(int64_t{1}));
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(3.0)), APMValue(3.0));
  EXPECT_EQ(APMValue::valueFromObject(platform::Object(std::numeric_limits<uint64_t>::max())),
            APMValue(std::numeric_limits<int64_t>::max()));
  EXPECT_TRUE(monitor.logs().empty());

  EXPECT_FALSE(APMValue::valueFromObject(platform::Object()));
  EXPECT_EQ(monitor.first(35000).text, "Cannot create Value type with nil value");
  platform::Object array(platform::Object::Array{platform::Object(1), platform::Object("a")});
  EXPECT_FALSE(APMValue::valueFromObject(array));
  EXPECT_FALSE(APMValue::valueFromObject(platform::Object::null()));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{35000, 35001, 35001}));
  EXPECT_EQ(monitor.first(35001).level, 0);

  auto value = APMValue::valueFromObject(array, true);
  ASSERT_TRUE(value && value->isArray());
  EXPECT_EQ(value->arrayValue()->size(), 2u);
}

TEST(ValueTest, StringAndArrayFromObjectsLogTheirCodes) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMValue::initWithString(platform::Object("x")), APMValue(std::string("x")));
  EXPECT_FALSE(APMValue::initWithString(platform::Object()));
  EXPECT_FALSE(APMValue::initWithString(platform::Object(1)));
  EXPECT_FALSE(APMValue::initWithArray(platform::Object()));
  EXPECT_FALSE(APMValue::initWithArray(platform::Object("x")));
  EXPECT_EQ(monitor.codes(), (std::vector<long>{35002, 35003, 35004, 35005}));
  EXPECT_EQ(monitor.first(35003).contexts.at(0), platform::Object(1));
  EXPECT_TRUE(monitor.first(35002).contexts.empty());
}

TEST(ValueTest, EqualityIsSymmetricAcrossClassesAndHashAgrees) {
  const APMValue text(std::string("abc"));
  const ZUROValue publicText(std::string("abc"));
  const ZUROValue publicCopy(text);
  struct Case {
    const APMValue& left;
    const APMValue& right;
    bool equal;
  } cases[] = {
      {text, APMValue(std::string("abc")), true},
      {publicText, publicCopy, true},
      {text, publicText, false},
      {publicText, text, false},
      {APMValue(1.0), APMValue(int64_t{1}), false},
      {APMValue(platform::Object::Array{platform::Object("a")}),
       APMValue(platform::Object::Array{platform::Object("a")}), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.left == c.right, c.equal) << c.left.description() << " vs " << c.right.description();
    EXPECT_EQ(c.right == c.left, c.equal);
    if (c.equal) {
      EXPECT_EQ(c.left.hash(), c.right.hash()) << c.left.description();
    }
  }
  // Kinds are not checked when given; hashing any of them is defined.
  const APMValue odd(std::numeric_limits<int64_t>::max(), platform::Object(1));
  EXPECT_EQ(odd.hash(), APMValue(odd).hash());
  // A copy keeps its class.
  APMValue copy = publicText;
  EXPECT_EQ(copy, publicText);
  EXPECT_NE(copy, text);
}

TEST(ValueTest, NumbersEqualAcrossKindsHashAlike) {
  using platform::Object;
  const int64_t twoTo53 = int64_t{1} << 53;
  const uint64_t uint64Max = std::numeric_limits<uint64_t>::max();
  auto inArray = [](Object number) { return APMValue(Object::Array{number}); };
  struct Pair {
    APMValue left;
    APMValue right;
  } pairs[] = {
      {inArray(Object(twoTo53 + 1)), inArray(Object(static_cast<double>(twoTo53)))},
      {inArray(Object(uint64Max)), inArray(Object(18446744073709551616.0))},
      {inArray(Object(-0.0)), inArray(Object(0.0))},
      {inArray(Object(int64_t{0})), inArray(Object(-0.0))},
      {inArray(Object(true)), inArray(Object(1.0))},
      {inArray(Object(Object::Dictionary{{"n", Object(twoTo53 + 1)}})),
       inArray(Object(Object::Dictionary{{"n", Object(static_cast<double>(twoTo53))}}))},
      // A kind given unchecked may box a number of another kind.
      {APMValue(APMValueTypeInt64, Object(twoTo53 + 1)),
       APMValue(APMValueTypeInt64, Object(static_cast<double>(twoTo53)))},
      {APMValue(-0.0), APMValue(0.0)},
  };
  for (const Pair& pair : pairs) {
    ASSERT_EQ(pair.left, pair.right) << pair.left.description();
    EXPECT_EQ(pair.left.hash(), pair.right.hash()) << pair.left.description();
  }
}
