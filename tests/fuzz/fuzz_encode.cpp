// Fuzzes the fast encoder against the sequential loop of oracle.h: encode on
// a whole chunk list, and both word encoders on every chunk, must give the
// ids that applying every merge in order with merge_word gives.
//
// The input is read as a recipe: a small alphabet of byte values, a merge
// list over the ids that can occur (with new ids that are fresh, below 256,
// equal to a part or repeated, and repeated pairs), and chunks over the
// alphabet, short or long, some repeated.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "oracle.h"
#include "tokenizer/encode.h"

namespace {

using ovilex::Merge;
using ovilex::TokenId;
using Ids = std::vector<TokenId>;

template <class T>
const T& pick(FuzzedDataProvider& in, const std::vector<T>& from) {
  return from[in.ConsumeIntegralInRange<std::size_t>(0, from.size() - 1)];
}

std::vector<Merge> make_merges(FuzzedDataProvider& in, const std::vector<std::uint8_t>& alphabet) {
  // Usually a short list; now and then one long enough that encode keeps
  // words of more than 64 ids on the short path.
  const std::size_t count = in.ConsumeIntegralInRange<int>(0, 15) == 15
                                ? in.ConsumeIntegralInRange<std::size_t>(4100, 4400)
                                : in.ConsumeIntegralInRange<std::size_t>(0, 40);
  std::vector<TokenId> occurring(alphabet.begin(), alphabet.end());
  std::vector<Merge> merges;
  merges.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    Merge m;
    if (!merges.empty() && in.ConsumeIntegralInRange<int>(0, 5) == 0) {
      const Merge& earlier = pick(in, merges);
      m.left = earlier.left;
      m.right = earlier.right;
    } else {
      m.left = pick(in, occurring);
      m.right = pick(in, occurring);
    }
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: m.new_id = alphabet[0]; break;                           // below 256
      case 1: m.new_id = m.left; break;                                // a part
      case 2: m.new_id = m.right; break;
      case 3: m.new_id = merges.empty() ? 300 : pick(in, merges).new_id; break;  // repeated
      case 4: m.new_id = in.ConsumeIntegral<TokenId>(); break;
      default: m.new_id = static_cast<TokenId>(256 + k); break;         // fresh
    }
    merges.push_back(m);
    occurring.push_back(m.new_id);
  }
  return merges;
}

std::vector<std::string> make_chunks(FuzzedDataProvider& in,
                                     const std::vector<std::uint8_t>& alphabet) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  std::vector<std::string> chunks;
  for (std::size_t c = 0; c < count; ++c) {
    if (!chunks.empty() && in.ConsumeIntegralInRange<int>(0, 4) == 0) {
      chunks.push_back(pick(in, chunks));
      continue;
    }
    std::size_t length = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: length = in.ConsumeIntegralInRange<std::size_t>(0, 3); break;
      case 1: length = in.ConsumeIntegralInRange<std::size_t>(4, 24); break;
      case 2: length = in.ConsumeIntegralInRange<std::size_t>(25, 70); break;
      default: length = in.ConsumeIntegralInRange<std::size_t>(65, 400); break;
    }
    // Once the input runs out, the bytes it gave repeat: long periodic runs.
    std::vector<std::uint8_t> raw = in.ConsumeBytes<std::uint8_t>(length);
    if (raw.empty()) raw.push_back(0);
    std::string chunk(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
      chunk[i] = static_cast<char>(alphabet[raw[i % raw.size()] % alphabet.size()]);
    }
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

std::string show(const Ids& ids) {
  std::string s;
  for (const TokenId id : ids) s += " " + std::to_string(id);
  return s;
}

[[noreturn]] void mismatch(const char* what, const std::vector<std::string>& chunks,
                           const std::vector<Merge>& merges, const Ids& got, const Ids& want) {
  std::fprintf(stderr, "%s differs from the sequential loop\nmerges:", what);
  for (const Merge& m : merges) std::fprintf(stderr, " ((%u,%u),%u)", m.left, m.right, m.new_id);
  std::fprintf(stderr, "\nchunks:");
  for (const std::string& c : chunks) {
    std::fprintf(stderr, " [");
    for (const char ch : c) std::fprintf(stderr, "%u ", static_cast<unsigned char>(ch));
    std::fprintf(stderr, "]");
  }
  std::fprintf(stderr, "\n  got: %s\n  want:%s\n", show(got).c_str(), show(want).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::uint8_t> alphabet(in.ConsumeIntegralInRange<std::size_t>(1, 6));
  for (std::uint8_t& b : alphabet) b = in.ConsumeIntegral<std::uint8_t>();
  const std::vector<Merge> merges = make_merges(in, alphabet);
  const std::vector<std::string> chunks = make_chunks(in, alphabet);

  const ovilex::MergeIndex index(merges);
  using WordEncoder = std::size_t (*)(std::span<TokenId>, const ovilex::MergeIndex&);
  const struct {
    const char* name;
    WordEncoder encode;
  } encoders[] = {{"encode_word_short", ovilex::encode_word_short},
                  {"encode_word_long", ovilex::encode_word_long}};
  // The sequential loop never looks across chunks: its result for the list
  // is that of each chunk, concatenated.
  Ids want_all;
  for (const std::string& chunk : chunks) {
    const Ids want = ovilex::oracle::encode_sequential({chunk}, merges);
    want_all.insert(want_all.end(), want.begin(), want.end());
    for (const auto& encoder : encoders) {
      // A buffer of exactly the word's size: a write past it is a finding.
      const auto buffer = std::make_unique<TokenId[]>(chunk.size());
      ovilex::widen_bytes(chunk, buffer.get());
      const std::size_t n = encoder.encode({buffer.get(), chunk.size()}, index);
      if (n > chunk.size()) mismatch(encoder.name, {chunk}, merges, {}, want);
      const Ids got(buffer.get(), buffer.get() + n);
      if (got != want) mismatch(encoder.name, {chunk}, merges, got, want);
    }
  }

  ovilex::ChunkList list;
  for (const std::string& chunk : chunks) list.push_back(chunk);
  const Ids got = ovilex::encode(list, merges);
  if (got != want_all) mismatch("encode", chunks, merges, got, want_all);
  return 0;
}
