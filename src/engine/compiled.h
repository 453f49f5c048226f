// A tokenizer compiled for use on text: the merge list with its index, the
// vocabulary as a flat table, and a cache from chunk to ids shared by every
// call and every thread.
//
// Encoding text is splitting it (text/split.h) and encoding each chunk as
// _ovilex.encode does: every merge applied in list order with merge_word.
// The cache only remembers results; it never changes them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/encode_cache.h"
#include "tokenizer/encode.h"
#include "tokenizer/hash.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// The ids of many texts, in pieces as the threads made them: text i's ids
// are ids[offsets[i], offsets[i + 1]) of the pieces joined.
struct FlatIds {
  std::vector<std::vector<TokenId>> pieces;
  std::vector<std::uint64_t> offsets;

  std::size_t size() const noexcept { return offsets.back(); }
  // Writes the pieces, joined, from |out| on (room for size() ids).
  void copy_to(TokenId* out) const {
    for (const std::vector<TokenId>& piece : pieces) out = std::copy(piece.begin(), piece.end(), out);
  }
};

class CompiledTokenizer {
 public:
  static constexpr std::size_t CACHE_CAPACITY = std::size_t{1} << 19;

  // |vocab| must hold bytes 0 to 255 and every merge's new id (the caller
  // checks; see check_merges in tokenizer/records.h).
  CompiledTokenizer(std::vector<Merge> merges, VocabList vocab);
  CompiledTokenizer(const CompiledTokenizer&) = delete;
  CompiledTokenizer& operator=(const CompiledTokenizer&) = delete;

  std::span<const Merge> merges() const noexcept { return merges_; }
  const VocabList& vocab() const noexcept { return vocab_; }
  // One above the greatest id of the vocabulary.
  std::size_t id_bound() const noexcept { return id_bound_; }

  // The ids of one chunk, appended to |out|, through the shared cache.
  void encode_chunk(std::string_view chunk, std::vector<TokenId>& out) const;
  // The same without the cache, for chunks that will not come again.
  void encode_chunk_uncached(std::string_view chunk, std::vector<TokenId>& out) const;
  // The ids of valid UTF-8 |text|, appended to |out|.
  void encode_text(std::string_view text, std::vector<TokenId>& out) const;
  // The ids of every text, each text encoded as by encode_text, on up to
  // |threads| threads (the calling one among them).
  std::vector<std::vector<TokenId>> encode_batch(std::span<const std::string_view> texts,
                                                 std::size_t threads) const;
  FlatIds encode_batch_flat(std::span<const std::string_view> texts, std::size_t threads) const;

  // The bytes of the ids, concatenated, appended to |out|; the first id
  // outside the vocabulary instead, with nothing appended.
  std::optional<TokenId> decode_bytes(std::span<const TokenId> ids, std::string& out) const;
  // decode_string's result: UnknownTokenId or InvalidUtf8 errors with its
  // messages.
  Result<std::string> decode(std::span<const TokenId> ids) const;

  std::size_t cache_size() const { return cache_.size(); }

 private:
  class Encoder;
  // A chunk that the snapshot lacks: from the pending level, or encoded
  // and kept there.
  void encode_missing(std::string_view chunk, std::vector<TokenId>& out) const;

  std::vector<Merge> merges_;
  MergeIndex index_;
  VocabList vocab_;
  std::size_t id_bound_ = 0;
  mutable EncodeCache cache_{CACHE_CAPACITY};
};

}  // namespace ovilex::engine
