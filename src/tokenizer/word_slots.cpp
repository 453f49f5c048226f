#include "word_slots.h"

#include <algorithm>
#include <stdexcept>

namespace ovilex {

template <class Id>
std::uint32_t WordSlots<Id>::new_node() {
  if (free_nodes_ != WordList::NONE) {
    const std::uint32_t i = free_nodes_;
    free_nodes_ = node(i).next;
    return i;
  }
  if (made_nodes_ == WordList::NONE) throw std::length_error("merge index too large");
  if (made_nodes_ % BLOCK_NODES == 0) {
    HugeVector<Node> block;
    block.reserve(BLOCK_NODES);
    node_blocks_.push_back(std::move(block));
  }
  node_blocks_.back().emplace_back();
  return made_nodes_++;
}

template <class Id>
typename WordSlots<Id>::Side& WordSlots<Id>::side(std::vector<Side>& sides,
                                                  std::vector<TokenId>& touched, TokenId token) {
  Side& s = sides[token];
  if (!s.touched) {
    s.touched = true;
    touched.push_back(token);
  }
  return s;
}

template <class Id>
void WordSlots<Id>::merge(WordList holders, Pair pair, TokenId x, std::uint32_t step,
                          PairChanges& changes) {
  if (before_.size() <= x) {
    const std::size_t size = std::max({id_bound_, std::size_t{x} + 1, 2 * before_.size()});
    before_.resize(size);
    after_.resize(size);
  }
  holders_.clear();
  for (std::uint32_t i = holders.head; i != WordList::NONE; i = node(i).next) {
    const Node& n = node(i);
    holders_.insert(holders_.end(), n.words, n.words + n.count);
  }
  // Two-stage prefetch: a slot far ahead, and the out-of-line ids of a
  // long word nearer ahead, once its slot has arrived.
  constexpr std::size_t AHEAD = 16;
  for (std::size_t i = 0; i < holders_.size(); ++i) {
    if (i + AHEAD < holders_.size()) __builtin_prefetch(&slots_[holders_[i + AHEAD]]);
    if (i + AHEAD / 2 < holders_.size()) {
      Slot& soon = slots_[holders_[i + AHEAD / 2]];
      if (soon.length & LONG_FLAG) __builtin_prefetch(ids_of(soon));
    }
    Slot& slot = slots_[holders_[i]];
    if (slot.visited == step) continue;
    slot.visited = step;
    rewrite(slot, holders_[i], pair, x);
  }
  fold_sides(pair, x, changes);
  // Merges shorten the long words, and most come to fit inline again (on a
  // large corpus, after a thousand merges, half of the ids out of line are
  // dead): once over half are, the live ones move to a new array, or back
  // into their slot, which also spares visits a cache miss.
  if (2 * long_live_ < long_ids_.size()) compact_long_ids();
}

// merge_word in place. Occurrences are taken left to right without overlap,
// in runs of adjacent occurrences: a run a b a b ... a b of m occurrences
// between neighbours p and n loses (p, a), m of (a, b), m - 1 of (b, a) and
// (b, n), and gains (p, x), m - 1 of (x, x) and (x, n). Pairs away from runs
// stay.
template <class Id>
void WordSlots<Id>::rewrite(Slot& slot, std::uint32_t w, Pair pair, TokenId x) {
  Id* word = ids_of(slot);
  const std::uint64_t freq = slot.freq;
  const std::size_t length = length_of(slot);
  const auto a = static_cast<Id>(pair.left);
  const auto b = static_cast<Id>(pair.right);
  std::size_t r = 0;
  std::size_t out = 0;
  bool changed = false;
  while (r < length) {
    if (!(r + 1 < length && word[r] == a && word[r + 1] == b)) {
      word[out++] = word[r++];
      continue;
    }
    changed = true;
    const std::size_t begin = r;
    std::uint64_t m = 0;
    while (r + 1 < length && word[r] == a && word[r + 1] == b) {
      r += 2;
      ++m;
    }
    // The token before the run was copied unchanged to word[out - 1].
    if (begin > 0) {
      PairChange& before = side(before_, touched_before_, word[out - 1]).change;
      before.lost += freq;
      gain(before, freq, w);
    }
    run_lost_ab_ += m * freq;
    if (m > 1) {
      run_lost_ba_ += (m - 1) * freq;
      gain(run_xx_, (m - 1) * freq, w);
    }
    if (r < length) {
      PairChange& after = side(after_, touched_after_, word[r]).change;
      after.lost += freq;
      gain(after, freq, w);
    }
    std::fill_n(word + out, m, static_cast<Id>(x));
    out += m;
  }
  if (changed) {
    if (slot.length & LONG_FLAG) long_live_ -= length - out;
    slot.length = static_cast<std::uint32_t>(out) | (slot.length & LONG_FLAG);
    ++rewrites_;
  }
}

// The gathered sides into |changes|: (p, a) lost and (p, x) gained for each
// token p before a run, (b, n) and (x, n) for each n after one, and the pairs
// within runs.
template <class Id>
void WordSlots<Id>::fold_sides(Pair pair, TokenId x, PairChanges& changes) {
  const auto fold = [&](Pair lost, Pair gained, const PairChange& side) {
    changes[lost].lost += side.lost;
    PairChange& to = changes[gained];
    to.gained += side.gained;
    splice_front(to.gained_by, side.gained_by);
  };
  for (const TokenId p : touched_before_) {
    fold({p, pair.left}, {p, x}, before_[p].change);
    before_[p] = Side{};
  }
  for (const TokenId n : touched_after_) {
    fold({pair.right, n}, {x, n}, after_[n].change);
    after_[n] = Side{};
  }
  touched_before_.clear();
  touched_after_.clear();
  if (run_lost_ab_ != 0) changes[pair].lost += run_lost_ab_;
  if (run_lost_ba_ != 0) changes[Pair{pair.right, pair.left}].lost += run_lost_ba_;
  if (!run_xx_.gained_by.empty()) fold({x, x}, {x, x}, run_xx_);
  run_lost_ab_ = 0;
  run_lost_ba_ = 0;
  run_xx_ = PairChange{};
}

template <class Id>
void WordSlots<Id>::compact_long_ids() {
  std::size_t live = 0;
  for (const Slot& slot : slots_) {
    if ((slot.length & LONG_FLAG) && length_of(slot) > INLINE) live += length_of(slot);
  }
  HugeVector<Id> kept;
  kept.reserve(live);
  for (Slot& slot : slots_) {
    if (!(slot.length & LONG_FLAG)) continue;
    const Id* ids = ids_of(slot);
    const std::size_t n = length_of(slot);
    if (n <= INLINE) {
      std::copy_n(ids, n, slot.ids);
      slot.length = static_cast<std::uint32_t>(n);
    } else {
      const std::size_t offset = kept.size();
      std::memcpy(slot.ids, &offset, sizeof offset);
      kept.insert(kept.end(), ids, ids + n);
    }
  }
  long_ids_.swap(kept);
  long_live_ = live;
}

template class WordSlots<std::uint16_t>;
template class WordSlots<TokenId>;

}  // namespace ovilex
