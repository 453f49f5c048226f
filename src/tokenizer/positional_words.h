// The merge loop's long words: rewriting one whole at every merge would cost
// its length each time, so they live in one PositionIndex, and a merge visits
// only the positions where its pair may start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "positions.h"
#include "types.h"
#include "word_slots.h"

namespace ovilex {

class PositionalWords {
 public:
  void reserve(std::size_t positions) { index_.reserve(positions); }

  // Adds word |w| (ids, or a chunk's bytes) of the loop's numbering.
  template <class Ids>
  void place(std::uint32_t w, const Ids& word, std::uint64_t freq) {
    words_.push_back({index_.add_word(word), w, freq});
  }

  bool empty() const noexcept { return words_.empty(); }

  // fn(pair, freq) for each adjacent pair of each word, weighted by the
  // word's frequency.
  template <class Fn>
  void for_each_pair(Fn&& fn) const {
    for (const LongWord& word : words_) {
      index_.for_each_pair(word.start, [&](Pair pair) { fn(pair, word.freq); });
    }
  }

  // Lists the positions of every pair, once the words are in.
  void index() { index_.index_pairs(); }

  // Every occurrence of |pair| replaced by |x|, left to right within each
  // word; each one's change of the pair frequencies goes to |changes|. A run
  // of occurrences is merged one at a time, so a pair new in this merge may
  // lose in it again ((x, a) in a b a b), never more than it gained; over a
  // run the sums come out as WordSlots gives them.
  void merge(Pair pair, TokenId x, PairChanges& changes);

  // Drops the positions of a pair that occurs nowhere any more.
  void forget(Pair pair) {
    if (!words_.empty()) index_.forget(pair);
  }

  // fn(w, ids) for each word, with its current ids.
  template <class Fn>
  void for_each_word(Fn&& fn) const {
    std::vector<TokenId> ids;
    for (const LongWord& word : words_) {
      ids.clear();
      index_.for_each_id(word.start, [&](TokenId id) { ids.push_back(id); });
      fn(word.number, std::span<const TokenId>(ids));
    }
  }

 private:
  struct LongWord {
    std::uint32_t start;   // its first position, which merges keep
    std::uint32_t number;  // in the loop's numbering of words
    std::uint64_t freq;
  };
  // The frequency of the word that holds position p.
  std::uint64_t freq_at(std::uint32_t p) const;

  std::vector<LongWord> words_;  // in order of start
  PositionIndex index_;
};

}  // namespace ovilex
