#include "measurement/script/name_hash.h"

#include <atomic>
#include <chrono>

#include "platform/crypto.h"

namespace {

APMPNameHashKey processSecret() noexcept {
  APMPNameHashKey secret;
  if (!platform::secureRandomBytes(&secret, sizeof secret)) {
    // No generator: a key from the clock and an address still differs
    // from run to run, which is all a program sees of it.
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    secret.k0 = now * 0x9e3779b97f4a7c15ULL;
    secret.k1 = reinterpret_cast<uintptr_t>(&secret) ^ (now >> 7);
  }
  return secret;
}

}  // namespace

APMPNameHashKey APMPNewNameHashKey() noexcept {
  static const APMPNameHashKey secret = processSecret();
  static std::atomic<uint64_t> tables{0};
  const uint64_t count = tables.fetch_add(1, std::memory_order_relaxed);
  // Keys one count apart still hash unrelatedly: SipHash is a keyed
  // pseudorandom function.
  return APMPNameHashKey{secret.k0 + count, secret.k1};
}
