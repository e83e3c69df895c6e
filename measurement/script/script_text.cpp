#include "measurement/script/script_text.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <new>

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

size_t utf8Length(std::u16string_view utf16) noexcept {
  size_t bytes = utf16.size();
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit < 0x80) continue;
    // Two bytes below U+0800, four for a surrogate pair (two units), three
    // for anything else, an unpaired surrogate (U+FFFD) included.
    if (unit >= 0x800 && U16_IS_LEAD(unit) && i + 1 < utf16.size() && U16_IS_TRAIL(utf16[i + 1])) ++i;
    bytes += unit < 0x800 ? 1 : 2;
  }
  return bytes;
}

bool isOwnDecomposition(std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit >= 0xC0) return false;
  }
  return true;
}

namespace {

uint64_t segmentWork(size_t length) { return kDecompositionWork * length + uint64_t{length} * length / 2; }

// Whether the canonical decomposition of `text` may be cut before `at`
// (decomposing the two sides apart gives the same): at the end, before a
// unit below U+00C0, or before a code point with a boundary before it;
// never between the halves of a surrogate pair.
bool boundaryAt(std::u16string_view text, size_t at, const icu::Normalizer2& nfd) {
  if (at >= text.size()) return true;
  const char16_t unit = text[at];
  if (unit < 0xC0) return true;
  if (U16_IS_TRAIL(unit) && at > 0 && U16_IS_LEAD(text[at - 1])) return false;
  UChar32 c = unit;
  if (U16_IS_LEAD(unit) && at + 1 < text.size() && U16_IS_TRAIL(text[at + 1])) {
    c = U16_GET_SUPPLEMENTARY(unit, text[at + 1]);
  }
  return nfd.hasBoundaryBefore(c);
}

// The canonical decomposition of a text from a boundary on, one unit at a
// time, decomposing one segment at a time.
class DecompositionReader {
 public:
  DecompositionReader(std::u16string_view text, size_t from, const icu::Normalizer2& nfd)
      : text_(text), at_(from), nfd_(nfd) {}

  // 1 with the next unit, 0 at the end, -1 when `allowance` cannot pay
  // for the next segment.
  int next(char16_t& unit, uint64_t& allowance) {
    if (index_ < segment_.length()) {
      unit = segment_.charAt(index_++);
      return 1;
    }
    if (at_ >= text_.size()) return 0;
    size_t end = at_ + 1;
    if (text_[at_] < 0xC0 && boundaryAt(text_, end, nfd_)) {
      if (allowance == 0) return -1;
      --allowance;
      unit = text_[at_++];
      return 1;
    }
    // The segment runs to the next boundary; a run of marks can be as long
    // as the text, so it is paid for as it is found.
    while (!boundaryAt(text_, end, nfd_)) {
      if (segmentWork(++end - at_) > allowance) return -1;
    }
    const size_t length = end - at_;
    if (segmentWork(length) > allowance) return -1;
    allowance -= segmentWork(length);
    UErrorCode status = U_ZERO_ERROR;
    nfd_.normalize(icu::UnicodeString(false, text_.data() + at_, static_cast<int32_t>(length)), segment_, status);
    if (status == U_MEMORY_ALLOCATION_ERROR || segment_.isBogus()) throw std::bad_alloc();
    if (U_FAILURE(status)) segment_.setTo(text_.data() + at_, static_cast<int32_t>(length));
    at_ = end;
    index_ = 0;
    return next(unit, allowance);
  }

 private:
  std::u16string_view text_;
  size_t at_;
  const icu::Normalizer2& nfd_;
  icu::UnicodeString segment_;
  int32_t index_ = 0;
};

}  // namespace

uint64_t reorderingWork(std::u16string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) return 0;
  uint64_t work = 0;
  for (size_t start = 0, end = 1; start < text.size(); start = end++) {
    while (!boundaryAt(text, end, *nfd)) ++end;
    if (end - start > 1) work += uint64_t{end - start} * (end - start) / 2;
  }
  return work;
}

std::optional<int> compareTexts(std::u16string_view a, std::u16string_view b, uint64_t& allowance) {
  // The common prefix, as far as the allowance reaches.
  const size_t shorter = std::min(a.size(), b.size());
  const size_t reach = static_cast<size_t>(std::min<uint64_t>(shorter, allowance));
  const size_t differ = static_cast<size_t>(std::mismatch(a.begin(), a.begin() + reach, b.begin()).first - a.begin());
  allowance -= differ;
  if (differ == reach && reach < shorter) return std::nullopt;
  if (differ == a.size() && differ == b.size()) return 0;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) {
    // No decomposition data: code unit order.
    return a.compare(b) < 0 ? -1 : (a.compare(b) > 0 ? 1 : 0);
  }
  // Back to a boundary the two texts share: the prefix before it
  // decomposes alike in both.
  size_t from = differ;
  while (from > 0 && !(boundaryAt(a, from, *nfd) && boundaryAt(b, from, *nfd))) {
    if (allowance == 0) return std::nullopt;
    --allowance;
    --from;
  }
  DecompositionReader left(a, from, *nfd), right(b, from, *nfd);
  for (;;) {
    char16_t x = 0, y = 0;
    const int hasX = left.next(x, allowance);
    const int hasY = right.next(y, allowance);
    if (hasX < 0 || hasY < 0) return std::nullopt;
    if (!hasX || !hasY) return hasX - hasY;
    if (x != y) return x < y ? -1 : 1;
  }
}

}  // namespace script_text
