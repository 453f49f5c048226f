#include "tokenizer/positions.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ovilex {
namespace {

Word ids_of(const PositionIndex& index, std::uint32_t start) {
  Word ids;
  index.for_each_id(start, [&](TokenId id) { ids.push_back(id); });
  return ids;
}

// Several words over a few ids in one index, merged with pairs that occur
// (new ids that may equal old ones or reach 65535, as any merge list may
// have) and pairs that do not: every word must stay what merge_word makes
// of it, and each reported occurrence must be one that merge_word replaces,
// with the neighbours it has at that moment.
class PositionIndexRandom : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PositionIndexRandom, EveryWordStaysWhatMergeWordMakesOfIt) {
  std::mt19937 rng(GetParam());
  const auto draw = [&](std::uint32_t below) {
    return static_cast<TokenId>(std::uniform_int_distribution<std::uint32_t>(0, below - 1)(rng));
  };
  PositionIndex index;
  std::vector<Word> expected;
  std::vector<std::uint32_t> starts;
  for (int w = 0; w < 12; ++w) {
    Word word(1 + draw(40));
    for (TokenId& id : word) id = draw(3);
    starts.push_back(index.add_word(word));
    expected.push_back(std::move(word));
  }
  index.index_pairs();
  std::size_t merged = 0;
  for (int step = 0; step < 60 && index.has_pairs(); ++step) {
    Pair pair{draw(3), draw(3)};
    if (step % 4 == 0) {
      // A pair that does occur: the first of a random word.
      const Word& word = expected[draw(static_cast<std::uint32_t>(expected.size()))];
      if (word.size() >= 2) pair = {word[0], word[1]};
    }
    const TokenId new_id = step % 7 == 0 ? 65535 : step % 5 == 0 ? pair.left : draw(8);
    std::size_t seen = 0;
    index.merge(Merge{pair.left, pair.right, new_id}, [&](const PositionIndex::Occurrence& o) {
      ++seen;
      const bool at_start = std::find(starts.begin(), starts.end(), o.at) != starts.end();
      EXPECT_EQ(o.before == nullptr, at_start);
      EXPECT_TRUE(o.before == nullptr || o.before->linked);
      EXPECT_TRUE(o.after == nullptr || o.after->linked);
    });
    std::size_t replaced = 0;
    for (std::size_t w = 0; w < expected.size(); ++w) {
      const std::size_t before = expected[w].size();
      expected[w] = merge_word(expected[w], pair, new_id);
      replaced += before - expected[w].size();
      ASSERT_EQ(ids_of(index, starts[w]), expected[w]) << "word " << w << ", step " << step;
    }
    EXPECT_EQ(seen, replaced) << "step " << step;
    merged += replaced;
  }
  EXPECT_GT(merged, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PositionIndexRandom, ::testing::Range(std::uint32_t{1}, std::uint32_t{13}));

TEST(PositionIndex, AWordOfOneIdHasNoPairsAndForgottenPairsAreNotMerged) {
  PositionIndex index;
  const Word one = {7};
  const Word abab = {1, 2, 1, 2};
  index.add_word(one);
  const std::uint32_t start = index.add_word(abab);
  index.index_pairs();
  ASSERT_TRUE(index.has_pairs());
  index.forget(Pair{1, 2});
  int seen = 0;
  index.merge(Merge{1, 2, 9}, [&](const PositionIndex::Occurrence&) { ++seen; });
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(ids_of(index, start), abab);
  // (2, 1) is merged at its one start; the pairs it makes are new.
  index.merge(Merge{2, 1, 9}, [&](const PositionIndex::Occurrence& o) {
    ASSERT_NE(o.before, nullptr);
    ASSERT_NE(o.after, nullptr);
    EXPECT_EQ(o.before->id, 1);
    EXPECT_EQ(o.after->id, 2);
    ++seen;
  });
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(ids_of(index, start), (Word{1, 9, 2}));
}

}  // namespace
}  // namespace ovilex
