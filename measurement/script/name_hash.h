// Keyed hashing for the tables a program fills with names of its choosing
// (property maps, the texts of a program being converted).
//
// A hash whose seed is fixed can be steered: names chosen offline to share
// one bucket turn every insertion and lookup into a walk of that bucket.
// These tables hash with SipHash-1-3 under a key no program can learn: a
// secret drawn once per process from the system's secure generator, mixed
// with a count so that every table gets a key of its own. A table keeps
// its key for its life, so its positions never move but by a rehash.
//
// Any thread may make keys and hash.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>

struct APMPNameHashKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// A key for a new table.
APMPNameHashKey APMPNewNameHashKey() noexcept;

// SipHash with `C` compression and `D` finalization rounds of `size` bytes
// at `data` under `key`.
template <int C, int D>
uint64_t APMPSipHash(const APMPNameHashKey& key, const void* data, size_t size) noexcept {
  uint64_t v0 = key.k0 ^ 0x736f6d6570736575ULL;
  uint64_t v1 = key.k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = key.k0 ^ 0x6c7967656e657261ULL;
  uint64_t v3 = key.k1 ^ 0x7465646279746573ULL;
  const auto rotate = [](uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); };
  const auto round = [&] {
    v0 += v1;
    v1 = rotate(v1, 13);
    v1 ^= v0;
    v0 = rotate(v0, 32);
    v2 += v3;
    v3 = rotate(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotate(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotate(v1, 17);
    v1 ^= v2;
    v2 = rotate(v2, 32);
  };
  const auto absorb = [&](uint64_t word) {
    v3 ^= word;
    for (int i = 0; i < C; ++i) round();
    v0 ^= word;
  };
  const auto* bytes = static_cast<const unsigned char*>(data);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    absorb(word);
  }
  // The last word: the remaining bytes, and the length's low byte on top.
  uint64_t last = uint64_t{size & 0xff} << 56;
  for (size_t b = 0; b < (size & 7); ++b) last |= uint64_t{bytes[whole + b]} << (8 * b);
  absorb(last);
  v2 ^= 0xff;
  for (int i = 0; i < D; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// The hash of a table, as its hasher object: keyed per table on creation.
struct APMPNameHash {
  using is_transparent = void;
  APMPNameHashKey key = APMPNewNameHashKey();
  size_t operator()(std::u16string_view name) const noexcept {
    return static_cast<size_t>(APMPSipHash<1, 3>(key, name.data(), name.size() * sizeof(char16_t)));
  }
  size_t operator()(std::string_view bytes) const noexcept {
    return static_cast<size_t>(APMPSipHash<1, 3>(key, bytes.data(), bytes.size()));
  }
};

#if defined(__GLIBCXX__)
// The standard library keeps each node's hash beside it only for hashes it
// deems slow: a rehash then moves nodes without hashing their names again,
// and a lookup compares names only where the hashes agree.
template <>
struct std::__is_fast_hash<APMPNameHash> : std::false_type {};
#endif
