// Text with multi-byte characters everywhere, so that blocks end inside
// them, and a small tokenizer trained on such text: for the tests that hold
// whole-file work (shards, token counts) to encode_text of each file.
#pragma once

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/compiled.h"
#include "text/split.h"
#include "tokenizer/train.h"

namespace ovilex::engine {

inline constexpr std::string_view MIXED_SPECIAL = "<|end|>";

// |with_special|: MIXED_SPECIAL is one of the words.
inline std::string mixed_text(std::mt19937& rng, std::size_t length, bool with_special = false) {
  static const std::vector<std::string> words = {
      " the", " quick", " fox", "é", "日本語", "👍🏽", "\n",
      "  ",   "'s",     " 42",  "Ω", ".",      "\u00a0", "x", std::string(MIXED_SPECIAL)};
  const std::size_t choices = words.size() - (with_special ? 0 : 1);
  std::string out;
  while (out.size() < length) out += words[rng() % choices];
  return out;
}

// 300 merges learned from mixed_text; |with_special|: MIXED_SPECIAL is a
// special token, the id after the merges.
inline const CompiledTokenizer& mixed_tokenizer(bool with_special = false) {
  const auto make = [](bool special) {
    std::mt19937 rng(special ? 2 : 1);
    WordCounter counter;
    text::split_utf8(mixed_text(rng, 100'000, special), [&](std::string_view c) { counter.add(c); });
    std::vector<Merge> merges = learn_from_words(counter.words());
    merges.resize(std::min<std::size_t>(merges.size(), 300));
    std::vector<SpecialToken> specials;
    if (special) {
      specials.push_back({std::string(MIXED_SPECIAL),
                          FIRST_MERGE_ID + static_cast<TokenId>(merges.size())});
    }
    return std::make_unique<CompiledTokenizer>(merges, build_vocab(merges), std::move(specials));
  };
  static const auto plain = make(false);
  static const auto special = make(true);
  return with_special ? *special : *plain;
}

}  // namespace ovilex::engine
