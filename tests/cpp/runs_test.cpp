// Long runs of one id and of two ids ("aaaa...", "abab..."), where every
// position of a word holds the same pair: the start lists fold such runs,
// and the position index finds a position's left neighbour through the
// positions merged away. Checked against the oracle on both paths of
// training and encoding.
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/compiled.h"
#include "oracle.h"
#include "text/split.h"
#include "tokenizer/encode.h"
#include "tokenizer/positions.h"
#include "tokenizer/train.h"

namespace ovilex {
namespace {

// --------------------------------------------------------------------------
// StartList

// Pushes in stretches that never go down (runs at a step, equal values,
// jumps), as many stretches as the seed picks (one, a few, more than are
// merged as read): read back ascending and once each, in batches of any
// size.
class StartListRandom : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(StartListRandom, ReadsBackEveryValueOnceAscending) {
  std::mt19937 rng(GetParam());
  const auto draw = [&](std::uint32_t below) {
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(rng);
  };
  const std::uint32_t counts[] = {1, 2, 3, StartList::MANY_STRETCHES,
                                  StartList::MANY_STRETCHES + 1, 40};
  const std::uint32_t stretches = counts[GetParam() % std::size(counts)];
  const std::uint32_t top = GetParam() % 2 == 0 ? 5000 : StartList::REPEAT - 1;
  StartList list;
  std::set<std::uint32_t> expected;
  std::uint32_t value = 0;
  for (std::uint32_t s = 0; s < stretches; ++s) {
    // Anywhere, or just below where the last stretch ended.
    value = s > 0 && value > 4 && draw(2) == 0 ? value - 1 - draw(3)
            : top <= 5000                      ? draw(top / 2)
                                               : top - 3000 - draw(2000);
    for (int part = 0, parts = 1 + static_cast<int>(draw(6)); part < parts; ++part) {
      // A run at one step (0: the same value again), or a few jumps.
      const std::uint32_t step = std::vector<std::uint32_t>{0, 1, 2, 3, 7, 100}[draw(6)];
      const std::uint32_t length = draw(3) == 0 ? 1 + draw(3) : 1 + draw(60);
      for (std::uint32_t i = 0; i < length && value < top; ++i) {
        list.push(value);
        expected.insert(value);
        value += draw(4) == 0 ? draw(9) : step;
      }
    }
  }
  StartList::Ascending ascending(list);
  std::vector<std::uint32_t> got;
  std::uint32_t batch[7];
  while (const std::size_t n = ascending.read(batch, 1 + draw(7))) got.insert(got.end(), batch, batch + n);
  EXPECT_EQ(got, std::vector<std::uint32_t>(expected.begin(), expected.end()))
      << stretches << " stretches";
}

INSTANTIATE_TEST_SUITE_P(Seeds, StartListRandom, ::testing::Range(std::uint32_t{1}, std::uint32_t{25}));

// --------------------------------------------------------------------------
// Words made of runs

// Runs of one letter and of two letters taking turns, of any length, with
// single letters between them.
std::string run_word(std::mt19937& rng, std::size_t most) {
  const auto draw = [&](std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng);
  };
  const std::string letters = "aab";
  std::string word;
  while (word.size() < most) {
    const char x = letters[draw(3)];
    const char y = letters[draw(3)];
    const std::size_t length = draw(4) == 0 ? 1 + draw(3) : 1 + draw(most);
    switch (draw(3)) {
      case 0: word.append(length, x); break;
      case 1:
        for (std::size_t i = 0; i < length; ++i) word += i % 2 == 0 ? x : y;
        break;
      default: word += x; break;
    }
  }
  word.resize(1 + draw(most));
  return word;
}

Word ids_of(std::string_view chunk) {
  Word w;
  for (const char c : chunk) w.push_back(static_cast<unsigned char>(c));
  return w;
}

// Several run words in one index, merged with pairs that occur in them
// (new ids fresh, or equal to a part): every word stays what merge_word
// makes of it, every replacement is reported once, and the neighbours it
// reports are those of the word as merge_word sees it.
class PositionIndexRuns : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PositionIndexRuns, EveryWordStaysWhatMergeWordMakesOfIt) {
  std::mt19937 rng(GetParam());
  const auto draw = [&](std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng);
  };
  PositionIndex index;
  std::vector<Word> expected;
  std::vector<std::uint32_t> starts;
  for (int w = 0; w < 6; ++w) {
    expected.push_back(ids_of(run_word(rng, 400)));
    starts.push_back(index.add_word(expected.back()));
  }
  index.index_pairs();
  for (TokenId step = 0; step < 40 && index.has_pairs(); ++step) {
    const Word& source = expected[draw(expected.size())];
    if (source.size() < 2) continue;
    const std::size_t i = draw(source.size() - 1);
    const Pair pair{source[i], source[i + 1]};
    const TokenId new_id = step % 5 == 4 ? pair.left : 256 + step;
    // The neighbours of each occurrence, as merge_word meets them.
    std::multiset<std::pair<std::int64_t, std::int64_t>> neighbours;
    for (const Word& w : expected) {
      Word left_done;
      for (std::size_t k = 0; k < w.size();) {
        if (k + 1 < w.size() && w[k] == pair.left && w[k + 1] == pair.right) {
          neighbours.insert({left_done.empty() ? -1 : std::int64_t{left_done.back()},
                             k + 2 < w.size() ? std::int64_t{w[k + 2]} : -1});
          left_done.push_back(new_id);
          k += 2;
        } else {
          left_done.push_back(w[k++]);
        }
      }
    }
    std::multiset<std::pair<std::int64_t, std::int64_t>> seen;
    index.merge(Merge{pair.left, pair.right, new_id}, [&](const PositionIndex::Occurrence& o) {
      const bool at_start = std::find(starts.begin(), starts.end(), o.at) != starts.end();
      EXPECT_EQ(o.before == nullptr, at_start);
      seen.insert({o.before ? std::int64_t{o.before->id} : -1, o.after ? std::int64_t{o.after->id} : -1});
    });
    EXPECT_EQ(seen, neighbours) << "step " << step;
    for (std::size_t w = 0; w < expected.size(); ++w) {
      expected[w] = merge_word(expected[w], pair, new_id);
      Word got;
      index.for_each_id(starts[w], [&](TokenId id) { got.push_back(id); });
      ASSERT_EQ(got, expected[w]) << "word " << w << ", step " << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PositionIndexRuns, ::testing::Range(std::uint32_t{1}, std::uint32_t{13}));

// --------------------------------------------------------------------------
// Training and encoding run words

std::vector<std::string> run_chunks(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> chunks;
  for (int i = 0; i < 30; ++i) chunks.push_back(run_word(rng, i % 3 == 0 ? 700 : 60));
  chunks.push_back(std::string(1000 + seed, 'a'));
  for (int i = 0; i < 3; ++i) chunks.push_back(chunks[i]);
  return chunks;
}

// Every final word, in the counter's numbering.
class KeptWords final : public FinalWords {
 public:
  void merges_made(std::span<const Merge>) override {}
  void word(std::uint32_t d, std::span<const TokenId> ids) override {
    words[d].assign(ids.begin(), ids.end());
  }
  std::map<std::uint32_t, Word> words;
};

class TrainRuns : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(TrainRuns, BothPathsLearnAndEncodeAsTheOracle) {
  const std::vector<std::string> chunks = run_chunks(GetParam());
  const std::vector<std::string_view> views(chunks.begin(), chunks.end());
  const std::vector<Merge> expected = oracle::learn_merges_sequential(views);
  ASSERT_GT(expected.size(), 10u);
  WordCounter counter;
  for (const std::string& c : chunks) counter.add(c);
  for (const std::size_t positional_from : {std::size_t{2}, std::size_t{50}, POSITIONAL_FROM}) {
    SCOPED_TRACE("positional from " + std::to_string(positional_from));
    KeptWords kept;
    EXPECT_EQ(learn_from_counts(counter, nullptr, positional_from, &kept), expected);
    for (std::uint32_t d = 0; d < counter.distinct(); ++d) {
      EXPECT_EQ(kept.words[d], oracle::encode_sequential({counter.chunk(d)}, expected)) << d;
    }
    EXPECT_EQ(learn_from_words(counter.words(), nullptr, positional_from), expected);
  }
  // The merges learnt, and the same list shuffled (pairs that may no longer
  // occur when their turn comes), on both word encoders and encode_bytes.
  std::vector<Merge> shuffled = expected;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(GetParam()));
  for (const std::vector<Merge>& merges : {expected, shuffled}) {
    const MergeIndex index(merges);
    for (const std::string& c : chunks) {
      Word want = oracle::encode_sequential({c}, merges);
      Word word = ids_of(c);
      word.resize(encode_word_long(word, index));
      EXPECT_EQ(word, want) << "long, length " << c.size();
      word = ids_of(c);
      word.resize(encode_word_short(word, index));
      EXPECT_EQ(word, want) << "short, length " << c.size();
      Word out = {7};
      encode_bytes(c, index, out);
      want.insert(want.begin(), 7);
      EXPECT_EQ(out, want) << "bytes, length " << c.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TrainRuns, ::testing::Range(std::uint32_t{1}, std::uint32_t{7}));

// A text longer than the encoder's buffer, with a chunk longer than it in
// the middle: the ids of every chunk, in order, as the oracle gives them.
TEST(CompiledRuns, ATextPastTheBufferAndAChunkLongerThanItEncodeAsTheOracle) {
  const std::vector<Merge> merges = oracle::learn_merges_sequential(
      std::vector<std::string_view>{"aaaaaaaa", "aaaaaaaa", "aaaaaaaa", " the", " the", " the"});
  const engine::CompiledTokenizer tok(merges, build_vocab(merges));
  std::string text;
  for (int i = 0; i < 70000; ++i) text += " the";
  text += " " + std::string(300000, 'a');
  for (int i = 0; i < 70000; ++i) text += " ab";
  std::vector<std::string_view> chunks;
  text::split_utf8(text, [&](std::string_view c) { chunks.push_back(c); });
  const std::vector<TokenId> want = oracle::encode_sequential(chunks, merges);
  std::vector<TokenId> ids;
  tok.encode_text(text, ids);
  EXPECT_EQ(ids, want);
  std::vector<std::uint16_t> narrow;
  tok.encode_text(text, narrow);
  EXPECT_EQ(std::vector<TokenId>(narrow.begin(), narrow.end()), want) << "as 16-bit ids";
}

}  // namespace
}  // namespace ovilex
