// Count files: the bytes written, the round trip through a WordCounter, the
// streaming merge against adding, and every kind of damage with its message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/count_file.h"
#include "tokenizer/train.h"
#include "scratch_dir.h"

namespace ovilex::engine {
namespace {

namespace fs = std::filesystem;
using Counts = std::map<std::string, std::uint64_t>;
using Entries = std::vector<std::pair<std::string, std::uint64_t>>;


std::string slurp(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

Counts as_map(const WordCounter& counter) {
  Counts out;
  counter.for_each([&](std::string_view c, std::uint64_t n) { out[std::string(c)] += n; });
  return out;
}

WordCounter counter_of(const Counts& counts) {
  WordCounter counter;
  for (const auto& [chunk, n] : counts) counter.add(chunk, n);
  return counter;
}

std::string le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
  return out;
}

// The parts of the header that a case may spoil; by default what the
// entries make.
struct Spoil {
  std::optional<std::uint64_t> distinct = std::nullopt;
  std::optional<std::uint64_t> total = std::nullopt;
  std::optional<std::uint64_t> size = std::nullopt;
  std::uint32_t version = 1;
};

std::string bytes(const Entries& entries, const Spoil& spoil = {}) {
  std::string body;
  std::uint64_t sum = 0;
  for (const auto& [chunk, n] : entries) {
    body += le(chunk.size(), 4) + chunk + le(n, 8);
    sum += n;
  }
  return "\x89OVXCNT\n" + le(spoil.version, 4) + le(spoil.distinct.value_or(entries.size()), 8) +
         le(spoil.total.value_or(sum), 8) + le(spoil.size.value_or(body.size()), 8) + body +
         "\nTNCXVO\x89";
}

Result<WordCounter> read_one(const std::string& path) {
  WordCounter counter;
  if (auto error = add_count_files(std::vector{path}, counter)) return *error;
  return counter;
}

TEST(CountFile, BytesAreTheHeaderThenEntriesSortedAsUnsignedBytes) {
  const ScratchDir dir;
  // "" first, a prefix before what extends it, 0xC3 (é) after 'z'.
  const Entries sorted = {{"", 7}, {"a", 1 << 20}, {"ab", 2}, {"big", 1ull << 40}, {"z", 1},
                          {"\xc3\xa9", 3}};
  WordCounter counter;
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) counter.add(it->first, it->second);
  const std::string zero = "zero";
  counter.add(zero, 0);  // left out
  const auto info = write_count_file(counter, dir.path("x"));
  ASSERT_TRUE(info.ok()) << info.error().message;
  EXPECT_EQ(info.value().distinct, 6u);
  EXPECT_EQ(info.value().total, 7 + (1u << 20) + 2 + (1ull << 40) + 1 + 3);
  EXPECT_EQ(slurp(dir.path("x")), bytes(sorted));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"x"});
}

TEST(CountFile, RoundTripAddsToWhatTheCounterHeld) {
  const ScratchDir dir;
  std::mt19937 rng(5);
  Counts counts;
  // Chunks past the read buffer too, so that entries straddle refills.
  for (int i = 0; i < 20000; ++i) counts["w" + std::to_string(rng() % 50000)] += 1 + rng() % 9;
  counts[std::string(300000, ' ')] = 2;
  counts["max"] = UINT64_MAX - 1'000'000'000;
  ASSERT_TRUE(write_count_file(counter_of(counts), dir.path("a")).ok());
  const auto back = read_one(dir.path("a"));
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_EQ(as_map(back.value()), counts);

  WordCounter more = counter_of({{"w1", 5}, {"fresh", 1}});
  ASSERT_FALSE(add_count_files(std::vector{dir.path("a")}, more));
  counts["w1"] += 5;
  counts["fresh"] += 1;
  EXPECT_EQ(as_map(more), counts);
}

TEST(CountFile, MergeEqualsWritingTheSum) {
  const ScratchDir dir;
  std::mt19937 rng(11);
  std::vector<std::string> paths;
  Counts sum;
  for (int f = 0; f < 5; ++f) {
    Counts counts;  // overlapping chunks; the third file is empty
    for (int i = 0; f != 2 && i < 3000; ++i) counts["c" + std::to_string(rng() % (999 * f + 9))]++;
    for (const auto& [c, n] : counts) sum[c] += n;
    paths.push_back(dir.path(std::to_string(f)));
    ASSERT_TRUE(write_count_file(counter_of(counts), paths.back()).ok());
  }
  const auto merged = merge_count_files(paths, dir.path("merged"));
  ASSERT_TRUE(merged.ok()) << merged.error().message;
  EXPECT_EQ(merged.value().distinct, sum.size());
  ASSERT_TRUE(write_count_file(counter_of(sum), dir.path("sum")).ok());
  EXPECT_EQ(slurp(dir.path("merged")), slurp(dir.path("sum")));

  WordCounter added;
  ASSERT_FALSE(add_count_files(paths, added));
  EXPECT_EQ(as_map(added), sum);
  // Into one of its inputs, and of no files at all.
  ASSERT_TRUE(merge_count_files(paths, paths[0]).ok());
  EXPECT_EQ(slurp(paths[0]), slurp(dir.path("sum")));
  ASSERT_TRUE(merge_count_files({}, dir.path("none")).ok());
  EXPECT_EQ(slurp(dir.path("none")), bytes({}));
}

// Adding gives the error, and so does a merge, which leaves nothing behind.
void expect_error(const ScratchDir& dir, const std::string& path, ErrorKind kind,
                  const std::string& message) {
  const auto read = read_one(path);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, kind);
  EXPECT_EQ(read.error().message, message);
  const std::string good = dir.file("good", bytes({{"a", 1}}));
  const std::vector<std::string> before = dir.names();
  const auto merged = merge_count_files(std::vector{good, path}, dir.path("out"));
  ASSERT_FALSE(merged.ok());
  EXPECT_EQ(merged.error().message, message);
  EXPECT_EQ(dir.names(), before);
}

TEST(CountFile, EveryProperPrefixIsTruncated) {
  const ScratchDir dir;
  const std::string whole = bytes({{"ab", 3}, {"c", 1}});
  for (std::size_t n = 0; n < whole.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string path = dir.file("cut", whole.substr(0, n));
    expect_error(dir, path, ErrorKind::CountFile, path + ": truncated count file");
  }
}

struct Damage {
  const char* name;
  std::string bytes;
  std::string message;  // after "PATH: "
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

std::string with_byte(std::string bytes, std::size_t at, char value) {
  bytes[at] = value;
  return bytes;
}

std::vector<Damage> damages() {
  const Entries ab = {{"a", 2}, {"b", 1}};
  const std::string good = bytes(ab);
  const std::string not_ours = "not an ovilex count file";
  const std::string header = "damaged count file (entries do not match the header)";
  const std::string total = "damaged count file (counts do not add up to the header's total)";
  const std::string order = "damaged count file (chunks out of order)";
  return {
      {"magic", with_byte(good, 1, 'o'), not_ours},
      {"first_byte", with_byte(good, 0, 'O'), not_ours},
      {"text", "hello world, this is no count file at all\n", not_ours},
      {"short_text", "hi", not_ours},
      {"version_2", bytes({{"a", 1}}, {.version = 2}),
       "count file format version 2; this ovilex reads version 1"},
      {"version_0", bytes({}, {.version = 0}),
       "count file format version 0; this ovilex reads version 1"},
      {"size_too_large", bytes({{"a", 1}}, {.size = 1000}), "truncated count file"},
      {"trailing_byte", good + "x", "damaged count file (longer than its header says)"},
      {"end_marker", with_byte(good, good.size() - 1, 'x'), "damaged count file (no end marker)"},
      {"out_of_order", bytes({{"b", 1}, {"a", 1}}), order},
      {"repeated", bytes({{"a", 1}, {"a", 1}}), order},
      {"zero_count", bytes({{"a", 0}}, {.total = 1}), "damaged count file (a count of 0)"},
      {"not_utf8", bytes({{"\xff", 1}}), "damaged count file (a chunk that is not UTF-8)"},
      {"total_low", bytes(ab, {.total = 2}), total},
      {"total_high", bytes(ab, {.total = 4}), total},
      {"distinct_low", bytes(ab, {.distinct = 1}), header},
      // Entries long enough for three by their size, but only two.
      {"distinct_high", bytes({{"a", 2}, {"long enough", 1}}, {.distinct = 3}), header},
      {"distinct_past_size", bytes(ab, {.distinct = 9, .total = 9}), header},
      // The first entry's length reaches past the entries.
      {"length", with_byte(good, 36, 40), header},
  };
}

class Damaged : public ::testing::TestWithParam<Damage> {};

TEST_P(Damaged, IsOneLineNamingTheFile) {
  const ScratchDir dir;
  const std::string path = dir.file("bad", GetParam().bytes);
  expect_error(dir, path, ErrorKind::CountFile, path + ": " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Damaged, ::testing::ValuesIn(damages()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CountFile, OsErrorsNameThePath) {
  const ScratchDir dir;
  const std::string missing = dir.path("missing");
  expect_error(dir, missing, ErrorKind::Io,
               "cannot read " + missing + ": No such file or directory");
  const std::string sub = dir.path("sub");
  fs::create_directory(sub);
  expect_error(dir, sub, ErrorKind::Io, "cannot read " + sub + ": Is a directory");
  for (const auto& [out, reason] : {std::pair{sub, "Is a directory"},
                                    {dir.path("nowhere/x"), "No such file or directory"}}) {
    const auto written = write_count_file(counter_of({{"a", 1}}), out);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind, ErrorKind::Io);
    EXPECT_EQ(written.error().message, "cannot write " + out + ": " + reason);
  }
}

TEST(CountFile, TotalsPast64BitsAreRefusedBeforeAnythingIsAdded) {
  const ScratchDir dir;
  const std::uint64_t half = (1ull << 63) + 1;
  const std::vector paths = {dir.file("a", bytes({{"x", half}})),
                             dir.file("b", bytes({{"y", half}}))};
  const std::string message = paths[1] + ": the counts add up to more than 2**64-1";
  const auto merged = merge_count_files(paths, dir.path("out"));
  ASSERT_FALSE(merged.ok());
  EXPECT_EQ(merged.error().message, message);
  WordCounter counter;
  const auto error = add_count_files(paths, counter);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, message);
  EXPECT_EQ(counter.distinct(), 0u);
}

TEST(CountFile, AFailedWriteKeepsTheOldFile) {
  const ScratchDir dir;
  const std::string out = dir.file("out", "old");
  ASSERT_FALSE(merge_count_files(std::vector{dir.file("bad", "junk")}, out).ok());
  EXPECT_EQ(slurp(out), "old");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"bad", "out"}));
}

}  // namespace
}  // namespace ovilex::engine
