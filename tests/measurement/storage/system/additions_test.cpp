#include <gtest/gtest.h>

#include <cstring>

#include "measurement/storage/system/data_additions.h"
#include "measurement/storage/system/dictionary_additions.h"
#include "measurement/storage/system/string_additions.h"

namespace {

using platform::Bytes;
using platform::Object;

TEST(DataAdditionsTest, DigestsAndLeastSignificantBits) {
  const Bytes abc = {'a', 'b', 'c'};
  // MD5("abc") = 900150983cd24fb0 d6963f7d28e17f72
  EXPECT_EQ(apm_MD5Data(abc), (Bytes{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96,
                                     0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72}));
  EXPECT_EQ(apm_64LSBMD5(abc), static_cast<int64_t>(0xd6963f7d28e17f72ULL));
  EXPECT_EQ(apm_64LeastSignificantBits({}), 0);
  EXPECT_EQ(apm_64LeastSignificantBits({0x01, 0x02, 0x03}), 66051);
  EXPECT_EQ(apm_64LeastSignificantBits({0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x01, 0x00}), 256);
  EXPECT_EQ(apm_64LeastSignificantBits(Bytes(8, 0xFF)), -1);
}

TEST(StringAdditionsTest, MD5TextUnescapingAndBits) {
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_FALSE(apm_MD5String("bad \xFF"));

  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%20c"), "a b c");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%C3%A9%2B"), "\xC3\xA9+");
  for (const char* bad : {"%", "%2", "%zz", "a%C3", "%FF"}) {
    EXPECT_FALSE(apm_stringByUnescapingFromURLArgument(bad)) << bad;
  }

  EXPECT_TRUE(isBitEnabledAtIndex("0101", 1));
  EXPECT_FALSE(isBitEnabledAtIndex("0101", 2));
  EXPECT_TRUE(isBitEnabledAtIndex("0101", 3));
  EXPECT_FALSE(isBitEnabledAtIndex("0101", 4));
  EXPECT_FALSE(isBitEnabledAtIndex("0101", -1));
  EXPECT_FALSE(isBitEnabledAtIndex("", 0));
  // Positions count UTF-16 units: the emoji takes two.
  EXPECT_TRUE(isBitEnabledAtIndex("\xF0\x9F\x98\x80" "01", 3));
}

TEST(StringAdditionsTest, UTF32LengthsAndWholeCharacterCuts) {
  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, e-acute, emoji
  EXPECT_EQ(apm_UTF32Length(text), 3u);
  EXPECT_EQ(apm_UTF32Length("\xFF"), 1u);  // one ill-formed byte is one U+FFFD
  uint8_t buffer[12];
  std::memset(buffer, 0xEE, sizeof buffer);
  apm_getUTF32Bytes(text, buffer, 11);  // room for two whole characters only
  const uint8_t expected[] = {'a', 0, 0, 0, 0xE9, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
  apm_getUTF32Bytes(text, buffer, 12);
  EXPECT_EQ(buffer[8], 0x00);
  EXPECT_EQ(buffer[9], 0xF6);
  EXPECT_EQ(buffer[10], 0x01);
  EXPECT_EQ(buffer[11], 0x00);
}

TEST(DictionaryAdditionsTest, QueryStringsBothWays) {
  EXPECT_EQ(apm_queryString({}), "");
  Object::Dictionary dict;
  dict.emplace("a b", "x&y=z+1");
  dict.emplace("n", 5);
  dict.emplace("\xC3\xA9", "/?");
  EXPECT_EQ(apm_queryString(dict), "a%20b=x&y=z+1&n=5&%C3%A9=/?");

  auto args = apm_dictionaryWithHttpArgumentsString("a=1&a=2&b");
  EXPECT_EQ(args, (Object::Dictionary{{"a", Object("1")}, {"b", Object("")}}));
  args = apm_dictionaryWithHttpArgumentsString("&&k=a+b%21&x=%zz&=v&e=&k2=p=q");
  EXPECT_EQ(args, (Object::Dictionary{{"k", Object("a b!")},
                                      {"x", Object("")},
                                      {"", Object("v")},
                                      {"e", Object("")},
                                      {"k2", Object("p=q")}}));
  EXPECT_TRUE(apm_dictionaryWithHttpArgumentsString("").empty());
}

}  // namespace
