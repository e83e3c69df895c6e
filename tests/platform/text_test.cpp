#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, ConvertsAndCountsWellFormedText) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
  EXPECT_TRUE(platform::isValidUtf8(text));
  EXPECT_EQ(platform::utf8ToUtf16(text), u"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(platform::utf16ToUtf8(platform::utf8ToUtf16(text)), text);
  EXPECT_EQ(platform::utf8ToUtf32(text), U"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(platform::utf16Length(text), 5u);  // the emoji takes two code units
  EXPECT_EQ(platform::scalarCount(text), 4u);
  EXPECT_EQ(platform::utf16Length(""), 0u);
}

TEST(TextTest, IllFormedSequencesBecomeOneReplacementEach) {
  // A lone continuation byte, a truncated three-byte sequence before "x",
  // an encoded surrogate (ED A0 80, three maximal subparts) and a
  // truncated four-byte sequence at the end.
  const std::string bad = "\x80" "\xE2\x82" "x" "\xED\xA0\x80" "\xF0\x9F\x98";
  EXPECT_FALSE(platform::isValidUtf8(bad));
  const std::u16string expected = u"\uFFFD\uFFFDx\uFFFD\uFFFD\uFFFD\uFFFD";
  EXPECT_EQ(platform::utf8ToUtf16(bad), expected);
  EXPECT_EQ(platform::utf16Length(bad), expected.size());
  EXPECT_EQ(platform::scalarCount(bad), expected.size());
  EXPECT_FALSE(platform::isValidUtf8("\xC0\xAF"));  // overlong "/"

  // Unpaired surrogates in UTF-16 also become U+FFFD.
  const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(platform::utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
