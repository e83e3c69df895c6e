// Plain-text search as scripts see it: case-sensitive, independent of any
// locale, and canonically equivalent sequences count as equal (a
// precomposed letter matches the letter followed by its combining mark). A
// match never starts or ends inside a combining sequence, and an empty
// needle is never found. Offsets and lengths are UTF-16 code units of the
// searched text. Every search runs in time linear in the two lengths,
// whatever they hold. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace script_text {

struct TextMatch {
  static constexpr size_t npos = std::u16string_view::npos;
  size_t location = npos;  // npos when not found
  size_t length = 0;  // in the searched text; may differ from the needle's
  bool found() const noexcept { return location != npos; }
};

// Units of work a search of `needle` in `text` may cost at most, for the
// caller to charge before searching: texts that need their canonical
// decomposition cost many times what plain ones do. The second is for the
// literal search of `findLiteralOccurrences`.
uint64_t searchWork(std::u16string_view text, std::u16string_view needle);
uint64_t literalSearchWork(std::u16string_view text, std::u16string_view needle);
// Bytes the same searches may hold while they run, at most, for the caller
// to count before searching: the automaton over the needle and, for texts
// that need them, the canonical decompositions of both texts with their
// ways back (a code unit decomposes to at most four).
size_t searchBytes(std::u16string_view text, std::u16string_view needle);
size_t literalSearchBytes(std::u16string_view needle);

// The first occurrence that starts at or after `from`.
TextMatch findText(std::u16string_view text, std::u16string_view needle, size_t from = 0);
// The last occurrence lying entirely within the first `end` code units.
TextMatch findLastText(std::u16string_view text, std::u16string_view needle, size_t end);
// The starts of the first `limit` occurrences of `needle` that do not
// overlap, from the front, compared code unit by code unit (no canonical
// equivalence); none for an empty needle.
std::vector<size_t> findLiteralOccurrences(std::u16string_view text, std::u16string_view needle, size_t limit);

}  // namespace script_text
