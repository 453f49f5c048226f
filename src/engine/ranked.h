// Merging by rank, the rule of the tokenizer libraries that ovilex imports
// from: within a chunk, the adjacent pair of lowest rank merges first, the
// leftmost of equals, and again until no adjacent pair has a rank. A pair's
// rank and what it merges into come from one of two sources:
//
//   - a merge list (Hugging Face tokenizers' BPE): the rank of (left, right)
//     is its position in the list, and it merges into the list's new id;
//   - token ranks (tiktoken): a token's id is its rank, and (left, right)
//     has the rank of the token whose bytes are theirs joined, if any.
//
// This is not ovilex's own rule, which applies a merge list in order, each
// merge to the whole chunk (tokenizer/encode.h). The two agree on the lists
// that training makes, where a merge only makes pairs of later merges, but
// not on every list: with (x c) -> y listed before (a b) -> x, the list turns
// "abc" into [x, c] (the merge of (x c) has passed when x appears) where
// ranks turn it into [y].
// Imported tokenizers merge by rank, so that their ids are the source
// library's.
//
// Optionally a chunk that is a token of the vocabulary is taken whole, before
// any merging: tiktoken always does this, Hugging Face's BPE when its
// ignore_merges is set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "tokenizer/hash.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

class RankedMerges {
 public:
  struct Step {
    std::uint32_t rank;
    TokenId result;
  };
  static constexpr std::uint32_t NO_RANK = UINT32_MAX;

  // Why |vocab| cannot be merged by rank: a byte without a token of its own
  // ("no id stands for the byte 0xNN") or two ids of the same bytes ("ids A
  // and B both stand for the same bytes"); nullopt when it can.
  static std::optional<std::string> vocab_problem(const VocabList& vocab);

  // Ranks by position in |merges|, which fit |vocab| (check_merges); a
  // pair listed twice has the rank of its last place, as in a map built
  // from the list in order.
  static RankedMerges by_position(std::span<const Merge> merges, const VocabList& vocab,
                                  bool whole_chunks);
  // Ranks by token id, read off |vocab|: for every token, each split of its
  // bytes into two tokens is a pair of that token's rank.
  static RankedMerges by_token(const VocabList& vocab, bool whole_chunks);
  // (With whole_chunks, the object keeps views into |vocab|, which must
  // outlive it unchanged: the compiled tokenizer holds both.)

  // Writes the ids of |chunk| from |out| on, at most one per byte, and
  // returns how many.
  std::size_t encode(std::string_view chunk, TokenId* out) const;

  // The rank and result of a pair, if it has one.
  std::optional<Step> step(TokenId left, TokenId right) const noexcept {
    const auto it = pairs_.find(Pair{left, right}.key());
    if (it == pairs_.end()) return std::nullopt;
    return it->second;
  }
  TokenId byte_id(std::uint8_t byte) const noexcept { return byte_ids_[byte]; }
  std::size_t pair_count() const noexcept { return pairs_.size(); }

  // The merge list of the token ranks of |vocab| (as by_token reads them):
  // for each token in rank order whose bytes, merged with the ranks below
  // its own alone, end as two tokens, ((left, right), token). Merging by
  // position in this list is the usual stand-in for the ranks in libraries
  // that take a merge list; it makes the same tokens, though not on every
  // text the same ids.
  static std::vector<Merge> merges_by_rank(const VocabList& vocab);
  // The same off token ranks already read: this must be by_token(vocab).
  std::vector<Merge> merges_of(const VocabList& vocab) const;

 private:
  struct BytesHash {
    using is_transparent = void;
    using is_avalanching = void;
    std::uint64_t key = process_hash_key();
    std::size_t operator()(std::string_view s) const noexcept {
      return hash_bytes(s.data(), s.size(), key);
    }
  };
  // Views into the bytes of a vocabulary, which outlives the map.
  using BytesMap = boost::unordered_flat_map<std::string_view, TokenId, BytesHash>;

  RankedMerges(const VocabList& vocab, bool whole_chunks);
  static BytesMap ids_by_bytes(const VocabList& vocab);
  // Fills pairs_ as by_token does, finding tokens by a hash of their bytes
  // alone; false, pairs_ partly filled, when two tokens share one.
  bool pairs_by_prefix_hashes(const VocabList& vocab, std::span<const TokenId> ids);
  // The merging itself over |n| ids from |ids| on, only pairs of rank below
  // |limit| taken; returns the new count.
  std::size_t merge_short(TokenId* ids, std::size_t n, std::uint32_t limit) const;
  std::size_t merge_long(TokenId* ids, std::size_t n, std::uint32_t limit) const;
  std::size_t merge(TokenId* ids, std::size_t n, std::uint32_t limit = NO_RANK) const;

  boost::unordered_flat_map<std::uint64_t, Step, KeyedHash> pairs_;
  std::array<TokenId, 256> byte_ids_{};
  // Bytes to id of every token, for whole chunks (views into the
  // vocabulary given); empty otherwise.
  BytesMap whole_;
};

}  // namespace ovilex::engine
