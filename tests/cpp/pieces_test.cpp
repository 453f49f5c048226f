// Files read in small blocks under every split pattern, with and without a
// prefix space, against the whole text in memory: the pieces split as the
// whole does, and the token counts and shards of the files are the ids of
// encode_text of each whole file. On real text and on text made to put
// whitespace runs, CR and LF, digits, contractions, cased letters and marks
// at the blocks' edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/compiled.h"
#include "engine/file_tokens.h"
#include "engine/shards.h"
#include "scratch_dir.h"
#include "text/source.h"
#include "text/split.h"
#include "tokenizer/train.h"

namespace ovilex::engine {
namespace {

using text::SplitPattern;

constexpr SplitPattern PATTERNS[] = {SplitPattern::Ovilex, SplitPattern::Gpt2,
                                     SplitPattern::Cl100k, SplitPattern::Llama3,
                                     SplitPattern::Qwen2,  SplitPattern::O200k};

// Text where the patterns part ways: runs of whitespace of every kind
// (CR, LF, U+00A0, U+3000) next to letters, symbols and digits; digit runs
// of every length; contractions in both cases and with U+017F; letters
// upper, lower, title and modifier, Greek final sigma, marks after letters
// and alone; CJK and emoji.
std::string adversarial_text(std::mt19937& rng, std::size_t length) {
  static const std::vector<std::string> parts = {
      " ",     "  ",     "   ",       "\t",      "\n",      "\r\n",    "\r",     "\n\n ",
      " \n",   "\xC2\xA0", "\u3000",  "\v\f",    "a",       "Word",    "WORD",   "word",
      "é",     "É",      "Σας",       "ǅx",      "ʰ",       "\u0301",  "a\u0308", "\u0903",
      "1",     "12",     "1234567",   "١٢٣",     "Ⅷ",       "'s",      "'S",     "'re",
      "'RE",   "'ll",    "'Ll",       "'\u017F", "'",       "!",       "?!",     "/",
      "//\n",  "_",      ".\r\n",     "日本語",  "👍🏽",      " the",    " 42",    " !"};
  std::string out;
  while (out.size() < length) out += parts[rng() % parts.size()];
  return out;
}

// The first |bytes| of the interpreter's standard library, file after file.
const std::string& real_text() {
  static const std::string text = [] {
    constexpr std::size_t bytes = 120'000;
    std::vector<std::filesystem::path> sources;
    for (const auto& entry : std::filesystem::directory_iterator(OVILEX_REAL_TEXT_DIR)) {
      if (entry.path().extension() == ".py") sources.push_back(entry.path());
    }
    std::sort(sources.begin(), sources.end());
    std::string out;
    for (const auto& path : sources) {
      std::ifstream in(path, std::ios::binary);
      out.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (out.size() >= bytes) break;
    }
    // Cut at a line end, never inside a character.
    out.resize(out.rfind('\n', bytes) + 1);
    return out;
  }();
  return text;
}

// The texts of a round: real text, made text, and the edge cases of a file's
// start (empty, one space, whitespace first, a cut only near the start).
std::vector<std::string> texts_for(unsigned seed) {
  std::mt19937 rng(seed);
  return {real_text(),
          adversarial_text(rng, 20'000),
          adversarial_text(rng, 3'000) + "\r\n\r\n   ",
          "\n\n  Mixed\u3000text,\tits 12345 digits and WE'RE done.",
          "",
          " ",
          "\nx",
          // A first block whose only cut is near the start, where the
          // space of prefix_space changes where the text may be cut.
          "\n" + std::string(300, 'x'),
          "\t\t" + std::string(300, '!'),
          "\r\n" + std::string(300, '7')};
}

std::vector<std::string> chunks_of(SplitPattern pattern, std::string_view text) {
  std::vector<std::string> out;
  text::split_utf8(pattern, text, [&](std::string_view c) { out.emplace_back(c); });
  return out;
}

// A text as a tokenizer with prefix_space sees it.
std::string with_prefix(std::string_view text) {
  return text.empty() || text.front() == ' ' ? std::string(text) : " " + std::string(text);
}

// Merges learned from the texts, encoding by |pattern| and |prefix_space|.
std::unique_ptr<CompiledTokenizer> tokenizer_for(SplitPattern pattern, bool prefix_space) {
  std::mt19937 rng(5);
  WordCounter counter;
  text::split_utf8(pattern, real_text() + adversarial_text(rng, 60'000),
                   [&](std::string_view c) { counter.add(c); });
  std::vector<Merge> merges = learn_from_words(counter.words());
  merges.resize(std::min<std::size_t>(merges.size(), 1000));
  EncodingRules rules;
  rules.pattern = pattern;
  rules.prefix_space = prefix_space;
  return std::make_unique<CompiledTokenizer>(merges, build_vocab(merges),
                                             std::vector<SpecialToken>{}, rules);
}

std::string contents(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

class PatternPieces
    : public ::testing::TestWithParam<std::tuple<SplitPattern, bool>> {
 protected:
  SplitPattern pattern() const { return std::get<0>(GetParam()); }
  bool prefix_space() const { return std::get<1>(GetParam()); }
};

TEST_P(PatternPieces, PiecesSplitAsTheWholeText) {
  const ScratchDir dir;
  const text::PieceCuts cuts{pattern(), prefix_space()};
  const std::vector<std::string> texts = texts_for(1);
  for (std::size_t t = 0; t < texts.size(); ++t) {
    const std::string path = dir.file("t.txt", texts[t]);
    // The whole text as encoding splits it, with its space if any.
    const std::string whole = prefix_space() ? with_prefix(texts[t]) : texts[t];
    const std::vector<std::string> expected = chunks_of(pattern(), whole);
    for (const std::size_t block : {64, 100, 333, 4096}) {
      std::vector<std::string> got;
      std::string joined;
      std::size_t pieces = 0;
      ASSERT_FALSE(text::read_pieces(path, block, cuts, [&](std::string_view piece) {
        joined += piece;
        // Only the text's first piece takes the space.
        const std::string seen = prefix_space() && pieces == 0 ? with_prefix(piece)
                                                               : std::string(piece);
        for (std::string& c : chunks_of(pattern(), seen)) got.push_back(std::move(c));
        ++pieces;
      }));
      ASSERT_EQ(joined, texts[t]) << "text " << t << ", block " << block;
      ASSERT_EQ(got, expected) << "text " << t << ", block " << block;
      // Pieces are cut as the blocks go, not the file read whole.
      if (texts[t].size() > 10'000) {
        EXPECT_GE(pieces, texts[t].size() / (2 * block)) << "text " << t << ", block " << block;
      }
    }
  }
}

// Every cut near a text's start, whatever follows: short texts, each cut
// where last_piece_cut allows, with continuations of every kind after it.
TEST_P(PatternPieces, CutsAtTheStartHoldWithTheSpace) {
  const text::PieceCuts cuts{pattern(), prefix_space()};
  std::mt19937 rng(3);
  std::size_t cut_texts = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = adversarial_text(rng, rng() % 24);
    const std::size_t p = text::last_piece_cut(cuts, text, 0, true);
    if (p == 0) continue;
    ++cut_texts;
    const auto seen = [&](std::string_view t) {
      return prefix_space() ? with_prefix(t) : std::string(t);
    };
    for (int k = 0; k < 4; ++k) {
      const std::string after = adversarial_text(rng, k);
      std::vector<std::string> got = chunks_of(pattern(), seen(text.substr(0, p)));
      for (std::string& c : chunks_of(pattern(), text.substr(p) + after)) {
        got.push_back(std::move(c));
      }
      ASSERT_EQ(got, chunks_of(pattern(), seen(text + after)))
          << "cut at " << p << " of '" << text << "' + '" << after << "'";
    }
  }
  EXPECT_GT(cut_texts, 1000u);
}

TEST_P(PatternPieces, CountsAndShardsAreThoseOfEachWholeFile) {
  const auto tok = tokenizer_for(pattern(), prefix_space());
  const ScratchDir dir;
  const std::vector<std::string> texts = texts_for(2);
  std::vector<std::string> paths;
  std::vector<ShardJob> jobs;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    paths.push_back(dir.file(name + ".txt", texts[i]));
    jobs.push_back({paths.back(), dir.path(name + ".bin32"), dir.path(name + ".idx"), ""});
  }
  std::vector<std::vector<TokenId>> expected(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) tok->encode_text(texts[i], expected[i]);
  // Merges apply: a wrong cut changes ids, not only chunks.
  ASSERT_LT(expected[0].size() * 2, texts[0].size());
  for (const std::size_t block : {64, 1000}) {
    for (const std::size_t threads : {1, 3}) {
      FileTokensOptions counting;
      counting.block = block;
      counting.threads = threads;
      const auto counted = count_file_tokens(*tok, paths, counting);
      ASSERT_TRUE(std::holds_alternative<std::vector<std::uint64_t>>(counted));
      const auto& counts = std::get<std::vector<std::uint64_t>>(counted);
      for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(counts[i], expected[i].size()) << "file " << i << ", block " << block;
      }
      ShardOptions sharding;
      sharding.block = block;
      sharding.threads = threads;
      sharding.width = IdWidth::Bits32;
      ASSERT_FALSE(write_shards(*tok, jobs, sharding));
      for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string bin = contents(jobs[i].bin);
        std::vector<TokenId> ids(bin.size() / 4);
        for (std::size_t k = 0; k < bin.size(); ++k) {
          ids[k / 4] |= TokenId{static_cast<unsigned char>(bin[k])} << (8 * (k % 4));
        }
        EXPECT_EQ(ids, expected[i]) << "file " << i << ", block " << block;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, PatternPieces, ::testing::Combine(::testing::ValuesIn(PATTERNS), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<SplitPattern, bool>>& info) {
      return std::string(text::split_pattern_name(std::get<0>(info.param))) +
             (std::get<1>(info.param) ? "_prefix_space" : "");
    });

}  // namespace
}  // namespace ovilex::engine
