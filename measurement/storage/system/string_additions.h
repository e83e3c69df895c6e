// Operations on strings the measurement code shares: MD5 texts, URL
// argument unescaping, consent-bit tests and UTF-32 lengths. Strings are
// UTF-8; positions count UTF-16 code units as the platform's strings do.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The MD5 of the string's UTF-8 bytes as 32 lowercase hexadecimal digits;
// nullopt when the string is not valid UTF-8 (it could not be converted
// without loss).
std::optional<std::string> apm_MD5String(const std::string& string);

// Every "+" becomes a blank, then percent escapes are decoded; nullopt when
// an escape is malformed or the decoded bytes are not valid UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& string);

// YES when `index` is not negative, lies inside the string and the
// character there is "1".
bool isBitEnabledAtIndex(const std::string& string, long index);

// The number of Unicode scalar values (the UTF-32 length).
size_t apm_UTF32Length(const std::string& string);

// Writes the string's UTF-32 little-endian bytes into `buffer`: at most
// `maxBytes` bytes and only whole characters, from the first character on.
void apm_getUTF32Bytes(const std::string& string, void* buffer, size_t maxBytes);
