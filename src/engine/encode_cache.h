// Chunk -> ids for one compiled tokenizer, shared by every call and thread.
//
// Two levels. The snapshot is an immutable table that readers use without
// any lock. Chunks it lacks go to the pending level, sharded behind locks.
// Once the pending level holds a set share of the snapshot's size, a reader
// merges both into a new snapshot and publishes it atomically; readers still
// holding the old one keep it alive until they let go. The snapshot grows
// geometrically, so a chunk is copied a bounded number of times on average.
//
// Bounded: past |capacity| chunks nothing new is kept, so a stream of ever
// new text cannot grow the cache without end. The cache only remembers what
// encoding gave; it never changes a result.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/hash.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// Distinct chunks, each with its ids.
class ChunkIds {
 public:
  // The ids of |chunk|, if held.
  std::optional<std::span<const TokenId>> find(std::string_view chunk) const {
    return ids_of(chunks_.find(chunk));
  }
  // The same from the chunk's key (ChunkInterner::Key::of(chunk)).
  [[gnu::always_inline]] std::optional<std::span<const TokenId>> find(
      const ChunkInterner::Key& key) const {
    return ids_of(chunks_.find(key));
  }
  // Keeps |ids| for |chunk| unless it is held already.
  void add(std::string_view chunk, std::span<const TokenId> ids);
  std::size_t size() const noexcept { return chunks_.size(); }
  // fn(chunk, ids) for every chunk held.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::uint32_t d = 0; d < chunks_.size(); ++d) {
      fn(chunks_[d], std::span<const TokenId>(ids_.data() + ends_[d], ends_[d + 1] - ends_[d]));
    }
  }

 private:
  [[gnu::always_inline]] std::optional<std::span<const TokenId>> ids_of(
      std::optional<std::uint32_t> d) const {
    if (!d) return std::nullopt;
    return std::span<const TokenId>(ids_.data() + ends_[*d], ends_[*d + 1] - ends_[*d]);
  }

  ChunkInterner chunks_;
  std::vector<std::uint32_t> ends_{0};  // chunk d's ids: ids_[ends_[d], ends_[d + 1])
  std::vector<TokenId> ids_;
};

class EncodeCache {
 public:
  using Snapshot = std::shared_ptr<const ChunkIds>;

  explicit EncodeCache(std::size_t capacity) : capacity_(capacity) {}
  EncodeCache(const EncodeCache&) = delete;
  EncodeCache& operator=(const EncodeCache&) = delete;

  // The current snapshot, to look chunks up in without locks.
  Snapshot snapshot() const { return snapshot_.load(std::memory_order_acquire); }
  // Appends the ids of |chunk| from the pending level to |out|; false when
  // it is not there.
  bool find_pending(std::string_view chunk, std::vector<TokenId>& out) const;
  // Keeps |ids| for |chunk| in the pending level, room permitting.
  void insert(std::string_view chunk, std::span<const TokenId> ids);
  // Merges the pending level into a new snapshot when it is due (it holds,
  // or has answered, a set share of the snapshot's size) and no other
  // thread is merging; returns the snapshot to use from now on.
  Snapshot refresh();
  // Chunks held in both levels.
  std::size_t size() const;

 private:
  static constexpr std::size_t SHARDS = 16;
  // The pending level never waits for fewer chunks than this.
  static constexpr std::size_t MIN_MERGE = 256;
  struct Shard {
    mutable std::mutex lock;
    ChunkIds chunks;
  };
  Shard& shard_of(std::string_view chunk) const noexcept {
    return shards_[hash_bytes(chunk.data(), chunk.size(), key_) % SHARDS];
  }
  void merge();

  std::uint64_t key_ = process_hash_key();
  std::size_t capacity_;
  std::atomic<Snapshot> snapshot_{std::make_shared<const ChunkIds>()};
  std::atomic<std::size_t> snapshot_size_{0};
  std::atomic<std::size_t> pending_{0};
  // Lookups that the pending level answered since the last merge: chunks
  // in use that the snapshot lacks, which make a merge due as well.
  mutable std::atomic<std::size_t> pending_hits_{0};
  std::mutex merging_;
  mutable std::array<Shard, SHARDS> shards_;
};

}  // namespace ovilex::engine
