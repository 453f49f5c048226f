#include "types.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

namespace ovilex {

void VocabList::reserve(std::size_t entries, std::size_t bytes) {
  slots_.reserve(entries);
  bytes_.reserve(bytes);
}

VocabList::Slot& VocabList::slot(TokenId id) {
  // The table grows to hold an id while it stays within a few times the
  // entries; the sparse ids it then covers move into it.
  if (id >= slots_.size() && std::size_t{id} < 4 * count_ + 65536) {
    slots_.resize(std::size_t{id} + 1);
    boost::unordered::erase_if(sparse_, [&](const auto& entry) {
      if (entry.first > id) return false;
      slots_[entry.first] = entry.second;
      return true;
    });
  }
  Slot& s = id < slots_.size() ? slots_[id] : sparse_[id];
  if (s.begin == ABSENT) ++count_;
  return s;
}

void VocabList::set(TokenId id, std::span<const std::uint8_t> bytes) {
  // |bytes| may lie inside bytes_, which the append can move: go by offset.
  const std::uint8_t* base = bytes_.data();
  const bool inside = !bytes.empty() && bytes.data() >= base && bytes.data() < base + bytes_.size();
  const std::size_t from = inside ? static_cast<std::size_t>(bytes.data() - base) : 0;
  const std::size_t begin = bytes_.size();
  bytes_.resize(begin + bytes.size());
  if (!bytes.empty()) {
    const std::uint8_t* src = inside ? bytes_.data() + from : bytes.data();
    std::copy(src, src + bytes.size(), bytes_.data() + begin);
  }
  Slot& s = slot(id);
  s.begin = begin;
  s.size = bytes.size();
}

bool VocabList::set_concat(TokenId id, TokenId first, TokenId second) {
  const auto a = find(first);
  const auto b = find(second);
  if (!a || !b) return false;
  const std::size_t a_begin = static_cast<std::size_t>(a->data() - bytes_.data());
  const std::size_t b_begin = static_cast<std::size_t>(b->data() - bytes_.data());
  const std::size_t a_size = a->size();
  const std::size_t b_size = b->size();
  const std::size_t begin = bytes_.size();
  bytes_.resize(begin + a_size + b_size);
  std::copy_n(bytes_.data() + a_begin, a_size, bytes_.data() + begin);
  std::copy_n(bytes_.data() + b_begin, b_size, bytes_.data() + begin + a_size);
  Slot& s = slot(id);
  s.begin = begin;
  s.size = a_size + b_size;
  return true;
}

std::vector<TokenId> VocabList::ids() const {
  std::vector<TokenId> out;
  out.reserve(count_);
  for (std::size_t id = 0; id < slots_.size(); ++id) {
    if (slots_[id].begin != ABSENT) out.push_back(static_cast<TokenId>(id));
  }
  const std::size_t dense = out.size();
  for (const auto& [id, s] : sparse_) out.push_back(id);
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(dense), out.end());
  return out;
}

std::uint32_t ChunkInterner::add(std::string_view chunk, const Key& probe) {
  if (views_.size() >= UINT32_MAX) throw std::length_error("too many distinct chunks");
  const auto id = static_cast<std::uint32_t>(views_.size());
  const std::string_view stored = store(chunk);
  views_.push_back(stored);
  // A long key must point at the stored copy, not at the caller's bytes.
  ids_.emplace(probe.is_long() ? Key::of(stored) : probe, id);
  return id;
}

std::string_view ChunkInterner::store(std::string_view chunk) {
  constexpr std::size_t BLOCK = std::size_t{1} << 20;
  if (chunk.size() > arena_left_) {
    const std::size_t size = std::max(BLOCK, chunk.size());
    arena_.push_back(std::make_unique_for_overwrite<char[]>(size));
    arena_next_ = arena_.back().get();
    arena_left_ = size;
  }
  std::copy(chunk.begin(), chunk.end(), arena_next_);
  const std::string_view stored(arena_next_, chunk.size());
  arena_next_ += chunk.size();
  arena_left_ -= chunk.size();
  return stored;
}

Word merge_word(std::span<const TokenId> word, Pair pair, TokenId new_id) {
  Word out;
  out.reserve(word.size());
  const std::size_t n = word.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 1 < n && word[i] == pair.left && word[i + 1] == pair.right) {
      out.push_back(new_id);
      i += 2;
    } else {
      out.push_back(word[i]);
      i += 1;
    }
  }
  return out;
}

void fail_internal(std::string_view message, std::source_location where) {
  std::ostringstream thread;
  thread << std::this_thread::get_id();
  std::fprintf(stderr, "ovilex: internal error on thread %s at %s:%u: %.*s\n",
               thread.str().c_str(), where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  throw InternalError(std::string(message));
}

}  // namespace ovilex
