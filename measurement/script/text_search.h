// Plain-text search as scripts see it: case-sensitive, independent of any
// locale, and canonically equivalent sequences count as equal (a
// precomposed letter matches the letter followed by its combining mark). A
// match never starts or ends inside a combining sequence, and an empty
// needle is never found. Offsets and lengths are UTF-16 code units of the
// searched text. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace script_text {

struct TextMatch {
  static constexpr size_t npos = std::u16string_view::npos;
  size_t location = npos;  // npos when not found
  size_t length = 0;  // in the searched text; may differ from the needle's
  bool found() const noexcept { return location != npos; }
};

// The first occurrence that starts at or after `from`.
TextMatch findText(std::u16string_view text, std::u16string_view needle, size_t from = 0);
// The last occurrence lying entirely within the first `end` code units.
TextMatch findLastText(std::u16string_view text, std::u16string_view needle, size_t end);

}  // namespace script_text
