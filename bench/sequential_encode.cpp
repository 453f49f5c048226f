// Encodes chunks written by bench/bench_encode.py with the straightforward
// sequential loop (every merge over every word), or with the core's encode,
// and reports the time, the number of ids and a checksum of the ids.
//
//   bench_sequential_encode [--core [--repeat N]] CHUNKS MERGES [IDS_OUT]
//
// CHUNKS: "OVXC", u64 n, n x u32 byte length, then the chunks' bytes.
// MERGES: "OVXM", u64 m, m x (u16 left, u16 right, u16 new).
// IDS_OUT (optional): the resulting ids as u16.
// All numbers little-endian. Prints one line:
//   seconds=<s> prepare_seconds=<s> chunks=<n> merges=<m> bytes=<b> ids=<k>
//   checksum=<fnv1a-64 over the ids' little-endian bytes, hex>
// seconds covers the encoding alone, not reading or writing files; with
// --core, prepare_seconds is the copy of the chunks into a ChunkList before
// it (0 for the sequential loop), and both are the best of N runs (default 1).
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "oracle.h"
#include "tokenizer/encode.h"
#include "tokenizer/types.h"

namespace {

static_assert(std::endian::native == std::endian::little, "the files are little-endian");

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
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

std::vector<std::string_view> parse_chunks(std::string_view data) {
  Reader r(data, "chunks file");
  r.magic("OVXC");
  const auto n = r.number<std::uint64_t>();
  std::vector<std::uint32_t> lengths(n);
  for (auto& len : lengths) len = r.number<std::uint32_t>();
  std::vector<std::string_view> chunks;
  chunks.reserve(n);
  for (const auto len : lengths) chunks.push_back(r.take(len));
  r.end();
  return chunks;
}

std::vector<ovilex::Merge> parse_merges(std::string_view data) {
  Reader r(data, "merges file");
  r.magic("OVXM");
  const auto m = r.number<std::uint64_t>();
  std::vector<ovilex::Merge> merges(m);
  for (auto& merge : merges) {
    merge.left = r.number<std::uint16_t>();
    merge.right = r.number<std::uint16_t>();
    merge.new_id = r.number<std::uint16_t>();
  }
  r.end();
  return merges;
}

std::uint64_t fnv1a(std::span<const ovilex::TokenId> ids) {
  std::uint64_t h = 14695981039346656037ull;
  constexpr std::uint64_t PRIME = 1099511628211ull;
  for (const ovilex::TokenId id : ids) {
    h = (h ^ (id & 0xffu)) * PRIME;  // low byte, then high byte
    h = (h ^ (id >> 8u)) * PRIME;
  }
  return h;
}

int run(int argc, char** argv) {
  bool core = false;
  int repeat = 1;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--core") == 0) {
      core = true;
    } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() < 2 || paths.size() > 3) {
    std::fprintf(stderr, "usage: bench_sequential_encode [--core [--repeat N]] CHUNKS MERGES [IDS_OUT]\n");
    return 2;
  }
  const std::string chunk_data = read_file(paths[0]);
  const std::string merge_data = read_file(paths[1]);
  const auto chunks = parse_chunks(chunk_data);
  const auto merges = parse_merges(merge_data);
  std::size_t bytes = 0;
  for (const auto c : chunks) bytes += c.size();

  std::vector<ovilex::TokenId> ids;
  using Clock = std::chrono::steady_clock;
  std::chrono::duration<double> prepare{0};
  std::chrono::duration<double> elapsed{0};
  if (core) {
    // The module's road without Python: the chunks into one buffer (as the
    // argument conversion does), then the core's encode.
    for (int run = 0; run < repeat; ++run) {
      ids = {};
      const auto start = Clock::now();
      ovilex::ChunkList list;
      list.reserve(chunks.size());
      for (const auto c : chunks) list.push_back(c);
      const auto middle = Clock::now();
      ids = ovilex::encode(list, merges);
      const auto end = Clock::now();
      if (run == 0 || middle - start < prepare) prepare = middle - start;
      if (run == 0 || end - middle < elapsed) elapsed = end - middle;
    }
  } else {
    const auto start = Clock::now();
    ids = ovilex::oracle::encode_sequential(chunks, merges);
    elapsed = Clock::now() - start;
  }

  if (paths.size() == 3) {
    std::ofstream out(paths[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(ids.data()),
              static_cast<std::streamsize>(ids.size() * sizeof(ovilex::TokenId)));
    if (!out) throw std::runtime_error(std::string("cannot write ") + paths[2]);
  }
  std::printf("seconds=%.6f prepare_seconds=%.6f chunks=%zu merges=%zu bytes=%zu ids=%zu checksum=%016llx\n",
              elapsed.count(), prepare.count(), chunks.size(), merges.size(), bytes, ids.size(),
              static_cast<unsigned long long>(fnv1a(ids)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_sequential_encode: %s\n", e.what());
    return 1;
  }
}
