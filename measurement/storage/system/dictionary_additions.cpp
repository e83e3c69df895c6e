#include "measurement/storage/system/dictionary_additions.h"

#include <string_view>
#include <vector>

#include "measurement/storage/system/string_additions.h"
#include "platform/text.h"

namespace {

// Letters and digits are always allowed; `punctuation` lists the rest.
bool allowed(unsigned char c, std::string_view punctuation) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return punctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

// The URL-query-allowed set: letters, digits and these.
constexpr std::string_view kQueryAllowed = "!$&'()*+,-./:;=?@_~";
// One segment of a URL path: no "/" (a new segment) and no "?" (the query).
constexpr std::string_view kPathSegmentAllowed = "!$&'()*+,-.:;=@_~";

void appendEncoded(std::string& out, const std::string& text, std::string_view punctuation = kQueryAllowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Encoding works on characters: ill-formed bytes are U+FFFD first.
  const std::string valid =
      platform::isValidUtf8(text) ? text : platform::utf16ToUtf8(platform::utf8ToUtf16(text));
  for (unsigned char c : valid) {
    if (allowed(c, punctuation)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
}

}  // namespace

std::string apm_queryString(const platform::Object::Dictionary& dictionary) {
  std::string out;
  for (const auto& [key, value] : dictionary) {
    if (!out.empty()) out.push_back('&');
    appendEncoded(out, key);
    out.push_back('=');
    appendEncoded(out, value.description());
  }
  return out;
}

std::string apm_URLPathSegmentEncoded(const std::string& text) {
  // "." and ".." would name the folder or its parent, not a segment.
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  std::string out;
  appendEncoded(out, text, kPathSegmentAllowed);
  return out;
}

platform::Object::Dictionary apm_dictionaryWithHttpArgumentsString(const std::string& string) {
  std::vector<std::string_view> parts;
  std::string_view rest(string);
  for (;;) {
    size_t amp = rest.find('&');
    parts.push_back(rest.substr(0, amp));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  platform::Object::Dictionary out;
  // Backwards, so that the first occurrence of a key is written last.
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it->empty()) continue;
    size_t equals = it->find('=');
    std::string key(it->substr(0, equals));
    std::string value =
        equals == std::string_view::npos ? std::string() : std::string(it->substr(equals + 1));
    auto unescapedKey = apm_stringByUnescapingFromURLArgument(key);
    auto unescapedValue = value.empty() ? std::optional<std::string>(std::string())
                                        : apm_stringByUnescapingFromURLArgument(value);
    out.insert_or_assign(unescapedKey.value_or(std::string()),
                         platform::Object(unescapedValue.value_or(std::string())));
  }
  return out;
}
