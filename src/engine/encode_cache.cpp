#include "encode_cache.h"

#include <stdexcept>

namespace ovilex::engine {

void ChunkIds::add(std::string_view chunk, std::span<const TokenId> ids) {
  const std::size_t seen = chunks_.size();
  if (chunks_.intern(chunk) != seen) return;
  if (ids_.size() + ids.size() > UINT32_MAX) throw std::length_error("too many cached ids");
  ids_.insert(ids_.end(), ids.begin(), ids.end());
  ends_.push_back(static_cast<std::uint32_t>(ids_.size()));
}

bool EncodeCache::find_pending(std::string_view chunk, std::vector<TokenId>& out) const {
  const Shard& shard = shard_of(chunk);
  const std::lock_guard held(shard.lock);
  const auto ids = shard.chunks.find(chunk);
  if (!ids) return false;
  out.insert(out.end(), ids->begin(), ids->end());
  pending_hits_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void EncodeCache::insert(std::string_view chunk, std::span<const TokenId> ids) {
  if (snapshot_size_.load(std::memory_order_relaxed) + pending_.load(std::memory_order_relaxed) >=
      capacity_) {
    return;
  }
  Shard& shard = shard_of(chunk);
  const std::lock_guard held(shard.lock);
  const std::size_t before = shard.chunks.size();
  shard.chunks.add(chunk, ids);
  if (shard.chunks.size() != before) pending_.fetch_add(1, std::memory_order_relaxed);
}

EncodeCache::Snapshot EncodeCache::refresh() {
  const std::size_t due =
      std::max(MIN_MERGE, snapshot_size_.load(std::memory_order_relaxed) / 4);
  if (pending_.load(std::memory_order_relaxed) >= due ||
      (pending_hits_.load(std::memory_order_relaxed) >= due &&
       pending_.load(std::memory_order_relaxed) > 0)) {
    merge();
  }
  return snapshot();
}

void EncodeCache::merge() {
  // One thread merges; the others go on with the snapshot they have.
  const std::unique_lock merging(merging_, std::try_to_lock);
  if (!merging.owns_lock()) return;
  const Snapshot old = snapshot();
  auto next = std::make_shared<ChunkIds>();
  old->for_each([&](std::string_view chunk, std::span<const TokenId> ids) { next->add(chunk, ids); });
  for (Shard& shard : shards_) {
    ChunkIds taken;
    {
      const std::lock_guard held(shard.lock);
      std::swap(taken, shard.chunks);
    }
    pending_.fetch_sub(taken.size(), std::memory_order_relaxed);
    taken.for_each([&](std::string_view chunk, std::span<const TokenId> ids) { next->add(chunk, ids); });
  }
  pending_hits_.store(0, std::memory_order_relaxed);
  snapshot_size_.store(next->size(), std::memory_order_relaxed);
  snapshot_.store(std::move(next), std::memory_order_release);
}

std::size_t EncodeCache::size() const {
  std::size_t total = snapshot()->size();
  for (const Shard& shard : shards_) {
    const std::lock_guard held(shard.lock);
    total += shard.chunks.size();
  }
  return total;
}

}  // namespace ovilex::engine
