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

// The positions where one pair may start, in the order they were listed:
// stretches that never go down (each merge lists its new starts in order of
// position), with equal values allowed. A value that goes on by the step of
// the two values before it adds to a count word instead of taking a word
// of its own, so that the run of one pair in "a a a a ..." (every position
// in (a, a), then every second one in (x, x)) costs three words.
class StartList {
 public:
  // A count word has this bit: that many more values, each the one before
  // plus the step of the two plain values before the count word. Positions
  // stay below it.
  static constexpr std::uint32_t REPEAT = std::uint32_t{1} << 31;
  static constexpr std::size_t MANY_STRETCHES = 8;

  void push(std::uint32_t p) {
    const std::size_t n = words_.size();
    const std::uint32_t last = last_;
    if (n != 0 && p < last) ++stretches_;
    last_ = p;
    if (n >= 3 && (words_[n - 1] & REPEAT) != 0) {
      // ... a, b, count: the count goes on while p keeps the step (last +
      // step stays below 2^32: both are below 2^31).
      const std::uint32_t step = words_[n - 2] - words_[n - 3];
      if ((words_[n - 1] & ~REPEAT) + 1 < REPEAT && p == last + step) {
        ++words_[n - 1];
        return;
      }
    } else if (n >= 2 && (words_[n - 2] & REPEAT) == 0) {
      const std::uint32_t a = words_[n - 2];
      const std::uint32_t b = words_[n - 1];
      if (a <= b && p >= b && p - b == b - a) {
        words_.push_back(REPEAT | 1);
        return;
      }
    }
    words_.push_back(p);
  }

  // The listed positions, ascending, each once, a batch at a time: a
  // single stretch straight from the words, a few merged as they are read,
  // many sorted once.
  class Ascending {
   public:
    explicit Ascending(const StartList& list);
    // Up to |most| positions to |to|; how many (0 at the end).
    std::size_t read(std::uint32_t* to, std::size_t most);

   private:
    struct Cursor {
      const std::uint32_t* at = nullptr;  // the next word
      const std::uint32_t* end = nullptr;
      std::uint32_t a = 0;  // the last two plain values
      std::uint32_t b = 0;
      std::uint32_t step = 0;
      std::uint32_t repeats = 0;  // values of the current count word still to give
      std::uint32_t value = 0;    // the current value
      // Loads the next value; false at the end of the words.
      bool advance() noexcept {
        if (repeats != 0) {
          value += step;
          --repeats;
          return true;
        }
        if (at == end) return false;
        const std::uint32_t w = *at++;
        if ((w & REPEAT) != 0) {
          step = b - a;
          repeats = (w & ~REPEAT) - 1;
          value = b + step;
          return true;
        }
        a = b;
        b = w;
        value = w;
        return true;
      }
    };
    struct Stretch {
      Cursor cursor;          // its current value loaded
      std::size_t left = 0;   // values still to give, the current one included
    };
    // In place, not on the heap: a long word's encoding reads a list for
    // each merge that applies.
    Stretch stretches_[MANY_STRETCHES];
    std::size_t stretch_count_ = 0;
    std::vector<std::uint32_t> sorted_;  // when there are many stretches
    std::size_t sorted_at_ = 0;
    bool started_ = false;
    std::uint32_t last_ = 0;  // the last value given
  };

 private:
  std::vector<std::uint32_t> words_;
  std::uint32_t last_ = 0;       // the last value pushed
  std::uint32_t stretches_ = 1;  // less one for each time a value went down
};

// A merge keeps the left position of each occurrence and takes the right one
// out of the links, so a word's first position never changes. The list of a
// pair may hold stale positions (the pair there has changed since) until the
// pair is merged and each is checked; every position where the pair does
// start is in its list.
//
// A position is eight bytes: its id and one link. A live position links to
// the next live one of its word (END after the last); a position merged
// away links, with DEAD set, to the position that took it in, which may
// itself have been taken in since. The live position before p is found from
// p - 1 along those links (shortened as they are walked), so no position
// holds a link back.
class PositionIndex {
 public:
  static constexpr std::uint32_t END = UINT32_MAX;  // no position
  static constexpr std::uint32_t DEAD = std::uint32_t{1} << 31;
  // Positions in one index at the most (a dead link never reads END).
  static constexpr std::size_t MAX_POSITIONS = DEAD - 1;

  // What a merge sees beside an occurrence: the id there.
  struct Neighbour {
    TokenId id;
    bool linked = true;  // a neighbour is always a live position
  };

  // What a merge finds beside one occurrence, just before replacing it.
  struct Occurrence {
    std::uint32_t at;         // its left position
    const Neighbour* before;  // the position before it, or nullptr
    const Neighbour* after;   // the position after its right part, or nullptr
  };

  void reserve(std::size_t positions) {
    positions_.reserve(positions);
    firsts_.reserve((positions + 63) / 64);
  }

  // Appends a word (ids, or a chunk's bytes) as linked positions and returns
  // its first one. The caller keeps the total within MAX_POSITIONS.
  template <class Ids>
  std::uint32_t add_word(const Ids& ids) {
    const auto start = static_cast<std::uint32_t>(positions_.size());
    const std::size_t n = ids.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto p = static_cast<std::uint32_t>(start + i);
      positions_.push_back({i + 1 == n ? END : p + 1, id_of(ids[i])});
    }
    firsts_.resize((positions_.size() + 63) / 64, 0);
    if (n != 0) firsts_[start / 64] |= std::uint64_t{1} << (start % 64);
    return start;
  }

  // Lists every position where a pair starts (once, after the words are in).
  void index_pairs() {
    for (std::uint32_t p = 0; p < positions_.size(); ++p) {
      const Position& here = positions_[p];
      if (here.link != END) starts_[Pair{here.id, positions_[here.link].id}].push(p);
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
    const StartList list = std::move(found->second);
    starts_.erase(found);
    StartList::Ascending ascending(list);
    constexpr std::size_t BATCH = 1024;
    constexpr std::size_t AHEAD = 16;
    std::uint32_t batch[BATCH];
    while (const std::size_t count = ascending.read(batch, BATCH)) {
      for (std::size_t i = 0; i < count; ++i) {
        // Two stages: a position far ahead, then its neighbours once it has
        // arrived.
        if (i + AHEAD < count) __builtin_prefetch(&positions_[batch[i + AHEAD]]);
        if (i + AHEAD / 2 < count) {
          const std::uint32_t s = batch[i + AHEAD / 2];
          if (s != 0) __builtin_prefetch(&positions_[s - 1]);
          const std::uint32_t link = positions_[s].link;
          if (link < DEAD) __builtin_prefetch(&positions_[link]);
        }
        merge_at(batch[i], m, seen);
      }
    }
  }

  // Drops the list of a pair that occurs nowhere any more.
  void forget(Pair pair) { starts_.erase(pair); }

  bool has_pairs() const noexcept { return !starts_.empty(); }

  // fn(id) for each id of the word whose first position is |start|.
  template <class Fn>
  void for_each_id(std::uint32_t start, Fn&& fn) const {
    for (std::uint32_t p = start; p != END; p = positions_[p].link) fn(positions_[p].id);
  }

  // fn(pair) for each adjacent pair of the word whose first position is
  // |start|, overlapping ones included.
  template <class Fn>
  void for_each_pair(std::uint32_t start, Fn&& fn) const {
    for (std::uint32_t p = start; positions_[p].link != END; p = positions_[p].link) {
      fn(Pair{positions_[p].id, positions_[positions_[p].link].id});
    }
  }

 private:
  struct Position {
    std::uint32_t link;  // see the class comment
    TokenId id;
  };
  static_assert(sizeof(Position) == 8);

  static TokenId id_of(char byte) noexcept { return static_cast<unsigned char>(byte); }
  static TokenId id_of(TokenId id) noexcept { return id; }
  static bool live(std::uint32_t link) noexcept { return link < DEAD || link == END; }

  bool first(std::uint32_t p) const noexcept { return (firsts_[p / 64] >> (p % 64)) & 1; }

  // The live position before live position p in its word, or END.
  std::uint32_t before(std::uint32_t p) noexcept {
    if (first(p)) return END;
    std::uint32_t root = p - 1;
    while (!live(positions_[root].link)) root = positions_[root].link & ~DEAD;
    for (std::uint32_t q = p - 1; q != root;) {
      const std::uint32_t up = positions_[q].link & ~DEAD;
      positions_[q].link = DEAD | root;
      q = up;
    }
    return root;
  }

  template <class Seen>
  void merge_at(std::uint32_t p, const Merge& m, Seen& seen) {
    Position& here = positions_[p];
    // Positions after p keep the ids they had before the pass, so this
    // check sees the old word, as merge_word's scan does. A dead position
    // and a word's last one link to no next position.
    if (here.link >= DEAD || here.id != m.left) return;
    const std::uint32_t r = here.link;
    Position& right = positions_[r];
    if (right.id != m.right) return;
    const std::uint32_t b = before(p);
    const std::uint32_t a = right.link;
    const Neighbour left_of{b == END ? TokenId{0} : positions_[b].id};
    const Neighbour right_of{a == END ? TokenId{0} : positions_[a].id};
    seen(Occurrence{p, b == END ? nullptr : &left_of, a == END ? nullptr : &right_of});
    here.id = m.new_id;
    here.link = a;
    right.link = DEAD | p;
    if (b != END) starts_[Pair{left_of.id, m.new_id}].push(b);
    if (a != END) {
      // When the pair starts again right after, that occurrence is merged
      // later in this pass and lists (new, new) here then: the pair
      // (new, next) would be gone before anything looks at it.
      const Position& next = positions_[a];
      const bool merged_next =
          next.id == m.left && next.link < DEAD && positions_[next.link].id == m.right;
      if (!merged_next) starts_[Pair{m.new_id, next.id}].push(p);
    }
  }

  HugeVector<Position> positions_;
  std::vector<std::uint64_t> firsts_;  // a bit for each word's first position
  boost::unordered_flat_map<Pair, StartList, KeyedHash> starts_;
};

}  // namespace ovilex
