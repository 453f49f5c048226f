// The merge loop: repeatedly the pair of greatest frequency (ties to the
// greater left, then the greater right id) becomes the next id, over words
// kept in two ways (WordSlots for most, PositionalWords for long ones) that
// share one pair map and one heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "huge_pages.h"
#include "positional_words.h"
#include "positions.h"
#include "train.h"
#include "types.h"
#include "word_slots.h"

namespace ovilex {

// Each pair's entry holds its frequency and the list of the slot words that
// hold it, so a merge visits only those words. A pair whose frequency
// reaches 0 occurs in no word; its entry goes, with its list. Merges create
// only pairs that involve the new id, so a pair that has gone never returns.
//
// Id is how the slot words hold their ids (see WordSlots): std::uint16_t
// when every id the loop can meet fits it, else TokenId.
template <class Id>
class MergeLoop {
 public:
  // Copies |count| words in: for_each_word(fn) calls fn(ids, freq) for each
  // in table order, ids a std::span<const TokenId> or the chunk's bytes as a
  // std::string_view. It is called twice, the first time to size the tables,
  // which are then filled without a copy on growth. Words of at least
  // |positional_from| ids (2 at the least) go to the positional words.
  template <class ForEachWord>
  MergeLoop(std::size_t count, const ForEachWord& for_each_word, std::size_t positional_from,
            const TrainLimits& limits = {})
      : limits_(limits),
        positional_from_(std::max<std::size_t>(positional_from, 2)),
        slots_(checked_count(count)) {
    if (limits_.max_token_length != 0) token_bytes_.assign(FIRST_MERGE_ID, 1);
    slots_.reserve_long(long_total(for_each_word));
    std::uint32_t w = 0;
    for_each_word([&](const auto& word, std::uint64_t freq) {
      if (word.size() >= positional_from_) {
        positional_.place(w, word, freq);
      } else {
        slots_.place(w, word, freq);
      }
      ++w;
    });
  }

  // Takes the pair frequencies from |freqs| and puts each slot word on the
  // lists of its pairs.
  void index(const PairFreqs& freqs);
  // The same, with the frequencies counted from the words in the same pass
  // (what count_pairs would give).
  void count_and_index();

  // Makes the merges.
  std::vector<Merge> run();

  // fn(w, ids) with the current ids of every word w, once each.
  template <class Fn>
  void visit_words(Fn&& fn) const {
    std::vector<bool> positional(slots_.size(), false);
    positional_.for_each_word([&](std::uint32_t w, std::span<const TokenId> ids) {
      positional[w] = true;
      fn(w, ids);
    });
    std::vector<TokenId> wide;
    for (std::uint32_t w = 0; w < slots_.size(); ++w) {
      if (positional[w]) continue;
      if constexpr (std::is_same_v<Id, TokenId>) {
        fn(w, slots_.ids(w));
      } else {
        const std::span<const Id> ids = slots_.ids(w);
        wide.assign(ids.begin(), ids.end());
        fn(w, std::span<const TokenId>(wide));
      }
    }
  }

  std::size_t rewrites() const noexcept { return slots_.rewrites(); }
  std::size_t pairs() const noexcept { return pairs_.size(); }

 private:
  struct Entry {
    std::uint64_t freq = 0;
    WordList words;  // the slot words that hold the pair
  };
  // Greatest freq first, then greater left, then greater right: the
  // defaulted <=> compares the fields in declaration order.
  struct HeapEntry {
    std::uint64_t freq;
    TokenId left;
    TokenId right;
    auto operator<=>(const HeapEntry&) const = default;
  };

  static std::size_t checked_count(std::size_t count) {
    if (count >= WordSlots<Id>::NOT_VISITED) throw std::length_error("too many distinct words");
    return count;
  }

  // The ids of the slot words that do not fit inline, after checking every
  // word's length; the positional words are reserved for on the way.
  template <class ForEachWord>
  std::size_t long_total(const ForEachWord& for_each_word) {
    std::size_t long_ids = 0;
    std::size_t positions = 0;
    for_each_word([&](const auto& word, std::uint64_t) {
      if (word.size() > WordSlots<Id>::MAX_LENGTH) throw std::length_error("word too long");
      if (word.size() >= positional_from_) {
        positions += word.size();
      } else if (word.size() > WordSlots<Id>::INLINE) {
        long_ids += word.size();
      }
    });
    if (positions > PositionIndex::MAX_POSITIONS) throw std::length_error("long words too long");
    positional_.reserve(positions);
    return long_ids;
  }

  // Whether the limits let a pair of frequency |freq| be chosen. A pair
  // they rule out by its length stays out for good (the bytes of an id
  // never change); one below the least frequency gets its heap entry once
  // its frequency rises.
  bool selectable(Pair pair, std::uint64_t freq) const noexcept {
    if (freq < limits_.min_frequency) return false;
    if (limits_.max_token_length == 0) return true;
    return token_bytes(pair.left) + token_bytes(pair.right) <= limits_.max_token_length;
  }
  // Words start as bytes, one each; the tests of the loop also start it
  // from other ids, which count as one byte too.
  std::size_t token_bytes(TokenId id) const noexcept {
    return id < token_bytes_.size() ? token_bytes_[id] : 1;
  }
  void build_heap();
  std::optional<HeapEntry> pop_current();
  void push_candidate(const HeapEntry& entry);
  void drop_stale_entries();
  // Merge number |step|: |pair| becomes |x| in every word, then the pair
  // frequencies change by what that did and each pair whose frequency
  // changed gets a fresh heap entry.
  void merge(Pair pair, TokenId x, std::uint32_t step);

  TrainLimits limits_;
  // The bytes in each id, when a length limit needs them.
  std::vector<std::uint32_t> token_bytes_;
  std::size_t positional_from_;
  PositionalWords positional_;
  WordSlots<Id> slots_;
  boost::unordered_flat_map<Pair, Entry, KeyedHash, std::equal_to<Pair>,
                            HugePageAllocator<std::pair<const Pair, Entry>>>
      pairs_;
  HugeVector<HeapEntry> heap_;
  PairChanges changes_;
};

}  // namespace ovilex
