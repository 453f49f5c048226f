// The shard writer against encode_text of each whole file: on several
// files and block sizes, on many threads (the ids in file order), and
// leaving nothing behind when it fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/compiled.h"
#include "engine/shards.h"
#include "text/split.h"
#include "tokenizer/train.h"
#include "scratch_dir.h"

namespace ovilex::engine {
namespace {

namespace fs = std::filesystem;

// Multi-byte characters everywhere, so that blocks end inside them.
std::string mixed_text(std::mt19937& rng, std::size_t length) {
  static const std::vector<std::string> words = {
      " the", " quick", " fox", "é", "日本語", "👍🏽", "\n",
      "  ",   "'s",     " 42",  "Ω", ".",      "\u00a0", "x"};
  std::string out;
  while (out.size() < length) out += words[rng() % words.size()];
  return out;
}

const CompiledTokenizer& tokenizer() {
  static const auto tok = [] {
    std::mt19937 rng(1);
    WordCounter counter;
    text::split_utf8(mixed_text(rng, 100'000), [&](std::string_view c) { counter.add(c); });
    std::vector<Merge> merges = learn_from_words(counter.words());
    merges.resize(std::min<std::size_t>(merges.size(), 300));
    return std::make_unique<CompiledTokenizer>(merges, build_vocab(merges));
  }();
  return *tok;
}

std::vector<TokenId> encoded(std::string_view text) {
  std::vector<TokenId> ids;
  tokenizer().encode_text(text, ids);
  return ids;
}


std::string contents(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// The little-endian values of a file.
template <class T>
std::vector<T> values(const std::string& path) {
  const std::string bytes = contents(path);
  std::vector<T> out(bytes.size() / sizeof(T));
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t b = 0; b < sizeof(T); ++b) {
      const auto byte = static_cast<unsigned char>(bytes[i * sizeof(T) + b]);
      out[i] |= static_cast<T>(static_cast<T>(byte) << (8 * b));
    }
  }
  return out;
}

std::vector<TokenId> widened(const std::vector<std::uint16_t>& ids) { return {ids.begin(), ids.end()}; }

std::vector<ShardJob> jobs_for(const ScratchDir& dir, const std::vector<std::string>& texts) {
  std::vector<ShardJob> jobs;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    jobs.push_back(
        {dir.file(name + ".txt", texts[i]), dir.path(name + ".bin"), dir.path(name + ".idx")});
  }
  return jobs;
}

class ShardSweep : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(ShardSweep, IdsAreThoseOfEachWholeFileInOrder) {
  const auto [block, threads] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(block + threads));
  std::string kanji;
  for (int i = 0; i < 2000; ++i) kanji += "日本語";
  const std::vector<std::string> texts = {
      "",
      "a",
      mixed_text(rng, 5000) + " ab",  // ends mid-word
      mixed_text(rng, 300'000),       // hundreds of pieces at the smaller blocks
      std::string(5000, 'x'),         // no safe cut for longer than a block
      kanji,                          // 3-byte characters only: blocks end inside them
  };
  const ScratchDir dir;
  const std::vector<ShardJob> jobs = jobs_for(dir, texts);
  for (const std::optional<TokenId> eot : {std::optional<TokenId>(), std::optional<TokenId>(7)}) {
    ShardOptions options;
    options.threads = threads;
    options.block = block;
    options.eot = eot;
    ASSERT_FALSE(write_shards(tokenizer(), jobs, options));
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::vector<TokenId> expected = encoded(texts[i]);
      if (eot) expected.push_back(*eot);
      EXPECT_EQ(widened(values<std::uint16_t>(jobs[i].bin)), expected)
          << "file " << i << ", eot " << eot.has_value();
      EXPECT_EQ(values<std::uint64_t>(jobs[i].idx), std::vector<std::uint64_t>{expected.size()});
    }
  }
  std::vector<std::string> names;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (const char* ext : {".bin", ".idx", ".txt"}) names.push_back("f" + std::to_string(i) + ext);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(dir.names(), names);  // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(BlocksAndThreads, ShardSweep,
                         ::testing::Combine(::testing::Values(64, 1000, 4096, text::DEFAULT_BLOCK),
                                            ::testing::Values(1, 3, 8)));

TEST(ShardProgress, EveryJobIsDoneOnceWithItsSizeAndTokens) {
  std::mt19937 rng(2);
  const std::vector<std::string> texts = {mixed_text(rng, 100'000), "", mixed_text(rng, 3000)};
  const ScratchDir dir;
  const std::vector<ShardJob> jobs = jobs_for(dir, texts);
  std::vector<ShardProgress> seen;
  ShardOptions options;
  options.threads = 2;
  options.block = 1000;
  options.on_progress = [&](const ShardProgress& p) { seen.push_back(p); };
  ASSERT_FALSE(write_shards(tokenizer(), jobs, options));
  std::vector<ShardProgress> last(jobs.size());
  std::vector<int> done(jobs.size());
  for (const ShardProgress& p : seen) {
    ASSERT_LT(p.job, jobs.size());
    EXPECT_GE(p.bytes, last[p.job].bytes);
    EXPECT_GE(p.tokens, last[p.job].tokens);
    EXPECT_FALSE(last[p.job].done) << "progress of job " << p.job << " after it was done";
    last[p.job] = p;
    done[p.job] += p.done;
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_EQ(done[i], 1);
    EXPECT_EQ(last[i].bytes, texts[i].size());
    EXPECT_EQ(last[i].tokens, encoded(texts[i]).size());
  }
}

// Each failure leaves the directory as it was: an output of an earlier run
// keeps its bytes, and no temporary file stays.
enum class Fault { NotUtf8, MissingSource, MissingDirectory, OutputIsADirectory, ProgressThrows };

class ShardFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(ShardFaults, LeavesNothingBehind) {
  std::mt19937 rng(3);
  const ScratchDir dir;
  const std::vector<ShardJob> good = jobs_for(dir, {mixed_text(rng, 50'000), mixed_text(rng, 200)});
  dir.file("f0.bin", "earlier");
  std::vector<ShardJob> jobs = {good[0], good[1]};
  ShardOptions options;
  options.threads = 2;
  options.block = 4096;
  switch (GetParam()) {
    case Fault::NotUtf8:
      jobs[1].source = dir.file("f1.txt", "fine\nnot \xff fine\n");
      break;
    case Fault::MissingSource:
      jobs[1].source = dir.path("missing.txt");
      break;
    case Fault::MissingDirectory:
      jobs[1].bin = dir.path("none/f1.bin");
      break;
    case Fault::OutputIsADirectory:
      fs::create_directory(dir.path("f1.idx"));
      break;
    case Fault::ProgressThrows:
      options.on_progress = [](const ShardProgress& p) {
        if (p.bytes > 0) throw std::runtime_error("stop");
      };
      break;
  }
  const std::vector<std::string> before = dir.names();
  std::optional<ShardFailure> failure;
  if (GetParam() == Fault::ProgressThrows) {
    EXPECT_THROW(write_shards(tokenizer(), jobs, options), std::runtime_error);
  } else {
    failure = write_shards(tokenizer(), jobs, options);
    ASSERT_TRUE(failure);
  }
  EXPECT_EQ(dir.names(), before);
  EXPECT_EQ(contents(dir.path("f0.bin")), "earlier");

  const auto* source = failure ? std::get_if<text::SourceFailure>(&*failure) : nullptr;
  const auto* error = failure ? std::get_if<Error>(&*failure) : nullptr;
  switch (GetParam()) {
    case Fault::NotUtf8:
      ASSERT_NE(source, nullptr);
      EXPECT_EQ(source->os_error, 0);
      EXPECT_EQ(source->message, jobs[1].source + ": not UTF-8 text (line 2, byte 0xff)");
      break;
    case Fault::MissingSource:
      ASSERT_NE(source, nullptr);
      EXPECT_EQ(source->os_error, ENOENT);
      EXPECT_EQ(source->path, jobs[1].source);
      break;
    case Fault::MissingDirectory:
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->message, "cannot write " + jobs[1].bin + ": No such file or directory");
      break;
    case Fault::OutputIsADirectory:
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->message, "cannot write " + jobs[1].idx + ": Is a directory");
      break;
    case Fault::ProgressThrows:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ShardFaults,
                         ::testing::Values(Fault::NotUtf8, Fault::MissingSource,
                                           Fault::MissingDirectory, Fault::OutputIsADirectory,
                                           Fault::ProgressThrows));

}  // namespace
}  // namespace ovilex::engine
