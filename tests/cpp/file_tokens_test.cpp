// Counting the tokens of files against encode_text of each whole file: on
// several files, block sizes that end inside characters and chunks, one
// thread and several; and the failure of a file that cannot be used.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/compiled.h"
#include "engine/file_tokens.h"
#include "mixed_text.h"
#include "scratch_dir.h"

namespace ovilex::engine {
namespace {

const CompiledTokenizer& tokenizer() { return mixed_tokenizer(true); }

std::uint64_t encoded_size(std::string_view text) {
  std::vector<TokenId> ids;
  tokenizer().encode_text(text, ids);
  return ids.size();
}

TEST(CountText, IsTheNumberOfIdsOfEncodeText) {
  std::mt19937 rng(3);
  const SpecialMatcher& all = tokenizer().all_specials();
  for (std::size_t length : {0, 1, 7, 100, 5'000, 70'000}) {
    const std::string text = mixed_text(rng, length, true);
    EXPECT_EQ(tokenizer().count_text(text), encoded_size(text)) << length;
    std::vector<TokenId> ids;
    tokenizer().encode_text(text, all, ids);
    EXPECT_EQ(tokenizer().count_text(text, &all), ids.size()) << length;
  }
  std::vector<std::string> texts;
  for (int i = 0; i < 200; ++i) texts.push_back(mixed_text(rng, rng() % 3'000, true));
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  for (std::size_t threads : {1, 4}) {
    const std::vector<std::uint64_t> counts = tokenizer().count_batch(views, threads, &all);
    const std::vector<std::vector<TokenId>> ids = tokenizer().encode_batch(views, threads, &all);
    ASSERT_EQ(counts.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(counts[i], ids[i].size()) << i;
  }
}

TEST(CountFileTokens, EqualsTheCountOfEachWholeFile) {
  ScratchDir dir;
  std::mt19937 rng(4);
  const std::vector<std::string> texts = {mixed_text(rng, 300'000, true), "", "one line\n",
                                          mixed_text(rng, 9'000, true),
                                          std::string(50'000, 'a') + mixed_text(rng, 1'000, true)};
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    paths.push_back(dir.file("f" + std::to_string(i) + ".txt", texts[i]));
  }
  for (std::size_t threads : {1, 3}) {
    for (std::size_t block : {64, 1000, 1 << 20}) {
      FileTokensOptions options;
      options.threads = threads;
      options.block = block;
      std::size_t reads = 0;
      options.on_read = [&] { ++reads; };
      auto counted = count_file_tokens(tokenizer(), paths, options);
      ASSERT_TRUE(std::holds_alternative<std::vector<std::uint64_t>>(counted));
      const auto& counts = std::get<std::vector<std::uint64_t>>(counted);
      ASSERT_EQ(counts.size(), texts.size());
      for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(counts[i], encoded_size(texts[i])) << i << " " << threads << " " << block;
      }
      EXPECT_GE(reads, 360'000 / block);
    }
  }
}

TEST(CountFileTokens, ReportsTheFirstFileThatCannotBeUsed) {
  ScratchDir dir;
  const std::string good = dir.file("good.txt", "fine text\n");
  const std::string bad = dir.file("bad.txt", "ok\nok\n\xe9t\n");
  const std::string missing = dir.path("missing.txt");
  for (std::size_t threads : {1, 2}) {
    FileTokensOptions options;
    options.threads = threads;
    auto counted = count_file_tokens(tokenizer(), std::vector{good, bad, missing}, options);
    ASSERT_TRUE(std::holds_alternative<text::SourceFailure>(counted));
    const auto& failure = std::get<text::SourceFailure>(counted);
    EXPECT_EQ(failure.os_error, 0);
    EXPECT_EQ(failure.message, bad + ": not UTF-8 text (line 3, byte 0xe9)");

    counted = count_file_tokens(tokenizer(), std::vector{good, missing}, options);
    ASSERT_TRUE(std::holds_alternative<text::SourceFailure>(counted));
    EXPECT_EQ(std::get<text::SourceFailure>(counted).os_error, ENOENT);
    EXPECT_EQ(std::get<text::SourceFailure>(counted).path, missing);
  }
}

TEST(CountFileTokens, AnExceptionOfTheCallbackStopsTheCall) {
  ScratchDir dir;
  std::mt19937 rng(5);
  const std::string path = dir.file("big.txt", mixed_text(rng, 200'000, true));
  FileTokensOptions options;
  options.threads = 3;
  options.block = 1000;
  std::size_t reads = 0;
  options.on_read = [&] {
    if (++reads == 20) throw std::runtime_error("stop");
  };
  EXPECT_THROW(count_file_tokens(tokenizer(), std::vector{path}, options), std::runtime_error);
  EXPECT_EQ(reads, 20u);
}

}  // namespace
}  // namespace ovilex::engine
