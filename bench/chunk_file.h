// The files that the Python benchmarks hand to their C++ helpers.
//
// CHUNKS: "OVXC", u64 n, n x u32 byte length, then the chunks' bytes.
// MERGES: "OVXM", u64 m, m x (u16 left, u16 right, u16 new).
// All numbers little-endian.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace ovilex::bench {

static_assert(std::endian::native == std::endian::little, "the files are little-endian");

inline std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  std::string data(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (!in) throw std::runtime_error(std::string("cannot read ") + path);
  return data;
}

class Reader {
 public:
  Reader(std::string_view data, const char* what) : data_(data), what_(what) {}

  void magic(std::string_view m) {
    if (take(m.size()) != m) fail("bad magic");
  }
  template <class T>
  T number() {
    T v;
    std::memcpy(&v, take(sizeof v).data(), sizeof v);
    return v;
  }
  std::string_view take(std::size_t n) {
    if (data_.size() - pos_ < n) fail("truncated");
    const auto s = data_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  void end() {
    if (pos_ != data_.size()) fail("trailing bytes");
  }

 private:
  [[noreturn]] void fail(const char* why) { throw std::runtime_error(std::string(what_) + ": " + why); }
  std::string_view data_;
  const char* what_;
  std::size_t pos_ = 0;
};

// Calls fn(chunk) for every chunk of a CHUNKS file held in memory, in file
// order; the views point into |data|. Returns the number of chunks.
template <class Fn>
std::uint64_t for_each_chunk(std::string_view data, Fn&& fn) {
  Reader header(data, "chunks file");
  header.magic("OVXC");
  const auto n = header.number<std::uint64_t>();
  if (n > data.size() / sizeof(std::uint32_t)) throw std::runtime_error("chunks file: truncated");
  const std::string_view table = header.take(n * sizeof(std::uint32_t));
  Reader bytes(data.substr(12 + table.size()), "chunks file");
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint32_t len;
    std::memcpy(&len, table.data() + i * sizeof len, sizeof len);
    fn(bytes.take(len));
  }
  bytes.end();
  return n;
}

inline std::vector<std::string_view> parse_chunks(std::string_view data) {
  std::vector<std::string_view> chunks;
  Reader header(data, "chunks file");
  header.magic("OVXC");
  chunks.reserve(std::min<std::uint64_t>(header.number<std::uint64_t>(), data.size()));
  for_each_chunk(data, [&](std::string_view c) { chunks.push_back(c); });
  return chunks;
}

inline std::vector<Merge> parse_merges(std::string_view data) {
  Reader r(data, "merges file");
  r.magic("OVXM");
  const auto m = r.number<std::uint64_t>();
  if (m > data.size() / 6) throw std::runtime_error("merges file: truncated");
  std::vector<Merge> merges(m);
  for (auto& merge : merges) {
    merge.left = r.number<std::uint16_t>();
    merge.right = r.number<std::uint16_t>();
    merge.new_id = r.number<std::uint16_t>();
  }
  r.end();
  return merges;
}

inline std::string merges_file_text(std::span<const Merge> merges) {
  std::string out = "OVXM";
  const std::uint64_t m = merges.size();
  out.append(reinterpret_cast<const char*>(&m), sizeof m);
  for (const Merge& merge : merges) {
    for (const TokenId id : {merge.left, merge.right, merge.new_id}) {
      out.append(reinterpret_cast<const char*>(&id), sizeof id);
    }
  }
  return out;
}

inline void write_file(const char* path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error(std::string("cannot write ") + path);
}

// FNV-1a (64-bit) over the ids' little-endian bytes, low byte first.
inline std::uint64_t fnv1a(std::span<const TokenId> ids,
                           std::uint64_t h = 14695981039346656037ull) {
  constexpr std::uint64_t PRIME = 1099511628211ull;
  for (const TokenId id : ids) {
    h = (h ^ (id & 0xffu)) * PRIME;
    h = (h ^ (id >> 8u)) * PRIME;
  }
  return h;
}

// The same over every merge's left, right and new id, in merge order.
inline std::uint64_t merges_checksum(std::span<const Merge> merges) {
  std::uint64_t h = 14695981039346656037ull;
  for (const Merge& m : merges) {
    const TokenId ids[3] = {m.left, m.right, m.new_id};
    h = fnv1a(ids, h);
  }
  return h;
}

}  // namespace ovilex::bench
