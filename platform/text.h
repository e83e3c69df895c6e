// Unicode text helpers on ICU.
//
// Strings in this system are UTF-8 `std::string`; where the measurement code
// counts characters it counts UTF-16 code units, so that lengths and limits
// agree with the values the service and stored files already hold, and the
// script runtime works on `std::u16string`. These helpers
// convert between the encodings and measure lengths.
//
// Ill-formed input never fails: every maximal ill-formed subsequence of UTF-8
// (and every unpaired surrogate of UTF-16) stands for one U+FFFD, in
// conversions and in counts alike, so a length always matches the converted
// text. All functions are pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// True when `utf8` is well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::string_view utf8);

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);
std::u32string utf8ToUtf32(std::string_view utf8);

// The number of UTF-16 code units of `utf8` once converted.
size_t utf16Length(std::string_view utf8);
// The number of Unicode scalar values of `utf8` (its UTF-32 length).
size_t scalarCount(std::string_view utf8);

// The platform's text-to-boolean rule: after optional blanks, an optional
// sign and leading zeros, a Y, y, T, t or a digit 1-9 gives true; anything
// else (including the empty text) gives false.
bool textBoolValue(std::string_view text);

}  // namespace platform
