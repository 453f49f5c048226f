// Applying a merge list to text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "types.h"

namespace ovilex {

// Each chunk's UTF-8 bytes as ids, then every merge of |merges| applied to
// every chunk in list order with merge_word; the chunks' ids concatenated.
// Any merge list is valid: repeated pairs, new ids below 256 or equal to a
// part, pairs that never occur. Merges never cross chunk boundaries.
std::vector<TokenId> encode(const ChunkList& chunks, std::span<const Merge> merges);

// The positions of each pair in a merge list, ascending.
class MergeIndex {
 public:
  static constexpr std::uint32_t NONE = UINT32_MAX;

  explicit MergeIndex(std::span<const Merge> merges);

  std::span<const Merge> merges() const noexcept { return merges_; }

  // The first position at or after |from| whose merge names |pair|, or NONE.
  std::uint32_t next(Pair pair, std::uint32_t from) const noexcept {
    const auto it = ranges_.find(pair.key());
    if (it == ranges_.end()) return NONE;
    return next_in(it->second, from);
  }

 private:
  struct Range {
    std::uint32_t begin;
    std::uint32_t end;
  };
  std::uint32_t next_in(Range r, std::uint32_t from) const noexcept;

  std::span<const Merge> merges_;
  boost::unordered_flat_map<std::uint64_t, Range, KeyedHash> ranges_;
  std::vector<std::uint32_t> positions_;
};

// The two exact ways to apply a whole merge list to one word; encode picks
// by length. Both equal applying every merge in order with merge_word.
//
// Jumps from one merge to the earliest later one whose pair occurs in the
// word (an absent pair leaves the word unchanged). Cost: the merges that
// change the word, times the word's length. Returns the new length.
std::size_t encode_word_short(std::span<TokenId> word, const MergeIndex& index);

// Walks the merge list once against a pair-to-positions index of the word,
// kept current as occurrences are replaced. Cost: the list's length plus the
// occurrences replaced. For long words. Returns the new length.
std::size_t encode_word_long(std::span<TokenId> word, const MergeIndex& index);

// One of the two above, whichever costs less for the word's length. Returns
// the new length.
std::size_t encode_word(std::span<TokenId> word, const MergeIndex& index);

// encode_word on a chunk's bytes as ids, its ids appended to |out|. A long
// chunk goes into the position index from its bytes, never held as ids
// whole, so that its room is the index and the ids it ends with.
void encode_bytes(std::string_view chunk, const MergeIndex& index, std::vector<TokenId>& out);

}  // namespace ovilex
