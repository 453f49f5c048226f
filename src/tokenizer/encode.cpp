#include "encode.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace ovilex {

MergeIndex::MergeIndex(std::span<const Merge> merges) : merges_(merges) {
  if (merges.size() >= NONE) throw std::length_error("merge list too long");
  // (pair key, position) sorted gives each pair's positions as one ascending run.
  std::vector<std::uint64_t> keyed(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    keyed[i] = (std::uint64_t{merges[i].pair().key()} << 32) | i;
  }
  std::sort(keyed.begin(), keyed.end());
  positions_.resize(keyed.size());
  ranges_.reserve(keyed.size());
  std::size_t i = 0;
  while (i < keyed.size()) {
    const auto key = static_cast<std::uint32_t>(keyed[i] >> 32);
    const auto begin = static_cast<std::uint32_t>(i);
    for (; i < keyed.size() && static_cast<std::uint32_t>(keyed[i] >> 32) == key; ++i) {
      positions_[i] = static_cast<std::uint32_t>(keyed[i]);
    }
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
  const auto merges = index.merges();
  std::size_t n = word.size();
  std::uint32_t from = 0;
  while (n >= 2) {
    std::uint32_t best = MergeIndex::NONE;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      best = std::min(best, index.next({word[i], word[i + 1]}, from));
    }
    if (best == MergeIndex::NONE) break;
    const Merge& m = merges[best];
    n = merge_word_in_place(word.first(n), m.pair(), m.new_id);
    from = best + 1;
  }
  return n;
}

namespace {

// The word as a doubly linked list over its original positions, with an
// index from each pair to the positions where it may start. The index holds
// stale positions (the pair there has changed since) until they are looked
// at; every position where a pair does start is in that pair's list.
class LinkedWord {
 public:
  static constexpr std::uint32_t END = UINT32_MAX;

  explicit LinkedWord(std::span<const TokenId> word) : ids_(word.begin(), word.end()) {
    const auto n = static_cast<std::uint32_t>(word.size());
    next_.resize(n);
    prev_.resize(n);
    alive_.assign(n, 1);
    for (std::uint32_t i = 0; i < n; ++i) {
      next_[i] = i + 1 < n ? i + 1 : END;
      prev_[i] = i > 0 ? i - 1 : END;
    }
    for (std::uint32_t i = 0; i + 1 < n; ++i) at_[Pair{ids_[i], ids_[i + 1]}.key()].push_back(i);
  }

  // merge_word on the list: the occurrences present before the pass, left to
  // right, skipping one whose first position an earlier one has consumed.
  void apply(const Merge& m) {
    const auto found = at_.find(m.pair().key());
    if (found == at_.end()) return;
    std::vector<std::uint32_t> starts = std::move(found->second);
    at_.erase(found);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    for (const std::uint32_t x : starts) {
      // Positions after x keep the ids they had before the pass, so this
      // check sees the old word, as merge_word's scan does.
      if (!alive_[x] || next_[x] == END) continue;
      const std::uint32_t y = next_[x];
      if (ids_[x] != m.left || ids_[y] != m.right) continue;
      ids_[x] = m.new_id;
      alive_[y] = 0;
      next_[x] = next_[y];
      if (next_[y] != END) prev_[next_[y]] = x;
      // New pairs go to fresh lists: this pass must not see them.
      if (prev_[x] != END) at_[Pair{ids_[prev_[x]], m.new_id}.key()].push_back(prev_[x]);
      if (next_[x] != END) at_[Pair{m.new_id, ids_[next_[x]]}.key()].push_back(x);
    }
  }

  bool has_pairs() const noexcept { return !at_.empty(); }

  std::size_t write(std::span<TokenId> out) const noexcept {
    std::size_t w = 0;
    for (std::uint32_t i = ids_.empty() ? END : 0; i != END; i = next_[i]) out[w++] = ids_[i];
    return w;
  }

 private:
  std::vector<TokenId> ids_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint8_t> alive_;
  boost::unordered_flat_map<std::uint32_t, std::vector<std::uint32_t>, KeyedHash> at_;
};

// Long words go through the linked list once the short path's cost (about
// length squared) would pass the long path's (about the list's length).
bool prefers_long_path(std::size_t length, std::size_t merges) noexcept {
  return length > 64 && length * length > merges;
}

}  // namespace

std::size_t encode_word_long(std::span<TokenId> word, const MergeIndex& index) {
  if (word.size() >= LinkedWord::END) throw std::length_error("word too long");
  LinkedWord linked(word);
  for (const Merge& m : index.merges()) {
    if (!linked.has_pairs()) break;
    linked.apply(m);
  }
  return linked.write(word);
}

std::vector<TokenId> encode(const ChunkList& chunks, std::span<const Merge> merges) {
  const MergeIndex index(merges);
  // Merges only shrink words, so the bytes bound the output.
  std::vector<TokenId> out;
  out.reserve(chunks.total_bytes());
  // Identical chunks are encoded once: a repeat copies the ids that its
  // first occurrence left in |out|.
  struct Slot {
    std::size_t begin;
    std::size_t size;
  };
  boost::unordered_flat_map<std::string_view, Slot, KeyedHash> seen;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::string_view chunk = chunks[c];
    if (chunk.empty()) continue;
    const auto [it, fresh] = seen.try_emplace(chunk, Slot{out.size(), 0});
    if (!fresh) {
      const Slot s = it->second;
      const std::size_t at = out.size();
      out.resize(at + s.size);
      std::copy_n(out.data() + s.begin, s.size, out.data() + at);
      continue;
    }
    const std::size_t begin = out.size();
    out.resize(begin + chunk.size());
    std::transform(chunk.begin(), chunk.end(), out.begin() + static_cast<std::ptrdiff_t>(begin),
                   [](char b) { return static_cast<TokenId>(static_cast<unsigned char>(b)); });
    const auto word = std::span<TokenId>(out).subspan(begin);
    const std::size_t n = prefers_long_path(word.size(), merges.size())
                              ? encode_word_long(word, index)
                              : encode_word_short(word, index);
    out.resize(begin + n);
    it->second.size = n;
  }
  return out;
}

}  // namespace ovilex
