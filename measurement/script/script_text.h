// Text helpers of the script runtime: the runtime works on UTF-16 code units
// throughout and converts only where texts cross its boundary (program
// messages, platform objects, log lines), through the platform's converters:
// each maximal ill-formed UTF-8 subsequence and each unpaired UTF-16
// surrogate becomes one U+FFFD. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace script_text {

// Names and most texts crossing the boundary are ASCII, which converts unit
// for unit without the general decoder.
inline std::u16string toUtf16(std::string_view utf8) {
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) return platform::utf8ToUtf16(utf8);
  }
  return std::u16string(utf8.begin(), utf8.end());
}
inline std::string toUtf8(std::u16string_view utf16) {
  for (char16_t c : utf16) {
    if (c >= 0x80) return platform::utf16ToUtf8(utf16);
  }
  return std::string(utf16.begin(), utf16.end());
}
// The length in bytes of `toUtf8(utf16)`, found without making it.
size_t utf8Length(std::u16string_view utf16) noexcept;

// White space and line breaks as the runtime trims them: tab, U+000A to
// U+000D, U+0085 and the Unicode separators (categories Zs, Zl, Zp).
bool isWhitespaceOrNewline(char16_t unit);
std::u16string_view trim(std::u16string_view text);

// Whether every code unit lies below U+00C0: no such unit has a canonical
// decomposition or is a combining mark, so the text is its own canonical
// decomposition and compares and searches code unit by code unit.
bool isOwnDecomposition(std::u16string_view text);

// The platform's default ordering of texts: -1, 0 or 1. Canonically
// equivalent texts (a precomposed letter and the letter followed by its
// combining mark) are equal; otherwise their canonical decompositions are
// ordered code unit by code unit.
//
// The texts are read only as far as they must be: their common prefix up
// to its last normalization boundary is skipped, and from there both are
// decomposed one segment at a time until they differ. `allowance`, in
// units of work (one per code unit read; a segment that needs decomposing,
// `kDecompositionWork` per unit plus half its length squared, as reordering
// its marks may compare each pair), is decreased by what the comparison
// did; nullopt when it could not pay for the next step. A failed
// allocation inside ICU throws std::bad_alloc.
inline constexpr uint64_t kDecompositionWork = 32;
std::optional<int> compareTexts(std::u16string_view a, std::u16string_view b, uint64_t& allowance);

// What reordering the marks of `text` may cost on top of decomposing it:
// half the square of the length of each segment longer than one unit.
uint64_t reorderingWork(std::u16string_view text);

}  // namespace script_text
