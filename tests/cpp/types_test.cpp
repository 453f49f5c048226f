#include "tokenizer/types.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace ovilex {
namespace {

constexpr TokenId A = 97;
constexpr TokenId B = 98;
constexpr TokenId C = 99;
constexpr TokenId X = 256;

TEST(MergeWord, SkipsOverlappingPairs) {
  EXPECT_EQ(merge_word(Word{97, 97, 97}, Pair{97, 97}, 256), (Word{256, 97}));
  EXPECT_EQ(merge_word(Word{97, 97, 97, 97}, Pair{97, 97}, 256), (Word{256, 256}));
}

struct MergeCase {
  const char* name;
  Word word;
  Pair pair;
  TokenId new_id;
  Word expected;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class MergeWordGolden : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeWordGolden, MergeWord) {
  const MergeCase& c = GetParam();
  EXPECT_EQ(merge_word(c.word, c.pair, c.new_id), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeWordGolden,
    ::testing::Values(
        MergeCase{"OddRunLeavesLastAlone", {A, A, A}, {A, A}, X, {X, A}},
        MergeCase{"EvenRunMergesFully", {A, A, A, A}, {A, A}, X, {X, X}},
        MergeCase{"PairInsideWord", {B, A, A, B}, {A, A}, X, {B, X, B}},
        MergeCase{"NewEqualToLeftNotSeenAgain", {A, A, A, A}, {A, A}, A, {A, A}},
        MergeCase{"NewEqualToRightNotSeenAgain", {A, B, B, B}, {A, B}, B, {B, B, B}},
        MergeCase{"EmptyWord", {}, {A, A}, X, {}},
        MergeCase{"OneElementWord", {A}, {A, A}, X, {A}},
        MergeCase{"PairAbsent", {A, B, C}, {B, A}, X, {A, B, C}},
        MergeCase{"ReversedPairIsNotThePair", {B, A}, {A, B}, X, {B, A}},
        MergeCase{"PairAtStart", {A, B, C}, {A, B}, X, {X, C}},
        MergeCase{"PairAtEnd", {C, A, B}, {A, B}, X, {C, X}},
        MergeCase{"WholeWordIsThePair", {A, B}, {A, B}, X, {X}},
        MergeCase{"AlternatingFromLeft", {A, B, A, B, A}, {A, B}, X, {X, X, A}},
        MergeCase{"AlternatingShifted", {A, B, A, B, A}, {B, A}, X, {A, X, X}},
        MergeCase{"OverlapBrokenByOtherId", {A, A, B, A, A, A}, {A, A}, X, {X, B, X, A}},
        MergeCase{"WideIds", {300, 301, 300, 301}, {300, 301}, 65535, {65535, 65535}},
        MergeCase{"NewBelowByteRange", {A, B, A, B}, {A, B}, 0, {0, 0}},
        MergeCase{"ZeroIds", {0, 0, 0}, {0, 0}, 0, {0, 0}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

// A word over a tiny alphabet, so that runs, overlaps and ties are common.
Word random_word(std::mt19937& rng, const std::vector<TokenId>& alphabet, std::size_t max_len) {
  Word w(std::uniform_int_distribution<std::size_t>(0, max_len)(rng));
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (TokenId& t : w) t = alphabet[pick(rng)];
  return w;
}

class MergeWordRandom : public ::testing::TestWithParam<int> {};

// With a fresh new id, each new id in the result stands for one replaced
// occurrence: expanding them gives back the input, and a greedy pass leaves no
// occurrence of the pair behind.
TEST_P(MergeWordRandom, FreshIdExpandsBackAndLeavesNoPair) {
  const int alphabet_size = GetParam();
  std::vector<TokenId> alphabet;
  for (int i = 0; i < alphabet_size; ++i) alphabet.push_back(static_cast<TokenId>(A + i));
  for (std::uint32_t seed = 0; seed < 2000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const Word word = random_word(rng, alphabet, 24);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    const Pair pair{alphabet[pick(rng)], alphabet[pick(rng)]};
    const Word out = merge_word(word, pair, X);
    Word expanded;
    for (const TokenId t : out) {
      if (t == X) {
        expanded.push_back(pair.left);
        expanded.push_back(pair.right);
      } else {
        expanded.push_back(t);
      }
    }
    ASSERT_EQ(expanded, word);
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
      ASSERT_FALSE(out[i] == pair.left && out[i + 1] == pair.right) << "pair left at " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AlphabetSize, MergeWordRandom, ::testing::Values(1, 2, 3));

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string text_of(std::span<const std::uint8_t> b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// The bytes stored for |id|, or "<absent>", so that presence and contents
// are compared in one assertion.
std::string found(const VocabList& v, TokenId id) {
  const auto b = v.find(id);
  return b ? text_of(*b) : std::string("<absent>");
}

TEST(VocabList, EmptyHoldsNothing) {
  const VocabList v;
  EXPECT_EQ(v.size(), 0u);
  EXPECT_TRUE(v.ids().empty());
  EXPECT_FALSE(v.find(0).has_value());
  EXPECT_FALSE(v.find(65535).has_value());
}

TEST(VocabList, SetFindAndReplace) {
  VocabList v;
  v.set(104, bytes_of("h"));
  v.set(300, bytes_of("hello"));
  EXPECT_EQ(found(v, 104), "h");
  EXPECT_EQ(found(v, 300), "hello");
  EXPECT_EQ(v.size(), 2u);
  v.set(104, bytes_of("longer than before"));
  v.set(300, bytes_of("x"));
  EXPECT_EQ(found(v, 104), "longer than before");
  EXPECT_EQ(found(v, 300), "x");
  EXPECT_EQ(v.size(), 2u) << "a replacement is not a new entry";
}

TEST(VocabList, FindOfAbsentIds) {
  VocabList v;
  v.set(10, bytes_of("a"));
  v.set(12, bytes_of("b"));
  for (const TokenId id : {TokenId{0}, TokenId{9}, TokenId{11}, TokenId{13}, TokenId{255},
                           TokenId{256}, TokenId{65535}}) {
    EXPECT_FALSE(v.find(id).has_value()) << id;
  }
}

TEST(VocabList, EmptyBytesAreAnEntry) {
  VocabList v;
  v.set(7, {});
  ASSERT_TRUE(v.find(7).has_value());
  EXPECT_TRUE(v.find(7)->empty());
  EXPECT_EQ(v.size(), 1u);
  EXPECT_EQ(v.ids(), (std::vector<TokenId>{7}));
  v.set(7, bytes_of("now full"));
  EXPECT_EQ(found(v, 7), "now full");
  v.set(7, {});
  EXPECT_EQ(found(v, 7), "");
  EXPECT_EQ(v.size(), 1u);
}

TEST(VocabList, IdsAscendingWhateverTheInsertionOrder) {
  VocabList v;
  for (const TokenId id : {TokenId{300}, TokenId{5}, TokenId{65535}, TokenId{0}, TokenId{5},
                           TokenId{256}, TokenId{65535}}) {
    v.set(id, bytes_of("z"));
  }
  EXPECT_EQ(v.ids(), (std::vector<TokenId>{0, 5, 256, 300, 65535}));
  EXPECT_EQ(v.size(), 5u);
}

// Ids far above the rest stay out of the table, and come into it once the
// entries below catch up; every id reads back the same either way.
TEST(VocabList, FarIdsStayOutOfTheTableUntilTheRestCatchUp) {
  VocabList v;
  std::vector<TokenId> expected = {UINT32_MAX - 1, 3000000, 200000, 70000};
  for (const TokenId id : expected) v.set(id, bytes_of(std::to_string(id)));
  EXPECT_LT(v.dense_bound(), 70000u);
  for (TokenId id = 0; id < 60000; ++id) {
    v.set(id, bytes_of(std::to_string(id)));
    expected.push_back(id);
  }
  v.set(250000, bytes_of("250000"));
  expected.push_back(250000);
  EXPECT_EQ(v.dense_bound(), 250001u);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(v.ids(), expected);
  EXPECT_EQ(v.size(), expected.size());
  for (const TokenId id : expected) EXPECT_EQ(found(v, id), std::to_string(id)) << id;
  EXPECT_FALSE(v.find(UINT32_MAX).has_value());
  EXPECT_FALSE(v.find(3000001).has_value());
}

TEST(VocabList, ReserveChangesNothingVisible) {
  VocabList v;
  v.reserve(100000, 1 << 16);
  EXPECT_EQ(v.size(), 0u);
  v.set(65535, bytes_of("top"));
  EXPECT_EQ(found(v, 65535), "top");
  EXPECT_EQ(v.ids(), (std::vector<TokenId>{65535}));
}

// The source span lies in the map's own buffer, which the store may move.
TEST(VocabList, SetFromOwnStorage) {
  VocabList v;
  std::string first;
  for (int i = 0; i < 97; ++i) first.push_back(static_cast<char>('!' + i % 90));
  v.set(0, bytes_of(first));
  for (TokenId id = 1; id < 200; ++id) {
    const auto prev = v.find(static_cast<TokenId>(id - 1));
    ASSERT_TRUE(prev.has_value());
    v.set(id, *prev);
  }
  for (TokenId id = 0; id < 200; ++id) ASSERT_EQ(found(v, id), first) << id;
  EXPECT_EQ(v.size(), 200u);
}

TEST(VocabList, ReplaceWithPartOfItself) {
  VocabList v;
  v.set(1, bytes_of("hello"));
  v.set(1, v.find(1)->subspan(1, 3));
  EXPECT_EQ(found(v, 1), "ell");
  v.set(1, *v.find(1));
  EXPECT_EQ(found(v, 1), "ell");
  v.set(1, v.find(1)->subspan(3, 0));
  EXPECT_EQ(found(v, 1), "");
  EXPECT_EQ(v.size(), 1u);
}

TEST(VocabList, SetConcat) {
  VocabList v;
  v.set(A, bytes_of("a"));
  v.set(B, bytes_of("b"));
  EXPECT_TRUE(v.set_concat(256, A, B));
  EXPECT_EQ(found(v, 256), "ab");
  EXPECT_TRUE(v.set_concat(257, 256, 256)) << "an id with itself";
  EXPECT_EQ(found(v, 257), "abab");
  EXPECT_TRUE(v.set_concat(258, B, 257));
  EXPECT_EQ(found(v, 258), "babab");
  EXPECT_TRUE(v.set_concat(256, 256, A)) << "the new id is its own first part";
  EXPECT_EQ(found(v, 256), "aba");
  EXPECT_TRUE(v.set_concat(257, B, 257)) << "the new id is its own second part";
  EXPECT_EQ(found(v, 257), "babab");
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v.ids(), (std::vector<TokenId>{A, B, 256, 257, 258}));
  EXPECT_EQ(found(v, A), "a");
  EXPECT_EQ(found(v, B), "b");
}

TEST(VocabList, SetConcatWithEmptyParts) {
  VocabList v;
  v.set(0, {});
  v.set(1, bytes_of("q"));
  EXPECT_TRUE(v.set_concat(2, 0, 0));
  EXPECT_EQ(found(v, 2), "");
  EXPECT_TRUE(v.set_concat(3, 0, 1));
  EXPECT_EQ(found(v, 3), "q");
  EXPECT_TRUE(v.set_concat(4, 1, 0));
  EXPECT_EQ(found(v, 4), "q");
  EXPECT_EQ(v.size(), 5u);
}

TEST(VocabList, SetConcatWithMissingPartSetsNothing) {
  VocabList v;
  v.set(A, bytes_of("a"));
  EXPECT_FALSE(v.set_concat(300, A, 999));
  EXPECT_FALSE(v.set_concat(300, 999, A));
  EXPECT_FALSE(v.set_concat(300, 999, 998));
  EXPECT_EQ(found(v, 300), "<absent>");
  EXPECT_FALSE(v.set_concat(A, A, 999)) << "an existing entry is left as it was";
  EXPECT_EQ(found(v, A), "a");
  EXPECT_EQ(v.size(), 1u);
  EXPECT_EQ(v.ids(), (std::vector<TokenId>{A}));
}

// Doubling makes every concatenation read bytes stored long before, across
// several growths of the buffer.
TEST(VocabList, SetConcatDoublingChain) {
  VocabList v;
  v.set(0, bytes_of("xy"));
  std::string expected = "xy";
  for (TokenId id = 1; id <= 13; ++id) {
    ASSERT_TRUE(v.set_concat(id, static_cast<TokenId>(id - 1), static_cast<TokenId>(id - 1)));
    expected += expected;
    ASSERT_EQ(found(v, id), expected) << id;
  }
  EXPECT_EQ(found(v, 0), "xy");
  EXPECT_EQ(found(v, 12).size(), 2u << 12);
}

// Random sets, self-referencing sets and concatenations against a std::map.
TEST(VocabList, MatchesMapModel) {
  for (std::uint32_t seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    VocabList v;
    std::map<TokenId, std::string> model;
    auto random_id = [&]() -> TokenId {
      const int r = std::uniform_int_distribution<int>(0, 19)(rng);
      if (r == 0) return 65535;
      if (r == 1) return static_cast<TokenId>(std::uniform_int_distribution<int>(256, 4000)(rng));
      return static_cast<TokenId>(std::uniform_int_distribution<int>(0, 40)(rng));
    };
    auto existing_id = [&]() -> TokenId {
      if (model.empty()) return random_id();
      auto it = model.begin();
      std::advance(it, std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(rng));
      return it->first;
    };
    for (int step = 0; step < 400; ++step) {
      const TokenId id = random_id();
      switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0: {
          std::string s(std::uniform_int_distribution<std::size_t>(0, 8)(rng), '\0');
          for (char& c : s) c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
          v.set(id, bytes_of(s));
          model[id] = s;
          break;
        }
        case 1: {
          const TokenId from = existing_id();
          const auto src = v.find(from);
          if (!src) break;
          const std::size_t at = std::uniform_int_distribution<std::size_t>(0, src->size())(rng);
          const std::size_t len =
              std::uniform_int_distribution<std::size_t>(0, src->size() - at)(rng);
          const std::string expected = model.at(from).substr(at, len);
          v.set(id, src->subspan(at, len));
          model[id] = expected;
          break;
        }
        default: {
          const bool use_existing = std::uniform_int_distribution<int>(0, 9)(rng) != 0;
          const TokenId first = use_existing ? existing_id() : random_id();
          const TokenId second = use_existing ? existing_id() : random_id();
          const bool present = model.contains(first) && model.contains(second);
          ASSERT_EQ(v.set_concat(id, first, second), present)
              << id << " = " << first << " + " << second;
          if (present) model[id] = model.at(first) + model.at(second);
          break;
        }
      }
      ASSERT_EQ(v.size(), model.size()) << "step " << step;
    }
    std::vector<TokenId> ids;
    for (const auto& [id, bytes] : model) {
      ids.push_back(id);
      EXPECT_EQ(found(v, id), bytes) << id;
    }
    EXPECT_EQ(v.ids(), ids);
    for (int probe = 0; probe < 200; ++probe) {
      const TokenId id = random_id();
      if (!model.contains(id)) {
        EXPECT_FALSE(v.find(id).has_value()) << id;
      }
    }
    if (HasFailure()) break;
  }
}

TEST(ChunkList, KeepsChunksApartIncludingEmptyAndBinary) {
  ChunkList chunks;
  EXPECT_TRUE(chunks.empty());
  const std::vector<std::string> input = {"", "ab", "", std::string("\xff\x00" "c", 3), "é", ""};
  chunks.reserve(input.size());
  for (const std::string& s : input) chunks.push_back(s);
  EXPECT_FALSE(chunks.empty());
  ASSERT_EQ(chunks.size(), input.size());
  for (std::size_t i = 0; i < input.size(); ++i) EXPECT_EQ(chunks[i], input[i]) << i;
}

// Chunks of up to 15 bytes are their own keys (zero-padded, length in the
// last byte); longer ones point at their stored bytes. Texts that differ
// only in trailing NULs, or only past the fifteenth byte, must stay apart.
TEST(ChunkInterner, NumbersDistinctTextsAcrossTheInlineLimit) {
  std::vector<std::string> texts;
  texts.push_back("");
  for (std::size_t n = 1; n <= 40; ++n) {
    texts.push_back(std::string(n, '\0'));
    texts.push_back(std::string(n, 'x'));
    texts.push_back(std::string(n - 1, 'x') + 'y');
  }
  ChunkInterner interner;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(interner.intern(texts[i]), i) << "first time: " << texts[i].size() << " bytes";
  }
  // Again, from other buffers: the same numbers, and nothing new.
  for (std::size_t i = texts.size(); i-- > 0;) {
    const std::string copy = texts[i];
    EXPECT_EQ(interner.intern(copy), i);
  }
  ASSERT_EQ(interner.size(), texts.size());
  for (std::uint32_t i = 0; i < texts.size(); ++i) EXPECT_EQ(interner[i], texts[i]);
}

// An empty chunk may come as a view with no storage at all (a default
// std::string_view, whose data is null): the same text as any other empty
// chunk. Under the sanitizer build a byte copy from that null pointer fails.
TEST(ChunkInterner, EmptyViewWithoutStorage) {
  ChunkInterner interner;
  EXPECT_EQ(interner.intern(std::string_view()), 0u);
  EXPECT_EQ(interner.intern("a"), 1u);
  EXPECT_EQ(interner.intern(""), 0u);
  EXPECT_EQ(interner.intern(std::string_view()), 0u);
  ASSERT_EQ(interner.size(), 2u);
  EXPECT_EQ(interner[0], "");
}

TEST(ChunkList, RepeatsShareOneDistinctText) {
  ChunkList chunks;
  for (const char* s : {"the", " cat", "the", "", " cat", "", "the"}) chunks.push_back(s);
  EXPECT_EQ(chunks.distinct().size(), 3u);
  EXPECT_EQ(std::vector<std::uint32_t>(chunks.order().begin(), chunks.order().end()),
            (std::vector<std::uint32_t>{0, 1, 0, 2, 1, 2, 0}));
}

}  // namespace
}  // namespace ovilex
