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
#include "tokenizer/token_keys.h"
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
  // Ranks by token id, read off |vocab|: two adjacent parts have the rank
  // of the token of their bytes joined, if any (as tiktoken finds it).
  // |keys|, if given, must hold every token of |vocab| (as the rank file
  // reader builds them).
  static RankedMerges by_token(const VocabList& vocab, bool whole_chunks,
                               std::optional<TokenKeys> keys = std::nullopt);
  // (By token, or with whole_chunks, the object keeps views into |vocab|,
  // which must outlive it unchanged: the compiled tokenizer holds both.)

  // Writes the ids of |chunk| from |out| on, at most one per byte, and
  // returns how many.
  std::size_t encode(std::string_view chunk, TokenId* out) const;

  TokenId byte_id(std::uint8_t byte) const noexcept { return byte_ids_[byte]; }

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
  RankedMerges(const VocabList& vocab, bool whole_chunks);
  // The step of the pair whose bytes are |bytes|, under token ranks: the
  // token of those bytes, of rank its id. |hashes| holds the hashes of the
  // prefixes of what |bytes| is in, from |begin| on to its end.
  std::optional<Step> joined(const char* bytes, const std::uint64_t* prefix, std::size_t begin,
                             std::size_t end) const noexcept;
  // The merging itself over the |n| ids from |ids| on, which stand for the
  // bytes of |bytes| one each; only pairs of rank below |limit| taken.
  // Returns the new count.
  template <bool BY_TOKEN>
  std::size_t merge_short(std::string_view bytes, TokenId* ids, std::size_t n,
                          std::uint32_t limit) const;
  template <bool BY_TOKEN>
  std::size_t merge_long(std::string_view bytes, TokenId* ids, std::size_t n,
                         std::uint32_t limit) const;
  std::size_t merge(std::string_view bytes, TokenId* ids, std::uint32_t limit = NO_RANK) const;

  // Merging by list: each pair's step, by its key.
  boost::unordered_flat_map<std::uint64_t, Step, KeyedHash> pairs_;
  std::array<TokenId, 256> byte_ids_{};
  // Every token by its bytes (views into the vocabulary given), when
  // merging by token rank, or when whole chunks are taken; none otherwise.
  std::optional<TokenKeys> tokens_;
  bool by_token_ = false;
  bool whole_chunks_ = false;
  std::size_t longest_ = 0;  // the longest token's bytes, by token rank
};

}  // namespace ovilex::engine
