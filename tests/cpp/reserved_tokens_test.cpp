// Special tokens: where SpecialMatcher finds them, encoding with them against
// the stretches encoded one by one, decoding them, and their record file
// (tests/python/test_reserved_tokens.py holds them to re.split on random text).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/compiled.h"
#include "engine/reserved_tokens.h"
#include "scratch_dir.h"
#include "tokenizer/records.h"
#include "tokenizer/train.h"

namespace ovilex {
namespace {

using engine::SpecialMatcher;

// A walk over text as "[text]" for a stretch and "<id>" for a token.
template <class Split>
std::string walk(Split&& split) {
  std::string out;
  split([&](std::string_view s) { out += "[" + std::string(s) + "]"; },
        [&](TokenId id) { out += "<" + std::to_string(id) + ">"; });
  return out;
}

std::string matched(const std::vector<SpecialToken>& tokens, std::string_view text) {
  const SpecialMatcher matcher(tokens);
  return walk([&](auto on_text, auto on_id) { matcher.split(text, on_text, on_id); });
}

const std::vector<SpecialToken> NESTED = {{"<|a|>", 500}, {"<|a|><|b|>", 501}, {"<|b|>", 502}};

struct MatchCase {
  const char* name;
  std::vector<SpecialToken> tokens;
  std::string text;
  std::string walk;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class Matching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matching, FollowsTheRule) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(matched(c.tokens, c.text), c.walk);
}

INSTANTIATE_TEST_SUITE_P(
    Special, Matching,
    ::testing::Values(
        MatchCase{"None", NESTED, "plain <| text |>", "[plain <| text |>]"},
        MatchCase{"StartAndEnd", NESTED, "<|b|>x<|a|>", "<502>[x]<500>"},
        MatchCase{"Adjacent", NESTED, "<|b|><|b|><|a|>", "<502><502><500>"},
        MatchCase{"LongestOfTheNested", NESTED, "<|a|><|b|><|a|><|a|>", "<501><500><500>"},
        MatchCase{"CutShort", NESTED, "<|a|><|b|", "<500>[<|b|]"},
        MatchCase{"LeftmostOfOverlapping", {{"ab", 300}, {"bc", 301}}, "abc bc", "<300>[c ]<301>"},
        MatchCase{"PrefixOfAnother", {{"x", 300}, {"xx", 301}}, "xxx", "<301><300>"},
        MatchCase{"FirstBytesDiffer", {{"ab", 300}, {"é", 301}, {"\n\n", 302}},
                  "aé\n\n\nab", "[a]<301><302>[\n]<300>"},
        MatchCase{"NoTokens", {}, "abc", "[abc]"}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

// Text of pieces of special tokens and of ordinary text.
std::string pieces_text(std::mt19937& rng, std::size_t pieces) {
  static const std::vector<std::string> parts = {"<|a|>", "<|a|><|b|>", "<|b|>", "<|", "|>", "a",
                                                 "b", " ", "\n", "é", "<", "|", "the", "日本"};
  std::string out;
  for (std::size_t i = 0; i < pieces; ++i) out += parts[rng() % parts.size()];
  return out;
}

// A tokenizer with some merges over the pieces, and NESTED.
std::unique_ptr<engine::CompiledTokenizer> nested_tokenizer() {
  std::mt19937 rng(3);
  WordCounter counter;
  for (int i = 0; i < 300; ++i) counter.add(pieces_text(rng, 3));
  std::vector<Merge> merges = learn_from_words(counter.words());
  VocabList vocab = build_vocab(merges);
  return std::make_unique<engine::CompiledTokenizer>(std::move(merges), std::move(vocab), NESTED);
}

TEST(CompiledSpecial, EncodesTheStretchesApartAndDecodesBack) {
  const auto tok = nested_tokenizer();
  const SpecialMatcher only_b(std::vector<SpecialToken>{NESTED[2]});
  std::mt19937 rng(9);
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) texts.push_back(pieces_text(rng, rng() % 40));
  for (const SpecialMatcher* allowed : {&tok->all_specials(), &only_b}) {
    std::vector<std::vector<TokenId>> expected;
    for (const std::string& text : texts) {
      std::vector<TokenId>& ids = expected.emplace_back();
      allowed->split(text, [&](std::string_view s) { tok->encode_text(s, ids); },
                     [&](TokenId id) { ids.push_back(id); });
      std::vector<TokenId> got;
      tok->encode_text(text, *allowed, got);
      ASSERT_EQ(got, ids) << text;
      std::string back;
      EXPECT_EQ(tok->decode_bytes(got, back), std::nullopt);
      EXPECT_EQ(back, text);
      EXPECT_EQ(tok->decode(got).value(), text);
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    for (const std::size_t threads : {1u, 3u}) {
      EXPECT_EQ(tok->encode_batch(views, threads, allowed), expected);
    }
  }
}

TEST(CompiledSpecial, WithoutAllowingThemTextIsText) {
  const auto tok = nested_tokenizer();
  const std::string text = "<|a|><|b|> x<|b|>";
  std::vector<TokenId> allowed;
  tok->encode_text(text, tok->all_specials(), allowed);  // warms the cache with the stretches
  std::vector<TokenId> plain;
  tok->encode_text(text, plain);
  std::vector<TokenId> fresh;
  nested_tokenizer()->encode_text(text, fresh);
  EXPECT_EQ(plain, fresh);
  std::vector<TokenId> none;
  tok->encode_text(text, SpecialMatcher(), none);
  EXPECT_EQ(none, plain);
  for (const TokenId id : plain) EXPECT_LT(id, 500);
  // Special ids decode and count; others above the vocabulary stay unknown.
  EXPECT_EQ(tok->id_bound(), 503u);
  std::string back;
  const std::vector<TokenId> ids = {501, 97, 503};
  EXPECT_EQ(tok->decode_bytes(ids, back), std::optional<TokenId>(503));
  const auto bytes = tok->token_bytes(502);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "<|b|>");
}

// ------------------------------------------------------------ the record file

class SpecialRecords : public ::testing::Test {
 protected:
  Result<std::vector<SpecialToken>> read(const std::string& text) {
    return read_special_tokens(dir_.file("s.json", text), vocab_, "V");
  }
  std::string path() const { return dir_.path("s.json"); }

  ScratchDir dir_;
  VocabList vocab_ = build_vocab(std::vector<Merge>{{97, 98, 256}});
};

TEST_F(SpecialRecords, ReadWhatIsWrittenAndMissingMeansNone) {
  const std::vector<SpecialToken> tokens = {
      {"<|b|>", 301}, {"<|endoftext|>", 257}, {"日本😀\n\t\"\\/\x01\x7f", 300}};
  const std::string text = special_tokens_text(tokens);
  EXPECT_EQ(text,
            "[\n"
            "  {\"id\":257,\"text\":\"<|endoftext|>\"},\n"
            "  {\"id\":300,\"text\":"
            "\"\\u65e5\\u672c\\ud83d\\ude00\\n\\t\\\"\\\\/\\u0001\\u007f\"},\n"
            "  {\"id\":301,\"text\":\"<|b|>\"}\n"
            "]");
  const auto got = read(text);
  ASSERT_TRUE(got.ok()) << got.error().message;
  EXPECT_EQ(got.value(), (std::vector<SpecialToken>{tokens[1], tokens[2], tokens[0]}));
  // Any JSON that means the same, and no file at all.
  const auto loose = read("[\n { \"text\" : \"\\u00E9\\/\", \"id\": 400 } \n]\n");
  ASSERT_TRUE(loose.ok()) << loose.error().message;
  EXPECT_EQ(loose.value(), (std::vector<SpecialToken>{{"é/", 400}}));
  const auto missing = read_special_tokens(dir_.path("none.json"), vocab_, "V");
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing.value().empty());
}

TEST_F(SpecialRecords, DamageIsNamedByLine) {
  const std::string entry =
      "expected an entry {\"id\":ID,\"text\":TEXT} with an id 0 to 4294967294 and a non-empty TEXT "
      "without lone surrogates, found ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "line 1: expected '[', found an empty file"},
      {"[\n{\"id\":300,\"text\":\"\"}\n]", "line 2: " + entry + "'{\"id\":300,\"text\":\"\"}'"},
      {"[\n{\"id\":300,\"text\":\"\\ud800\"}\n]",
       "line 2: " + entry + "'{\"id\":300,\"text\":\"\\\\ud800\"}'"},
      {"[\n{\"id\":300,\"text\":\"\\udc00\\ud800\"}\n]",
       "line 2: " + entry + "'{\"id\":300,\"text\":\"\\\\udc00\\\\ud800\"}'"},
      {"[\n{\"id\":300,\"text\":7}\n]", "line 2: " + entry + "'{\"id\":300,\"text\":7}'"},
      {"[\n{\"id\":4294967295,\"text\":\"x\"}\n]",
       "line 2: " + entry + "'{\"id\":4294967295,\"text\":\"x\"}'"},
      {"[\n{\"id\":300,\"text\":\"x\"},\n{\"id\":300,\"text\":\"y\"}\n]",
       "line 3: expected an id above 300, found 300"},
      {"[\n{\"id\":256,\"text\":\"x\"}\n]", "line 2: expected an id that is not in V, found 256"},
      {"[\n{\"id\":300,\"text\":\"x\"},\n{\"id\":301,\"text\":\"y\"},\n"
       "{\"id\":302,\"text\":\"x\"}\n]",
       "line 4: expected a text unlike those above, found that of line 2"},
      {"[\n{\"id\":300,\"text\":\"x\"},\n]", "line 2: expected no comma after the last entry"},
  };
  for (const auto& [text, message] : cases) {
    const auto got = read(text);
    ASSERT_FALSE(got.ok()) << text;
    EXPECT_EQ(got.error().kind, ErrorKind::Record);
    EXPECT_EQ(got.error().message, path() + ", " + message) << text;
  }
}

}  // namespace
}  // namespace ovilex
