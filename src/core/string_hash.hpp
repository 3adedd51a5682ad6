// Seeded 64-bit string hash used by PersistentMap.
//
// A multiply-fold ("mum") hash: short keys (<= 16 bytes) cost two 64x64->128
// multiplications, longer keys one more per 16 bytes. Every multiplicand is
// XORed with a secret drawn once per process from std::random_device, so:
//   * key order (which follows hash bits) differs from process to process;
//   * an attacker who does not know the secret cannot force multiplicands to
//     zero or otherwise build keys that collide independently of the seed.
// It is not a cryptographic MAC: it resists blind collision flooding, not an
// adversary that can observe hash values. PersistentMap degrades gracefully
// anyway: only keys with identical 64-bit hashes share a (linear) bucket.
//
// Hash values are only meaningful inside the current process; never persist
// them or send them elsewhere.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>

namespace kavex {
namespace detail {

struct HashSecret {
  std::uint64_t k[4];
};

inline std::uint64_t hash_read8(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline std::uint64_t hash_read4(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// 1..3 bytes: first, middle and last byte (they overlap for short inputs;
// the length is mixed in separately).
inline std::uint64_t hash_read_small(const unsigned char* p, std::size_t n) noexcept {
  return (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
}

// Full 64x64 -> 128-bit product.
inline void hash_mul128(std::uint64_t a, std::uint64_t b, std::uint64_t& lo, std::uint64_t& hi) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 U128;
  const U128 r = static_cast<U128>(a) * b;
  lo = static_cast<std::uint64_t>(r);
  hi = static_cast<std::uint64_t>(r >> 64);
#else
  const std::uint64_t a_lo = a & 0xffffffffu, a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xffffffffu, b_hi = b >> 32;
  const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
  const std::uint64_t mid = (ll >> 32) + (lh & 0xffffffffu) + (hl & 0xffffffffu);
  lo = (mid << 32) | (ll & 0xffffffffu);
  hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
#endif
}

// 128-bit product folded by XOR of both halves.
inline std::uint64_t hash_mum(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t lo, hi;
  hash_mul128(a, b, lo, hi);
  return lo ^ hi;
}

inline std::uint64_t hash_bytes(const void* data, std::size_t len, const HashSecret& s) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t seed = s.k[0];
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (len <= 16) [[likely]] {
    if (len >= 4) {
      const std::size_t off = (len >> 3) << 2;  // 0 for 4..7 bytes, 4 for 8..16
      a = (hash_read4(p) << 32) | hash_read4(p + off);
      b = (hash_read4(p + len - 4) << 32) | hash_read4(p + len - 4 - off);
    } else if (len > 0) {
      a = hash_read_small(p, len);
    }
  } else {
    std::size_t i = len;
    if (i > 48) {
      std::uint64_t see1 = seed;
      std::uint64_t see2 = seed;
      do {
        seed = hash_mum(hash_read8(p) ^ s.k[1], hash_read8(p + 8) ^ seed);
        see1 = hash_mum(hash_read8(p + 16) ^ s.k[2], hash_read8(p + 24) ^ see1);
        see2 = hash_mum(hash_read8(p + 32) ^ s.k[3], hash_read8(p + 40) ^ see2);
        p += 48;
        i -= 48;
      } while (i > 48);
      seed ^= see1 ^ see2;
    }
    while (i > 16) {
      seed = hash_mum(hash_read8(p) ^ s.k[1], hash_read8(p + 8) ^ seed);
      p += 16;
      i -= 16;
    }
    // Last 16 bytes of the key (may overlap bytes already consumed).
    a = hash_read8(p + i - 16);
    b = hash_read8(p + i - 8);
  }
  std::uint64_t lo, hi;
  hash_mul128(a ^ s.k[1], b ^ seed, lo, hi);
  return hash_mum(lo ^ s.k[2] ^ len, hi ^ s.k[3]);
}

inline std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Draws the per-process secret. std::random_device may throw where no entropy
// source exists; the clock and ASLR'd addresses are used as a last resort.
inline HashSecret make_random_hash_secret() noexcept {
  std::uint64_t raw[4] = {};
  try {
    std::random_device rd;
    for (auto& r : raw) r = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    const auto t = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    int local = 0;
    raw[0] = t;
    raw[1] = reinterpret_cast<std::uintptr_t>(&local);
    raw[2] = reinterpret_cast<std::uintptr_t>(&make_random_hash_secret);
    raw[3] = reinterpret_cast<std::uintptr_t>(&raw);
  }
  // Whiten: the raw words may be weak (partly constant) on some platforms.
  HashSecret s{};
  std::uint64_t state = 0;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 4; ++i) {
      state ^= raw[i];
      s.k[i] ^= splitmix64(state);
    }
  }
  return s;
}

inline const HashSecret& process_hash_secret() noexcept {
  static const HashSecret secret = make_random_hash_secret();
  return secret;
}

}  // namespace detail

// Default hash of PersistentMap: seeded once per process.
struct SeededStringHash {
  std::uint64_t operator()(std::string_view key) const noexcept {
    return detail::hash_bytes(key.data(), key.size(), detail::process_hash_secret());
  }
};

}  // namespace kavex
