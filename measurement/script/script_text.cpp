#include "measurement/script/script_text.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <climits>

namespace script_text {

bool isWhitespaceOrNewline(char16_t unit) {
  if (unit <= 0x20) return unit == 0x20 || (unit >= 0x09 && unit <= 0x0D);
  if (unit < 0x85) return false;
  return unit == 0x85 || unit == 0xA0 || unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) ||
         unit == 0x2028 || unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

std::u16string_view trim(std::u16string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && isWhitespaceOrNewline(text[begin])) ++begin;
  while (end > begin && isWhitespaceOrNewline(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

namespace {

int literalOrder(std::u16string_view a, std::u16string_view b) {
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool isOwnDecomposition(std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit >= 0xC0) return false;
  }
  return true;
}

int compareTexts(std::u16string_view a, std::u16string_view b) {
  if ((isOwnDecomposition(a) && isOwnDecomposition(b)) || a.size() > INT32_MAX || b.size() > INT32_MAX) {
    return literalOrder(a, b);
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return literalOrder(a, b);
  const icu::UnicodeString left = nfd->normalize(
      icu::UnicodeString(false, a.data(), static_cast<int32_t>(a.size())), status);
  const icu::UnicodeString right = nfd->normalize(
      icu::UnicodeString(false, b.data(), static_cast<int32_t>(b.size())), status);
  if (U_FAILURE(status)) return literalOrder(a, b);
  const int8_t order = left.compare(right);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace script_text
