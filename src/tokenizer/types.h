// Shared types of the tokenizer core: token ids, pairs, merges, words, chunk
// lists, the vocabulary, merge_word, and the two ways a call can fail (a typed
// error value, or an internal error for a broken invariant).
//
// Nothing in src/tokenizer or src/pool sees a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <source_location>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "huge_pages.h"

namespace ovilex {

// Ids are 32-bit throughout; the calls of _ovilex take and give 16-bit ones
// at their edges (its merge lists stay below 8000 ids).
using TokenId = std::uint32_t;
// The greatest id a tokenizer may hold; 2^32 - 1 stays free as no id.
inline constexpr TokenId MAX_TOKEN_ID = 0xFFFFFFFE;

// How ids are stored outside: uint16 when every id of a tokenizer is below
// 65536, uint32 otherwise (arrays, shards).
enum class IdWidth : std::uint8_t { Bits16 = 2, Bits32 = 4 };
// The width that holds every id below |id_bound|.
constexpr IdWidth width_for(std::size_t id_bound) noexcept {
  return id_bound <= 0x10000 ? IdWidth::Bits16 : IdWidth::Bits32;
}

inline constexpr std::size_t MAX_MERGES = 7744;
inline constexpr std::uint64_t MIN_MERGE_FREQ = 3;
inline constexpr TokenId FIRST_MERGE_ID = 256;

struct Pair {
  TokenId left = 0;
  TokenId right = 0;
  friend constexpr bool operator==(Pair, Pair) = default;
  // One 64-bit key, for hashing and sorting.
  constexpr std::uint64_t key() const noexcept {
    return (std::uint64_t{left} << 32) | right;
  }
};

struct Merge {
  TokenId left = 0;
  TokenId right = 0;
  TokenId new_id = 0;
  friend constexpr bool operator==(const Merge&, const Merge&) = default;
  constexpr Pair pair() const noexcept { return {left, right}; }
};

using Word = std::vector<TokenId>;
using Bytes = std::vector<std::uint8_t>;

// The byte string of each TokenId. A vocabulary's ids are dense in practice,
// so a slot table indexed by id serves instead of a hash map: lookups need
// no hashing, and the bytes of all entries live back to back in one buffer.
// An id far above the others (any id to 2^32 - 1 may come in) goes to a
// small map instead, so that it cannot make the table huge.
class VocabList {
 public:
  void reserve(std::size_t entries, std::size_t bytes);
  // Sets (or replaces) the bytes of |id|. |bytes| may point into this map.
  void set(TokenId id, std::span<const std::uint8_t> bytes);
  // Sets |id| to the bytes of |first| followed by those of |second|; false,
  // and nothing set, when either is missing.
  bool set_concat(TokenId id, TokenId first, TokenId second);
  std::optional<std::span<const std::uint8_t>> find(TokenId id) const noexcept {
    const Slot* s = nullptr;
    if (id < slots_.size()) {
      s = &slots_[id];
    } else if (!sparse_.empty()) {
      const auto it = sparse_.find(id);
      if (it != sparse_.end()) s = &it->second;
    }
    if (s == nullptr || s->begin == ABSENT) return std::nullopt;
    return std::span<const std::uint8_t>(bytes_.data() + s->begin, s->size);
  }
  std::size_t size() const noexcept { return count_; }
  // Ids below this one are in the table; the rest are few.
  std::size_t dense_bound() const noexcept { return slots_.size(); }
  // The ids present, in ascending order.
  std::vector<TokenId> ids() const;

 private:
  static constexpr std::size_t ABSENT = static_cast<std::size_t>(-1);
  struct Slot {
    std::size_t begin = ABSENT;
    std::size_t size = 0;
  };
  Slot& slot(TokenId id);
  std::vector<Slot> slots_;
  // Ids at or above slots_.size() when they came.
  boost::unordered_flat_map<TokenId, Slot> sparse_;
  std::vector<std::uint8_t> bytes_;
  std::size_t count_ = 0;
};

namespace detail {

inline bool within_page(const char* p) noexcept {
  constexpr std::uintptr_t PAGE = 4096;
  return (reinterpret_cast<std::uintptr_t>(p) & (PAGE - 1)) <= PAGE - 16;
}

// Sixteen bytes from |p|, which may run past the object that holds them
// (never past its page): the address sanitizer must not see it as an error.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
inline void load16(const char* p, std::uint64_t& lo, std::uint64_t& hi) noexcept {
  __builtin_memcpy(&lo, p, 8);
  __builtin_memcpy(&hi, p + 8, 8);
}

}  // namespace detail

// Distinct chunks of text, each stored once and numbered in order of first
// appearance. Memory follows the distinct chunks, not the chunks.
class ChunkInterner {
 public:
  // The number of |chunk|: how many distinct chunks came before its first
  // appearance.
  std::uint32_t intern(std::string_view chunk) {
    const Key probe = Key::of(chunk);
    if (const auto it = ids_.find(probe); it != ids_.end()) return it->second;
    return add(chunk, probe);
  }
  // The number of |chunk| if it has been interned.
  std::optional<std::uint32_t> find(std::string_view chunk) const { return find(Key::of(chunk)); }

  std::size_t size() const noexcept { return views_.size(); }
  std::string_view operator[](std::uint32_t id) const noexcept { return views_[id]; }

  // A chunk of up to 15 bytes is its own key: its bytes, zero-padded, with
  // its length in the last byte. A longer one is the address of its bytes
  // and its length with the top bit set. Short keys hash and compare without
  // reading the stored bytes, which would cost a cache miss per chunk.
  struct Key {
    static constexpr std::size_t SHORT = 15;
    static constexpr std::uint64_t LONG = std::uint64_t{1} << 63;
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;

    [[gnu::always_inline]] static Key of(std::string_view chunk) noexcept {
      Key k;
      const std::size_t n = chunk.size();
      if (n > SHORT) {
        k.lo = reinterpret_cast<std::uintptr_t>(chunk.data());
        k.hi = n | LONG;
        return k;
      }
      if (n != 0 && detail::within_page(chunk.data())) {
        // Sixteen bytes from the chunk's start lie in one page, so reading
        // them cannot fault; the bytes past the chunk are masked off.
        detail::load16(chunk.data(), k.lo, k.hi);
        if (n < 8) {
          k.lo &= (std::uint64_t{1} << (8 * n)) - 1;
          k.hi = 0;
        } else {
          k.hi &= (std::uint64_t{1} << (8 * (n - 8))) - 1;
        }
      } else {
        unsigned char bytes[16] = {};
        // An empty view's data may be null, which memcpy must not be given.
        if (n != 0) std::memcpy(bytes, chunk.data(), n);
        std::memcpy(&k.lo, bytes, 8);
        std::memcpy(&k.hi, bytes + 8, 8);
      }
      k.hi |= std::uint64_t{n} << 56;
      return k;
    }
    bool is_long() const noexcept { return (hi & LONG) != 0; }
    std::string_view long_view() const noexcept {
      return {reinterpret_cast<const char*>(static_cast<std::uintptr_t>(lo)),
              static_cast<std::size_t>(hi & ~LONG)};
    }
  };
  struct KeyHash {
    using is_avalanching = void;
    std::uint64_t key = process_hash_key();
    [[gnu::always_inline]] std::size_t operator()(const Key& k) const noexcept {
      if (k.is_long()) return hash_bytes(k.long_view().data(), k.long_view().size(), key);
      return hash_detail::mum(k.lo ^ key, k.hi ^ hash_detail::K1);
    }
  };
  struct KeyEqual {
    bool operator()(const Key& a, const Key& b) const noexcept {
      if (a.is_long() && b.is_long()) return a.long_view() == b.long_view();
      return a.lo == b.lo && a.hi == b.hi;
    }
  };
  // The number of a chunk from its key (Key::of(chunk)), when the caller
  // has it already. Inlined always: it is the probe of the encoders' loops.
  [[gnu::always_inline]] std::optional<std::uint32_t> find(const Key& key) const;

 private:
  // Views point into |arena_| blocks, which never move once written.
  std::string_view store(std::string_view chunk);
  // Stores a chunk not seen before; |probe| is its key.
  std::uint32_t add(std::string_view chunk, const Key& probe);

  boost::unordered_flat_map<Key, std::uint32_t, KeyHash, KeyEqual,
                            HugePageAllocator<std::pair<const Key, std::uint32_t>>>
      ids_;
  std::vector<std::string_view> views_;
  std::vector<std::unique_ptr<char[]>> arena_;
  std::size_t arena_left_ = 0;
  char* arena_next_ = nullptr;
};

inline std::optional<std::uint32_t> ChunkInterner::find(const Key& key) const {
  if (const auto it = ids_.find(key); it != ids_.end()) return it->second;
  return std::nullopt;
}

// The UTF-8 chunks of a call, in order: each as the number of its distinct
// text, so that a repeated chunk costs four bytes and work on the distinct
// chunks is done once.
class ChunkList {
 public:
  void reserve(std::size_t chunks) { order_.reserve(chunks); }
  void push_back(std::string_view chunk) { order_.push_back(distinct_.intern(chunk)); }
  std::size_t size() const noexcept { return order_.size(); }
  bool empty() const noexcept { return order_.empty(); }
  std::string_view operator[](std::size_t i) const noexcept { return distinct_[order_[i]]; }
  const ChunkInterner& distinct() const noexcept { return distinct_; }
  std::span<const std::uint32_t> order() const noexcept { return order_; }

 private:
  ChunkInterner distinct_;
  std::vector<std::uint32_t> order_;
};

// Writes the bytes of |text| as ids (0 to 255) from |out| on; returns the
// end of what it wrote.
inline TokenId* widen_bytes(std::string_view text, TokenId* out) noexcept {
  for (const char c : text) *out++ = static_cast<unsigned char>(c);
  return out;
}

// Returns |word| with each occurrence of |pair| replaced by |new_id|, found by
// one left-to-right scan in which two occurrences never overlap: (a, a) turns
// a a a into new a. Ids the pass itself produces are not looked at again.
Word merge_word(std::span<const TokenId> word, Pair pair, TokenId new_id);

// Expected failures are values. Record, Source and CountFile come from the
// package's own paths only (reading record files, training files and count
// files); the calls of _ovilex never produce them.
enum class ErrorKind { Io, UnknownTokenId, InvalidUtf8, Record, Source, CountFile };

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// A broken invariant. Only the module's entry guard catches it, and turns it
// into the Python-visible internal-error exception.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the thread, the source position and |message| to standard error,
// then throws InternalError(message).
[[noreturn]] void fail_internal(std::string_view message,
                                std::source_location where = std::source_location::current());

}  // namespace ovilex
