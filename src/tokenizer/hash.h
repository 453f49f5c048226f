// Keyed hashing for the core's hash maps. The key is drawn once per process
// from the operating system's random source, so iteration orders differ from
// run to run (nothing may depend on them) and crafted input cannot aim at a
// known hash function.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace ovilex {

// The process's hash key; the first call draws it.
std::uint64_t process_hash_key() noexcept;

namespace hash_detail {

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline std::uint64_t load_tail(const unsigned char* p, std::size_t n) noexcept {
  // 1 to 7 bytes, read without going past the end.
  std::uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

inline constexpr std::uint64_t K0 = 0xa0761d6478bd642full;
inline constexpr std::uint64_t K1 = 0xe7037ed1a0b428dbull;
inline constexpr std::uint64_t K2 = 0x8ebc6af09c88c6e3ull;

}  // namespace hash_detail

// A fast keyed hash of a byte range (multiply-fold mixing).
inline std::uint64_t hash_bytes(const void* data, std::size_t n, std::uint64_t key) noexcept {
  using namespace hash_detail;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t h = key ^ mum(n ^ K0, K1);
  while (n >= 16) {
    h = mum(load64(p) ^ h ^ K1, load64(p + 8) ^ K2);
    p += 16;
    n -= 16;
  }
  if (n >= 8) {
    h = mum(load64(p) ^ h ^ K1, K2 ^ n);
    p += 8;
    n -= 8;
  }
  if (n > 0) h = mum(load_tail(p, n) ^ h ^ K2, K1 ^ n);
  return mum(h ^ K0, key ^ K1);
}

// For boost::unordered_flat_map: keyed, and mixed well enough that the map
// adds no mixing of its own.
struct KeyedHash {
  using is_avalanching = void;
  std::uint64_t key = process_hash_key();

  std::size_t operator()(std::uint64_t v) const noexcept {
    return hash_detail::mum(v ^ key, hash_detail::K0);
  }
  // Pairs, and anything else that packs itself into one 64-bit key.
  template <class T>
    requires requires(const T& t) {
      { t.key() } -> std::same_as<std::uint64_t>;
    }
  std::size_t operator()(const T& value) const noexcept {
    return (*this)(value.key());
  }
  std::size_t operator()(std::string_view s) const noexcept {
    return hash_bytes(s.data(), s.size(), key);
  }
};

}  // namespace ovilex
