#include "ranked.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <queue>
#include <stdexcept>

namespace ovilex::engine {

namespace {

// Chunks up to this long merge by scanning every pair for each merge (as
// tiktoken does); longer ones through a heap (as Hugging Face's BPE does),
// which keeps a long run of one byte from costing its length squared.
constexpr std::size_t SCAN_MAX = 128;

}  // namespace

std::optional<std::string> RankedMerges::vocab_problem(const VocabList& vocab) {
  std::array<bool, 256> seen{};
  TokenKeys first(vocab.size());
  for (const TokenId id : vocab.ids()) {
    const auto bytes = *vocab.find(id);
    if (bytes.size() == 1) seen[bytes[0]] = true;
    if (const auto other = first.insert(bytes, id)) {
      return "ids " + std::to_string(*other) + " and " + std::to_string(id) +
             " both stand for the same bytes";
    }
  }
  for (unsigned b = 0; b < 256; ++b) {
    if (seen[b]) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", b);
    return std::string("no id stands for the byte ") + hex;
  }
  return std::nullopt;
}

namespace {

// Every token of |vocab| by its bytes.
TokenKeys keys_of(const VocabList& vocab) {
  TokenKeys keys(vocab.size());
  for (const TokenId id : vocab.ids()) keys.insert(*vocab.find(id), id);
  return keys;
}

}  // namespace

RankedMerges::RankedMerges(const VocabList& vocab, bool whole_chunks)
    : whole_chunks_(whole_chunks) {
  for (const TokenId id : vocab.ids()) {
    const auto bytes = *vocab.find(id);
    if (bytes.size() == 1) byte_ids_[bytes[0]] = id;
  }
}

RankedMerges RankedMerges::by_position(std::span<const Merge> merges, const VocabList& vocab,
                                       bool whole_chunks) {
  RankedMerges ranked(vocab, whole_chunks);
  if (whole_chunks) ranked.tokens_ = keys_of(vocab);
  ranked.pairs_.reserve(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    ranked.pairs_.insert_or_assign(merges[i].pair().key(),
                                   Step{static_cast<std::uint32_t>(i), merges[i].new_id});
  }
  return ranked;
}

RankedMerges RankedMerges::by_token(const VocabList& vocab, bool whole_chunks,
                                    std::optional<TokenKeys> keys) {
  RankedMerges ranked(vocab, whole_chunks);
  ranked.tokens_ = keys ? std::move(keys) : keys_of(vocab);
  ranked.by_token_ = true;
  for (const TokenId id : vocab.ids()) {
    ranked.longest_ = std::max(ranked.longest_, vocab.find(id)->size());
  }
  // Every power a lookup needs, so that none is added while threads encode.
  ranked.tokens_->power(ranked.longest_);
  return ranked;
}

std::size_t RankedMerges::encode(std::string_view chunk, TokenId* out) const {
  if (whole_chunks_ && chunk.size() > 1) {
    if (const auto id = tokens_->find(chunk)) {
      *out = *id;
      return 1;
    }
  }
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    out[i] = byte_ids_[static_cast<unsigned char>(chunk[i])];
  }
  return merge(chunk, out);
}

std::optional<RankedMerges::Step> RankedMerges::joined(const char* bytes,
                                                       const std::uint64_t* prefix,
                                                       std::size_t begin,
                                                       std::size_t end) const noexcept {
  const std::size_t size = end - begin;
  if (size > longest_) return std::nullopt;
  const TokenKeys::Slot* slot =
      tokens_->find(tokens_->suffix(prefix[end], prefix[begin], size),
                    reinterpret_cast<const std::uint8_t*>(bytes) + begin, size);
  if (slot == nullptr) return std::nullopt;
  return Step{slot->id, slot->id};
}

std::size_t RankedMerges::merge(std::string_view bytes, TokenId* ids,
                                std::uint32_t limit) const {
  const std::size_t n = bytes.size();
  if (by_token_) {
    return n <= SCAN_MAX ? merge_short<true>(bytes, ids, n, limit)
                         : merge_long<true>(bytes, ids, n, limit);
  }
  return n <= SCAN_MAX ? merge_short<false>(bytes, ids, n, limit)
                       : merge_long<false>(bytes, ids, n, limit);
}

template <bool BY_TOKEN>
std::size_t RankedMerges::merge_short(std::string_view bytes, TokenId* ids, std::size_t n,
                                      std::uint32_t limit) const {
  if (n < 2) return n;
  // steps[i]: the pair at i, whose rank is NO_RANK when it has none. By
  // token, starts[i] is where part i begins in |bytes| (starts[n] its end),
  // and prefix[k] the hash of its first k bytes.
  std::array<Step, SCAN_MAX> steps;
  std::array<std::uint32_t, SCAN_MAX + 1> starts;
  std::array<std::uint64_t, SCAN_MAX + 1> prefix;
  if constexpr (BY_TOKEN) {
    prefix[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
      starts[i] = static_cast<std::uint32_t>(i);
      prefix[i + 1] = tokens_->extend(prefix[i], static_cast<std::uint8_t>(bytes[i]));
    }
    starts[n] = static_cast<std::uint32_t>(n);
  }
  const auto step_at = [&](std::size_t i) {
    std::optional<Step> s;
    if constexpr (BY_TOKEN) {
      s = joined(bytes.data(), prefix.data(), starts[i], starts[i + 2]);
    } else {
      const auto it = pairs_.find(Pair{ids[i], ids[i + 1]}.key());
      if (it != pairs_.end()) s = it->second;
    }
    return s && s->rank < limit ? *s : Step{NO_RANK, 0};
  };
  for (std::size_t i = 0; i + 1 < n; ++i) steps[i] = step_at(i);
  for (;;) {
    std::size_t best = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
      if (steps[i].rank < steps[best].rank) best = i;
    }
    if (steps[best].rank == NO_RANK) break;
    ids[best] = steps[best].result;
    for (std::size_t i = best + 1; i + 1 < n; ++i) ids[i] = ids[i + 1];
    for (std::size_t i = best + 1; i + 2 < n; ++i) steps[i] = steps[i + 1];
    if constexpr (BY_TOKEN) {
      for (std::size_t i = best + 1; i < n; ++i) starts[i] = starts[i + 1];
    }
    --n;
    if (n < 2) break;
    if (best + 1 < n) steps[best] = step_at(best);
    if (best > 0) steps[best - 1] = step_at(best - 1);
  }
  return n;
}

template <bool BY_TOKEN>
std::size_t RankedMerges::merge_long(std::string_view bytes, TokenId* ids, std::size_t n,
                                     std::uint32_t limit) const {
  constexpr std::uint32_t END = UINT32_MAX;
  if (n >= END) throw std::length_error("chunk too long");
  // The ids left form a list through next and prev; a merged-away id is
  // marked dead. A heap entry is a pair's rank and its left position, so
  // the lowest rank comes first and the leftmost of equals; an entry whose
  // pair has changed since is passed over. A part at position i begins at
  // byte i: parts only take in their right neighbours.
  std::vector<std::uint32_t> next(n);
  std::vector<std::uint32_t> prev(n);
  std::vector<bool> dead(n, false);
  std::vector<std::uint64_t> prefix;
  if constexpr (BY_TOKEN) {
    prefix.resize(n + 1);
    for (std::size_t i = 0; i < n; ++i) {
      prefix[i + 1] = tokens_->extend(prefix[i], static_cast<std::uint8_t>(bytes[i]));
    }
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    next[i] = i + 1 < n ? i + 1 : END;
    prev[i] = i > 0 ? i - 1 : END;
  }
  // The pair at i, whose right part is at next[i] (not END).
  const auto step_at = [&](std::uint32_t i) -> std::optional<Step> {
    if constexpr (BY_TOKEN) {
      const std::uint32_t after = next[next[i]];
      return joined(bytes.data(), prefix.data(), i, after == END ? n : after);
    } else {
      const auto it = pairs_.find(Pair{ids[i], ids[next[i]]}.key());
      if (it == pairs_.end()) return std::nullopt;
      return it->second;
    }
  };
  std::priority_queue<std::uint64_t, std::vector<std::uint64_t>, std::greater<>> heap;
  const auto push = [&](std::uint32_t i) {
    if (next[i] == END) return;
    if (const auto s = step_at(i); s && s->rank < limit) {
      heap.push(std::uint64_t{s->rank} << 32 | i);
    }
  };
  for (std::uint32_t i = 0; i + 1 < n; ++i) push(i);
  while (!heap.empty()) {
    const std::uint64_t top = heap.top();
    heap.pop();
    const auto i = static_cast<std::uint32_t>(top);
    if (dead[i] || next[i] == END) continue;
    const auto s = step_at(i);
    if (!s || s->rank != top >> 32) continue;
    const std::uint32_t gone = next[i];
    ids[i] = s->result;
    dead[gone] = true;
    next[i] = next[gone];
    if (next[i] != END) prev[next[i]] = i;
    if (prev[i] != END) push(prev[i]);
    push(i);
  }
  std::size_t kept = 0;
  for (std::uint32_t i = 0; i != END; i = next[i]) ids[kept++] = ids[i];
  return kept;
}

std::vector<Merge> RankedMerges::merges_by_rank(const VocabList& vocab) {
  return by_token(vocab, false).merges_of(vocab);
}

std::vector<Merge> RankedMerges::merges_of(const VocabList& vocab) const {
  std::vector<Merge> merges;
  std::vector<TokenId> ids;
  for (const TokenId id : vocab.ids()) {
    const auto bytes = *vocab.find(id);
    if (bytes.size() < 2) continue;
    ids.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) ids[i] = byte_ids_[bytes[i]];
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (merge(text, ids.data(), id) == 2) merges.push_back({ids[0], ids[1], id});
  }
  return merges;
}

}  // namespace ovilex::engine
