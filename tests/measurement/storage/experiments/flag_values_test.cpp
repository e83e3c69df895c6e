// The flag value functions: which field answers a flag's value, how a flag
// is made from a name and a value, and what is refused through the
// experiment monitor.
#include "measurement/storage/experiments/flag_values.h"

#include "measurement/messages/nano_accessors.h"
#include "tests/support/recording_monitor.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using platform::Object;

TEST(FlagValues, ValueOrderAndConstruction) {
  EXPECT_TRUE(APMPBFlagValueObject(nullptr).isNil());

  auto flag = APMPBFlag::initWithBuffer(nullptr);
  EXPECT_TRUE(APMPBFlagValueObject(flag.get()).isNil());
  APMNanoSetBool(flag, FlagField::bool_value, true);
  EXPECT_EQ(APMPBFlagValueObject(flag.get()).kind(), Object::Kind::Bool);
  APMNanoSetString(flag, FlagField::string_value, "s");
  EXPECT_EQ(APMPBFlagValueObject(flag.get()), Object("s"));
  APMNanoSetDouble(flag, FlagField::double_value, 0.5);
  EXPECT_EQ(APMPBFlagValueObject(flag.get()), Object(0.5));
  APMNanoSetInt64(flag, FlagField::int_value, 9);
  EXPECT_EQ(APMPBFlagValueObject(flag.get()).kind(), Object::Kind::Int);

  // A boolean value is stored as the integer 1 and reads back as a number.
  auto boolean = APMPBFlagWithNameValue("f", Object(true));
  ASSERT_NE(boolean, nullptr);
  EXPECT_EQ(APMNanoGetString(boolean, FlagField::name), "f");
  EXPECT_EQ(APMNanoGetInt64(boolean, FlagField::int_value), 1);
  EXPECT_FALSE(APMNanoHasField(boolean, FlagField::bool_value));
  const Object read = APMPBFlagValueObject(boolean.get());
  EXPECT_EQ(read.kind(), Object::Kind::Int);
  EXPECT_EQ(read.int64Value(), 1);

  auto floating = APMPBFlagWithNameValue("f", Object(2.5));
  EXPECT_EQ(APMNanoGetDouble(floating, FlagField::double_value), 2.5);
  EXPECT_FALSE(APMNanoHasField(floating, FlagField::int_value));
  auto text = APMPBFlagWithNameValue("f", Object("on"));
  EXPECT_EQ(APMNanoGetString(text, FlagField::string_value), "on");
}

TEST(FlagValues, RefusalsAreLoggedThroughTheExperimentMonitor) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMPBFlagWithNameValue(Object(), Object(1)), nullptr);
  EXPECT_EQ(APMPBFlagWithNameValue(Object(3), Object(1)), nullptr);
  EXPECT_EQ(APMPBFlagWithNameValue("f", Object(platform::Date{1.0})), nullptr);
  EXPECT_EQ(monitor.codes(), (std::vector<long>{850000, 850001, 850002}));
  EXPECT_EQ(monitor.first(850000).level, 1);
  EXPECT_EQ(monitor.first(850000).message, "Flag name must not be nil");
  EXPECT_EQ(monitor.first(850001).message, "Flag name must be a string");
  EXPECT_EQ(monitor.first(850001).contexts, (std::vector<Object>{Object("NSNumber")}));
  EXPECT_EQ(monitor.first(850002).message, "Flag value is invalid");
  EXPECT_EQ(monitor.first(850002).contexts, (std::vector<Object>{Object("NSDate")}));
}

} // namespace
