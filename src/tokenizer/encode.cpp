#include "encode.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "positions.h"

namespace ovilex {

MergeIndex::MergeIndex(std::span<const Merge> merges) : merges_(merges) {
  if (merges.size() >= NONE) throw std::length_error("merge list too long");
  // Most lists (every one that training makes) name each pair once: then
  // each pair's run is its own position.
  ranges_.reserve(merges.size());
  positions_.resize(merges.size());
  bool once = true;
  for (std::uint32_t i = 0; i < merges.size() && once; ++i) {
    positions_[i] = i;
    once = ranges_.try_emplace(merges[i].pair().key(), Range{i, i + 1}).second;
  }
  if (once) return;
  ranges_.clear();
  // (pair key, position) sorted gives each pair's positions as one ascending run.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    keyed[i] = {merges[i].pair().key(), static_cast<std::uint32_t>(i)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::size_t i = 0;
  while (i < keyed.size()) {
    const std::uint64_t key = keyed[i].first;
    const auto begin = static_cast<std::uint32_t>(i);
    for (; i < keyed.size() && keyed[i].first == key; ++i) positions_[i] = keyed[i].second;
    ranges_.emplace(key, Range{begin, static_cast<std::uint32_t>(i)});
  }
}

std::uint32_t MergeIndex::next_in(Range r, std::uint32_t from) const noexcept {
  const std::uint32_t* first = positions_.data() + r.begin;
  const std::uint32_t* last = positions_.data() + r.end;
  if (last - first == 1) return *first >= from ? *first : NONE;
  const std::uint32_t* it = std::lower_bound(first, last, from);
  return it == last ? NONE : *it;
}

std::size_t encode_word_short(std::span<TokenId> word, const MergeIndex& index) {
  // next[i]: the first merge at or after |from| that names the pair at i.
  // A merge changes only the pairs beside the occurrences it replaces; every
  // other pair keeps its entry, which lies past the merge just applied (that
  // merge's own pair is left nowhere the merge did not touch).
  constexpr std::uint32_t STALE = MergeIndex::NONE - 1;
  const auto merges = index.merges();
  std::size_t n = word.size();
  if (n < 2) return n;
  thread_local std::vector<std::uint32_t> next;
  next.resize(n);
  for (std::size_t i = 0; i + 1 < n; ++i) next[i] = index.next({word[i], word[i + 1]}, 0);
  for (;;) {
    std::uint32_t best = MergeIndex::NONE;
    for (std::size_t i = 0; i + 1 < n; ++i) best = std::min(best, next[i]);
    if (best == MergeIndex::NONE) break;
    const Merge& m = merges[best];
    // merge_word in place, carrying each kept pair's entry along.
    std::size_t r = 0;
    std::size_t w = 0;
    while (r < n) {
      if (r + 1 < n && word[r] == m.left && word[r + 1] == m.right) {
        word[w] = m.new_id;
        next[w] = STALE;
        if (w > 0) next[w - 1] = STALE;
        r += 2;
      } else {
        word[w] = word[r];
        next[w] = next[r];
        r += 1;
      }
      ++w;
    }
    n = w;
    if (n < 2) break;
    const std::uint32_t from = best + 1;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      if (next[i] == STALE) next[i] = index.next({word[i], word[i + 1]}, from);
    }
  }
  return n;
}

namespace {

// Long words go through the position index once the short path's cost (about
// length squared) would pass the long path's (about the list's length).
bool prefers_long_path(std::size_t length, std::size_t merges) noexcept {
  return length > 64 && length * length > merges;
}

// Every merge of the list applied to |word| (ids, or a chunk's bytes) through
// the position index; fn(id) for each final id. The index is all the room it
// takes: eight bytes per id of the word, and the pairs' start lists.
template <class Ids, class Fn>
void merge_through_positions(const Ids& word, const MergeIndex& index, Fn&& fn) {
  if (word.size() > PositionIndex::MAX_POSITIONS) throw std::length_error("word too long");
  PositionIndex positions;
  positions.reserve(word.size());
  const std::uint32_t start = positions.add_word(word);
  positions.index_pairs();
  for (const Merge& m : index.merges()) {
    if (!positions.has_pairs()) break;
    positions.merge(m, [](const PositionIndex::Occurrence&) {});
  }
  if (!word.empty()) positions.for_each_id(start, fn);
}

}  // namespace

std::size_t encode_word_long(std::span<TokenId> word, const MergeIndex& index) {
  std::size_t n = 0;
  merge_through_positions(word, index, [&](TokenId id) { word[n++] = id; });
  return n;
}

std::size_t encode_word(std::span<TokenId> word, const MergeIndex& index) {
  return prefers_long_path(word.size(), index.merges().size()) ? encode_word_long(word, index)
                                                               : encode_word_short(word, index);
}

void encode_bytes(std::string_view chunk, const MergeIndex& index, std::vector<TokenId>& out) {
  if (prefers_long_path(chunk.size(), index.merges().size())) {
    merge_through_positions(chunk, index, [&](TokenId id) { out.push_back(id); });
    return;
  }
  const std::size_t begin = out.size();
  out.resize(begin + chunk.size());
  const auto word = std::span<TokenId>(out).subspan(begin);
  widen_bytes(chunk, word.data());
  out.resize(begin + encode_word_short(word, index));
}

std::vector<TokenId> encode(const ChunkList& chunks, std::span<const Merge> merges) {
  const MergeIndex index(merges);
  // Each distinct chunk is encoded once, into |encoded|; merges only shrink
  // a word, so its bytes bound its ids.
  const ChunkInterner& distinct = chunks.distinct();
  std::vector<TokenId> encoded;
  std::vector<std::size_t> ends(distinct.size());
  for (std::uint32_t d = 0; d < distinct.size(); ++d) {
    const std::string_view chunk = distinct[d];
    const std::size_t begin = encoded.size();
    encoded.resize(begin + chunk.size());
    widen_bytes(chunk, encoded.data() + begin);
    const auto word = std::span<TokenId>(encoded).subspan(begin);
    const std::size_t n = encode_word(word, index);
    encoded.resize(begin + n);
    ends[d] = encoded.size();
  }
  const auto begin_of = [&](std::uint32_t d) { return d == 0 ? std::size_t{0} : ends[d - 1]; };

  std::size_t total = 0;
  for (const std::uint32_t d : chunks.order()) total += ends[d] - begin_of(d);
  std::vector<TokenId> out(total);
  TokenId* at = out.data();
  for (const std::uint32_t d : chunks.order()) {
    at = std::copy(encoded.data() + begin_of(d), encoded.data() + ends[d], at);
  }
  return out;
}

}  // namespace ovilex
