#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tokenizer/records.h"

namespace ovilex {
namespace {

namespace fs = std::filesystem;

// The vocabulary the merges make: single bytes, then left + right.
VocabList vocab_of(const std::vector<Merge>& merges) {
  VocabList vocab;
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t byte = static_cast<std::uint8_t>(b);
    vocab.set(static_cast<TokenId>(b), std::span<const std::uint8_t>(&byte, 1));
  }
  for (const Merge& m : merges) vocab.set_concat(m.new_id, m.left, m.right);
  return vocab;
}

class RecordFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parametrized test's name holds a '/': one directory, not two.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    root_ = fs::path(::testing::TempDir()) /
            ("ovilex-records-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(root_);
    fs::create_directories(root_);
    merges_path_ = (root_ / "merges_record.json").string();
    vocab_path_ = (root_ / "vocab_list.json").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes the files given (a missing one stays missing) and reads them.
  Result<Records> read(const std::optional<std::string>& merges,
                       const std::optional<std::string>& vocab) {
    if (merges) std::ofstream(merges_path_, std::ios::binary) << *merges;
    if (vocab) std::ofstream(vocab_path_, std::ios::binary) << *vocab;
    return read_records(merges_path_, vocab_path_);
  }
  // |message| with {M} and {V} standing for the two paths.
  std::string expand(std::string message) const {
    for (const auto& [key, path] :
         {std::pair{"{M}", merges_path_}, std::pair{"{V}", vocab_path_}}) {
      for (std::size_t at; (at = message.find(key)) != std::string::npos;) {
        message.replace(at, 3, path);
      }
    }
    return message;
  }

  fs::path root_;
  std::string merges_path_;
  std::string vocab_path_;
};

class RoundTrip : public RecordFiles, public ::testing::WithParamInterface<int> {};

TEST_P(RoundTrip, ReadsWhatTheWriterWrote) {
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<TokenId> ids(256);
    for (unsigned i = 0; i < 256; ++i) ids[i] = static_cast<TokenId>(i);
    std::vector<Merge> merges;
    // Consecutive new ids as training makes them, or ascending ones with gaps.
    const unsigned step = seed % 2 == 0 ? 1 : 1 + 60000 / (GetParam() + 1);
    for (int i = 0; i < GetParam(); ++i) {
      std::uniform_int_distribution<std::size_t> pick(0, ids.size() - 1);
      const auto new_id = static_cast<TokenId>(256 + i * step);
      merges.push_back(Merge{ids[pick(rng)], ids[pick(rng)], new_id});
      ids.push_back(new_id);
    }
    const VocabList vocab = vocab_of(merges);
    const Result<Records> got = read(merges_record_text(merges), vocab_list_text(vocab));
    ASSERT_TRUE(got.ok()) << got.error().message;
    EXPECT_EQ(got.value().merges, merges);
    ASSERT_EQ(got.value().merge_lines.size(), merges.size());
    for (std::size_t i = 0; i < merges.size(); ++i) EXPECT_EQ(got.value().merge_lines[i], i + 2);
    ASSERT_EQ(got.value().vocab.ids(), vocab.ids());
    for (const TokenId id : vocab.ids()) {
      EXPECT_TRUE(std::ranges::equal(*got.value().vocab.find(id), *vocab.find(id))) << id;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Merges, RoundTrip, ::testing::Values(0, 1, 7, 500, 7744));

// Two merges, "ab" = 256 and "abc" = 257, with the vocabulary they make.
const std::vector<Merge> MERGES = {{97, 98, 256}, {256, 99, 257}};
const std::string MERGES_TEXT = merges_record_text(MERGES);
const std::string VOCAB_TEXT = vocab_list_text(vocab_of(MERGES));
const std::string M_FOUND =
    R"({M}, line 2: expected an entry {"pair":[LEFT,RIGHT],"id":ID} with ids 0 to 4294967294, found )";

// VOCAB_TEXT without id 255.
std::string vocab_without_255() {
  VocabList vocab;
  const VocabList full = vocab_of(MERGES);
  for (const TokenId id : full.ids()) {
    if (id != 255) vocab.set(id, *full.find(id));
  }
  return vocab_list_text(vocab);
}

const std::string V_FOUND =
    R"(expected an entry {"id":ID,"bytes":[BYTE,...]} with an id 0 to 4294967294 and one or more )"
    "bytes 0 to 255, found ";

// |line| in place of the first merge.
std::string first_merge(const std::string& line) { return "[\n" + line + "\n]"; }

// |text| with its line |number| replaced by |line|.
std::string replace_line(std::string text, std::size_t number, const std::string& line) {
  std::size_t begin = 0;
  for (std::size_t n = 1; n < number; ++n) begin = text.find('\n', begin) + 1;
  return text.replace(begin, text.find('\n', begin) - begin, line);
}

std::string vocab_line(std::size_t number, const std::string& line) {
  return replace_line(VOCAB_TEXT, number, line);
}

struct FailureCase {
  const char* name;
  std::optional<std::string> merges;
  std::optional<std::string> vocab;
  std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failures : public RecordFiles, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, GiveTheMessage) {
  const FailureCase& c = GetParam();
  const Result<Records> got = read(c.merges, c.vocab);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind, ErrorKind::Record);
  EXPECT_EQ(got.error().message, expand(c.message));
}

const std::string LONG = std::string(57, 'a') + "bcdef";

INSTANTIATE_TEST_SUITE_P(
    Records, Failures,
    ::testing::Values(
        FailureCase{"MissingMerges", std::nullopt, VOCAB_TEXT, "no such file: {M}"},
        FailureCase{"MissingVocab", MERGES_TEXT, std::nullopt, "no such file: {V}"},
        FailureCase{"BadMergesBeforeMissingVocab", "", std::nullopt,
                    "{M}, line 1: expected '[', found an empty file"},
        FailureCase{"FirstLineAsRepr", "x'\t\x7f\\\x01 \n[", VOCAB_TEXT,
                    R"({M}, line 1: expected '[', found "x'\t\x7f\\\x01 ")"},
        FailureCase{"BothQuotes", "'\"\r", VOCAB_TEXT,
                    R"({M}, line 1: expected '[', found '\'"\r')"},
        FailureCase{"EndOfFile", "[", VOCAB_TEXT,
                    "{M}, line 1: expected an entry or ']', found the end of the file"},
        FailureCase{"EmptyLine", "[\n\n]", VOCAB_TEXT, M_FOUND + "''"},
        FailureCase{"SixtyShownWhole", first_merge(LONG.substr(0, 60)), VOCAB_TEXT,
                    M_FOUND + "'" + LONG.substr(0, 60) + "'"},
        FailureCase{"LongerCut", first_merge(LONG.substr(0, 61)), VOCAB_TEXT,
                    M_FOUND + "'" + LONG.substr(0, 57) + "...'"},
        FailureCase{"NotAscii", "[\n\n\n  {\"pair\":[97,98],\"id\":256} \xe9", VOCAB_TEXT,
                    "{M}, line 4: expected ASCII text, found the byte 0xe9"},
        FailureCase{"MissingComma",
                    "[\n{\"pair\":[97,98],\"id\":256}\n{\"pair\":[256,99],\"id\":257}\n]",
                    VOCAB_TEXT,
                    "{M}, line 2: expected a comma after the entry"},
        FailureCase{"BadEntryBeforeMissingComma", "[\n{\"pair\":[97,98],\"id\":256}\nx\n]",
                    VOCAB_TEXT, "{M}, line 3: expected an entry {\"pair\":[LEFT,RIGHT],\"id\":ID} "
                    "with ids 0 to 4294967294, found 'x'"},
        FailureCase{"CommaAfterLast", "[\n{\"pair\":[97,98],\"id\":256},\n]", VOCAB_TEXT,
                    "{M}, line 2: expected no comma after the last entry"},
        FailureCase{"AfterBracket", MERGES_TEXT + "\n\n \t x ", VOCAB_TEXT,
                    "{M}, line 6: expected nothing after ']', found 'x'"},
        FailureCase{"BytesEndInComma", MERGES_TEXT, vocab_line(258, R"({"id":256,"bytes":[97,]})"),
                    "{V}, line 258: " + V_FOUND + R"('{"id":256,"bytes":[97,]}')"},
        FailureCase{"IdsDescend", MERGES_TEXT, vocab_line(3, "{\"id\":0,\"bytes\":[0]},"),
                    "{V}, line 3: expected an id above 0, found 0"},
        FailureCase{"ByteIdNotItsByte", MERGES_TEXT, vocab_line(7, "{\"id\":5,\"bytes\":[5,6]},"),
                    "{V}, line 7: expected id 5 to stand for the single byte [5], found [5, 6]"},
        FailureCase{"ByteIdMissing", MERGES_TEXT, vocab_line(7, "{\"id\":256,\"bytes\":[0]},"),
                    "{V}, line 8: expected an id above 256, found 6"},
        FailureCase{"SyntaxBeforeOrder", MERGES_TEXT,
                    replace_line(vocab_line(3, "{\"id\":9,\"bytes\":[1]},"), 260, "x"),
                    "{V}, line 260: " + V_FOUND + "'x'"},
        FailureCase{"NoneFor255", MERGES_TEXT, vocab_without_255(),
                    "{V}: expected an entry for every id 0 to 255, found none for 255"},
        FailureCase{"MergeIdMissing",
                    "[\n  {\"pair\":[97,98],\"id\":256},\n {\"pair\":[256,9],\"id\":258}\n]",
                    VOCAB_TEXT,
                    "{M}, line 3: id 258 is not in {V}"},
        FailureCase{"MergeBytesDiffer", "[\n{\"pair\":[97,99],\"id\":256}\n]", VOCAB_TEXT,
                    "{M}, line 2: expected the bytes of id 256 in {V} to be those of ids 97 and 99 "
                    "joined, found [97, 98]"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(RecordFiles, DirectoryIsUnreadable) {
  fs::create_directory(merges_path_);
  const Result<Records> got = read(std::nullopt, VOCAB_TEXT);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message, expand("cannot read {M}: Is a directory"));
}

TEST(CheckMerges, NamesTheFirstMergeThatDoesNotFit) {
  const VocabList vocab = vocab_of(MERGES);
  EXPECT_FALSE(check_merges(MERGES, vocab, "v").has_value());
  const std::vector<Merge> merges = {{97, 98, 256}, {256, 99, 257}, {97, 300, 258}, {1, 2, 3}};
  const auto problem = check_merges(merges, vocab, "the vocabulary");
  ASSERT_TRUE(problem.has_value());
  EXPECT_EQ(problem->index, 2u);
  EXPECT_EQ(problem->message, "id 300 is not in the vocabulary");
  const auto joined = check_merges(std::vector<Merge>{{256, 97, 257}}, vocab, "the vocabulary");
  ASSERT_TRUE(joined.has_value());
  EXPECT_EQ(joined->index, 0u);
  EXPECT_EQ(joined->message,
            "expected the bytes of id 257 in the vocabulary to be those of ids 256 and 97 joined, "
            "found [97, 98, 99]");
}

}  // namespace
}  // namespace ovilex
