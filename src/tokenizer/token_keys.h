// Tokens found by their bytes, through a polynomial hash of the bytes
// modulo the prime 2^61 - 1 at a base drawn once per process.
//
// A polynomial hash is what lets a token's every split be looked up in one
// step each: from the hashes of a token's prefixes, that of each suffix
// follows by one multiplication. Modulo a prime and at a random base, two
// byte strings of length at most L share a hash with probability at most
// L / 2^61, which crafted input cannot raise (unlike a hash modulo 2^64,
// where strings that collide for every base are easy to build). Lookups
// still compare the bytes: the map is exact, a shared hash costs a probe.
//
// The table is open addressing with linear probing, at most half full; its
// lookups are often many and independent, so callers fetch slots ahead
// (prefetch) while they look up others. It holds views into the bytes it is
// given, which must outlive it unmoved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/huge_pages.h"
#include "tokenizer/types.h"

namespace ovilex {

class TokenKeys {
 public:
  static constexpr std::uint64_t PRIME = (std::uint64_t{1} << 61) - 1;

  explicit TokenKeys(std::size_t tokens = 0);

  // The hash of |bytes| followed by |byte|, from the hash of |bytes|.
  std::uint64_t extend(std::uint64_t hash, std::uint8_t byte) const noexcept {
    return add(mul(hash, base_), std::uint64_t{byte} + 1);
  }
  // The hash of the |size| bytes that follow a prefix of hash |prefix|,
  // from that and the hash |whole| of the prefix and them.
  std::uint64_t suffix(std::uint64_t whole, std::uint64_t prefix, std::size_t size) const {
    return sub(whole, mul(prefix, power(size)));
  }
  std::uint64_t hash_of(std::span<const std::uint8_t> bytes) const noexcept {
    std::uint64_t h = 0;
    for (const std::uint8_t b : bytes) h = extend(h, b);
    return h;
  }
  // base^size, from a table grown as needed (not thread-safe while it
  // grows: callers that share a TokenKeys call power(longest) first).
  std::uint64_t power(std::size_t size) const;

  // Adds the token |id| of |bytes|, whose hash is |hash|; when a token of
  // those bytes is there already, adds nothing and returns its id.
  std::optional<TokenId> insert(std::uint64_t hash, std::span<const std::uint8_t> bytes,
                                TokenId id);
  std::optional<TokenId> insert(std::span<const std::uint8_t> bytes, TokenId id) {
    return insert(hash_of(bytes), bytes, id);
  }
  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[index(hash)]); }
  // Where the token of |bytes| (of |hash|) is kept, or null.
  struct Slot {
    std::uint64_t hash = 0;
    const std::uint8_t* bytes = nullptr;  // null: an empty slot
    std::uint32_t size = 0;
    TokenId id = 0;
  };
  const Slot* find(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size) const noexcept {
    for (std::size_t i = index(hash);; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.bytes == nullptr) return nullptr;
      if (s.hash == hash && s.size == size && same(s.bytes, bytes, size)) return &s;
    }
  }
  std::optional<TokenId> find(std::string_view bytes) const noexcept {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const Slot* s = find(hash_of({data, bytes.size()}), data, bytes.size());
    if (s == nullptr) return std::nullopt;
    return s->id;
  }
  std::size_t size() const noexcept { return size_; }

 private:
  static std::uint64_t mul(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    std::uint64_t s = (static_cast<std::uint64_t>(r) & PRIME) + static_cast<std::uint64_t>(r >> 61);
    s = (s & PRIME) + (s >> 61);
    return s >= PRIME ? s - PRIME : s;
  }
  static std::uint64_t add(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t s = a + b;
    return s >= PRIME ? s - PRIME : s;
  }
  static std::uint64_t sub(std::uint64_t a, std::uint64_t b) noexcept {
    return a >= b ? a - b : a + PRIME - b;
  }
  static bool same(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  std::size_t mask() const noexcept { return slots_.size() - 1; }
  // The high bits of a multiple of the hash, which the low bits of a slot
  // index would otherwise take from the hash's low bits alone.
  std::size_t index(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  void rebuild(std::size_t slots);

  std::uint64_t base_;
  mutable std::vector<std::uint64_t> powers_;
  int shift_ = 60;  // 64 - log2(slots_.size())
  std::size_t size_ = 0;
  HugeVector<Slot> slots_;
};

}  // namespace ovilex
