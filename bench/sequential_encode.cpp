// Encodes chunks written by bench/bench_encode.py with the straightforward
// sequential loop (every merge over every word), or with the core's encode,
// and reports the time, the number of ids and a checksum of the ids.
//
//   bench_sequential_encode [--core [--repeat N]] CHUNKS MERGES [IDS_OUT]
//
// CHUNKS and MERGES: the files of chunk_file.h.
// IDS_OUT (optional): the resulting ids as u16, little-endian. Prints one line:
//   seconds=<s> prepare_seconds=<s> chunks=<n> merges=<m> bytes=<b> ids=<k>
//   checksum=<fnv1a-64 over the ids' little-endian bytes, hex>
// seconds covers the encoding alone, not reading or writing files; with
// --core, prepare_seconds is the copy of the chunks into a ChunkList before
// it (0 for the sequential loop), and both are the best of N runs (default 1).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "chunk_file.h"
#include "oracle.h"
#include "tokenizer/encode.h"
#include "tokenizer/types.h"

namespace {

using ovilex::bench::fnv1a;
using ovilex::bench::parse_chunks;
using ovilex::bench::parse_merges;
using ovilex::bench::read_file;

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
