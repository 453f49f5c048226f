// Merging by rank (engine/ranked.h) against the libraries' rules written out
// on byte strings, on random vocabularies whose rank order is not the order
// their tokens were made in; and where it parts from ovilex's merge list.
#include "engine/ranked.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/encode.h"

namespace ovilex {
namespace {

using engine::RankedMerges;
using Ids = std::vector<TokenId>;
using Strings = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// Bytes at ids 1000 + b, so that a byte's id is never the byte; other
// tokens from 256 on.
struct Vocab {
  VocabList list;
  std::map<std::string, TokenId> ids;
  TokenId next = 256;

  explicit Vocab(const Strings& tokens = {}) {
    for (unsigned b = 0; b < 256; ++b) add(std::string(1, static_cast<char>(b)), 1000 + b);
    for (const std::string& t : tokens) add(t, next++);
  }
  void add(const std::string& bytes, TokenId id) {
    list.set(id, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    ids[bytes] = id;
  }
  std::vector<Merge> merges(const Pairs& pairs) const {
    std::vector<Merge> out;
    for (const auto& [l, r] : pairs) out.push_back({ids.at(l), ids.at(r), ids.at(l + r)});
    return out;
  }
  Ids ids_of(const Strings& parts) const {
    Ids out;
    for (const std::string& p : parts) out.push_back(ids.at(p));
    return out;
  }
};

// The lowest-ranked adjacent pair first, the leftmost of equals, on the
// chunk's parts as strings; rank_of gives a pair's rank or -1.
template <class RankOf>
Strings merge_parts(const std::string& chunk, RankOf&& rank_of) {
  Strings parts;
  for (const char c : chunk) parts.emplace_back(1, c);
  for (;;) {
    long best = -1;
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      const long rank = rank_of(parts[i], parts[i + 1]);
      if (rank >= 0 && (best < 0 || rank < best)) best = rank, at = i;
    }
    if (best < 0) return parts;
    parts[at] += parts[at + 1];
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  }
}

Ids encoded(const RankedMerges& ranked, const std::string& chunk) {
  Ids out(chunk.size() + 1, 0xFFFF);
  const std::size_t n = ranked.encode(chunk, out.data());
  EXPECT_EQ(out[chunk.size()], 0xFFFF) << "wrote past the chunk's room";
  out.resize(n);
  return out;
}

TEST(Ranked, MatchesTheLibrariesRulesOnShortAndLongChunks) {
  std::mt19937 rng(7);
  for (int round = 0; round < 6; ++round) {
    // Tokens over "abc", some made two ways, their merges shuffled: later
    // merges often come first.
    Vocab v;
    Strings known = {"a", "b", "c"};
    Pairs pairs;
    while (v.next < 256 + 60) {
      const std::string l = known[rng() % known.size()], r = known[rng() % known.size()];
      if ((l + r).size() > 8) continue;
      if (!v.ids.contains(l + r)) {
        v.add(l + r, v.next++);
        known.push_back(l + r);
      }
      pairs.emplace_back(l, r);
    }
    std::shuffle(pairs.begin(), pairs.end(), rng);
    // Hugging Face: a pair ranks at its last place in the list. tiktoken:
    // at the id of its joined bytes, and a token is taken whole.
    std::map<std::pair<std::string, std::string>, long> place;
    for (std::size_t i = 0; i < pairs.size(); ++i) place[pairs[i]] = static_cast<long>(i);
    const auto by_place = [&](const std::string& a, const std::string& b) {
      const auto it = place.find({a, b});
      return it == place.end() ? -1L : it->second;
    };
    const auto by_id = [&](const std::string& a, const std::string& b) {
      const auto it = v.ids.find(a + b);
      return it == v.ids.end() ? -1L : long{it->second};
    };
    const auto by_list = RankedMerges::by_position(v.merges(pairs), v.list, false);
    const auto by_list_whole = RankedMerges::by_position(v.merges(pairs), v.list, true);
    const auto by_token = RankedMerges::by_token(v.list, true);
    const auto by_token_parts = RankedMerges::by_token(v.list, false);
    for (int i = 0; i < 150; ++i) {
      // Past 128 bytes the heap merges instead of the scan.
      std::string chunk(1 + rng() % (i % 5 == 0 ? 260 : 20), 'a');
      for (char& c : chunk) c = "abcx"[rng() % 4];
      const bool token = v.ids.contains(chunk);
      const Ids listed = v.ids_of(merge_parts(chunk, by_place));
      ASSERT_EQ(encoded(by_list, chunk), listed) << chunk;
      ASSERT_EQ(encoded(by_list_whole, chunk), token ? Ids{v.ids.at(chunk)} : listed) << chunk;
      const Ids merged = v.ids_of(merge_parts(chunk, by_id));
      ASSERT_EQ(encoded(by_token, chunk), token ? Ids{v.ids.at(chunk)} : merged) << chunk;
      ASSERT_EQ(encoded(by_token_parts, chunk), merged) << chunk;
    }
  }
}

struct Case {
  const char* name;
  Strings tokens;
  Pairs merges;  // in rank order
  bool whole_chunks;
  std::string chunk;
  Strings parts;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RankedCase : public ::testing::TestWithParam<Case> {};

TEST_P(RankedCase, GivesTheParts) {
  const Case& c = GetParam();
  const Vocab v(c.tokens);
  const auto ranked = RankedMerges::by_position(v.merges(c.merges), v.list, c.whole_chunks);
  EXPECT_EQ(encoded(ranked, c.chunk), v.ids_of(c.parts));
}

const Strings RUN = {"aa", "aaaa"};
const Pairs RUN_MERGES = {{"a", "a"}, {"aa", "aa"}};

INSTANTIATE_TEST_SUITE_P(
    Ranked, RankedCase,
    ::testing::Values(
        Case{"LeftmostOfEquals", RUN, RUN_MERGES, false, "aaaaaaa", {"aaaa", "aa", "a"}},
        Case{"LongRunThroughTheHeap", RUN, RUN_MERGES, false, std::string(131, 'a'),
             [] {
               Strings parts(32, "aaaa");
               parts.insert(parts.end(), {"aa", "a"});
               return parts;
             }()},
        // A merge listed first that only a later one makes a pair for: the
        // list in order gives [ab, c] (see ListedMergesApplyOnce).
        Case{"LaterMergeMakesAnEarlierPair", {"ab", "abc"}, {{"ab", "c"}, {"a", "b"}}, false,
             "abc", {"abc"}},
        Case{"WithoutWholeChunks", {"ab", "abc"}, {{"a", "b"}}, false, "abc", {"ab", "c"}},
        Case{"WholeChunkNoMergeMakes", {"ab", "abc"}, {{"a", "b"}}, true, "abc", {"abc"}},
        Case{"OnlyWholeChunksAreWhole", {"ab", "abc"}, {{"a", "b"}}, true, "abcabc",
             {"ab", "c", "ab", "c"}},
        Case{"APairListedTwiceHasItsLastRank", {"ab", "bc"}, {{"a", "b"}, {"b", "c"}, {"a", "b"}},
             false, "abc", {"a", "bc"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ranked, ListedMergesApplyOnce) {
  const Vocab v({"ab", "abc"});
  Ids word = v.ids_of({"a", "b", "c"});
  word.resize(encode_word(word, MergeIndex(v.merges({{"ab", "c"}, {"a", "b"}}))));
  EXPECT_EQ(word, v.ids_of({"ab", "c"}));
}

TEST(Ranked, MergesByRankListEachTokenReachableBelowItsOwnRank) {
  // Ranked below "ab" and "bc", "abc" has no pair to be made of, yet is
  // part of later tokens.
  const Vocab v({"abc", "bc", "ab", "abcab", "abcabc"});
  EXPECT_EQ(RankedMerges::merges_by_rank(v.list),
            v.merges({{"b", "c"}, {"a", "b"}, {"abc", "ab"}, {"abc", "abc"}}));
}

TEST(Ranked, VocabProblems) {
  Vocab v;
  EXPECT_EQ(RankedMerges::vocab_problem(v.list), std::nullopt);
  v.add("ab", 300);
  v.add("ab", 301);
  EXPECT_EQ(RankedMerges::vocab_problem(v.list), "ids 300 and 301 both stand for the same bytes");
  VocabList missing;
  for (unsigned byte = 0; byte < 256; ++byte) {
    const auto bytes = static_cast<std::uint8_t>(byte);
    if (byte != 0xE9) missing.set(static_cast<TokenId>(byte), {&bytes, 1});
  }
  EXPECT_EQ(RankedMerges::vocab_problem(missing), "no id stands for the byte 0xE9");
}

}  // namespace
}  // namespace ovilex
