#include "positional_words.h"

#include <algorithm>
#include <iterator>

namespace ovilex {

std::uint64_t PositionalWords::freq_at(std::uint32_t p) const {
  const auto after = std::upper_bound(words_.begin(), words_.end(), p,
                                      [](std::uint32_t q, const LongWord& w) { return q < w.start; });
  return std::prev(after)->freq;
}

void PositionalWords::merge(Pair pair, TokenId x, PairChanges& changes) {
  const TokenId a = pair.left;
  const TokenId b = pair.right;
  index_.merge(Merge{a, b, x}, [&](const PositionIndex::Occurrence& o) {
    const std::uint64_t freq = freq_at(o.at);
    if (o.before != nullptr) {
      changes[Pair{o.before->id, a}].lost += freq;
      changes[Pair{o.before->id, x}].gained += freq;
    }
    changes[pair].lost += freq;
    if (o.after != nullptr) {
      changes[Pair{b, o.after->id}].lost += freq;
      changes[Pair{x, o.after->id}].gained += freq;
    }
  });
}

}  // namespace ovilex
