// A tokenizer compiled for use on text: the merge list with its index, the
// vocabulary as a flat table, and a cache from chunk to ids shared by every
// call and every thread.
//
// Encoding text is splitting it (text/split.h) and encoding each chunk as
// _ovilex.encode does: every merge applied in list order with merge_word.
// A tokenizer imported from another library follows that library's rules
// instead (EncodingRules): its split pattern, merging by rank
// (engine/ranked.h), its own ids for the bytes.
// The cache only remembers results; it never changes them. Special tokens
// (engine/reserved_tokens.h) are found only where a call allows them; the text
// between two is encoded as a document of its own, chunk by chunk through
// the same cache, so a chunk's cached ids never depend on them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/encode_cache.h"
#include "engine/ranked.h"
#include "engine/reserved_tokens.h"
#include "text/char_class.h"
#include "text/nfc.h"
#include "text/regex_split.h"
#include "tokenizer/encode.h"
#include "tokenizer/hash.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// The ids of many texts, in pieces as the threads made them: text i's ids
// are ids[offsets[i], offsets[i + 1]) of the pieces joined.
template <class Id>
struct FlatIds {
  std::vector<std::vector<Id>> pieces;
  std::vector<std::uint64_t> offsets;

  std::size_t size() const noexcept { return offsets.back(); }
};

// How text becomes ids: ovilex's own way by default, which training makes;
// an imported tokenizer's as its library does it.
struct EncodingRules {
  enum class Merging : std::uint8_t {
    List,       // the merges in list order (tokenizer/encode.h)
    MergeRank,  // by rank, a pair's rank its place in the merge list
    TokenRank,  // by rank, a pair's rank the id of its joined bytes
  };
  text::SplitPattern pattern = text::SplitPattern::Ovilex;
  // When set, text is split by these steps instead of |pattern|.
  std::shared_ptr<const text::RegexSplitter> regex;
  Merging merging = Merging::List;
  // A chunk that is a token is taken whole, before merging (by rank only).
  bool whole_chunks = false;
  // A space goes before each stretch of text (the text, or one between
  // special tokens) that does not begin with one.
  bool prefix_space = false;
  // Each stretch of text is normalized (text/nfc.h) before the space and
  // the splitting; special tokens are found in the text as given.
  text::Normalizer normalizer = text::Normalizer::None;
};

class CompiledTokenizer {
 public:
  static constexpr std::size_t CACHE_CAPACITY = std::size_t{1} << 19;

  // |vocab| must hold every merge's new id (the caller checks; see
  // check_merges in tokenizer/records.h), and bytes 0 to 255 as ids 0 to 255
  // for merging by list, or each byte as one id and no bytes twice for
  // merging by rank (RankedMerges::vocab_problem). The ids of |specials|
  // are outside the vocabulary, their texts distinct, non-empty UTF-8.
  CompiledTokenizer(std::vector<Merge> merges, VocabList vocab,
                    std::vector<SpecialToken> specials = {}, EncodingRules rules = {});
  // Merging by token rank, with the merge list that the ranks make
  // (RankedMerges::merges_by_rank), read off the ranks on the first call
  // of merges(): encoding does not need it. |vocab| holds each byte as one
  // id and no bytes twice. |keys|, if given, hold every token of |vocab|
  // (views into it: see RankRead).
  CompiledTokenizer(VocabList vocab, std::vector<SpecialToken> specials, EncodingRules rules,
                    std::optional<TokenKeys> keys = std::nullopt);
  CompiledTokenizer(const CompiledTokenizer&) = delete;
  CompiledTokenizer& operator=(const CompiledTokenizer&) = delete;

  std::span<const Merge> merges() const {
    if (derive_merges_) std::call_once(merges_once_, [this] { merges_ = ranked_->merges_of(vocab_); });
    return merges_;
  }
  const EncodingRules& rules() const noexcept { return rules_; }
  const VocabList& vocab() const noexcept { return vocab_; }
  const SpecialTokens& specials() const noexcept { return specials_; }
  // Finds every special token.
  const SpecialMatcher& all_specials() const noexcept { return all_specials_; }
  // One above the greatest id, learned or special.
  std::size_t id_bound() const noexcept { return id_bound_; }
  // Every id fits in 16 bits: the calls that write ids may write them as
  // uint16_t (|Id| below), which only a narrow tokenizer allows.
  bool narrow() const noexcept { return width_for(id_bound_) == IdWidth::Bits16; }
  // The bytes of a learned id or the text of a special one.
  std::optional<std::span<const std::uint8_t>> token_bytes(TokenId id) const noexcept {
    if (const auto bytes = vocab_.find(id)) return bytes;
    if (const auto text = specials_.text_of(id)) {
      return std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    }
    return std::nullopt;
  }

  // The ids of one chunk, appended to |out|, through the shared cache.
  void encode_chunk(std::string_view chunk, std::vector<TokenId>& out) const;
  // The same without the cache, for chunks that will not come again.
  void encode_chunk_uncached(std::string_view chunk, std::vector<TokenId>& out) const;
  // The ids of valid UTF-8 |text|, appended to |out|: special-token text
  // is text like any other. |Id| is TokenId, or uint16_t when narrow().
  template <class Id>
  void encode_text(std::string_view text, std::vector<Id>& out) const;
  // The same with the special tokens that |allowed| finds (see
  // SpecialMatcher for the rule) as their ids, and each stretch of text
  // around them encoded as by encode_text on its own.
  template <class Id>
  void encode_text(std::string_view text, const SpecialMatcher& allowed,
                   std::vector<Id>& out) const;
  // encode_text and count_text of a piece of a text (no special tokens),
  // its start when |at_start|: the space of prefix_space goes only before
  // a text's start, so the pieces of a text cut at its safe cuts
  // (text/source.h) give the ids of the whole.
  void encode_piece(std::string_view piece, bool at_start, std::vector<TokenId>& out) const;
  std::uint64_t count_piece(std::string_view piece, bool at_start) const;
  // The ids of every text, each text encoded as by encode_text (with
  // |allowed| when given), on up to |threads| threads (the calling one
  // among them).
  std::vector<std::vector<TokenId>> encode_batch(std::span<const std::string_view> texts,
                                                 std::size_t threads,
                                                 const SpecialMatcher* allowed = nullptr) const;
  // The same joined, as |Id|s (uint16_t only when narrow()).
  template <class Id>
  FlatIds<Id> encode_batch_flat(std::span<const std::string_view> texts, std::size_t threads,
                                const SpecialMatcher* allowed = nullptr) const;

  // The number of ids encode_text would give for |text| (with |allowed|
  // when given), found without writing ids where the cache holds a chunk:
  // its ids are counted where they lie.
  std::uint64_t count_text(std::string_view text, const SpecialMatcher* allowed = nullptr) const;
  // count_text of every text, on up to |threads| threads as encode_batch.
  std::vector<std::uint64_t> count_batch(std::span<const std::string_view> texts,
                                         std::size_t threads,
                                         const SpecialMatcher* allowed = nullptr) const;

  // The bytes of the ids (a special token's text for its id), concatenated,
  // appended to |out|; the first unknown id instead, with nothing appended.
  std::optional<TokenId> decode_bytes(std::span<const TokenId> ids, std::string& out) const;
  // decode_string's result: UnknownTokenId or InvalidUtf8 errors with its
  // messages.
  Result<std::string> decode(std::span<const TokenId> ids) const;

  std::size_t cache_size() const { return cache_.size(); }

 private:
  class Encoder;
  template <class Id>
  void check_width() const {
    if (!std::is_same_v<Id, TokenId> && !narrow()) fail_internal("16-bit ids asked of a wide tokenizer");
  }
  // A chunk that the snapshot lacks: from the pending level, or encoded
  // and kept there.
  void encode_missing(std::string_view chunk, std::vector<TokenId>& out) const;
  // What both constructors end with, once ranked_ is made.
  void finish_construction();

  // Derived on first use when derive_merges_.
  mutable std::vector<Merge> merges_;
  mutable std::once_flag merges_once_;
  bool derive_merges_ = false;
  MergeIndex index_;
  VocabList vocab_;
  EncodingRules rules_;
  std::optional<RankedMerges> ranked_;  // when merging by rank
  std::array<TokenId, 256> byte_ids_{};
  std::size_t id_bound_ = 0;
  mutable EncodeCache cache_{CACHE_CAPACITY};
  SpecialTokens specials_;
  SpecialMatcher all_specials_;
};

}  // namespace ovilex::engine
