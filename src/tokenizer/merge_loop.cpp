#include "merge_loop.h"

#include "types.h"

namespace ovilex {

template <class Id>
void MergeLoop<Id>::index(const PairFreqs& freqs) {
  pairs_.reserve(freqs.size());
  for (const auto& [pair, freq] : freqs) pairs_.emplace(pair, Entry{freq, {}});
  for (std::uint32_t w = 0; w < slots_.size(); ++w) {
    const std::span<const Id> ids = slots_.ids(w);
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
      // Counts from elsewhere may lack a pair; rewriting the word then fails.
      const auto it = pairs_.find(Pair{ids[i], ids[i + 1]});
      if (it != pairs_.end()) slots_.note(it->second.words, w);
    }
  }
  positional_.index();
  build_heap();
}

template <class Id>
void MergeLoop<Id>::count_and_index() {
  for (std::uint32_t w = 0; w < slots_.size(); ++w) {
    const std::span<const Id> ids = slots_.ids(w);
    const std::uint64_t freq = slots_.freq(w);
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
      Entry& entry = pairs_[Pair{ids[i], ids[i + 1]}];
      entry.freq += freq;
      slots_.note(entry.words, w);
    }
  }
  positional_.for_each_pair([&](Pair pair, std::uint64_t freq) { pairs_[pair].freq += freq; });
  positional_.index();
  build_heap();
}

// The heap holds only pairs that may be chosen (selectable); this keeps the
// selection exact, as the rest could never be.
template <class Id>
void MergeLoop<Id>::build_heap() {
  heap_.reserve(pairs_.size());
  for (const auto& [pair, entry] : pairs_) {
    if (selectable(pair, entry.freq)) heap_.push_back({entry.freq, pair.left, pair.right});
  }
  std::make_heap(heap_.begin(), heap_.end());
}

template <class Id>
std::vector<Merge> MergeLoop<Id>::run() {
  std::vector<Merge> merges;
  while (merges.size() < limits_.max_merges && !pairs_.empty()) {
    const std::optional<HeapEntry> best = pop_current();
    if (!best || best->freq < limits_.min_frequency) break;
    const Pair pair{best->left, best->right};
    const auto new_id = static_cast<TokenId>(FIRST_MERGE_ID + merges.size());
    if (!token_bytes_.empty()) {
      token_bytes_.push_back(static_cast<std::uint32_t>(token_bytes(pair.left) + token_bytes(pair.right)));
    }
    merge(pair, new_id, static_cast<std::uint32_t>(merges.size()));
    merges.push_back({pair.left, pair.right, new_id});
  }
  return merges;
}

// The heap holds stale entries until they surface: an entry is current only
// while its pair still has exactly that frequency.
template <class Id>
std::optional<typename MergeLoop<Id>::HeapEntry> MergeLoop<Id>::pop_current() {
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end());
    const HeapEntry top = heap_.back();
    heap_.pop_back();
    const auto it = pairs_.find(Pair{top.left, top.right});
    if (it != pairs_.end() && it->second.freq == top.freq) return top;
  }
  return std::nullopt;
}

template <class Id>
void MergeLoop<Id>::push_candidate(const HeapEntry& entry) {
  if (heap_.size() == heap_.capacity()) {
    drop_stale_entries();
    // Still more than half full: grow now, so that the next sweep waits for
    // as many pushes as this one cleared the way for.
    if (2 * heap_.size() > heap_.capacity()) heap_.reserve(2 * heap_.capacity());
  }
  heap_.push_back(entry);
  std::push_heap(heap_.begin(), heap_.end());
}

// Most of the heap is stale by the time it fills (over half on a large
// corpus), so before it grows the stale entries go; the pops are the same.
template <class Id>
void MergeLoop<Id>::drop_stale_entries() {
  std::erase_if(heap_, [&](const HeapEntry& e) {
    const auto it = pairs_.find(Pair{e.left, e.right});
    return it == pairs_.end() || it->second.freq != e.freq;
  });
  std::make_heap(heap_.begin(), heap_.end());
}

template <class Id>
void MergeLoop<Id>::merge(Pair pair, TokenId x, std::uint32_t step) {
  const auto found = pairs_.find(pair);
  if (found != pairs_.end()) slots_.merge(found->second.words, pair, x, step, changes_);
  if (!positional_.empty()) positional_.merge(pair, x, changes_);
  // The frequencies take the whole old contribution of every rewritten word
  // away and add the new one. Sums commute, so the order of the changes does
  // not matter.
  for (auto& [changed, change] : changes_) {
    auto it = pairs_.find(changed);
    // A pair new in this merge may lose within it (a run of occurrences in a
    // long word is merged one at a time), never more than it gained.
    if (it == pairs_.end() && change.lost > change.gained) {
      fail_internal("pair frequency must exist before merge update");
    }
    if (it == pairs_.end()) it = pairs_.emplace(changed, Entry{}).first;
    Entry& entry = it->second;
    entry.freq = entry.freq - change.lost + change.gained;
    if (entry.freq == 0) {
      slots_.release(entry.words);
      slots_.release(change.gained_by);
      pairs_.erase(it);
      positional_.forget(changed);
      continue;
    }
    slots_.splice_front(entry.words, change.gained_by);
    if (change.lost != change.gained && selectable(changed, entry.freq)) {
      push_candidate({entry.freq, changed.left, changed.right});
    }
  }
  changes_.clear();
}

template class MergeLoop<std::uint16_t>;
template class MergeLoop<TokenId>;

}  // namespace ovilex
