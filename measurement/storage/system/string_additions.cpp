#include "measurement/storage/system/string_additions.h"

#include <algorithm>
#include <cstdint>

#include "platform/crypto.h"
#include "platform/text.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isAscii(const std::string& string) {
  return std::all_of(string.begin(), string.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::optional<std::string> apm_MD5String(const std::string& string) {
  if (!platform::isValidUtf8(string)) return std::nullopt;
  auto digest = platform::md5(string);
  return platform::hexString(digest.data(), digest.size());
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& string) {
  std::string out;
  out.reserve(string.size());
  for (size_t i = 0; i < string.size(); ++i) {
    const char c = string[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= string.size()) return std::nullopt;
      const int high = hexValue(string[i + 1]);
      const int low = hexValue(string[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  if (!platform::isValidUtf8(out)) return std::nullopt;
  return out;
}

bool isBitEnabledAtIndex(const std::string& string, long index) {
  if (index < 0) return false;
  const size_t at = static_cast<size_t>(index);
  if (isAscii(string)) return at < string.size() && string[at] == '1';
  const std::u16string units = platform::utf8ToUtf16(string);
  return at < units.size() && units[at] == u'1';
}

size_t apm_UTF32Length(const std::string& string) { return platform::scalarCount(string); }

void apm_getUTF32Bytes(const std::string& string, void* buffer, size_t maxBytes) {
  if (!buffer) return;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t written = 0;
  for (char32_t c : platform::utf8ToUtf32(string)) {
    if (written + 4 > maxBytes) break;
    for (int shift = 0; shift < 32; shift += 8) {
      out[written++] = static_cast<uint8_t>(static_cast<uint32_t>(c) >> shift);
    }
  }
}
