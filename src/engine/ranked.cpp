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

std::string_view view(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::optional<std::string> RankedMerges::vocab_problem(const VocabList& vocab) {
  std::array<bool, 256> seen{};
  BytesMap first;
  first.reserve(vocab.size());
  for (const TokenId id : vocab.ids()) {
    const auto bytes = *vocab.find(id);
    if (bytes.size() == 1) seen[bytes[0]] = true;
    const auto [it, fresh] = first.try_emplace(view(bytes), id);
    if (!fresh) {
      return "ids " + std::to_string(it->second) + " and " + std::to_string(id) +
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

RankedMerges::BytesMap RankedMerges::ids_by_bytes(const VocabList& vocab) {
  BytesMap ids;
  ids.reserve(vocab.size());
  for (const TokenId id : vocab.ids()) ids.try_emplace(view(*vocab.find(id)), id);
  return ids;
}

RankedMerges::RankedMerges(const VocabList& vocab, bool whole_chunks) {
  for (const TokenId id : vocab.ids()) {
    const auto bytes = *vocab.find(id);
    if (bytes.size() == 1) byte_ids_[bytes[0]] = id;
  }
  if (whole_chunks) whole_ = ids_by_bytes(vocab);
}

RankedMerges RankedMerges::by_position(std::span<const Merge> merges, const VocabList& vocab,
                                       bool whole_chunks) {
  RankedMerges ranked(vocab, whole_chunks);
  ranked.pairs_.reserve(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    ranked.pairs_.insert_or_assign(merges[i].pair().key(),
                                   Step{static_cast<std::uint32_t>(i), merges[i].new_id});
  }
  return ranked;
}

RankedMerges RankedMerges::by_token(const VocabList& vocab, bool whole_chunks) {
  RankedMerges ranked(vocab, whole_chunks);
  const std::vector<TokenId> ids = vocab.ids();
  ranked.pairs_.reserve(3 * ids.size());  // about 2.2 a token in the published files
  if (ranked.pairs_by_prefix_hashes(vocab, ids)) return ranked;
  // Two tokens share a hash: each split looked up by its bytes instead.
  ranked.pairs_.clear();
  const BytesMap by_bytes = ids_by_bytes(vocab);
  for (const TokenId id : ids) {
    const std::string_view bytes = view(*vocab.find(id));
    for (std::size_t k = 1; k < bytes.size(); ++k) {
      const auto left = by_bytes.find(bytes.substr(0, k));
      if (left == by_bytes.end()) continue;
      const auto right = by_bytes.find(bytes.substr(k));
      if (right == by_bytes.end()) continue;
      ranked.pairs_.try_emplace(Pair{left->second, right->second}.key(), Step{id, id});
    }
  }
  return ranked;
}

bool RankedMerges::pairs_by_prefix_hashes(const VocabList& vocab, std::span<const TokenId> ids) {
  // A token's key is the polynomial hash of its bytes (each plus one, so
  // that leading zero bytes count) mixed with its length. From the hashes
  // of a token's prefixes, that of each suffix follows in one step, so a
  // token's splits cost one step each, not a hash of their bytes. Keys
  // found are checked against the bytes; two tokens of one key make the
  // caller fall back to hashing bytes.
  constexpr std::uint64_t BASE = 0x100000001B3ULL * 2 + 1;
  const auto key = [](std::uint64_t hash, std::size_t size) {
    return hash ^ (std::uint64_t{size} * 0x9E3779B97F4A7C15ULL);
  };
  boost::unordered_flat_map<std::uint64_t, TokenId, KeyedHash> by_key;
  by_key.reserve(ids.size());
  std::size_t longest = 0;
  for (const TokenId id : ids) {
    const auto bytes = *vocab.find(id);
    longest = std::max(longest, bytes.size());
    std::uint64_t h = 0;
    for (const std::uint8_t b : bytes) h = h * BASE + b + 1;
    if (!by_key.try_emplace(key(h, bytes.size()), id).second) return false;
  }
  std::vector<std::uint64_t> powers(longest + 1, 1);
  for (std::size_t i = 1; i <= longest; ++i) powers[i] = powers[i - 1] * BASE;
  // The token whose key a part of a token has, if any: the part itself
  // unless two byte strings share the key, which is_part checks once a
  // split's two sides are both found.
  const auto token_of = [&](std::uint64_t hash, std::size_t size) -> std::optional<TokenId> {
    const auto it = by_key.find(key(hash, size));
    if (it == by_key.end()) return std::nullopt;
    return it->second;
  };
  const auto is_part = [&](TokenId id, const std::uint8_t* part) {
    const auto bytes = *vocab.find(id);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != part[i]) return false;
    }
    return true;
  };
  std::vector<std::uint64_t> prefix(longest + 1);
  for (const TokenId id : ids) {
    const auto bytes = *vocab.find(id);
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] * BASE + bytes[i] + 1;
    // A single byte is its own token: no lookup.
    for (std::size_t k = 1; k < n; ++k) {
      const bool left_byte = k == 1;
      const bool right_byte = k == n - 1;
      const auto left = left_byte ? byte_ids_[bytes[0]] : token_of(prefix[k], k);
      if (!left) continue;
      const auto right = right_byte ? byte_ids_[bytes[k]]
                                    : token_of(prefix[n] - prefix[k] * powers[n - k], n - k);
      if (!right) continue;
      if ((!left_byte && !is_part(*left, bytes.data())) ||
          (!right_byte && !is_part(*right, bytes.data() + k))) {
        continue;
      }
      pairs_.try_emplace(Pair{*left, *right}.key(), Step{id, id});
    }
  }
  return true;
}

std::size_t RankedMerges::encode(std::string_view chunk, TokenId* out) const {
  if (!whole_.empty() && chunk.size() > 1) {
    if (const auto it = whole_.find(chunk); it != whole_.end()) {
      *out = it->second;
      return 1;
    }
  }
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    out[i] = byte_ids_[static_cast<unsigned char>(chunk[i])];
  }
  return merge(out, chunk.size());
}

std::size_t RankedMerges::merge(TokenId* ids, std::size_t n, std::uint32_t limit) const {
  return n <= SCAN_MAX ? merge_short(ids, n, limit) : merge_long(ids, n, limit);
}

std::size_t RankedMerges::merge_short(TokenId* ids, std::size_t n, std::uint32_t limit) const {
  if (n < 2) return n;
  // steps[i]: the pair at i, whose rank is NO_RANK when it has none.
  std::array<Step, SCAN_MAX> steps;
  const auto step_at = [&](std::size_t i) {
    const auto s = step(ids[i], ids[i + 1]);
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
    --n;
    if (n < 2) break;
    if (best + 1 < n) steps[best] = step_at(best);
    if (best > 0) steps[best - 1] = step_at(best - 1);
  }
  return n;
}

std::size_t RankedMerges::merge_long(TokenId* ids, std::size_t n, std::uint32_t limit) const {
  constexpr std::uint32_t END = UINT32_MAX;
  if (n >= END) throw std::length_error("chunk too long");
  // The ids left form a list through next and prev; a merged-away id is
  // marked dead. A heap entry is a pair's rank and its left position, so
  // the lowest rank comes first and the leftmost of equals; an entry whose
  // pair has changed since is passed over.
  std::vector<std::uint32_t> next(n);
  std::vector<std::uint32_t> prev(n);
  std::vector<bool> dead(n, false);
  for (std::uint32_t i = 0; i < n; ++i) {
    next[i] = i + 1 < n ? i + 1 : END;
    prev[i] = i > 0 ? i - 1 : END;
  }
  std::priority_queue<std::uint64_t, std::vector<std::uint64_t>, std::greater<>> heap;
  const auto push = [&](std::uint32_t i) {
    if (next[i] == END) return;
    if (const auto s = step(ids[i], ids[next[i]]); s && s->rank < limit) {
      heap.push(std::uint64_t{s->rank} << 32 | i);
    }
  };
  for (std::uint32_t i = 0; i + 1 < n; ++i) push(i);
  while (!heap.empty()) {
    const std::uint64_t top = heap.top();
    heap.pop();
    const auto i = static_cast<std::uint32_t>(top);
    if (dead[i] || next[i] == END) continue;
    const auto s = step(ids[i], ids[next[i]]);
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
    if (merge(ids.data(), ids.size(), id) == 2) merges.push_back({ids[0], ids[1], id});
  }
  return merges;
}

}  // namespace ovilex::engine
