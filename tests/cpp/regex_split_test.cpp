// The PCRE2 path against the native splitters: the published family
// patterns, run as regular expressions, must cut mixed text where the native
// matchers cut it, and the encoder must give the same ids through either.
#include "text/regex_split.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/compiled.h"
#include "mixed_text.h"
#include "text/split.h"

namespace ovilex::text {
namespace {

const std::vector<std::pair<SplitPattern, std::string>>& family_patterns() {
  static const std::vector<std::pair<SplitPattern, std::string>> patterns = {
      {SplitPattern::Gpt2, R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)"},
      {SplitPattern::Cl100k,
       R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s)"},
      {SplitPattern::Llama3,
       R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)"},
      {SplitPattern::Qwen2,
       R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)"},
  };
  return patterns;
}

RegexSplitter findall(const std::string& regex) { return RegexSplitter({SplitStep{.regex = regex}}); }

std::vector<std::string> native_chunks(SplitPattern p, std::string_view text) {
  std::vector<std::string> out;
  split_utf8(p, text, [&](std::string_view c) { out.emplace_back(c); });
  return out;
}

std::vector<std::string> regex_chunks(const RegexSplitter& s, std::string_view text) {
  std::vector<std::string> out;
  s.split(text, [&](std::size_t b, std::size_t e) { out.emplace_back(text.substr(b, e - b)); });
  return out;
}

class FamilyThroughPcre2 : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FamilyThroughPcre2, CutsWhereTheNativeMatcherCuts) {
  const auto& [pattern, regex] = family_patterns()[GetParam()];
  const RegexSplitter splitter = findall(regex);
  for (unsigned seed = 0; seed < 20; ++seed) {
    std::mt19937 rng(seed);
    // Whitespace runs that end the text, with and without CR and LF.
    const std::string text = engine::mixed_text(rng, 2000) + (seed % 2 ? " \n " : "\r\n");
    ASSERT_EQ(regex_chunks(splitter, text), native_chunks(pattern, text)) << "seed " << seed;
  }
}

TEST_P(FamilyThroughPcre2, EncodesToTheNativeIds) {
  const auto& [pattern, regex] = family_patterns()[GetParam()];
  const engine::CompiledTokenizer& trained = engine::mixed_tokenizer();
  engine::EncodingRules native;
  native.pattern = pattern;
  engine::EncodingRules general = native;
  general.regex = std::make_shared<const RegexSplitter>(std::vector{SplitStep{.regex = regex}});
  const std::vector<Merge> merges(trained.merges().begin(), trained.merges().end());
  const engine::CompiledTokenizer a(merges, trained.vocab(), {}, native);
  const engine::CompiledTokenizer b(merges, trained.vocab(), {}, general);
  std::vector<std::string> texts;
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) texts.push_back(engine::mixed_text(rng, 1 + rng() % 3000));
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  EXPECT_EQ(b.encode_batch(views, 2), a.encode_batch(views, 2));
  EXPECT_EQ(b.count_batch(views, 2), a.count_batch(views, 2));
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyThroughPcre2, ::testing::Range<std::size_t>(0, 4));

TEST(RegexSplitter, ChainsSplitThePiecesOfTheStepBefore) {
  // Words with what follows them, then each digit alone, then "!" dropped.
  const RegexSplitter s({SplitStep{.regex = R"( ?\p{L}+| ?[^\s\p{L}]+|\s+)",
                                   .behavior = SplitBehavior::MergedWithNext,
                                   .invert = false},
                         SplitStep{.kind = SplitStep::Kind::Digits,
                                   .regex = "",
                                   .behavior = SplitBehavior::Isolated,
                                   .invert = false,
                                   .individual_digits = true},
                         SplitStep{.regex = "!", .behavior = SplitBehavior::Removed,
                                   .invert = false}});
  EXPECT_EQ(regex_chunks(s, "ab 12! cd"),
            (std::vector<std::string>{"ab", " ", "1", "2", " cd"}));
  EXPECT_TRUE(regex_chunks(s, "").empty());
  EXPECT_EQ(regex_chunks(RegexSplitter({}), "whole text"), std::vector<std::string>{"whole text"});
}

TEST(RegexSplitter, RefusesWhatCannotBeAStep) {
  const auto message = [](const std::string& regex) {
    try {
      findall(regex);
    } catch (const RegexError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("a|("), "PCRE2 cannot compile it at offset 3: missing closing parenthesis");
  EXPECT_EQ(message(R"(\p{L}*)"), "it may match the empty string");
  EXPECT_EQ(message(R"(\s+)"), "accepted");
}

}  // namespace
}  // namespace ovilex::text
