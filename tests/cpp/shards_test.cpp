// The shard writer against encode_text of each whole file: on several
// files and block sizes, on many threads (the ids in file order), in both
// widths, removing the other width's file, and leaving nothing behind when
// it fails.
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
#include "mixed_text.h"
#include "scratch_dir.h"
#include "tokenizer/train.h"

namespace ovilex::engine {
namespace {

namespace fs = std::filesystem;

const CompiledTokenizer& tokenizer() { return mixed_tokenizer(); }

// Every pair of two bytes a token, without training: pairs of printable
// ASCII listed first, and the first merges given the greatest ids, so that
// the ids of common text run past 65535 and also stay below it.
const CompiledTokenizer& wide_tokenizer() {
  static const auto tok = [] {
    std::vector<Merge> merges;
    for (TokenId left = 0; left < 256; ++left) {
      for (TokenId right = 0; right < 256; ++right) merges.push_back({left, right, 0});
    }
    const auto printable = [](TokenId b) { return b >= 0x20 && b < 0x7f; };
    std::stable_partition(merges.begin(), merges.end(),
                          [&](const Merge& m) { return printable(m.left) && printable(m.right); });
    for (std::size_t k = 0; k < merges.size(); ++k) {
      merges[k].new_id = static_cast<TokenId>(256 + merges.size() - 1 - k);
    }
    return std::make_unique<CompiledTokenizer>(merges, build_vocab(merges));
  }();
  return *tok;
}

std::vector<TokenId> encoded(std::string_view text, const CompiledTokenizer& tok = tokenizer()) {
  std::vector<TokenId> ids;
  tok.encode_text(text, ids);
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

// The ids of a data file of |width|.
std::vector<TokenId> ids_in(const std::string& path, IdWidth width) {
  if (width == IdWidth::Bits32) return values<std::uint32_t>(path);
  const std::vector<std::uint16_t> narrow = values<std::uint16_t>(path);
  return {narrow.begin(), narrow.end()};
}

// The data file's suffix for each width, as the package names them.
const char* suffix(IdWidth width) { return width == IdWidth::Bits16 ? ".bin" : ".bin32"; }

std::vector<ShardJob> jobs_for(const ScratchDir& dir, const std::vector<std::string>& texts,
                               IdWidth width = IdWidth::Bits16) {
  const IdWidth other = width == IdWidth::Bits16 ? IdWidth::Bits32 : IdWidth::Bits16;
  std::vector<ShardJob> jobs;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    jobs.push_back({dir.file(name + ".txt", texts[i]), dir.path(name + suffix(width)),
                    dir.path(name + ".idx"), dir.path(name + suffix(other))});
  }
  return jobs;
}

class ShardSweep
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, IdWidth>> {};

TEST_P(ShardSweep, IdsAreThoseOfEachWholeFileInOrder) {
  const auto [block, threads, width] = GetParam();
  const CompiledTokenizer& tok = width == IdWidth::Bits16 ? tokenizer() : wide_tokenizer();
  ASSERT_EQ(width_for(tok.id_bound()), width);
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
  const std::vector<ShardJob> jobs = jobs_for(dir, texts, width);
  // The greatest id of each tokenizer: for the wide one, past 65535.
  const TokenId top = static_cast<TokenId>(tok.id_bound() - 1);
  for (const std::optional<TokenId> eot : {std::optional<TokenId>(), std::optional<TokenId>(7),
                                           std::optional<TokenId>(top)}) {
    ShardOptions options;
    options.threads = threads;
    options.block = block;
    options.eot = eot;
    options.width = width;
    ASSERT_FALSE(write_shards(tok, jobs, options));
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::vector<TokenId> expected = encoded(texts[i], tok);
      if (eot) expected.push_back(*eot);
      EXPECT_EQ(contents(jobs[i].bin).size(), expected.size() * static_cast<std::size_t>(width));
      EXPECT_EQ(ids_in(jobs[i].bin, width), expected) << "file " << i << ", eot " << eot.value_or(0);
      EXPECT_EQ(values<std::uint64_t>(jobs[i].idx), std::vector<std::uint64_t>{expected.size()});
    }
  }
  if (width == IdWidth::Bits32) {
    // Common text has ids on both sides of 65536.
    const std::vector<TokenId> ids = encoded(texts[3], tok);
    EXPECT_TRUE(std::ranges::any_of(ids, [](TokenId id) { return id > 0xFFFF; }));
    EXPECT_TRUE(std::ranges::any_of(ids, [](TokenId id) { return id <= 0xFFFF; }));
  }
  std::vector<std::string> names;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (const char* ext : {suffix(width), ".idx", ".txt"}) {
      names.push_back("f" + std::to_string(i) + ext);
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(dir.names(), names);  // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(BlocksThreadsAndWidths, ShardSweep,
                         ::testing::Combine(::testing::Values(64, 1000, 4096, text::DEFAULT_BLOCK),
                                            ::testing::Values(1, 3, 8),
                                            ::testing::Values(IdWidth::Bits16, IdWidth::Bits32)));

// A run over the output of an earlier one in the other width leaves only
// its own data file beside the .idx; a failed run leaves both as they were.
TEST(ShardWidths, TheOtherWidthsFileGoesOnlyWhenTheRunSucceeds) {
  for (const IdWidth width : {IdWidth::Bits16, IdWidth::Bits32}) {
    const CompiledTokenizer& tok = width == IdWidth::Bits16 ? tokenizer() : wide_tokenizer();
    const ScratchDir dir;
    std::vector<ShardJob> jobs = jobs_for(dir, {"some text", "more text"}, width);
    for (const ShardJob& job : jobs) {
      std::ofstream(job.other) << "earlier";
      std::ofstream(job.idx) << "earlier";
    }
    const std::vector<std::string> earlier = dir.names();
    ShardOptions options;
    options.width = width;
    jobs[1].source = dir.path("missing.txt");
    ASSERT_TRUE(write_shards(tok, jobs, options));
    EXPECT_EQ(dir.names(), earlier);
    EXPECT_EQ(contents(jobs[0].other), "earlier");

    jobs[1].source = dir.path("f1.txt");
    ASSERT_FALSE(write_shards(tok, jobs, options));
    for (const ShardJob& job : jobs) {
      EXPECT_FALSE(fs::exists(job.other)) << job.other;
      EXPECT_EQ(ids_in(job.bin, width), encoded(contents(job.source), tok));
    }
    EXPECT_EQ(dir.names().size(), 6u);
  }
}

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
enum class Fault {
  NotUtf8,
  MissingSource,
  MissingDirectory,
  OutputIsADirectory,
  OtherIsADirectory,
  ProgressThrows
};

class ShardFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(ShardFaults, LeavesNothingBehind) {
  std::mt19937 rng(3);
  const ScratchDir dir;
  const std::vector<ShardJob> good = jobs_for(dir, {mixed_text(rng, 50'000), mixed_text(rng, 200)});
  dir.file("f0.bin", "earlier");
  dir.file("f0.bin32", "earlier");  // removed only by a run that succeeds
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
    case Fault::OtherIsADirectory:
      fs::create_directory(dir.path("f1.bin32"));
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
  EXPECT_EQ(contents(dir.path("f0.bin32")), "earlier");

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
    case Fault::OtherIsADirectory:
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->message, "cannot remove " + jobs[1].other + ": Is a directory");
      break;
    case Fault::ProgressThrows:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ShardFaults,
                         ::testing::Values(Fault::NotUtf8, Fault::MissingSource,
                                           Fault::MissingDirectory, Fault::OutputIsADirectory,
                                           Fault::OtherIsADirectory, Fault::ProgressThrows));

}  // namespace
}  // namespace ovilex::engine
