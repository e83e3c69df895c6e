#include "measurement/engine/data_type_validator.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string repeat(std::string_view unit, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += unit;
  return text;
}

// Lengths count characters, not bytes: one- to four-byte characters all fill
// a name or value at the same count.
constexpr std::string_view kUnits[] = {"a", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80"};

}  // namespace

TEST(DataTypeValidatorTest, ReservedPrefixes) {
  for (const char* name : {"vudaziru_x", "voraza_", "va_session_id"}) {
    EXPECT_TRUE(APMDataTypeValidator::hasReservedPrefixes(name)) << name;
  }
  for (const char* name : {"", "va", "vudaziru", "Va_x", "xva_", "_va_"}) {
    EXPECT_FALSE(APMDataTypeValidator::hasReservedPrefixes(name)) << name;
  }
}

TEST(DataTypeValidatorTest, NameLengthsCountCharacters) {
  using Check = bool (*)(std::string_view, int*);
  for (auto [check, limit] :
       {std::pair<Check, size_t>{APMDataTypeValidator::isValidInternalEventName, 40},
        {APMDataTypeValidator::isValidInternalUserAttributeName, 24}}) {
    for (std::string_view unit : kUnits) {
      int code = -7;
      EXPECT_TRUE(check(repeat(unit, limit), &code)) << unit << limit;
      EXPECT_EQ(code, -7);  // untouched on success
      EXPECT_FALSE(check(repeat(unit, limit + 1), &code)) << unit << limit;
      EXPECT_EQ(code, kAPMValidationFailureNameTooLong);
    }
    int code = -7;
    EXPECT_FALSE(check("", &code));
    EXPECT_EQ(code, kAPMValidationFailureEmptyName);
    // Stray continuation bytes are not free: each counts as a character.
    EXPECT_FALSE(check(repeat("\x80", limit + 1), nullptr));
    EXPECT_TRUE(check("_ltv_USD", nullptr));
  }
}

TEST(DataTypeValidatorTest, UserAttributeValues) {
  for (auto [name, limit] : {std::pair{"_fot", 36}, std::pair{"_id", 256},
                             std::pair{"_gbraid", 256}, std::pair{"_psmvalue", 512}}) {
    for (std::string_view unit : kUnits) {
      int code = -7;
      EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(
          platform::Object(repeat(unit, limit)), name, &code))
          << name << unit;
      EXPECT_EQ(code, -7);
      EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(
          platform::Object(repeat(unit, limit + 1)), name, &code))
          << name << unit;
      EXPECT_EQ(code, kAPMValidationFailureValueTooLong);
    }
  }
  int code = 0;
  EXPECT_FALSE(
      APMDataTypeValidator::isValidInternalUserAttributeValue(platform::Object(""), "_id", &code));
  EXPECT_EQ(code, kAPMValidationFailureEmptyValue);

  // Numbers are the values of the engine's own properties (first open time,
  // session number, engagement).
  for (platform::Object number :
       {platform::Object(int64_t{1700000000000}), platform::Object(0.5), platform::Object(true)}) {
    EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(number, "_fot"));
  }
  for (platform::Object other : {platform::Object(), platform::Object(platform::Bytes{1}),
                                 platform::Object(platform::Object::Array{})}) {
    code = 0;
    EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(other, "_fot", &code));
    EXPECT_EQ(code, kAPMValidationFailureUnsupportedValue);
  }
}
