#include "tokenizer/train.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "oracle.h"
#include "pool/pool.h"
#include "tokenizer/huge_pages.h"
#include "tokenizer/records.h"

namespace ovilex {
namespace {

namespace fs = std::filesystem;

// Merges as plain tuples, so that a failing comparison prints them readably.
using Triple = std::tuple<unsigned, unsigned, unsigned>;

std::vector<Triple> triples(std::span<const Merge> merges) {
  std::vector<Triple> out;
  for (const Merge& m : merges) out.emplace_back(m.left, m.right, m.new_id);
  return out;
}

using PairMap = std::map<std::pair<unsigned, unsigned>, std::uint64_t>;

PairMap sorted(const PairFreqs& freqs) {
  PairMap out;
  for (const auto& [pair, freq] : freqs) {
    EXPECT_TRUE(out.emplace(std::pair<unsigned, unsigned>{pair.left, pair.right}, freq).second);
  }
  return out;
}

// The plain count: every position of every word, weighted by its freq.
PairMap count_sequential(std::span<const WordFreq> words) {
  PairMap out;
  for (const WordFreq& wf : words) {
    for (std::size_t i = 0; i + 1 < wf.word.size(); ++i) {
      out[{wf.word[i], wf.word[i + 1]}] += wf.freq;
    }
  }
  return out;
}

std::vector<std::string_view> views(const std::vector<std::string>& chunks) {
  return {chunks.begin(), chunks.end()};
}

std::vector<WordFreq> word_table(const std::vector<std::string>& chunks) {
  WordCounter counter;
  for (const std::string& c : chunks) counter.add(c);
  return std::move(counter).take_words();
}

// The training path up to the merge list, as encode_train runs it.
std::vector<Merge> learn(const std::vector<std::string>& chunks,
                         std::size_t positional_from = POSITIONAL_FROM) {
  return learn_from_words(word_table(chunks), nullptr, positional_from);
}

// Word lengths from which the merge loop indexes positions instead of
// rewriting whole words: the default, every word, and a mix.
constexpr std::size_t POSITIONAL_SETTINGS[] = {POSITIONAL_FROM, 2, 5};

using SortedTable = std::vector<std::pair<Word, std::uint64_t>>;

SortedTable sorted(std::vector<WordFreq> words) {
  SortedTable out;
  for (WordFreq& wf : words) out.emplace_back(std::move(wf.word), wf.freq);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> repeat(std::string chunk, std::size_t times) {
  return std::vector<std::string>(times, std::move(chunk));
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// --- Word table ---------------------------------------------------------------

TEST(WordCounter, CollapsesEqualChunksAndKeepsTheEmptyWord) {
  WordCounter counter;
  for (const char* c : {"", "a", ""}) counter.add(c);
  EXPECT_EQ(counter.chunks(), 3u);
  EXPECT_EQ(counter.distinct(), 2u);
  EXPECT_EQ(sorted(std::move(counter).take_words()), (SortedTable{{Word{}, 2}, {Word{97}, 1}}));
}

TEST(WordCounter, BytesBecomeUnsignedIds) {
  const std::string chunk("\x00\x7f\x80\xc3\xa9\xff", 6);
  EXPECT_EQ(sorted(word_table({chunk, chunk})),
            (SortedTable{{Word{0, 127, 128, 195, 169, 255}, 2}}));
}

TEST(WordCounter, WordsOfEveryLengthSurviveTheArena) {
  // Chunks longer than one arena block and many small ones after it.
  std::vector<std::string> chunks;
  std::map<std::string, std::uint64_t> expected;
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::size_t len = i % 1000 == 999 ? (std::size_t{1} << 20) + i : i % 37;
    std::string c(len, '\0');
    for (char& ch : c) ch = static_cast<char>('a' + rng() % 3);
    chunks.push_back(c);
    chunks.push_back(c);
    expected[c] += 2;
  }
  SortedTable want;
  for (const auto& [c, f] : expected) want.emplace_back(Word(c.begin(), c.end()), f);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(sorted(word_table(chunks)), want);
}

// --- Pair counting ------------------------------------------------------------

struct CountCase {
  const char* name;
  std::vector<std::string> chunks;
  PairMap expected;
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

class CountPairsGolden : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountPairsGolden, Counts) {
  const std::vector<WordFreq> words = word_table(GetParam().chunks);
  EXPECT_EQ(sorted(count_pairs(words)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountPairsGolden,
    ::testing::Values(CountCase{"NoChunks", {}, {}},
                      CountCase{"EmptyAndSingle", {"", "a", "", "b"}, {}},
                      CountCase{"Overlapping", {"aaa"}, {{{97, 97}, 2}}},
                      CountCase{"Repeated", {"ab", "ab", "ab"}, {{{97, 98}, 3}}},
                      CountCase{"BothDirections", {"ab", "ba"}, {{{97, 98}, 1}, {{98, 97}, 1}}},
                      CountCase{"TwoByteCharacter", {"\xc3\xa9"}, {{{195, 169}, 1}}},
                      CountCase{"Weighted",
                                {"abab", "abab", "bab"},
                                {{{97, 98}, 5}, {{98, 97}, 3}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random word tables, from empty to large enough that the pool divides them.
std::vector<WordFreq> random_table(std::uint32_t seed, std::size_t n) {
  std::mt19937 rng(seed);
  std::set<Word> seen;
  std::vector<WordFreq> words;
  while (words.size() < n) {
    Word w(rng() % 12);
    for (TokenId& t : w) t = static_cast<TokenId>(rng() % 5 == 0 ? 256 + rng() % 40 : rng() % 6);
    if (!seen.insert(w).second) continue;
    std::uint64_t freq = 1 + rng() % 1000;
    if (rng() % 50 == 0) freq += std::uint64_t{1} << 40;
    words.push_back({std::move(w), freq});
  }
  return words;
}

class CountPairsTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CountPairsTable, MatchesSequentialCount) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<WordFreq> words = random_table(seed, GetParam());
    const PairMap expected = count_sequential(words);
    EXPECT_EQ(sorted(count_pairs(words)), expected);
    // Again, with whatever scheduling the second pass gets.
    EXPECT_EQ(sorted(count_pairs(words)), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Words, CountPairsTable,
                         ::testing::Values(0, 1, 2, 3, 1000, 1025, 5000, 40000));

TEST(CountPairs, FrequenciesAreSixtyFourBit) {
  const std::uint64_t big = (std::uint64_t{1} << 32) + 3;
  const std::vector<WordFreq> words = {{Word{97, 98, 97, 98}, big}, {Word{98, 97}, big}};
  EXPECT_EQ(sorted(count_pairs(words)), (PairMap{{{97, 98}, 2 * big}, {{98, 97}, 2 * big}}));
}

// Any division of the table gives the same map.
class CountPairsGrain : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CountPairsGrain, SameMapWhateverTheDivision) {
  const std::vector<WordFreq> words = random_table(11, 3000);
  const auto piece = [&](std::size_t begin, std::size_t end) {
    PairFreqs out;
    for (std::size_t w = begin; w < end; ++w) {
      const Word& word = words[w].word;
      for (std::size_t i = 0; i + 1 < word.size(); ++i) {
        out[Pair{word[i], word[i + 1]}] += words[w].freq;
      }
    }
    return out;
  };
  const auto join = [](PairFreqs& into, PairFreqs&& from) {
    for (const auto& [pair, freq] : from) into[pair] += freq;
  };
  const PairFreqs freqs = pool::parallel_reduce<PairFreqs>(words.size(), GetParam(), piece, join);
  EXPECT_EQ(sorted(freqs), count_sequential(words));
}

INSTANTIATE_TEST_SUITE_P(Grains, CountPairsGrain,
                         ::testing::Values(1, 2, 7, 1024, std::numeric_limits<std::size_t>::max()));

// --- Merge loop: golden cases -------------------------------------------------

struct LearnCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<Triple> expected;
};

void PrintTo(const LearnCase& c, std::ostream* os) { *os << c.name; }

class LearnMergesGolden : public ::testing::TestWithParam<LearnCase> {};

TEST_P(LearnMergesGolden, Merges) {
  for (const std::size_t from : POSITIONAL_SETTINGS) {
    EXPECT_EQ(triples(learn(GetParam().chunks, from)), GetParam().expected) << "from " << from;
  }
}

TEST_P(LearnMergesGolden, Oracle) {
  EXPECT_EQ(triples(oracle::learn_merges_sequential(views(GetParam().chunks))),
            GetParam().expected);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, LearnMergesGolden,
    ::testing::Values(
        LearnCase{"NoChunks", {}, {}},
        LearnCase{"NoPairs", {"", "a", "", "b", "a", "a", "a"}, {}},
        LearnCase{"AaaTwice", repeat("aaa", 2), {{97, 97, 256}}},
        LearnCase{"AaaaThrice", repeat("aaaa", 3), {{97, 97, 256}, {256, 256, 257}}},
        LearnCase{"AbabThrice", repeat("abab", 3), {{97, 98, 256}, {256, 256, 257}}},
        LearnCase{"AbOnceAbcTwice", {"abc", "ab", "abc"}, {{97, 98, 256}}},
        LearnCase{"ThreeIsEnough", repeat("ab", 3), {{97, 98, 256}}},
        LearnCase{"TwoIsNot", repeat("ab", 2), {}},
        LearnCase{"TieToGreaterLeft",
                  concat({repeat("\x01\x09", 3), repeat("\x02\x00"s, 3)}),
                  {{2, 0, 256}, {1, 9, 257}}},
        LearnCase{"TieToGreaterRight",
                  concat({repeat("\x02\x00"s, 3), repeat("\x02\x05", 3)}),
                  {{2, 5, 256}, {2, 0, 257}}},
        LearnCase{"FrequencyBeforeIds",
                  concat({repeat("\xff\xfe", 3), repeat("\x01\x01", 4)}),
                  {{1, 1, 256}, {255, 254, 257}}},
        LearnCase{"NulBytes", repeat("\x00\x00\x00"s, 3), {{0, 0, 256}, {256, 0, 257}}},
        LearnCase{"TwoByteCharacter", repeat("\xc3\xa9", 3), {{195, 169, 256}}},
        LearnCase{"NoMergeAcrossChunks", {"a", "b", "a", "b", "a", "b", "ab"}, {}},
        // (b, c) is 4 at first; merging (a, b) takes it down to 1, and
        // (256, c) is the only pair left at 3.
        LearnCase{"MergeLowersAnotherPair",
                  concat({repeat("abc", 3), repeat("bc", 1), repeat("ab", 3)}),
                  {{97, 98, 256}, {256, 99, 257}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LearnMerges, FrequenciesAreSixtyFourBit) {
  // Cut to 32 bits, 2^32 + 3 would lose to 4.
  std::vector<WordFreq> words = {{Word{97, 98}, (std::uint64_t{1} << 32) + 3}, {Word{99, 100}, 4}};
  PairFreqs freqs = count_pairs(words);
  EXPECT_EQ(triples(learn_merges(words, std::move(freqs))),
            (std::vector<Triple>{{97, 98, 256}, {99, 100, 257}}));
}

TEST(LearnMerges, RewritesTheWordTable) {
  std::vector<WordFreq> words = word_table({"abab", "abab", "abab", "xaba"});
  PairFreqs freqs = count_pairs(words);
  const std::vector<Merge> merges = learn_merges(words, std::move(freqs));
  EXPECT_EQ(triples(merges), (std::vector<Triple>{{97, 98, 256}, {256, 256, 257}}));
  EXPECT_EQ(sorted(std::move(words)), (SortedTable{{Word{120, 256, 97}, 1}, {Word{257}, 3}}));
}

// Tables are not only bytes: ids above the merged range, up to 65535, and
// ids that the merges will make again, all as the straightforward loop
// merges them.
TEST(LearnMerges, WordsOfAnyIdsMatchTheOracle) {
  std::mt19937 rng(77);
  const TokenId alphabet[] = {97, 256, 300, 7999, 8000, 9000, 65535};
  std::vector<WordFreq> words;
  oracle::WordTable table;
  std::set<Word> seen;
  while (words.size() < 300) {
    Word word(std::uniform_int_distribution<std::size_t>(1, 12)(rng));
    for (TokenId& id : word) id = alphabet[std::uniform_int_distribution<std::size_t>(0, 6)(rng)];
    if (!seen.insert(word).second) continue;
    const std::uint64_t freq = std::uniform_int_distribution<std::uint64_t>(1, 9)(rng);
    words.push_back({word, freq});
    table.emplace_back(word, freq);
  }
  std::sort(table.begin(), table.end());
  const std::vector<Merge> expected = oracle::learn_merges_sequential(table);
  ASSERT_FALSE(expected.empty());
  PairFreqs freqs = count_pairs(words);
  EXPECT_EQ(triples(learn_merges(words, std::move(freqs))), triples(expected));
}

TEST(LearnMerges, MissingPairFrequencyIsAnInternalError) {
  // (98, 99) is in the word but not in the counts handed over.
  std::vector<WordFreq> words = {{Word{97, 98, 99}, 3}};
  PairFreqs freqs;
  freqs[Pair{97, 98}] = 3;
  try {
    learn_merges(words, std::move(freqs));
    ADD_FAILURE() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "pair frequency must exist before merge update");
  }
}

// --- Merge loop: random corpora against the oracle ----------------------------

enum class Shape { TwoLetters, ThreeLetters, Runs, HighBytes, Utf8, Letters26, LongWords };

const char* shape_name(Shape s) {
  switch (s) {
    case Shape::TwoLetters: return "TwoLetters";
    case Shape::ThreeLetters: return "ThreeLetters";
    case Shape::Runs: return "Runs";
    case Shape::LongWords: return "LongWords";
    case Shape::HighBytes: return "HighBytes";
    case Shape::Utf8: return "Utf8";
    case Shape::Letters26: return "Letters26";
  }
  return "?";
}

std::size_t uniform(std::mt19937& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

// A pool of distinct-ish words, then chunks drawn from it with a skew so
// that frequencies vary from 1 to dozens, and some empty chunks.
std::vector<std::string> random_corpus(Shape shape, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> units;
  std::size_t pool_size = 0;
  std::size_t min_len = 0;
  std::size_t max_len = 0;
  std::size_t chunks = 0;
  switch (shape) {
    case Shape::TwoLetters:
      units = {"a", "b"};
      pool_size = 30;
      max_len = 10;
      chunks = 200;
      break;
    case Shape::ThreeLetters:
      units = {"a", "b", "c"};
      pool_size = 80;
      min_len = 1;
      max_len = 14;
      chunks = 400;
      break;
    case Shape::Runs:
      units = {"a", "ab", "aab", "b"};
      pool_size = 40;
      max_len = 40;
      chunks = 300;
      break;
    case Shape::HighBytes:
      units = {"\x00"s, "\x01", "\x7f", "\x80", "\xc3", "\xa9", "\xff"};
      pool_size = 60;
      max_len = 12;
      chunks = 300;
      break;
    case Shape::Utf8:
      units = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e"};
      pool_size = 60;
      max_len = 8;
      chunks = 300;
      break;
    case Shape::Letters26:
      for (char c = 'a'; c <= 'z'; ++c) units.emplace_back(1, c);
      pool_size = 400;
      min_len = 2;
      max_len = 12;
      chunks = 3000;
      break;
    case Shape::LongWords:
      // A few words of thousands of ids, most repeated: far past the
      // default positional length, and full of overlapping runs.
      units = {"a", "b", "ab", "aaa", "\xc3\xa9"};
      pool_size = 6;
      min_len = 200;
      max_len = 3000;
      chunks = 16;
      break;
  }
  std::vector<std::string> pool;
  for (std::size_t i = 0; i < pool_size; ++i) {
    std::string w;
    const std::size_t len = uniform(rng, min_len, max_len);
    if (shape == Shape::Runs) {
      // Long runs of one unit, sometimes with a different unit inside.
      const std::string& unit = units[uniform(rng, 0, units.size() - 1)];
      while (w.size() < len) w += unit;
      if (uniform(rng, 0, 2) == 0 && !w.empty()) {
        w.insert(uniform(rng, 0, w.size()), units[uniform(rng, 0, units.size() - 1)]);
      }
    } else {
      for (std::size_t k = 0; k < len; ++k) w += units[uniform(rng, 0, units.size() - 1)];
    }
    pool.push_back(std::move(w));
  }
  std::vector<std::string> out;
  std::geometric_distribution<std::size_t> skew(4.0 / static_cast<double>(pool_size));
  for (std::size_t i = 0; i < chunks; ++i) {
    if (uniform(rng, 0, 19) == 0) {
      out.emplace_back();
    } else {
      out.push_back(pool[std::min(skew(rng), pool_size - 1)]);
    }
  }
  return out;
}

class LearnMergesRandom : public ::testing::TestWithParam<std::tuple<Shape, std::uint32_t>> {};

TEST_P(LearnMergesRandom, MatchesOracle) {
  const auto [shape, seed] = GetParam();
  SCOPED_TRACE(std::string(shape_name(shape)) + " seed " + std::to_string(seed));
  const std::vector<std::string> chunks = random_corpus(shape, seed);

  oracle::WordTable expected_words = oracle::word_table(views(chunks));
  const std::vector<Merge> expected = oracle::learn_merges_sequential(expected_words);

  std::sort(expected_words.begin(), expected_words.end());
  for (const std::size_t from : POSITIONAL_SETTINGS) {
    SCOPED_TRACE("positional from " + std::to_string(from));
    std::vector<WordFreq> words = word_table(chunks);
    PairFreqs freqs = count_pairs(words);
    const std::vector<Merge> merges = learn_merges(words, std::move(freqs), from);
    EXPECT_EQ(triples(merges), triples(expected));
    // Every word ends as merge_word made it, merge after merge.
    EXPECT_EQ(sorted(std::move(words)), expected_words);
  }
}

TEST_P(LearnMergesRandom, FromCountsMatchesOracle) {
  const auto [shape, seed] = GetParam();
  SCOPED_TRACE(std::string(shape_name(shape)) + " seed " + std::to_string(seed));
  const std::vector<std::string> chunks = random_corpus(shape, seed);
  const std::vector<Merge> expected = oracle::learn_merges_sequential(views(chunks));
  WordCounter counter;
  for (const std::string& c : chunks) counter.add(c);
  const std::size_t pairs = count_pairs(word_table(chunks)).size();
  for (const std::size_t from : POSITIONAL_SETTINGS) {
    SCOPED_TRACE("positional from " + std::to_string(from));
    TrainProfile profile;
    EXPECT_EQ(triples(learn_from_counts(counter, &profile, from)), triples(expected));
    EXPECT_EQ(profile.distinct_words, counter.distinct());
    EXPECT_EQ(profile.initial_pairs, pairs);
  }
}

TEST_P(LearnMergesRandom, ChunkOrderDoesNotMatter) {
  const auto [shape, seed] = GetParam();
  SCOPED_TRACE(std::string(shape_name(shape)) + " seed " + std::to_string(seed));
  std::vector<std::string> chunks = random_corpus(shape, seed);
  const std::vector<Merge> first = learn(chunks);
  std::mt19937 rng(seed + 1000);
  std::shuffle(chunks.begin(), chunks.end(), rng);
  EXPECT_EQ(triples(learn(chunks)), triples(first));
}

// Every kind of limit, alone and together, against both oracles, from
// counts and from a word table, with long words kept both ways.
TEST_P(LearnMergesRandom, LimitsMatchOracle) {
  const auto [shape, seed] = GetParam();
  if (seed >= 3) GTEST_SKIP() << "three seeds of each shape are enough here";
  SCOPED_TRACE(std::string(shape_name(shape)) + " seed " + std::to_string(seed));
  const std::vector<std::string> chunks = random_corpus(shape, seed);
  WordCounter counter;
  for (const std::string& c : chunks) counter.add(c);
  // Past 65,280 merges the slot words hold 32-bit ids; these corpora run out
  // of pairs long before.
  const oracle::Limits settings[] = {{40, 3, 0},   {7744, 1, 0},   {7744, 5, 0},   {7744, 2, 2},
                                     {7744, 1, 3}, {300, 0, 5},    {69744, 1, 0},  {69744, 2, 3}};
  for (const oracle::Limits& limits : settings) {
    SCOPED_TRACE("max merges " + std::to_string(limits.max_merges) + ", min freq " +
                 std::to_string(limits.min_freq) + ", max length " + std::to_string(limits.max_length));
    const TrainLimits ours{limits.max_merges, limits.min_freq, limits.max_length};
    const std::vector<Merge> expected = oracle::learn_merges_sequential(views(chunks), limits);
    oracle::WordTable table = oracle::word_table(views(chunks));
    EXPECT_EQ(triples(oracle::learn_merges_indexed(table, limits)), triples(expected));
    for (const std::size_t from : POSITIONAL_SETTINGS) {
      SCOPED_TRACE("positional from " + std::to_string(from));
      EXPECT_EQ(triples(learn_from_counts(counter, nullptr, from, nullptr, ours)), triples(expected));
      std::vector<WordFreq> words = word_table(chunks);
      PairFreqs freqs = count_pairs(words);
      EXPECT_EQ(triples(learn_merges(words, std::move(freqs), from, nullptr, false, ours)),
                triples(expected));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, LearnMergesRandom,
    ::testing::Combine(::testing::Values(Shape::TwoLetters, Shape::ThreeLetters, Shape::Runs,
                                         Shape::HighBytes, Shape::Utf8, Shape::Letters26,
                                         Shape::LongWords),
                       ::testing::Range(std::uint32_t{0}, std::uint32_t{8})),
    [](const auto& info) {
      return std::string(shape_name(std::get<0>(info.param))) + "Seed" +
             std::to_string(std::get<1>(info.param));
    });

// Distinct random words over 60 letters, each at least three times: every
// pair stays mergeable, so only the cap ends the loop.
TEST(LearnMergesCap, StopsAtExactly7744) {
  std::mt19937 rng(2024);
  std::vector<std::string> chunks;
  std::set<std::string> seen;
  while (seen.size() < 1800) {
    std::string w(8, ' ');
    for (char& c : w) c = static_cast<char>(0x41 + rng() % 60);
    if (!seen.insert(w).second) continue;
    const std::size_t times = 3 + rng() % 3;
    for (std::size_t k = 0; k < times; ++k) chunks.push_back(w);
  }
  const std::vector<Merge> merges = learn(chunks);
  ASSERT_EQ(merges.size(), 7744u);
  for (std::size_t k = 0; k < merges.size(); ++k) {
    ASSERT_EQ(merges[k].new_id, 256 + k);
    ASSERT_LT(merges[k].left, merges[k].new_id);
    ASSERT_LT(merges[k].right, merges[k].new_id);
  }
  EXPECT_EQ(merges.back().new_id, 7999);
  EXPECT_EQ(triples(merges), triples(oracle::learn_merges_sequential(views(chunks))));
}

// Past 16-bit ids: distinct random words, each seen once, merged with
// least frequency 1 until 70,000 ids are made; the loop from counts (long
// words kept both ways) against the indexed oracle, and a smaller size
// giving the start of the same list.
TEST(LearnMergesWide, PastSixteenBitIdsMatchTheIndexedOracle) {
  std::mt19937 rng(65536);
  std::vector<std::string> chunks;
  std::set<std::string> seen;
  while (seen.size() < 14000) {
    std::string w(std::uniform_int_distribution<std::size_t>(4, 16)(rng), ' ');
    for (char& c : w) c = static_cast<char>(0x21 + rng() % 94);
    if (seen.insert(w).second) chunks.push_back(w);
  }
  const oracle::Limits limits{70000 - 256, 1, 0};
  const std::vector<Merge> expected = oracle::learn_merges_indexed(*std::make_unique<oracle::WordTable>(
                                                                       oracle::word_table(views(chunks))),
                                                                   limits);
  ASSERT_EQ(expected.size(), limits.max_merges);
  EXPECT_EQ(expected.back().new_id, 69999u);
  WordCounter counter;
  for (const std::string& c : chunks) counter.add(c);
  for (const std::size_t from : {POSITIONAL_FROM, std::size_t{8}}) {
    SCOPED_TRACE("positional from " + std::to_string(from));
    const std::vector<Merge> merges =
        learn_from_counts(counter, nullptr, from, nullptr, {limits.max_merges, 1, 0});
    EXPECT_EQ(triples(merges), triples(expected));
  }
  const std::vector<Merge> smaller = learn_from_counts(counter, nullptr, POSITIONAL_FROM, nullptr,
                                                       {60000 - 256, 1, 0});
  EXPECT_TRUE(std::equal(smaller.begin(), smaller.end(), expected.begin()));
}

// --- Large blocks -------------------------------------------------------------

// Sizes on both sides of the 2 MiB line and of a small page past it, with
// blocks allocated between them so that a wrong unmap length would hit a
// neighbour: every block is aligned as promised and keeps what was written.
TEST(HugePageAllocator, BlocksAreAlignedAndKeepTheirBytes) {
  constexpr std::size_t MiB = std::size_t{1} << 20;
  HugePageAllocator<std::uint32_t> alloc;
  const std::size_t sizes[] = {2 * MiB - 4, 2 * MiB, 2 * MiB + 4, 2 * MiB + 4096, 5 * MiB + 12};
  std::vector<std::pair<std::uint32_t*, std::size_t>> blocks;
  for (int round = 0; round < 2; ++round) {
    for (const std::size_t bytes : sizes) {
      const std::size_t n = bytes / sizeof(std::uint32_t);
      std::uint32_t* p = alloc.allocate(n);
      if (bytes >= 2 * MiB) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (2 * MiB), 0u) << bytes;
      }
      for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint32_t>(i * 2654435761u + n);
      blocks.emplace_back(p, n);
    }
    // Free every other block, so that later ones land between survivors.
    for (std::size_t b = round; b < blocks.size(); b += 2) {
      alloc.deallocate(blocks[b].first, blocks[b].second);
      blocks[b].first = nullptr;
    }
    std::erase_if(blocks, [](const auto& b) { return b.first == nullptr; });
  }
  for (const auto& [p, n] : blocks) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += p[i] != static_cast<std::uint32_t>(i * 2654435761u + n);
    EXPECT_EQ(wrong, 0u) << n;
    alloc.deallocate(p, n);
  }
}

// --- Vocabulary -----------------------------------------------------------------

Bytes bytes_of(const VocabList& vocab, TokenId id) {
  const auto found = vocab.find(id);
  if (!found) return {};
  return Bytes(found->begin(), found->end());
}

// The bytes an id stands for, expanded through the merges recursively.
Bytes expand(std::span<const Merge> merges, TokenId id) {
  if (id < 256) return {static_cast<std::uint8_t>(id)};
  const Merge& m = merges[id - 256];
  Bytes out = expand(merges, m.left);
  const Bytes right = expand(merges, m.right);
  out.insert(out.end(), right.begin(), right.end());
  return out;
}

TEST(BuildVocab, SingleBytesWithoutMerges) {
  const VocabList vocab = build_vocab({});
  EXPECT_EQ(vocab.size(), 256u);
  for (unsigned b = 0; b < 256; ++b) {
    EXPECT_EQ(bytes_of(vocab, static_cast<TokenId>(b)), Bytes{static_cast<std::uint8_t>(b)});
  }
  EXPECT_FALSE(vocab.find(256));
}

TEST(BuildVocab, ConcatenatesParts) {
  const std::vector<Merge> merges = {{97, 98, 256}, {99, 100, 257}, {256, 257, 258},
                                     {258, 258, 259}, {256, 99, 260}};
  const VocabList vocab = build_vocab(merges);
  EXPECT_EQ(vocab.size(), 261u);
  EXPECT_EQ(bytes_of(vocab, 256), (Bytes{97, 98}));
  EXPECT_EQ(bytes_of(vocab, 257), (Bytes{99, 100}));
  EXPECT_EQ(bytes_of(vocab, 258), (Bytes{97, 98, 99, 100}));
  EXPECT_EQ(bytes_of(vocab, 259), (Bytes{97, 98, 99, 100, 97, 98, 99, 100}));
  EXPECT_EQ(bytes_of(vocab, 260), (Bytes{97, 98, 99}));
}

TEST(BuildVocab, ExpandsLearnedMerges) {
  for (const Shape shape : {Shape::Runs, Shape::Utf8, Shape::Letters26}) {
    SCOPED_TRACE(shape_name(shape));
    const std::vector<Merge> merges = learn(random_corpus(shape, 3));
    ASSERT_FALSE(merges.empty());
    const VocabList vocab = build_vocab(merges);
    EXPECT_EQ(vocab.size(), 256 + merges.size());
    for (const Merge& m : merges) {
      const Bytes got = bytes_of(vocab, m.new_id);
      EXPECT_GE(got.size(), 2u);
      EXPECT_EQ(got, expand(merges, m.new_id));
    }
  }
}

TEST(BuildVocab, UnknownPartIsAnInternalError) {
  const std::vector<Merge> merges = {{97, 300, 256}};
  try {
    (void)build_vocab(merges);
    ADD_FAILURE() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "no entry found for key");
  }
}

// --- Record texts -----------------------------------------------------------------

TEST(RecordText, MergesWorkedExample) {
  const std::vector<Merge> merges = {{104, 101, 256}, {256, 108, 257}};
  EXPECT_EQ(merges_record_text(merges),
            "[\n"
            "  {\"pair\":[104,101],\"id\":256},\n"
            "  {\"pair\":[256,108],\"id\":257}\n"
            "]");
}

TEST(RecordText, MergesEmptyAndSingle) {
  EXPECT_EQ(merges_record_text({}), "[\n]");
  const std::vector<Merge> one = {{0, 65535, 7999}};
  EXPECT_EQ(merges_record_text(one), "[\n  {\"pair\":[0,65535],\"id\":7999}\n]");
}

std::string single_byte_lines(bool last_has_comma) {
  std::string out;
  for (unsigned b = 0; b < 256; ++b) {
    out += "  {\"id\":" + std::to_string(b) + ",\"bytes\":[" + std::to_string(b) + "]}";
    out += b < 255 || last_has_comma ? ",\n" : "\n";
  }
  return out;
}

TEST(RecordText, VocabWorkedExample) {
  const std::vector<Merge> merges = {{104, 101, 256}, {256, 108, 257}};
  EXPECT_EQ(vocab_list_text(build_vocab(merges)),
            "[\n" + single_byte_lines(true) +
                "  {\"id\":256,\"bytes\":[104,101]},\n"
                "  {\"id\":257,\"bytes\":[104,101,108]}\n"
                "]");
}

TEST(RecordText, VocabWithoutMerges) {
  EXPECT_EQ(vocab_list_text(build_vocab({})), "[\n" + single_byte_lines(false) + "]");
}

TEST(RecordText, VocabIdsInNumericOrder) {
  VocabList vocab;
  const std::uint8_t two[] = {1, 2};
  const std::uint8_t zero[] = {0};
  vocab.set(256, two);
  vocab.set(10, {});
  vocab.set(9, zero);
  EXPECT_EQ(vocab_list_text(vocab),
            "[\n"
            "  {\"id\":9,\"bytes\":[0]},\n"
            "  {\"id\":10,\"bytes\":[]},\n"
            "  {\"id\":256,\"bytes\":[1,2]}\n"
            "]");
  EXPECT_EQ(vocab_list_text(VocabList{}), "[\n]");
}

// --- Replacing a record file --------------------------------------------------------

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& p, std::string_view text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

class ReplaceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) /
            ("ovilex-replace-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    dir_ = (root_ / "data").string();
    target_ = (root_ / "data" / "rec.json").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  std::optional<Error> replace(std::string_view text) { return replace_file(dir_, target_, text); }

  fs::path root_;
  std::string dir_;
  std::string target_;
};

TEST_F(ReplaceFile, CreatesTheDirectoryAndWritesTheText) {
  EXPECT_FALSE(replace("[\n]"));
  EXPECT_EQ(read_file(target_), "[\n]");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"rec.json"}));
}

TEST_F(ReplaceFile, ReplacesALongerFileWhole) {
  fs::create_directories(dir_);
  write_file(target_, std::string(10000, 'x'));
  write_file(fs::path(dir_) / "other", "keep");
  EXPECT_FALSE(replace("new"));
  EXPECT_EQ(read_file(target_), "new");
  EXPECT_EQ(read_file(fs::path(dir_) / "other"), "keep");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"other", "rec.json"}));
}

TEST_F(ReplaceFile, DirectoryAtTheTarget) {
  fs::create_directories(fs::path(target_) / "inside");
  const auto error = replace("new");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, ErrorKind::Io);
  EXPECT_EQ(error->message, "failed to write " + target_ + ": Is a directory (os error 21)");
  EXPECT_TRUE(fs::is_directory(fs::path(target_) / "inside"));
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"rec.json"}));
}

TEST_F(ReplaceFile, PlainFileInPlaceOfTheDirectory) {
  write_file(dir_, "plain");
  const auto error = replace("new");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, ErrorKind::Io);
  EXPECT_EQ(error->message, "failed to write " + target_ + ": File exists (os error 17)");
  EXPECT_EQ(read_file(dir_), "plain");
  EXPECT_EQ(entries(root_), (std::set<std::string>{"data"}));
}

// A write that fails half way (the file size limit) keeps the old file.
TEST_F(ReplaceFile, FailedWriteKeepsThePreviousFile) {
  fs::create_directories(dir_);
  write_file(target_, "old and good");
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto error = replace(std::string(1000, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "failed to write " + target_ + ": File too large (os error 27)");
  EXPECT_EQ(read_file(target_), "old and good");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"rec.json"}));
}

}  // namespace
}  // namespace ovilex
