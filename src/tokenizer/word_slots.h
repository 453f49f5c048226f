// The merge loop's words below the positional length, each rewritten whole
// by every merge that touches it, and the lists that say which words hold
// which pair.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "huge_pages.h"
#include "types.h"

namespace ovilex {

// Word numbers in a chain of nodes of the pool in WordSlots. A list may name
// a word that has since lost its pair (checked when visited), and may name a
// word twice.
struct WordList {
  static constexpr std::uint32_t NONE = UINT32_MAX;
  std::uint32_t head = NONE;
  std::uint32_t tail = NONE;  // so that a whole list is spliced in one step
  bool empty() const noexcept { return head == NONE; }
};

// What one merge does to one pair, summed over every word it changes: the
// pair map of the loop is then touched once per pair and merge.
struct PairChange {
  std::uint64_t lost = 0;
  std::uint64_t gained = 0;
  WordList gained_by;  // the slot words that gained the pair
};
using PairChanges = boost::unordered_flat_map<Pair, PairChange, KeyedHash>;

// Visiting a word costs a cache miss or two, and a merge may visit hundreds
// of thousands: each word lives in one slot of a cache line or half of one,
// its ids inline when they fit, and the slots of a merge's words are
// prefetched ahead of use. The lists live in one pool of nodes of several
// words each (a chain of single words would cost a cache miss per word).
//
// The words hold their ids as Id: 16 bits while every id the loop can make
// fits (32-byte slots, eight ids inline), else 32 (64-byte slots, twelve).
template <class Id>
class WordSlots {
 public:
  static_assert(std::is_same_v<Id, std::uint16_t> || std::is_same_v<Id, TokenId>);
  static constexpr std::uint32_t NOT_VISITED = UINT32_MAX;
  static constexpr std::size_t INLINE = sizeof(Id) == 2 ? 8 : 12;
  static constexpr std::uint32_t LONG_FLAG = std::uint32_t{1} << 31;
  static constexpr std::size_t MAX_LENGTH = LONG_FLAG - 1;

  // |count| empty slots.
  explicit WordSlots(std::size_t count) : slots_(count) {}
  // Room for |n| ids of words that do not fit inline.
  void reserve_long(std::size_t n) { long_ids_.reserve(n); }

  std::size_t size() const noexcept { return slots_.size(); }

  // Puts word |w| (ids, or a chunk's bytes) into its slot.
  template <class Ids>
  void place(std::uint32_t w, const Ids& word, std::uint64_t freq) {
    Slot& slot = slots_[w];
    slot.freq = freq;
    slot.length = static_cast<std::uint32_t>(word.size());
    if (word.size() > INLINE) {
      slot.length |= LONG_FLAG;
      const std::size_t offset = long_ids_.size();
      std::memcpy(slot.ids, &offset, sizeof offset);
      for (const auto id : word) long_ids_.push_back(id_of(id));
      long_live_ += word.size();
    } else {
      std::transform(word.begin(), word.end(), slot.ids, [](auto id) { return id_of(id); });
    }
    for (const auto id : word) {
      const std::size_t wide = id_value(id);
      if (wide > std::numeric_limits<Id>::max()) fail_internal("a word's id does not fit the loop's ids");
      id_bound_ = std::max(id_bound_, wide + 1);
    }
  }

  std::uint64_t freq(std::uint32_t w) const noexcept { return slots_[w].freq; }
  std::span<const Id> ids(std::uint32_t w) const noexcept {
    return {ids_of(slots_[w]), length_of(slots_[w])};
  }

  // Adds |word| to |list| unless it was the word added last.
  void note(WordList& list, std::uint32_t word) {
    if (push_word(list.head, word) && list.tail == WordList::NONE) list.tail = list.head;
  }

  // Puts |from| in front of |into|.
  void splice_front(WordList& into, WordList from) noexcept {
    if (from.empty()) return;
    node(from.tail).next = into.head;
    if (into.empty()) into.tail = from.tail;
    into.head = from.head;
  }

  // Hands the nodes of |list| back for new lists.
  void release(WordList list) noexcept {
    if (list.empty()) return;
    node(list.tail).next = free_nodes_;
    free_nodes_ = list.head;
  }

  // Merge number |step|: every word of |holders| that holds |pair| has each
  // occurrence, left to right without overlap, replaced by |x|. What that
  // does to each pair's frequency goes to |changes|, with the words that
  // gained each pair; a word is rewritten once even when it is named twice.
  void merge(WordList holders, Pair pair, TokenId x, std::uint32_t step, PairChanges& changes);

  // Words rewritten so far.
  std::size_t rewrites() const noexcept { return rewrites_; }

 private:
  // A word: its ids inline, or (LONG_FLAG set in length) the offset of its
  // ids in long_ids_ stored in the inline space.
  static constexpr std::size_t SLOT_BYTES = sizeof(Id) == 2 ? 32 : 64;
  struct alignas(SLOT_BYTES) Slot {
    std::uint64_t freq = 0;
    std::uint32_t visited = NOT_VISITED;  // the last merge step that visited it
    std::uint32_t length = 0;
    Id ids[INLINE] = {};
  };
  static_assert(sizeof(Slot) == SLOT_BYTES);

  static constexpr std::uint32_t NODE_WORDS = 14;
  struct alignas(64) Node {
    std::uint32_t count = 0;
    std::uint32_t next = WordList::NONE;
    std::uint32_t words[NODE_WORDS];
  };
  static_assert(sizeof(Node) == 64);

  // A merge of (a, b) into x changes, around each run of occurrences, the
  // pairs (p, a) and (p, x) with the token p before the run, and (b, n) and
  // (x, n) with the token n after it; within runs, (a, b), (b, a) and (x, x).
  // The first four are gathered by p and by n in tables indexed by the
  // token, which costs no hashing per word, and reach the changes once per
  // token and merge. The tables cover every id that the words start with
  // and grow with the ids that merges make.
  struct Side {
    PairChange change;
    bool touched = false;
  };

  static std::size_t id_value(char byte) noexcept { return static_cast<unsigned char>(byte); }
  static std::size_t id_value(TokenId id) noexcept { return id; }
  static Id id_of(char byte) noexcept { return static_cast<unsigned char>(byte); }
  static Id id_of(TokenId id) noexcept { return static_cast<Id>(id); }

  static std::size_t length_of(const Slot& slot) noexcept { return slot.length & ~LONG_FLAG; }
  Id* ids_of(Slot& slot) noexcept { return const_cast<Id*>(std::as_const(*this).ids_of(slot)); }
  const Id* ids_of(const Slot& slot) const noexcept {
    if (!(slot.length & LONG_FLAG)) return slot.ids;
    std::size_t offset;
    std::memcpy(&offset, slot.ids, sizeof offset);
    return long_ids_.data() + offset;
  }

  // Adds |word| to the list that starts at |head| (unless it was the word
  // added last); returns true when a new node became the head.
  bool push_word(std::uint32_t& head, std::uint32_t word) {
    if (head != WordList::NONE) {
      Node& first = node(head);
      if (first.words[first.count - 1] == word) return false;
      if (first.count < NODE_WORDS) {
        first.words[first.count++] = word;
        return false;
      }
    }
    const std::uint32_t fresh = new_node();
    Node& n = node(fresh);
    n.count = 1;
    n.next = head;
    n.words[0] = word;
    head = fresh;
    return true;
  }

  // The nodes live in blocks of 2 MiB that never move: the pool grows
  // without a copy (a doubling array would hold the old and the new one at
  // once), and the nodes of a list whose pair has gone are used again,
  // which on a large corpus halves the nodes made.
  static constexpr std::uint32_t BLOCK_BITS = 15;
  static constexpr std::uint32_t BLOCK_NODES = std::uint32_t{1} << BLOCK_BITS;
  Node& node(std::uint32_t i) noexcept { return node_blocks_[i >> BLOCK_BITS][i & (BLOCK_NODES - 1)]; }
  std::uint32_t new_node();

  Side& side(std::vector<Side>& sides, std::vector<TokenId>& touched, TokenId token);
  void gain(PairChange& change, std::uint64_t amount, std::uint32_t word) {
    change.gained += amount;
    note(change.gained_by, word);
  }
  void rewrite(Slot& slot, std::uint32_t w, Pair pair, TokenId x);
  void fold_sides(Pair pair, TokenId x, PairChanges& changes);
  void compact_long_ids();

  HugeVector<Slot> slots_;
  HugeVector<Id> long_ids_;
  std::size_t long_live_ = 0;  // ids in long_ids_ that a word still uses
  std::vector<HugeVector<Node>> node_blocks_;
  std::uint32_t made_nodes_ = 0;
  std::uint32_t free_nodes_ = WordList::NONE;  // a chain through next
  std::vector<std::uint32_t> holders_;
  std::size_t id_bound_ = FIRST_MERGE_ID;  // above every id the words started with
  std::vector<Side> before_;
  std::vector<Side> after_;
  std::vector<TokenId> touched_before_;
  std::vector<TokenId> touched_after_;
  std::uint64_t run_lost_ab_ = 0;
  std::uint64_t run_lost_ba_ = 0;
  PairChange run_xx_;
  std::size_t rewrites_ = 0;
};

}  // namespace ovilex
