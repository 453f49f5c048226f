#include "tokenizer/encode.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "oracle.h"

namespace ovilex {
namespace {

using Ids = std::vector<TokenId>;

ChunkList chunk_list(const std::vector<std::string>& chunks) {
  ChunkList list;
  for (const std::string& c : chunks) list.push_back(c);
  return list;
}

std::vector<std::string_view> views(const std::vector<std::string>& chunks) {
  return {chunks.begin(), chunks.end()};
}

Word word_of(std::string_view chunk) {
  Word w;
  for (const char c : chunk) w.push_back(static_cast<unsigned char>(c));
  return w;
}

using WordEncoder = std::size_t (*)(std::span<TokenId>, const MergeIndex&);

// Runs |encoder| on |chunk| inside a larger buffer and checks that nothing
// past the word's own span is written.
Ids encode_one(WordEncoder encoder, std::string_view chunk, const MergeIndex& index) {
  constexpr TokenId SENTINEL = 0xBEEF;
  Word buffer = word_of(chunk);
  const std::size_t size = buffer.size();
  buffer.insert(buffer.end(), 4, SENTINEL);
  const std::size_t n = encoder(std::span<TokenId>(buffer).first(size), index);
  EXPECT_LE(n, size);
  EXPECT_EQ(Ids(buffer.end() - 4, buffer.end()), Ids(4, SENTINEL)) << "wrote past the word";
  buffer.resize(std::min(n, size));
  return buffer;
}

// Both word encoders, chunk by chunk, concatenated as encode would.
Ids encode_each(WordEncoder encoder, const std::vector<std::string>& chunks,
                const std::vector<Merge>& merges) {
  const MergeIndex index(merges);
  Ids out;
  for (const std::string& c : chunks) {
    const Ids ids = encode_one(encoder, c, index);
    out.insert(out.end(), ids.begin(), ids.end());
  }
  return out;
}

// --- Golden cases -----------------------------------------------------------

struct EncodeCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<Merge> merges;
  Ids expected;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

Ids repeat(std::size_t n, TokenId id) { return Ids(n, id); }

Ids concat(Ids a, const Ids& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<EncodeCase>& golden_cases() {
  static const std::vector<EncodeCase> cases = {
      {"NoChunks", {}, {{97, 98, 256}}, {}},
      {"EmptyChunk", {""}, {{97, 98, 256}}, {}},
      {"IdenticalChunks", {"ab", "ab"}, {{97, 98, 256}}, {256, 256}},
      {"OverlapOddRun", {"aaa"}, {{97, 97, 256}}, {256, 97}},
      {"OverlapEvenRun", {"aaaa"}, {{97, 97, 256}}, {256, 256}},
      {"NewEqualToLeft", {"aaaa"}, {{97, 97, 97}}, {97, 97}},
      {"NewEqualToRight", {"abbb"}, {{97, 98, 98}}, {98, 98, 98}},
      {"RepeatedMergeAppliesAgain", {"aaaa"}, {{97, 97, 97}, {97, 97, 97}}, {97}},
      {"LaterMergeSeesEarlierIds", {"abc"}, {{97, 98, 256}, {256, 99, 257}}, {257}},
      {"EarlierMergeNeverSeesLaterIds", {"abc"}, {{256, 99, 257}, {97, 98, 256}}, {256, 99}},
      {"NoMergeAcrossChunks", {"ab", "c"}, {{98, 99, 256}}, {97, 98, 99}},
      {"NoMergeAcrossEmptyChunk", {"a", "", "a"}, {{97, 97, 256}}, {97, 97}},
      {"TwoByteCharacter", {"é"}, {}, {195, 169}},
      {"HighBytesMerge", {"é"}, {{195, 169, 256}}, {256}},
      {"HighBytesAreUnsigned", {"\xff\xff\xff"}, {{255, 255, 255}}, {255, 255}},
      {"NulBytes", {std::string(3, '\0')}, {{0, 0, 256}}, {256, 0}},
      {"NoMergesConcatenatesBytes", {"ab", "", "cd"}, {}, {97, 98, 99, 100}},
      {"NewBelowByteRange", {"abab"}, {{97, 98, 120}, {120, 120, 256}}, {256}},
      {"PairsThatNeverOccur", {"abc"}, {{99, 97, 256}, {1000, 1001, 257}}, {97, 98, 99}},
      {"PairsOfIdsAboveByteRange", {"abab"}, {{97, 98, 256}, {256, 256, 65535}}, {65535}},
      {"LongRunOneMerge", {std::string(1000, 'a')}, {{97, 97, 256}}, repeat(500, 256)},
      {"LongOddRunTwoMerges",
       {std::string(1001, 'a')},
       {{97, 97, 256}, {256, 256, 257}},
       concat(repeat(250, 257), {97})},
      {"LongRunNewEqualToLeft",
       {std::string(999, 'a')},
       {{97, 97, 97}, {97, 97, 97}},
       repeat(250, 97)},
      {"LongIdenticalChunks",
       {std::string(200, 'a') + "b", std::string(200, 'a') + "b"},
       {{97, 98, 256}, {97, 97, 257}},
       concat(concat(repeat(99, 257), {97, 256}), concat(repeat(99, 257), {97, 256}))},
  };
  return cases;
}

class EncodeGolden : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeGolden, Encode) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(encode(chunk_list(c.chunks), c.merges), c.expected);
}

TEST_P(EncodeGolden, EncodeWordShort) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(encode_each(encode_word_short, c.chunks, c.merges), c.expected);
}

TEST_P(EncodeGolden, EncodeWordLong) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(encode_each(encode_word_long, c.chunks, c.merges), c.expected);
}

TEST_P(EncodeGolden, Oracle) {
  const EncodeCase& c = GetParam();
  EXPECT_EQ(oracle::encode_sequential(views(c.chunks), c.merges), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EncodeGolden, ::testing::ValuesIn(golden_cases()),
                         [](const ::testing::TestParamInfo<EncodeCase>& info) {
                           return std::string(info.param.name);
                         });

// --- MergeIndex -------------------------------------------------------------

TEST(MergeIndex, NextMatchesLinearScan) {
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Two ids, so pairs repeat often and runs of one pair are long.
    std::vector<Merge> merges(std::uniform_int_distribution<std::size_t>(0, 40)(rng));
    std::uniform_int_distribution<int> id(0, 1);
    for (Merge& m : merges) {
      m = {static_cast<TokenId>(id(rng)), static_cast<TokenId>(id(rng)),
           static_cast<TokenId>(256 + id(rng))};
    }
    const MergeIndex index(merges);
    ASSERT_EQ(index.merges().data(), merges.data());
    ASSERT_EQ(index.merges().size(), merges.size());
    for (const Pair p : {Pair{0, 0}, Pair{0, 1}, Pair{1, 0}, Pair{1, 1}, Pair{2, 0}}) {
      for (std::uint32_t from = 0; from <= merges.size() + 1; ++from) {
        std::uint32_t expected = MergeIndex::NONE;
        for (std::uint32_t k = from; k < merges.size(); ++k) {
          if (merges[k].pair() == p) {
            expected = k;
            break;
          }
        }
        ASSERT_EQ(index.next(p, from), expected)
            << "pair (" << p.left << ", " << p.right << ") from " << from;
      }
    }
  }
}

// --- Randomized comparison with the oracle -----------------------------------

enum class Shape {
  Tiny,           // 1 to 3 letters, short chunks, short lists
  HighBytes,      // letters at or above 128, and NUL
  Repeated,       // few distinct chunks, many repeats
  LongShortList,  // chunks of hundreds to thousands of bytes, tens of merges
  LongLongList,   // long chunks, thousands of merges
};

const char* shape_name(Shape s) {
  switch (s) {
    case Shape::Tiny: return "Tiny";
    case Shape::HighBytes: return "HighBytes";
    case Shape::Repeated: return "Repeated";
    case Shape::LongShortList: return "LongShortList";
    case Shape::LongLongList: return "LongLongList";
  }
  return "?";
}

struct RandomCase {
  std::vector<std::string> chunks;
  std::vector<Merge> merges;
};

std::size_t uniform(std::mt19937& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

std::string random_chunk(std::mt19937& rng, const std::string& letters, std::size_t lo,
                         std::size_t hi) {
  std::string s(uniform(rng, lo, hi), '\0');
  // Runs of one letter make overlaps; mixing in single letters breaks them.
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = letters[uniform(rng, 0, letters.size() - 1)];
    const std::size_t run = std::min(s.size() - i, uniform(rng, 1, 5));
    for (std::size_t k = 0; k < run; ++k) s[i++] = c;
  }
  return s;
}

// A merge list in which about |firing_percent| of the merges take a pair that
// occurs in the words as rewritten by the merges before them. The rest are
// noise: pairs of ids seen so far (which may or may not occur), pairs that
// never occur, and repeats of earlier merges. About |fresh_percent| of the
// new ids are fresh; the others equal a part, lie below 256, or are reused.
std::vector<Merge> random_merges(std::mt19937& rng, const std::vector<std::string>& chunks,
                                 const std::string& letters, std::size_t count,
                                 int firing_percent, int fresh_percent) {
  std::vector<Word> words;
  for (const std::string& c : chunks) words.push_back(word_of(c));
  std::vector<TokenId> seen_ids;
  for (const char c : letters) seen_ids.push_back(static_cast<unsigned char>(c));
  TokenId fresh = 256;
  std::vector<Merge> merges;
  merges.reserve(count);
  auto any_seen = [&] { return seen_ids[uniform(rng, 0, seen_ids.size() - 1)]; };
  for (std::size_t k = 0; k < count; ++k) {
    Pair pair{any_seen(), any_seen()};
    const int kind = static_cast<int>(uniform(rng, 0, 99));
    if (kind < firing_percent) {
      std::vector<const Word*> candidates;
      for (const Word& w : words) {
        if (w.size() >= 2) candidates.push_back(&w);
      }
      if (!candidates.empty()) {
        const Word& w = *candidates[uniform(rng, 0, candidates.size() - 1)];
        const std::size_t at = uniform(rng, 0, w.size() - 2);
        pair = {w[at], w[at + 1]};
      }
    } else if (kind < firing_percent + 5) {
      pair = {static_cast<TokenId>(60000 + uniform(rng, 0, 3)), any_seen()};
    } else if (kind < firing_percent + 15 && !merges.empty()) {
      const Merge& old = merges[uniform(rng, 0, merges.size() - 1)];
      pair = old.pair();
      if (uniform(rng, 0, 1) == 0) {
        merges.push_back(old);
        for (Word& w : words) w = merge_word(w, old.pair(), old.new_id);
        continue;
      }
    }
    TokenId new_id;
    const std::size_t pick = uniform(rng, 0, 99);
    const std::size_t other = (100 - static_cast<std::size_t>(fresh_percent)) / 4;
    if (pick < static_cast<std::size_t>(fresh_percent)) {
      new_id = fresh++;
    } else if (pick < static_cast<std::size_t>(fresh_percent) + other) {
      new_id = pair.left;
    } else if (pick < static_cast<std::size_t>(fresh_percent) + 2 * other) {
      new_id = pair.right;
    } else if (pick < static_cast<std::size_t>(fresh_percent) + 3 * other) {
      new_id = static_cast<TokenId>(uniform(rng, 0, 255));
    } else {
      new_id = any_seen();
    }
    merges.push_back({pair.left, pair.right, new_id});
    seen_ids.push_back(new_id);
    for (Word& w : words) w = merge_word(w, pair, new_id);
  }
  return merges;
}

RandomCase make_case(Shape shape, std::uint32_t seed) {
  std::mt19937 rng(seed);
  RandomCase c;
  std::string letters;
  auto pick_letters = [&](const std::string& from, std::size_t lo, std::size_t hi) {
    std::string pool = from;
    std::shuffle(pool.begin(), pool.end(), rng);
    letters = pool.substr(0, uniform(rng, lo, hi));
  };
  switch (shape) {
    case Shape::Tiny: {
      pick_letters("abcd", 1, 3);
      const std::size_t n = uniform(rng, 0, 8);
      for (std::size_t i = 0; i < n; ++i) c.chunks.push_back(random_chunk(rng, letters, 0, 24));
      c.merges = random_merges(rng, c.chunks, letters, uniform(rng, 0, 40), 60, 55);
      break;
    }
    case Shape::HighBytes: {
      pick_letters(std::string("\x80\xc3\xa9\xff\xfe\x00\x7f", 7), 1, 4);
      const std::size_t n = uniform(rng, 1, 8);
      for (std::size_t i = 0; i < n; ++i) c.chunks.push_back(random_chunk(rng, letters, 0, 24));
      c.merges = random_merges(rng, c.chunks, letters, uniform(rng, 0, 40), 60, 55);
      break;
    }
    case Shape::Repeated: {
      pick_letters("ab\xc3", 1, 3);
      std::vector<std::string> pool = {"", random_chunk(rng, letters, 1, 12),
                                        random_chunk(rng, letters, 1, 12),
                                        random_chunk(rng, letters, 60, 120)};
      const std::size_t n = uniform(rng, 2, 20);
      for (std::size_t i = 0; i < n; ++i) {
        c.chunks.push_back(pool[uniform(rng, 0, pool.size() - 1)]);
      }
      c.merges = random_merges(rng, c.chunks, letters, uniform(rng, 0, 40), 60, 55);
      break;
    }
    case Shape::LongShortList:
    case Shape::LongLongList: {
      pick_letters(std::string("abcdefgh\xe9\xff\x80\x00", 12), 2, 12);
      const bool long_list = shape == Shape::LongLongList;
      const std::size_t n = uniform(rng, 1, 3);
      std::size_t total = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && uniform(rng, 0, 2) == 0) {
          c.chunks.push_back(c.chunks[i - 1]);
        } else {
          c.chunks.push_back(random_chunk(rng, letters, 65, long_list ? 2000 : 3000));
        }
        total += c.chunks.back().size();
      }
      if (uniform(rng, 0, 1) == 0) c.chunks.push_back(random_chunk(rng, letters, 0, 12));
      if (!long_list) {
        c.merges = random_merges(rng, c.chunks, letters, uniform(rng, 1, 40), 70, 55);
      } else {
        // Few enough firing merges that the words stay long while thousands
        // of merges pass; mostly fresh ids, so pairs keep getting rarer.
        const std::size_t count = uniform(rng, 1000, 4000);
        const auto firing =
            static_cast<int>(std::clamp<std::size_t>(total * 100 / (4 * count), 2, 40));
        c.merges = random_merges(rng, c.chunks, letters, count, firing, 80);
      }
      break;
    }
  }
  return c;
}

struct SweepParam {
  Shape shape;
  std::uint32_t first_seed;
  std::uint32_t seeds;
};

void PrintTo(const SweepParam& p, std::ostream* os) {
  *os << shape_name(p.shape) << " seeds " << p.first_seed << ".." << p.first_seed + p.seeds - 1;
}

std::vector<SweepParam> sweep_params() {
  std::vector<SweepParam> params;
  auto add = [&](Shape shape, std::uint32_t blocks, std::uint32_t per_block) {
    for (std::uint32_t b = 0; b < blocks; ++b) params.push_back({shape, b * per_block, per_block});
  };
  add(Shape::Tiny, 4, 1500);
  add(Shape::HighBytes, 2, 1500);
  add(Shape::Repeated, 2, 500);
  add(Shape::LongShortList, 4, 25);
  add(Shape::LongLongList, 4, 10);
  return params;
}

class EncodeSweep : public ::testing::TestWithParam<SweepParam> {
 protected:
  // Calls |check| with each case of this block and the oracle's result for
  // every chunk; stops at the first failing seed.
  template <class Check>
  void for_each_case(Check check) {
    const SweepParam& p = GetParam();
    for (std::uint32_t seed = p.first_seed; seed < p.first_seed + p.seeds; ++seed) {
      SCOPED_TRACE(std::string(shape_name(p.shape)) + " seed " + std::to_string(seed));
      const RandomCase c = make_case(p.shape, seed);
      check(c);
      if (HasFailure()) return;
    }
  }
};

TEST_P(EncodeSweep, EncodeMatchesOracle) {
  for_each_case([](const RandomCase& c) {
    EXPECT_EQ(encode(chunk_list(c.chunks), c.merges),
              oracle::encode_sequential(views(c.chunks), c.merges));
  });
}

// encode picks one of the word encoders by length; each must be exact on
// every length, so both run on every chunk.
TEST_P(EncodeSweep, WordEncodersMatchOracle) {
  for_each_case([](const RandomCase& c) {
    const MergeIndex index(c.merges);
    for (std::size_t i = 0; i < c.chunks.size(); ++i) {
      SCOPED_TRACE("chunk " + std::to_string(i) + " of length " +
                   std::to_string(c.chunks[i].size()));
      const Ids expected = oracle::encode_sequential({c.chunks[i]}, c.merges);
      EXPECT_EQ(encode_one(encode_word_short, c.chunks[i], index), expected) << "short";
      EXPECT_EQ(encode_one(encode_word_long, c.chunks[i], index), expected) << "long";
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Seeds, EncodeSweep, ::testing::ValuesIn(sweep_params()),
                         [](const ::testing::TestParamInfo<SweepParam>& info) {
                           return std::string(shape_name(info.param.shape)) + "From" +
                                  std::to_string(info.param.first_seed);
                         });

}  // namespace
}  // namespace ovilex
