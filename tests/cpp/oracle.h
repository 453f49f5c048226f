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
#include <optional>
#include <set>
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

// What a training may make, written out here rather than taken from the
// code under test: encode_train's limits by default, and no length limit
// (max_length 0).
struct Limits {
  std::size_t max_merges = 7744;
  std::uint64_t min_freq = 3;
  std::size_t max_length = 0;
};

// The bytes of each id as the merges make them; ids the words start with
// count one byte each.
class TokenLengths {
 public:
  std::size_t operator()(TokenId id) const {
    const auto it = made_.find(id);
    return it == made_.end() ? 1 : it->second;
  }
  void made(const Merge& m) { made_[m.new_id] = (*this)(m.left) + (*this)(m.right); }
  bool allowed(const Limits& limits, TokenId left, TokenId right) const {
    return limits.max_length == 0 || (*this)(left) + (*this)(right) <= limits.max_length;
  }

 private:
  std::map<TokenId, std::size_t> made_;
};

// Every iteration counts all pairs afresh, takes the greatest
// (freq, left, right) among the pairs the length limit allows, and rewrites
// every word holding it with merge_word.
inline std::vector<Merge> learn_merges_sequential(WordTable& words, const Limits& limits = {}) {
  std::vector<Merge> merges;
  TokenLengths lengths;
  while (merges.size() < limits.max_merges) {
    std::map<std::pair<TokenId, TokenId>, std::uint64_t> freqs;
    for (const auto& [w, f] : words) {
      for (std::size_t i = 0; i + 1 < w.size(); ++i) freqs[{w[i], w[i + 1]}] += f;
    }
    std::optional<std::tuple<std::uint64_t, TokenId, TokenId>> best;
    for (const auto& [pair, f] : freqs) {
      if (!lengths.allowed(limits, pair.first, pair.second)) continue;
      const std::tuple<std::uint64_t, TokenId, TokenId> candidate{f, pair.first, pair.second};
      if (!best || candidate > *best) best = candidate;
    }
    if (!best || std::get<0>(*best) < limits.min_freq) break;
    const Merge m{std::get<1>(*best), std::get<2>(*best), static_cast<TokenId>(256 + merges.size())};
    for (auto& [w, f] : words) {
      bool holds = false;
      for (std::size_t i = 0; i + 1 < w.size() && !holds; ++i) {
        holds = w[i] == m.left && w[i + 1] == m.right;
      }
      if (holds) w = merge_word(w, m.pair(), m.new_id);
    }
    lengths.made(m);
    merges.push_back(m);
  }
  return merges;
}

// The same rule for long runs: the frequencies live in an ordered set, the
// greatest last, and the words that hold each pair in a map; a merge
// rewrites those words with merge_word and moves each one's pairs from its
// old ids to its new ones. Nothing is kept that the rule does not name.
inline std::vector<Merge> learn_merges_indexed(WordTable& words, const Limits& limits = {}) {
  using PairIds = std::pair<TokenId, TokenId>;
  std::map<PairIds, std::uint64_t> freqs;
  std::set<std::tuple<std::uint64_t, TokenId, TokenId>> ranked;
  std::map<PairIds, std::set<std::size_t>> holders;
  const auto add = [&](std::size_t w, std::int64_t sign) {
    const auto& [word, f] = words[w];
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
      const PairIds pair{word[i], word[i + 1]};
      std::uint64_t& freq = freqs[pair];
      ranked.erase({freq, pair.first, pair.second});
      freq = sign > 0 ? freq + f : freq - f;
      if (freq != 0) ranked.insert({freq, pair.first, pair.second});
      if (sign > 0) {
        holders[pair].insert(w);
      } else if (freq == 0) {
        freqs.erase(pair);
      }
    }
  };
  for (std::size_t w = 0; w < words.size(); ++w) add(w, +1);
  std::vector<Merge> merges;
  TokenLengths lengths;
  while (merges.size() < limits.max_merges) {
    auto best = ranked.rbegin();
    while (best != ranked.rend() && !lengths.allowed(limits, std::get<1>(*best), std::get<2>(*best))) {
      ++best;
    }
    if (best == ranked.rend() || std::get<0>(*best) < limits.min_freq) break;
    const Merge m{std::get<1>(*best), std::get<2>(*best), static_cast<TokenId>(256 + merges.size())};
    const std::set<std::size_t> named = std::move(holders[{m.left, m.right}]);
    holders.erase({m.left, m.right});
    for (const std::size_t w : named) {
      Word& word = words[w].first;
      bool holds = false;
      for (std::size_t i = 0; i + 1 < word.size() && !holds; ++i) {
        holds = word[i] == m.left && word[i + 1] == m.right;
      }
      if (!holds) continue;
      add(w, -1);
      word = merge_word(word, m.pair(), m.new_id);
      add(w, +1);
    }
    lengths.made(m);
    merges.push_back(m);
  }
  return merges;
}

inline std::vector<Merge> learn_merges_sequential(const std::vector<std::string_view>& chunks,
                                                  const Limits& limits = {}) {
  WordTable words = word_table(chunks);
  return learn_merges_sequential(words, limits);
}

}  // namespace ovilex::oracle
