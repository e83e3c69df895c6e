// Digests and secure random bytes on OpenSSL's libcrypto.
//
// The digests are pure functions. Random bytes come from the operating
// system's generator through OpenSSL; a test may replace the source with
// `setRandomSource` to see how callers handle a failing generator. All
// functions may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

// Domain of generator failures; the description holds the system's text.
inline constexpr const char* kSecureRandomErrorDomain = "NSOSStatusErrorDomain";
inline constexpr long kSecureRandomFailure = -1;

using Md5Digest = std::array<uint8_t, 16>;
using Sha256Digest = std::array<uint8_t, 32>;

Md5Digest md5(std::string_view bytes);
Sha256Digest sha256(std::string_view bytes);
// Lowercase hexadecimal digits, two per byte.
std::string hexString(const uint8_t* bytes, size_t count);

// Fills `out` with `count` cryptographically secure random bytes. NO with an
// error (kSecureRandomErrorDomain, kSecureRandomFailure, the generator's
// error text as description) when the generator fails; `out` is then
// zeroed rather than left half-filled.
bool secureRandomBytes(void* out, size_t count, ErrorRef* error = nullptr);

// A replacement generator: fills the buffer and answers true, or answers
// false with a failure text. An empty function restores the system's.
using RandomSource = std::function<bool(uint8_t* out, size_t count, std::string& failure)>;
void setRandomSource(RandomSource source);

}  // namespace platform
