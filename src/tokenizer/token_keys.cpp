#include "token_keys.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "tokenizer/hash.h"

namespace ovilex {

TokenKeys::TokenKeys(std::size_t tokens)
    // A base far from 0 and 1, below the prime.
    : base_(hash_detail::mum(process_hash_key(), hash_detail::K2) % (PRIME - (1U << 20)) +
            (1U << 20)),
      powers_{1},
      slots_(16) {
  if (2 * tokens > slots_.size()) rebuild(std::bit_ceil(2 * tokens));
}

std::uint64_t TokenKeys::power(std::size_t size) const {
  while (powers_.size() <= size) powers_.push_back(mul(powers_.back(), base_));
  return powers_[size];
}

std::optional<TokenId> TokenKeys::insert(std::uint64_t hash, std::span<const std::uint8_t> bytes,
                                         TokenId id) {
  if (bytes.size() > UINT32_MAX) throw std::length_error("a token of 4 GiB or more");
  if (2 * (size_ + 1) > slots_.size()) rebuild(2 * slots_.size());
  for (std::size_t i = index(hash);; i = (i + 1) & mask()) {
    Slot& s = slots_[i];
    if (s.bytes == nullptr) {
      s = Slot{hash, bytes.data(), static_cast<std::uint32_t>(bytes.size()), id};
      ++size_;
      return std::nullopt;
    }
    if (s.hash == hash && s.size == bytes.size() && same(s.bytes, bytes.data(), bytes.size())) {
      return s.id;
    }
  }
}

void TokenKeys::rebuild(std::size_t slots) {
  HugeVector<Slot> old(slots);
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(slots);
  for (const Slot& s : old) {
    if (s.bytes == nullptr) continue;
    std::size_t i = index(s.hash);
    while (slots_[i].bytes != nullptr) i = (i + 1) & mask();
    slots_[i] = s;
  }
}

}  // namespace ovilex
