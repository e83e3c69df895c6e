#include "measurement/script/text_search.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
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
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
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
    // Out of memory, a literal search would give a wrong answer.
    if (status == U_MEMORY_ALLOCATION_ERROR || decomposed.isBogus()) throw std::bad_alloc();
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

// The automaton of Knuth, Morris and Pratt over a needle read from the
// front or from the back. Each unit of the searched text is read once and
// the automaton falls back at most as often as it advanced, so a scan costs
// at most twice the units it reads whatever the needle, where comparing at
// every position would cost the product of the two lengths.
class Automaton {
 public:
  Automaton(std::u16string_view needle, bool backwards)
      : needle_(needle), backwards_(backwards), fallback_(needle.size(), 0) {
    for (size_t i = 1, k = 0; i < needle.size(); ++i) {
      while (k > 0 && unit(i) != unit(k)) k = fallback_[k - 1];
      if (unit(i) == unit(k)) ++k;
      fallback_[i] = k;
    }
  }
  size_t size() const noexcept { return needle_.size(); }
  bool backwards() const noexcept { return backwards_; }
  // Reads `c` with `matched` units of the needle matched so far; true when
  // it completes an occurrence. The state then keeps the longest border, so
  // overlapping occurrences are seen too.
  bool step(char16_t c, size_t& matched) const {
    while (matched > 0 && unit(matched) != c) matched = fallback_[matched - 1];
    if (unit(matched) == c) ++matched;
    if (matched < needle_.size()) return false;
    matched = fallback_[matched - 1];
    return true;
  }

 private:
  char16_t unit(size_t i) const { return needle_[backwards_ ? needle_.size() - 1 - i : i]; }

  std::u16string_view needle_;
  bool backwards_;
  // fallback_[i]: the longest proper prefix of the needle's first i + 1
  // units (in reading order) that is also their suffix.
  std::vector<size_t> fallback_;
};

// Offers the start of each occurrence lying within text[begin, end), in the
// automaton's reading order and overlapping ones included, to `accept`
// until it takes one; answers that start, or npos.
template <class Accept>
size_t scan(std::u16string_view text, size_t begin, size_t end, const Automaton& automaton, Accept accept) {
  size_t matched = 0;
  if (automaton.backwards()) {
    for (size_t i = end; i > begin; --i) {
      if (automaton.step(text[i - 1], matched) && accept(i - 1)) return i - 1;
    }
  } else {
    for (size_t i = begin; i < end; ++i) {
      if (automaton.step(text[i], matched) && accept(i + 1 - automaton.size())) return i + 1 - automaton.size();
    }
  }
  return TextMatch::npos;
}

constexpr auto kAnyOccurrence = [](size_t) { return true; };

// The first (or, backwards, the last) occurrence within the decomposed
// text's part [begin, end) whose both ends are segment starts, as a match
// in the original text.
TextMatch findSegments(const Decomposed& hay, std::u16string_view needle, size_t begin, size_t end, bool backwards) {
  const std::u16string key = decomposeNeedle(needle);
  TextMatch match;
  scan(hay.text, begin, end, Automaton(key, backwards), [&](size_t p) {
    const int64_t first = hay.origin[p], last = hay.origin[p + key.size()];
    if (first == kInside || last == kInside) return false;
    match.location = static_cast<size_t>(first);
    match.length = static_cast<size_t>(last - first);
    return true;
  });
  return match;
}

}  // namespace

uint64_t literalSearchWork(std::u16string_view text, std::u16string_view needle) {
  // Telling plain texts apart, building the automaton and running it.
  return 3 * (uint64_t{text.size()} + needle.size());
}

uint64_t searchWork(std::u16string_view text, std::u16string_view needle) {
  if (isOwnDecomposition(text) && isOwnDecomposition(needle)) return literalSearchWork(text, needle);
  // Each segment is decomposed on its own, and reordering a long run of
  // marks may compare every pair of them.
  return kDecompositionWork * (uint64_t{text.size()} + needle.size()) + reorderingWork(text) + reorderingWork(needle);
}

size_t literalSearchBytes(std::u16string_view needle) { return needle.size() * sizeof(size_t); }

size_t searchBytes(std::u16string_view text, std::u16string_view needle) {
  if (isOwnDecomposition(text) && isOwnDecomposition(needle)) return literalSearchBytes(needle);
  constexpr size_t kExpansion = 4;
  // A decomposition's units and the way back from each; the needle's
  // automaton over its own.
  constexpr size_t kPerUnit = kExpansion * (sizeof(char16_t) + sizeof(int64_t));
  return kPerUnit * (text.size() + 1) + (kPerUnit + kExpansion * sizeof(size_t)) * (needle.size() + 1);
}

TextMatch findText(std::u16string_view text, std::u16string_view needle, size_t from) {
  TextMatch match;
  if (needle.empty() || from > text.size()) return match;
  Decomposed hay;
  if ((isOwnDecomposition(text) && isOwnDecomposition(needle)) || !decompose(text, hay)) {
    match.location = scan(text, from, text.size(), Automaton(needle, false), kAnyOccurrence);
    match.length = needle.size();
    return match;
  }
  // The first segment starting at or after `from`.
  size_t k = 0;
  while (hay.origin[k] == kInside || hay.origin[k] < static_cast<int64_t>(from)) ++k;
  return findSegments(hay, needle, k, hay.text.size(), false);
}

TextMatch findLastText(std::u16string_view text, std::u16string_view needle, size_t end) {
  TextMatch match;
  end = std::min(end, text.size());
  if (needle.empty()) return match;
  Decomposed hay;
  if ((isOwnDecomposition(text) && isOwnDecomposition(needle)) || !decompose(text, hay)) {
    match.location = scan(text, 0, end, Automaton(needle, true), kAnyOccurrence);
    match.length = needle.size();
    return match;
  }
  // The last segment start at or before `end`.
  size_t k = hay.text.size();
  while (hay.origin[k] == kInside || hay.origin[k] > static_cast<int64_t>(end)) --k;
  return findSegments(hay, needle, 0, k, true);
}

std::vector<size_t> findLiteralOccurrences(std::u16string_view text, std::u16string_view needle, size_t limit) {
  std::vector<size_t> starts;
  if (needle.empty()) return starts;
  const Automaton automaton(needle, false);
  // Each scan starts where the last occurrence ended: together they read
  // the text once.
  for (size_t from = 0; starts.size() < limit;) {
    const size_t at = scan(text, from, text.size(), automaton, kAnyOccurrence);
    if (at == TextMatch::npos) break;
    starts.push_back(at);
    from = at + needle.size();
  }
  return starts;
}

}  // namespace script_text
