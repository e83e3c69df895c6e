#include "platform/crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

std::mutex sourceMutex;
RandomSource replacementSource;

template <size_t Size>
std::array<uint8_t, Size> digest(const EVP_MD* type, std::string_view bytes) {
  std::array<uint8_t, Size> out{};
  unsigned int length = 0;
  // EVP_Digest fails only on allocation failure or a disabled algorithm;
  // the zeroed digest then stands, as the caller has no other answer.
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, type, nullptr);
  return out;
}

bool systemRandom(uint8_t* out, size_t count, std::string& failure) {
  // RAND_bytes takes an int count; larger requests go in pieces.
  while (count > 0) {
    const int piece = static_cast<int>(count > INT_MAX ? INT_MAX : count);
    if (RAND_bytes(out, piece) != 1) {
      char text[256];
      ERR_error_string_n(ERR_get_error(), text, sizeof text);
      failure = text;
      return false;
    }
    out += piece;
    count -= static_cast<size_t>(piece);
  }
  return true;
}

}  // namespace

Md5Digest md5(std::string_view bytes) { return digest<16>(EVP_md5(), bytes); }

Sha256Digest sha256(std::string_view bytes) { return digest<32>(EVP_sha256(), bytes); }

std::string hexString(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

bool secureRandomBytes(void* out, size_t count, ErrorRef* error) {
  RandomSource source;
  {
    std::lock_guard lock(sourceMutex);
    source = replacementSource;
  }
  auto* bytes = static_cast<uint8_t*>(out);
  std::string failure;
  const bool ok = source ? source(bytes, count, failure) : systemRandom(bytes, count, failure);
  if (ok) return true;
  if (count > 0) std::memset(out, 0, count);
  setError(error, Error::withDescription(kSecureRandomErrorDomain, kSecureRandomFailure,
                                         failure.empty() ? "Random generator failed" : failure));
  return false;
}

void setRandomSource(RandomSource source) {
  std::lock_guard lock(sourceMutex);
  replacementSource = std::move(source);
}

}  // namespace platform
