// Special tokens: texts that stand for ids of their own, outside the learned
// vocabulary (training puts them right above its greatest id). Merges never
// make them and never split them: encoding finds them only in the text it is
// allowed to, and encodes the text between them as it would any document.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/records.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// The special tokens of one tokenizer, looked up both ways.
class SpecialTokens {
 public:
  SpecialTokens() = default;
  // The caller has checked them: texts non-empty, valid UTF-8 and distinct,
  // ids distinct.
  explicit SpecialTokens(std::vector<SpecialToken> tokens);

  // In ascending id order.
  std::span<const SpecialToken> tokens() const noexcept { return by_id_; }
  bool empty() const noexcept { return by_id_.empty(); }
  std::optional<std::string_view> text_of(TokenId id) const noexcept;
  std::optional<TokenId> id_of(std::string_view text) const noexcept;
  // One above the greatest id; 0 without tokens.
  std::size_t id_bound() const noexcept {
    return by_id_.empty() ? 0 : std::size_t{by_id_.back().id} + 1;
  }

 private:
  std::vector<SpecialToken> by_id_;
  std::vector<std::uint32_t> by_text_;  // indexes into by_id_, in text order
};

// Where some special tokens occur in text. The rule: the leftmost occurrence
// of any of them is taken first, and of those that start at the same byte
// the longest; the search goes on after it, so occurrences never overlap.
// With "<|a|>" and "<|a|><|b|>", the text "<|a|><|b|>" is the longer token
// alone; with "ab" and "bc", "abc" holds "ab" and then the text "c". Texts
// and tokens are valid UTF-8, so an occurrence starts and ends on character
// boundaries.
class SpecialMatcher {
 public:
  struct Match {
    std::size_t begin;
    std::size_t end;
    TokenId id;
  };

  // Finds nothing.
  SpecialMatcher() = default;
  explicit SpecialMatcher(std::span<const SpecialToken> tokens);

  bool empty() const noexcept { return tokens_.empty(); }
  // The first occurrence that begins at |from| or later.
  std::optional<Match> find(std::string_view text, std::size_t from) const noexcept;
  // Walks |text| in order: on_text(stretch) for every non-empty stretch
  // between occurrences (and before the first, after the last), on_id(id)
  // for every occurrence.
  template <class OnText, class OnId>
  void split(std::string_view text, OnText&& on_text, OnId&& on_id) const {
    std::size_t at = 0;
    while (const auto match = find(text, at)) {
      if (match->begin > at) on_text(text.substr(at, match->begin - at));
      on_id(match->id);
      at = match->end;
    }
    if (at < text.size()) on_text(text.substr(at));
  }

 private:
  // Grouped by first byte, the longest first within a group: tokens_ with
  // first byte b are [starts_[b], starts_[b + 1]).
  std::vector<SpecialToken> tokens_;
  std::array<std::uint32_t, 257> starts_{};
  // The first byte when every token has the same one (memchr finds the
  // candidates), else -1.
  int only_first_ = -1;
};

}  // namespace ovilex::engine
