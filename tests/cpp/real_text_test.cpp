// The fast paths against the straightforward loops of oracle.h on real text:
// the interpreter's own standard library, split as the package splits it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "oracle.h"
#include "text/split.h"
#include "tokenizer/encode.h"
#include "tokenizer/train.h"

namespace ovilex {
namespace {

// The first |count| chunks of the standard library's modules, in name order.
std::vector<std::string> stdlib_chunks(std::size_t count) {
  std::vector<std::filesystem::path> sources;
  for (const auto& entry : std::filesystem::directory_iterator(OVILEX_REAL_TEXT_DIR)) {
    if (entry.path().extension() == ".py") sources.push_back(entry.path());
  }
  std::sort(sources.begin(), sources.end());
  std::vector<std::string> chunks;
  for (const auto& path : sources) {
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    text::split_utf8(text, [&](std::string_view chunk) {
      if (chunks.size() < count) chunks.emplace_back(chunk);
    });
    if (chunks.size() >= count) break;
  }
  return chunks;
}

// Read once for the tests below.
const std::vector<std::string>& chunks() {
  static const std::vector<std::string> read = stdlib_chunks(60'000);
  return read;
}

std::vector<std::string_view> views() { return {chunks().begin(), chunks().end()}; }

TEST(RealText, TrainingMakesTheMergesOfTheStraightforwardLoop) {
  ASSERT_EQ(chunks().size(), 60'000u) << "too little text in " << OVILEX_REAL_TEXT_DIR;
  const std::vector<Merge> expected = oracle::learn_merges_sequential(views());
  ASSERT_GT(expected.size(), 500u);
  WordCounter counter;
  for (const std::string& chunk : chunks()) counter.add(chunk);
  EXPECT_EQ(learn_from_counts(counter), expected);
  EXPECT_EQ(learn_from_words(counter.words()), expected);
}

TEST(RealText, EncodingGivesTheIdsOfEveryMergeInTurn) {
  WordCounter counter;
  for (const std::string& chunk : chunks()) counter.add(chunk);
  const std::vector<Merge> merges = learn_from_counts(counter);
  ChunkList list;
  for (const std::string& chunk : chunks()) list.push_back(chunk);
  EXPECT_EQ(encode(list, merges), oracle::encode_sequential(views(), merges));
}

}  // namespace
}  // namespace ovilex
