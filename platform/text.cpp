#include "platform/text.h"

#include <algorithm>

#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace platform {
namespace {

// Decodes the scalar at `pos` and advances past it; negative for a maximal
// ill-formed subsequence (ICU's U8_NEXT decides its extent).
UChar32 nextScalar(std::string_view utf8, size_t& pos) {
  // ICU indexes with int32_t; a sequence never spans more than four bytes,
  // so a four-byte window decides it and any string length is safe.
  const int32_t window = static_cast<int32_t>(std::min<size_t>(utf8.size() - pos, 4));
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data() + pos);
  int32_t i = 0;
  UChar32 c;
  U8_NEXT(s, i, window, c);
  pos += static_cast<size_t>(i);
  return c;
}

template <typename Visit>
void forEachScalar(std::string_view utf8, Visit visit) {
  for (size_t pos = 0; pos < utf8.size();) {
    const UChar32 c = nextScalar(utf8, pos);
    visit(c < 0 ? static_cast<UChar32>(kReplacementCharacter) : c);
  }
}

}  // namespace

bool isValidUtf8(std::string_view utf8) {
  for (size_t pos = 0; pos < utf8.size();) {
    if (nextScalar(utf8, pos) < 0) return false;
  }
  return true;
}

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  forEachScalar(utf8, [&](UChar32 c) {
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  });
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t pos = 0; pos < utf16.size();) {
    const int32_t window = static_cast<int32_t>(std::min<size_t>(utf16.size() - pos, 2));
    int32_t i = 0;
    UChar32 c;
    U16_NEXT(utf16.data() + pos, i, window, c);
    pos += static_cast<size_t>(i);
    if (U_IS_SURROGATE(c)) c = static_cast<UChar32>(kReplacementCharacter);
    char buffer[U8_MAX_LENGTH];
    int32_t n = 0;
    U8_APPEND_UNSAFE(buffer, n, c);
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::u32string utf8ToUtf32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  forEachScalar(utf8, [&](UChar32 c) { out.push_back(static_cast<char32_t>(c)); });
  return out;
}

size_t utf16Length(std::string_view utf8) {
  size_t n = 0;
  forEachScalar(utf8, [&](UChar32 c) { n += static_cast<size_t>(U16_LENGTH(c)); });
  return n;
}

size_t scalarCount(std::string_view utf8) {
  size_t n = 0;
  forEachScalar(utf8, [&](UChar32) { ++n; });
  return n;
}

bool textBoolValue(std::string_view text) {
  size_t i = text.find_first_not_of(" \t\n\r\v\f");
  if (i == std::string_view::npos) return false;
  if (text[i] == '+' || text[i] == '-') ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace platform
