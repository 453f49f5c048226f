// Words as linked positions in one array, and for each pair the positions
// where it may start: the index behind the long-word encoder and the merge
// loop's long words, where rewriting a whole word at every merge would cost
// its length each time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "huge_pages.h"
#include "types.h"

namespace ovilex {

// A merge keeps the left position of each occurrence and takes the right one
// out of the links, so a word's first position never changes. The list of a
// pair may hold stale positions (the pair there has changed since) until the
// pair is merged and each is checked; every position where the pair does
// start is in its list.
class PositionIndex {
 public:
  static constexpr std::uint32_t END = UINT32_MAX;  // no position

  struct Position {
    std::uint32_t prev;
    std::uint32_t next;
    TokenId id;
    bool linked;  // false once merged away
  };

  // What a merge finds beside one occurrence, just before replacing it.
  struct Occurrence {
    std::uint32_t at;        // its left position
    const Position* before;  // the position before it, or nullptr
    const Position* after;   // the position after its right part, or nullptr
  };

  void reserve(std::size_t positions) { positions_.reserve(positions); }

  // Appends a word (ids, or a chunk's bytes) as linked positions and returns
  // its first one. The caller keeps the total below END.
  template <class Ids>
  std::uint32_t add_word(const Ids& ids) {
    const auto start = static_cast<std::uint32_t>(positions_.size());
    const std::size_t n = ids.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto p = static_cast<std::uint32_t>(start + i);
      positions_.push_back({i == 0 ? END : p - 1, i + 1 == n ? END : p + 1, id_of(ids[i]), true});
    }
    return start;
  }

  // Lists every position where a pair starts (once, after the words are in).
  void index_pairs() {
    for (std::uint32_t p = 0; p < positions_.size(); ++p) {
      const Position& here = positions_[p];
      if (here.next != END) starts_[Pair{here.id, positions_[here.next].id}].push_back(p);
    }
  }

  // Replaces (m.left, m.right) by m.new_id at every listed position where it
  // still starts, in order of position, as merge_word does within each
  // word: a position taken as the right part of one occurrence is gone
  // before the next is looked at. seen(occurrence) comes just before each
  // replacement. The pair's list goes; the new pairs beside each occurrence
  // go to their own lists, which this pass does not look at.
  template <class Seen>
  void merge(const Merge& m, Seen&& seen) {
    const auto found = starts_.find(m.pair());
    if (found == starts_.end()) return;
    std::vector<std::uint32_t> starts = std::move(found->second);
    starts_.erase(found);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      // Two stages: a position far ahead, then its neighbours once it has
      // arrived.
      if (i + AHEAD < starts.size()) __builtin_prefetch(&positions_[starts[i + AHEAD]]);
      if (i + AHEAD / 2 < starts.size()) {
        const Position& soon = positions_[starts[i + AHEAD / 2]];
        if (soon.prev != END) __builtin_prefetch(&positions_[soon.prev]);
        if (soon.next != END) __builtin_prefetch(&positions_[soon.next]);
      }
      const std::uint32_t p = starts[i];
      Position& here = positions_[p];
      // Positions after p keep the ids they had before the pass, so this
      // check sees the old word, as merge_word's scan does.
      if (!here.linked || here.next == END || here.id != m.left) continue;
      Position& right = positions_[here.next];
      if (right.id != m.right) continue;
      seen(Occurrence{p, here.prev == END ? nullptr : &positions_[here.prev],
                      right.next == END ? nullptr : &positions_[right.next]});
      here.id = m.new_id;
      here.next = right.next;
      right.linked = false;
      if (right.next != END) positions_[right.next].prev = p;
      if (here.prev != END) starts_[Pair{positions_[here.prev].id, m.new_id}].push_back(here.prev);
      if (here.next != END) starts_[Pair{m.new_id, positions_[here.next].id}].push_back(p);
    }
  }

  // Drops the list of a pair that occurs nowhere any more.
  void forget(Pair pair) { starts_.erase(pair); }

  bool has_pairs() const noexcept { return !starts_.empty(); }

  // fn(id) for each id of the word whose first position is |start|.
  template <class Fn>
  void for_each_id(std::uint32_t start, Fn&& fn) const {
    for (std::uint32_t p = start; p != END; p = positions_[p].next) fn(positions_[p].id);
  }

  // fn(pair) for each adjacent pair of the word whose first position is
  // |start|, overlapping ones included.
  template <class Fn>
  void for_each_pair(std::uint32_t start, Fn&& fn) const {
    for (std::uint32_t p = start; positions_[p].next != END; p = positions_[p].next) {
      fn(Pair{positions_[p].id, positions_[positions_[p].next].id});
    }
  }

 private:
  static TokenId id_of(char byte) noexcept { return static_cast<unsigned char>(byte); }
  static TokenId id_of(TokenId id) noexcept { return id; }

  HugeVector<Position> positions_;
  boost::unordered_flat_map<Pair, std::vector<std::uint32_t>, KeyedHash> starts_;
};

}  // namespace ovilex
