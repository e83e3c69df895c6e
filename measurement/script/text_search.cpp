#include "measurement/script/text_search.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "measurement/script/script_text.h"

namespace script_text {
namespace {

constexpr int64_t kInside = -1;

// A text in its canonical decomposition, with the way back: `origin[k]` is
// the offset in the original text where the decomposition offset k begins
// a segment, or kInside where k lies inside one. Segments are the runs
// between normalization boundaries, decomposed one by one, so a match whose
// ends are both segment starts maps back to whole code units and whole
// combining sequences.
struct Decomposed {
  std::u16string text;
  std::vector<int64_t> origin;
};

bool decompose(std::u16string_view input, Decomposed& out) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status) || input.size() > INT32_MAX) return false;
  const auto n = static_cast<int32_t>(input.size());
  out.text.clear();
  out.origin.clear();
  const auto markSegment = [&out](int32_t at) {
    out.origin.resize(out.text.size() + 1, kInside);
    out.origin[out.text.size()] = at;
  };
  int32_t i = 0;
  while (i < n) {
    markSegment(i);
    const int32_t start = i;
    UChar32 c;
    U16_NEXT(input.data(), i, n, c);
    // The segment runs on until a code point that starts one (a unit below
    // U+00C0 always does).
    while (i < n && input[static_cast<size_t>(i)] >= 0xC0) {
      int32_t next = i;
      U16_NEXT(input.data(), next, n, c);
      if (nfd->hasBoundaryBefore(c)) break;
      i = next;
    }
    if (i - start == 1 && input[static_cast<size_t>(start)] < 0xC0) {
      out.text.push_back(input[static_cast<size_t>(start)]);
      continue;
    }
    const icu::UnicodeString segment(false, input.data() + start, i - start);
    const icu::UnicodeString decomposed = nfd->normalize(segment, status);
    if (U_FAILURE(status)) return false;
    out.text.append(reinterpret_cast<const char16_t*>(decomposed.getBuffer()),
                    static_cast<size_t>(decomposed.length()));
  }
  markSegment(n);
  return true;
}

std::u16string decomposeNeedle(std::u16string_view needle) {
  Decomposed d;
  return decompose(needle, d) ? d.text : std::u16string(needle);
}

}  // namespace

TextMatch findText(std::u16string_view text, std::u16string_view needle, size_t from) {
  TextMatch match;
  if (needle.empty() || from > text.size()) return match;
  Decomposed hay;
  if ((isOwnDecomposition(text) && isOwnDecomposition(needle)) || !decompose(text, hay)) {
    match.location = text.find(needle, from);
    match.length = needle.size();
    return match;
  }
  const std::u16string key = decomposeNeedle(needle);
  // The first segment starting at or after `from`.
  size_t k = 0;
  while (hay.origin[k] == kInside || hay.origin[k] < static_cast<int64_t>(from)) ++k;
  for (size_t p = hay.text.find(key, k); p != std::u16string::npos; p = hay.text.find(key, p + 1)) {
    const int64_t begin = hay.origin[p], end = hay.origin[p + key.size()];
    if (begin != kInside && end != kInside) {
      match.location = static_cast<size_t>(begin);
      match.length = static_cast<size_t>(end - begin);
      return match;
    }
  }
  return match;
}

TextMatch findLastText(std::u16string_view text, std::u16string_view needle, size_t end) {
  TextMatch match;
  end = std::min(end, text.size());
  if (needle.empty()) return match;
  Decomposed hay;
  if ((isOwnDecomposition(text) && isOwnDecomposition(needle)) || !decompose(text, hay)) {
    if (needle.size() <= end) match.location = text.rfind(needle, end - needle.size());
    match.length = needle.size();
    return match;
  }
  const std::u16string key = decomposeNeedle(needle);
  // The last segment start at or before `end`.
  size_t k = hay.text.size();
  while (hay.origin[k] == kInside || hay.origin[k] > static_cast<int64_t>(end)) --k;
  if (key.size() > k) return match;
  for (size_t p = k - key.size();; --p) {
    p = hay.text.rfind(key, p);
    if (p == std::u16string::npos) break;
    const int64_t begin = hay.origin[p], stop = hay.origin[p + key.size()];
    if (begin != kInside && stop != kInside) {
      match.location = static_cast<size_t>(begin);
      match.length = static_cast<size_t>(stop - begin);
      return match;
    }
    if (p == 0) break;
  }
  return match;
}

}  // namespace script_text
