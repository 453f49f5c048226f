// Straightforward implementations that the fast paths are checked against.
// They follow the rules literally and make no attempt at speed.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace ovilex::oracle {

// Every merge, in list order, applied to every chunk's word with merge_word.
inline std::vector<TokenId> encode_sequential(const std::vector<std::string_view>& chunks,
                                              const std::vector<Merge>& merges) {
  std::vector<Word> words;
  words.reserve(chunks.size());
  for (const std::string_view chunk : chunks) {
    Word w;
    for (const char c : chunk) w.push_back(static_cast<unsigned char>(c));
    words.push_back(std::move(w));
  }
  for (const Merge& m : merges) {
    for (Word& w : words) w = merge_word(w, m.pair(), m.new_id);
  }
  std::vector<TokenId> out;
  for (const Word& w : words) out.insert(out.end(), w.begin(), w.end());
  return out;
}

}  // namespace ovilex::oracle

// ---------------------------------------------------------------------------
// Training oracle: the merge loop without any of the fast path's bookkeeping.
// ---------------------------------------------------------------------------

#include <cstdint>
#include <map>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace ovilex::oracle {

// Distinct words (each chunk's UTF-8 bytes as ids) with the number of chunks
// that gave each, in ascending word order.
using WordTable = std::vector<std::pair<Word, std::uint64_t>>;

inline WordTable word_table(const std::vector<std::string_view>& chunks) {
  std::map<Word, std::uint64_t> counts;
  for (const std::string_view chunk : chunks) {
    Word w;
    for (const char c : chunk) w.push_back(static_cast<unsigned char>(c));
    ++counts[w];
  }
  return WordTable(counts.begin(), counts.end());
}

// Every iteration counts all pairs afresh, takes the greatest
// (freq, left, right), and rewrites every word holding it with merge_word.
// The limits are written out here rather than taken from the code under test.
inline std::vector<Merge> learn_merges_sequential(WordTable& words) {
  constexpr std::size_t max_merges = 7744;
  constexpr std::uint64_t min_freq = 3;
  std::vector<Merge> merges;
  while (merges.size() < max_merges) {
    std::unordered_map<std::uint32_t, std::uint64_t> freqs;
    for (const auto& [w, f] : words) {
      for (std::size_t i = 0; i + 1 < w.size(); ++i) {
        freqs[(std::uint32_t{w[i]} << 16) | w[i + 1]] += f;
      }
    }
    if (freqs.empty()) break;
    std::tuple<std::uint64_t, TokenId, TokenId> best{0, 0, 0};
    for (const auto& [key, f] : freqs) {
      best = std::max(best, std::tuple<std::uint64_t, TokenId, TokenId>{
                                f, static_cast<TokenId>(key >> 16),
                                static_cast<TokenId>(key & 0xffff)});
    }
    if (std::get<0>(best) < min_freq) break;
    const Merge m{std::get<1>(best), std::get<2>(best), static_cast<TokenId>(256 + merges.size())};
    for (auto& [w, f] : words) {
      bool holds = false;
      for (std::size_t i = 0; i + 1 < w.size() && !holds; ++i) {
        holds = w[i] == m.left && w[i + 1] == m.right;
      }
      if (holds) w = merge_word(w, m.pair(), m.new_id);
    }
    merges.push_back(m);
  }
  return merges;
}

inline std::vector<Merge> learn_merges_sequential(const std::vector<std::string_view>& chunks) {
  WordTable words = word_table(chunks);
  return learn_merges_sequential(words);
}

}  // namespace ovilex::oracle
