#include "measurement/storage/system/decimal_numbers.h"

#include <gtest/gtest.h>

#include "tests/support/recording_monitor.h"

namespace {

TEST(DecimalNumbersTest, RecognisesDecimalTexts) {
  for (const char* good : {"12", "+12.", "-.5", ".5", "0", "007", "-0.000", "1234567890.0987"}) {
    EXPECT_TRUE(APMIsDecimalNumberString(good)) << good;
  }
  for (const char* bad : {"", "1e5", ".", "1,000", "12 ", " 12", "12\n", "+", "-", "1.2.3",
                          "0x10", "\xEF\xBC\x91"}) {  // the last: a full-width digit one
    EXPECT_FALSE(APMIsDecimalNumberString(bad)) << bad;
  }
}

TEST(DecimalNumbersTest, MakesExactDecimalNumbers) {
  RecordingMonitor monitor;
  struct Case {
    const char* text;
    const char* value;
    double number;
  };
  for (const Case& c : {Case{"0010.50", "10.5", 10.5}, Case{"-.25", "-0.25", -0.25},
                        Case{"+12.", "12", 12}, Case{".5", "0.5", 0.5}, Case{"-0", "0", 0},
                        Case{"00.000", "0", 0},
                        Case{"12345678901234567890123456789012345678",
                             "12345678901234567890123456789012345678", 1.2345678901234568e37},
                        Case{"0.00000000000000000000000000000000000000000000000001",
                             "0.00000000000000000000000000000000000000000000000001", 1e-50}}) {
    auto number = APMDecimalNumberFromString(c.text);
    ASSERT_TRUE(number) << c.text;
    EXPECT_EQ(number->stringValue(), c.value);
    EXPECT_DOUBLE_EQ(number->doubleValue(), c.number);
  }
  EXPECT_TRUE(monitor.logs().empty());
}

TEST(DecimalNumbersTest, RefusalsAreLoggedWithTheirCodes) {
  RecordingMonitor monitor;
  EXPECT_FALSE(APMDecimalNumberFromString("1e5"));
  ASSERT_TRUE(monitor.contains(26001));
  EXPECT_EQ(monitor.first(26001).level, 2);
  EXPECT_EQ(monitor.first(26001).text, "String value does not represent a numeric value. Value: 1e5");

  // 39 significant digits: more than the decimal type keeps.
  const std::string tooPrecise = "1.00000000000000000000000000000000000001";
  EXPECT_FALSE(APMDecimalNumberFromString(tooPrecise));
  ASSERT_TRUE(monitor.contains(26003));
  EXPECT_EQ(monitor.first(26003).text,
            "Unable to create a NSDecimalNumber from string value: loss of precision. Value: " +
                tooPrecise);

  // Beyond the type's exponent range.
  const std::string tiny = "0." + std::string(200, '0') + "1";
  EXPECT_FALSE(APMDecimalNumberFromString(tiny));
  ASSERT_TRUE(monitor.contains(26002));
  EXPECT_EQ(monitor.first(26002).level, 2);
  EXPECT_EQ(monitor.first(26002).message,
            "Unable to create a NSDecimalNumber from string value. Value");
}

TEST(DecimalNumbersTest, AFailedExpressionIsLoggedAndRetried) {
  RecordingMonitor monitor;
  APMSetDecimalNumberPatternForTesting("([0-9");
  EXPECT_FALSE(APMIsDecimalNumberString("12"));
  EXPECT_FALSE(APMIsDecimalNumberString("12"));
  ASSERT_TRUE(monitor.contains(26000));
  const RecordedLog log = monitor.first(26000);
  EXPECT_EQ(log.level, 2);
  EXPECT_EQ(log.message, "Unable to initialize decimal number regexp. Regex, error");
  ASSERT_EQ(log.contexts.size(), 2u);
  EXPECT_EQ(log.contexts[0], platform::Object("([0-9"));
  EXPECT_EQ(monitor.codes().size(), 2u);  // each call tried to build it again
  APMSetDecimalNumberPatternForTesting("");
  EXPECT_TRUE(APMIsDecimalNumberString("12"));
}

}  // namespace
