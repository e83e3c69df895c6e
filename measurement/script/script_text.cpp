#include "measurement/script/script_text.h"

#include <cstdint>

namespace script_text {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendScalar(std::u16string& out, uint32_t scalar) {
  if (scalar < 0x10000) {
    out.push_back(static_cast<char16_t>(scalar));
  } else {
    scalar -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (scalar >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (scalar & 0x3FF)));
  }
}

void appendUtf8(std::string& out, uint32_t scalar) {
  if (scalar < 0x80) {
    out.push_back(static_cast<char>(scalar));
  } else if (scalar < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  } else if (scalar < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  }
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // The range of the second byte depends on the lead: it excludes overlong
    // forms, surrogates and scalars above U+10FFFF.
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    uint32_t scalar = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, scalar = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, scalar = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t consumed = 1;
    bool complete = true;
    for (; consumed < length; ++consumed) {
      if (i + consumed >= n) {
        complete = false;
        break;
      }
      const uint8_t byte = static_cast<uint8_t>(utf8[i + consumed]);
      const uint8_t lo = consumed == 1 ? low : 0x80;
      const uint8_t hi = consumed == 1 ? high : 0xBF;
      if (byte < lo || byte > hi) {
        complete = false;
        break;
      }
      scalar = (scalar << 6) | (byte & 0x3F);
    }
    if (complete) {
      appendScalar(out, scalar);
    } else {
      out.push_back(kReplacement);
    }
    i += consumed;
  }
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                          (static_cast<uint32_t>(utf16[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

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

}  // namespace script_text
