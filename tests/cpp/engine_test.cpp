// The compiled tokenizer and the native counting against the straightforward
// paths: encode_sequential over split_utf8's chunks, and a WordCounter fed
// chunk by chunk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "engine/compiled.h"
#include "engine/count.h"
#include "oracle.h"
#include "text/source.h"
#include "text/split.h"
#include "tokenizer/records.h"
#include "tokenizer/train.h"
#include "scratch_dir.h"

namespace ovilex {
namespace {

// Text with every kind of character the splitter distinguishes, in runs.
std::string random_text(std::mt19937& rng, std::size_t length) {
  static const std::vector<std::string> pieces = {
      "a", "b", "the", " ", " ", "  ", "\n", "\t", "'s", "'re", "1", "42", "_", ".", ",",
      "é", "日本", "Ω", "\xC2\xA0", "👍", "\u0301", "x'", "ll", " foo", "\r\n"};
  std::string out;
  while (out.size() < length) out += pieces[rng() % pieces.size()];
  return out;
}

std::vector<std::string_view> chunks_of(std::string_view text) {
  std::vector<std::string_view> chunks;
  text::split_utf8(text, [&](std::string_view c) { chunks.push_back(c); });
  return chunks;
}

// Merges learnt from some random text, so that they apply often.
std::vector<Merge> merges_for(std::mt19937& rng, std::size_t merges_wanted) {
  WordCounter counter;
  for (int i = 0; i < 50; ++i) {
    const std::string text = random_text(rng, 200);
    for (const std::string_view c : chunks_of(text)) counter.add(c);
  }
  std::vector<Merge> merges = learn_from_words(counter.words());
  if (merges.size() > merges_wanted) merges.resize(merges_wanted);
  return merges;
}

std::unique_ptr<engine::CompiledTokenizer> compiled(const std::vector<Merge>& merges) {
  return std::make_unique<engine::CompiledTokenizer>(merges, build_vocab(merges));
}

class CompiledSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(CompiledSweep, EncodeTextMatchesSequentialEncodeOfTheChunks) {
  std::mt19937 rng(GetParam());
  const std::vector<Merge> merges = merges_for(rng, 40 + GetParam() * 37 % 300);
  const auto tok = compiled(merges);
  // Short texts go straight to the shared cache, long ones through a local
  // one; the second round finds everything cached.
  for (int round = 0; round < 2; ++round) {
    for (const std::size_t length : {0u, 1u, 7u, 300u, 5000u, 40000u}) {
      std::mt19937 text_rng(GetParam() * 1000 + static_cast<unsigned>(length));
      const std::string text = random_text(text_rng, length);
      std::vector<TokenId> ids;
      tok->encode_text(text, ids);
      EXPECT_EQ(ids, oracle::encode_sequential(chunks_of(text), merges))
          << "seed " << GetParam() << " length " << length << " round " << round;
    }
  }
}

TEST_P(CompiledSweep, BatchesMatchOneTextAtATimeOnAnyThreadCount) {
  std::mt19937 rng(GetParam());
  const auto tok = compiled(merges_for(rng, 200));
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) texts.push_back(random_text(rng, rng() % 3 == 0 ? 0 : rng() % 3000));
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<std::vector<TokenId>> expected;
  for (const std::string_view t : views) {
    expected.emplace_back();
    tok->encode_text(t, expected.back());
  }
  // Every text's ids cut out of the pieces joined, widened to compare.
  const auto each_text = [&]<class Id>(const engine::FlatIds<Id>& flat) {
    EXPECT_EQ(flat.offsets.size(), views.size() + 1);
    EXPECT_EQ(flat.offsets.front(), 0u);
    std::vector<TokenId> joined;
    for (const std::vector<Id>& piece : flat.pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    EXPECT_EQ(joined.size(), flat.size());
    std::vector<std::vector<TokenId>> texts;
    for (std::size_t i = 0; i + 1 < flat.offsets.size(); ++i) {
      texts.emplace_back(joined.begin() + static_cast<std::ptrdiff_t>(flat.offsets[i]),
                         joined.begin() + static_cast<std::ptrdiff_t>(flat.offsets[i + 1]));
    }
    return texts;
  };
  for (const std::size_t threads : {1u, 2u, 8u}) {
    EXPECT_EQ(tok->encode_batch(views, threads), expected) << threads << " threads";
    EXPECT_EQ(each_text(tok->encode_batch_flat<TokenId>(views, threads)), expected) << threads;
    EXPECT_EQ(each_text(tok->encode_batch_flat<std::uint16_t>(views, threads)), expected) << threads;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, CompiledSweep, ::testing::Range(1u, 9u));

TEST(Compiled, DecodeGivesTheBytesBackAndNamesTheFirstUnknownId) {
  std::mt19937 rng(7);
  const auto tok = compiled(merges_for(rng, 100));
  const std::string text = random_text(rng, 2000);
  std::vector<TokenId> ids;
  tok->encode_text(text, ids);
  std::string back;
  EXPECT_EQ(tok->decode_bytes(ids, back), std::nullopt);
  EXPECT_EQ(back, text);
  ids.insert(ids.begin() + 3, {9000, 9001});
  back = "kept";
  EXPECT_EQ(tok->decode_bytes(ids, back), std::optional<TokenId>(9000));
  EXPECT_EQ(back, "kept");
}

// encode_chunk reads the ids of a chunk out of the cache's snapshot while
// other threads' encode_text calls merge new snapshots in and let the old
// ones go (run under the address sanitizer, a read of a snapshot that was
// let go fails the test).
TEST(Compiled, ChunksFoundInTheSnapshotWhileOthersReplaceIt) {
  std::mt19937 rng(11);
  const std::vector<Merge> merges = merges_for(rng, 200);
  const std::string text = random_text(rng, 3000);
  std::vector<std::string> chunks;
  for (const std::string_view c : chunks_of(text)) {
    if (c.size() >= 2) chunks.emplace_back(c);
  }
  std::vector<std::vector<TokenId>> expected;
  for (const std::string& c : chunks) expected.push_back(oracle::encode_sequential({c}, merges));
  std::atomic<int> wrong{0};
  // A fresh tokenizer each time: while the cache is small, a few hundred
  // new chunks make a merge due.
  for (int round = 0; round < 4; ++round) {
    const auto tok = compiled(merges);
    std::atomic<int> writing{2};
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 words(100 * round + t);
        for (int call = 0; call < 12; ++call) {
          // Words never seen before: every one a miss.
          std::string fresh;
          while (fresh.size() < 20000) {
            fresh += ' ';
            for (unsigned n = 3 + words() % 6; n > 0; --n) fresh += static_cast<char>('a' + words() % 26);
          }
          std::vector<TokenId> ids;
          tok->encode_text(fresh, ids);
        }
        --writing;
      });
      threads.emplace_back([&] {
        std::vector<TokenId> ids;
        while (writing.load() > 0) {
          for (std::size_t i = 0; i < chunks.size(); ++i) {
            ids.clear();
            tok->encode_chunk(chunks[i], ids);
            if (ids != expected[i]) ++wrong;
          }
        }
      });
    }
  }
  EXPECT_EQ(wrong.load(), 0);
}

std::vector<TokenId> ids_for(unsigned i) {
  return {static_cast<TokenId>(i), static_cast<TokenId>(i * 7), static_cast<TokenId>(i + 1)};
}

// The cached ids of a chunk, from the snapshot or the pending level. The
// snapshot is held while its ids are read: another thread's merge may
// replace it meanwhile.
std::optional<std::vector<TokenId>> cached(const engine::EncodeCache& cache, std::string_view chunk) {
  const engine::EncodeCache::Snapshot snapshot = cache.snapshot();
  if (const auto ids = snapshot->find(chunk)) return std::vector<TokenId>(ids->begin(), ids->end());
  std::vector<TokenId> out;
  if (cache.find_pending(chunk, out)) return out;
  return std::nullopt;
}

TEST(EncodeCache, PendingChunksMoveToTheSnapshotAndTheCapacityHolds) {
  engine::EncodeCache cache(3000);
  std::size_t merged = 0;
  for (unsigned i = 0; i < 10000; ++i) {
    cache.insert("chunk " + std::to_string(i), ids_for(i));
    cache.insert("chunk " + std::to_string(i), ids_for(i + 1));  // already pending: kept as it was
    const auto before = cache.snapshot();
    if (cache.refresh() != before) ++merged;
  }
  EXPECT_EQ(cache.size(), 3000u);
  EXPECT_GT(merged, 3u);
  EXPECT_GT(cache.snapshot()->size(), 1000u);
  for (unsigned i = 0; i < 10000; ++i) {
    const auto got = cached(cache, "chunk " + std::to_string(i));
    if (i < 3000) {
      EXPECT_EQ(got, std::optional(ids_for(i))) << i;
    } else {
      EXPECT_EQ(got, std::nullopt) << i;
    }
  }
}

TEST(EncodeCache, ThreadsFillingItTogetherSeeOnlyTrueEntries) {
  engine::EncodeCache cache(1 << 20);
  std::vector<std::jthread> threads;
  std::atomic<int> wrong{0};
  for (unsigned t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int k = 0; k < 20000; ++k) {
        const unsigned i = rng() % 5000;
        const std::string chunk = "c" + std::to_string(i);
        if (const auto got = cached(cache, chunk)) {
          if (*got != ids_for(i)) ++wrong;
        } else {
          cache.insert(chunk, ids_for(i));
        }
        if (k % 64 == 0) cache.refresh();
      }
    });
  }
  threads.clear();
  EXPECT_EQ(wrong.load(), 0);
  // A chunk may be held twice for a while, when a merge took it between a
  // thread's two lookups; never with other ids.
  EXPECT_GE(cache.size(), 5000u);
  for (unsigned i = 0; i < 5000; ++i) EXPECT_EQ(cached(cache, "c" + std::to_string(i)), ids_for(i));
}

// ------------------------------------------------------------- reading files


WordCounter counted_whole(std::string_view text) {
  WordCounter counter;
  for (const std::string_view c : chunks_of(text)) counter.add(c);
  return counter;
}

std::map<std::string, std::uint64_t> as_map(const WordCounter& counter) {
  std::map<std::string, std::uint64_t> out;
  counter.for_each([&](std::string_view c, std::uint64_t n) { out[std::string(c)] += n; });
  return out;
}

TEST(ReadPiecesFaults, NamesTheLineAndTheFirstByteOfTheFault) {
  const ScratchDir dir;
  struct Case {
    std::string bytes;
    std::string where;
  };
  const std::vector<Case> cases = {
      {"fine\nnot \xff fine\n", "line 2, byte 0xff"},
      {"\xe2\x82", "line 1, byte 0xe2"},             // ends inside a sequence
      {"a\n\nb\xed\xa0\x80", "line 3, byte 0xed"},   // an encoded surrogate
      {std::string(300, 'x') + "\n\xc0\xaf", "line 2, byte 0xc0"},  // overlong
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("bad.txt", c.bytes);
    for (const std::size_t block : {64u, 4096u}) {
      const auto failure = text::read_pieces(path, block, {}, [](std::string_view) {});
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->os_error, 0);
      EXPECT_EQ(failure->message, path + ": not UTF-8 text (" + c.where + ")");
    }
  }
  const auto missing = text::read_pieces(dir.path() + "/missing", 64, {}, [](std::string_view) {});
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->os_error, ENOENT);
}

TEST(ReadPiecesFaults, ReplaceGivesOneReplacementCharacterPerFault) {
  const ScratchDir dir;
  const std::string path = dir.file("bad.txt", "a\xff" "b\xe2\x82" "c\xf0\x9f\x98");
  std::string joined;
  const auto failure = text::read_pieces(
      path, 64, {}, [&](std::string_view piece) { joined += piece; }, {}, text::InvalidBytes::Replace);
  EXPECT_FALSE(failure);
  EXPECT_EQ(joined, "a\uFFFD" "b\uFFFD" "c\uFFFD");
}

TEST(ReadPiecesFaults, ALongLineWithoutSafeCutsIsReadWhole) {
  const ScratchDir dir;
  // One chunk of 2 MB read in blocks of 64 bytes: each byte is looked at a
  // bounded number of times, or this would not finish.
  const std::string text = std::string(2 << 20, 'a') + "\nb";
  const std::string path = dir.file("long.txt", text);
  std::vector<std::size_t> sizes;
  EXPECT_FALSE(text::read_pieces(path, 64, {}, [&](std::string_view p) { sizes.push_back(p.size()); }));
  EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}), text.size());
}

class CountFiles : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CountFiles, CountsEachFileAsSplittingItWhole) {
  const ScratchDir dir;
  std::mt19937 rng(11);
  std::vector<std::string> paths;
  WordCounter expected;
  for (int i = 0; i < 5; ++i) {
    // Large enough for several blocks; files end mid-word, so a chunk would
    // join the next file's first one if files were not split apart.
    const std::string text = random_text(rng, (i + 1) * 2'000'000 / 5) + "ab";
    paths.push_back(dir.file("f" + std::to_string(i), text));
    expected.add_all(counted_whole(text));
  }
  WordCounter got;
  std::uint64_t read = 0;
  EXPECT_FALSE(engine::count_files(paths, GetParam(), got, [&](std::uint64_t n) { read += n; }));
  EXPECT_EQ(as_map(got), as_map(expected));
  EXPECT_EQ(got.chunks(), expected.chunks());
  std::uint64_t total = 0;
  for (const std::string& p : paths) total += std::filesystem::file_size(p);
  EXPECT_EQ(read, total);

  std::vector<std::string> texts_owned;
  for (const std::string& p : paths) {
    std::ifstream in(p, std::ios::binary);
    texts_owned.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::vector<std::string_view> texts(texts_owned.begin(), texts_owned.end());
  WordCounter from_texts;
  engine::count_texts(texts, GetParam(), from_texts);
  EXPECT_EQ(as_map(from_texts), as_map(expected));
}

INSTANTIATE_TEST_SUITE_P(Threads, CountFiles, ::testing::Values(1, 2, 5));

TEST(CountFilesFaults, AProgressFailureStopsTheCountAndJoinsTheWorkers) {
  const ScratchDir dir;
  std::mt19937 rng(3);
  const std::string path = dir.file("f", random_text(rng, 20'000'000));
  WordCounter counter;
  const std::vector<std::string> paths = {path};
  EXPECT_THROW(engine::count_files(paths, 2, counter,
                                   [](std::uint64_t) { throw std::runtime_error("stop"); }),
               std::runtime_error);
}

TEST(TrainCounts, WritesTheRecordsThatTrainWritesIntoTheWorkdir) {
  const ScratchDir dir;
  std::mt19937 rng(5);
  WordCounter counter;
  for (int i = 0; i < 30; ++i) counter.add_all(counted_whole(random_text(rng, 500)));
  const auto merges = engine::train_counts(counter, dir.path());
  ASSERT_TRUE(merges.ok());
  EXPECT_EQ(merges.value(), learn_from_words(counter.words()));
  const auto read = [&](const char* name) {
    std::ifstream in(dir.path() + "/data/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read("merges_record.json"), merges_record_text(merges.value()));
  EXPECT_EQ(read("vocab_list.json"), vocab_list_text(build_vocab(merges.value())));
}

// Every distinct chunk once, with the ids the encoder gives it.
class RecordingWords final : public FinalWords {
 public:
  void merges_made(std::span<const Merge> merges) override {
    merges_.assign(merges.begin(), merges.end());
  }
  void word(std::uint32_t d, std::span<const TokenId> ids) override {
    words_[d].push_back(std::vector<TokenId>(ids.begin(), ids.end()));
  }
  std::vector<Merge> merges_;
  std::map<std::uint32_t, std::vector<std::vector<TokenId>>> words_;
};

TEST(TrainCounts, TheFinalWordsAreTheEncodingOfEveryChunkAndTheCheckAgrees) {
  std::mt19937 rng(13);
  WordCounter counter;
  for (int i = 0; i < 40; ++i) counter.add_all(counted_whole(random_text(rng, 400)));
  counter.add(std::string(600, 'a') + "b", 3);  // long enough for the positional path
  counter.add("", 2);
  for (const std::size_t positional_from : {4u, 256u}) {
    RecordingWords seen;
    const std::vector<Merge> merges = learn_from_counts(counter, nullptr, positional_from, &seen);
    EXPECT_EQ(seen.merges_, merges);
    ASSERT_EQ(seen.words_.size(), counter.distinct());
    for (std::uint32_t d = 0; d < counter.distinct(); ++d) {
      ASSERT_EQ(seen.words_[d].size(), 1u) << d;
      EXPECT_EQ(seen.words_[d][0], oracle::encode_sequential({counter.chunk(d)}, merges)) << d;
    }
  }
  const ScratchDir dir;
  engine::RoundTrip check;
  const auto merges = engine::train_counts(counter, dir.path(), nullptr, &check);
  ASSERT_TRUE(merges.ok());
  const auto tok = compiled(merges.value());
  const engine::RoundTrip again = engine::check_round_trip(counter, *tok, 2);
  EXPECT_TRUE(check.ok);
  EXPECT_EQ(check.tokens, again.tokens);
  EXPECT_EQ(check.bytes, again.bytes);
}

TEST(TrainCounts, AFailedWriteLeavesBothOldRecordsWhole) {
  const ScratchDir dir;
  WordCounter counter;
  for (int i = 0; i < 5; ++i) counter.add("abcabc");
  std::filesystem::create_directories(dir.path() + "/data/vocab_list.json");  // in the way
  dir.file("data/merges_record.json", "old merges");
  const auto merges = engine::train_counts(counter, dir.path());
  ASSERT_FALSE(merges.ok());
  EXPECT_EQ(merges.error().kind, ErrorKind::Io);
  EXPECT_EQ(merges.error().message.rfind("failed to write data/vocab_list.json: ", 0), 0u)
      << merges.error().message;
  std::ifstream in(dir.path() + "/data/merges_record.json");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "old merges");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/data"),
                          std::filesystem::directory_iterator()),
            2);  // no temporary file left behind
}

TEST(RoundTrip, CountsTokensAndBytesByChunkCount) {
  std::mt19937 rng(9);
  const std::vector<Merge> merges = merges_for(rng, 150);
  const auto tok = compiled(merges);
  WordCounter counter;
  counter.add("the", 3);
  counter.add(" foo", 2);
  std::vector<TokenId> the;
  std::vector<TokenId> foo;
  tok->encode_chunk_uncached("the", the);
  tok->encode_chunk_uncached(" foo", foo);
  for (const std::size_t threads : {1u, 4u}) {
    const engine::RoundTrip r = engine::check_round_trip(counter, *tok, threads);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 3u * 3 + 4u * 2);
    EXPECT_EQ(r.tokens, 3 * the.size() + 2 * foo.size());
  }
}

}  // namespace
}  // namespace ovilex
