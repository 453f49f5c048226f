// The record files of a training run: data/merges_record.json and
// data/vocab_list.json, relative to the current directory, and
// data/special_tokens.json when the tokenizer has special tokens.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace ovilex {

inline constexpr std::string_view RECORD_DIR = "data";
inline constexpr std::string_view MERGES_RECORD_PATH = "data/merges_record.json";
inline constexpr std::string_view VOCAB_LIST_PATH = "data/vocab_list.json";
inline constexpr std::string_view MERGES_RECORD = "merges_record.json";
inline constexpr std::string_view VOCAB_LIST = "vocab_list.json";
inline constexpr std::string_view SPECIAL_TOKENS_PATH = "data/special_tokens.json";
inline constexpr std::string_view SPECIAL_TOKENS = "special_tokens.json";

// A text that stands for an id of its own, outside the learned vocabulary.
struct SpecialToken {
  std::string text;
  TokenId id = 0;
  friend bool operator==(const SpecialToken&, const SpecialToken&) = default;
};

// The special tokens of a training: |texts| numbered in their order from
// one above the greatest id of |vocab| on (the caller has checked that they
// stay within 65535).
std::vector<SpecialToken> special_tokens_after(const VocabList& vocab,
                                               std::span<const std::string> texts);

// The file texts: one JSON object per line, two spaces of indentation, a
// comma after every entry but the last, no line feed after the closing "]".
std::string merges_record_text(std::span<const Merge> merges);
// Ids in ascending order, whatever order the map holds them in.
std::string vocab_list_text(const VocabList& vocab);
// {"id":ID,"text":TEXT} entries in ascending id order, TEXT as Python's
// json.dumps writes a str: ASCII only, "\u" escapes for the rest.
std::string special_tokens_text(std::span<const SpecialToken> specials);

// Each creates the directory data if needed and replaces its file whole: the
// text goes to a temporary file beside it, is flushed to stable storage and
// renamed over the target, so a failure leaves the previous file intact and
// no temporary file behind. An error reads
// "failed to write <path>: <reason> (os error <code>)".
[[nodiscard]] std::optional<Error> write_merges_record(std::span<const Merge> merges);
[[nodiscard]] std::optional<Error> write_vocab_list(const VocabList& vocab);

// The replacement itself, for a file |path| inside the directory |dir|,
// which is created when missing.
[[nodiscard]] std::optional<Error> replace_file(std::string_view dir, std::string_view path,
                                                std::string_view text);

// The record files into |workdir|/data (the directory made when missing),
// as a set: every text is written and flushed to a temporary file first,
// and only then renamed over its target, so a failure while writing leaves
// the previous files as they were. Without special tokens there is no
// special_tokens.json: one from an earlier training goes, before the
// renames (a tokenizer read halfway through has none rather than stale
// ones). Messages name the files as data/<file>, relative to |workdir|.
[[nodiscard]] std::optional<Error> write_records(std::string_view workdir,
                                                 std::span<const Merge> merges,
                                                 const VocabList& vocab,
                                                 std::span<const SpecialToken> specials = {});

// ---------------------------------------------------------------------------
// Reading the records back.
//
// A file is read whole and taken line by line (lines end at "\n" only), so
// that an error names the line: the first line is "[", then one entry per
// line, each but the last followed by a comma, then "]". Whitespace around
// a line (any of " \t\n\v\f\r\x1c\x1d\x1e\x1f") and empty lines after the
// "]" are allowed. An entry is whatever JSON text Python's json.loads would
// turn into {"pair":[LEFT,RIGHT],"id":ID} or {"id":ID,"bytes":[BYTE,...]}:
// keys in any order, escaped or repeated (the last one counts), JSON
// whitespace inside, "-0" for 0; integers only (no floats, no true/false).

// The merges in file order, with the line of each, and the vocabulary.
struct Records {
  std::vector<Merge> merges;
  VocabList vocab;
  std::vector<std::size_t> merge_lines;
};

// Reads a merges record and a vocabulary list written by training, given the
// two paths exactly as they are to appear in messages. The merges file is
// checked whole before the vocabulary file is opened, and both before any
// merge is checked against the vocabulary. Every failure is an Error of kind
// ErrorKind::Record, with one of these messages:
//   "no such file: PATH"                  "cannot read PATH: <strerror text>"
//   "PATH, line N: expected ASCII text, found the byte 0xNN"
//   "PATH, line 1: expected '[', found <line>" (or "found an empty file")
//   "PATH, line N: expected an entry or ']', found the end of the file"
//   "PATH, line N: expected an entry <format>, found <line>"
//   "PATH, line N: expected a comma after the entry"
//   "PATH, line N: expected no comma after the last entry"
//   "PATH, line N: expected nothing after ']', found <line>"
//   "PATH, line N: expected an id above P, found I"
//   "PATH, line N: expected id I to stand for the single byte [I], found [B, ...]"
//   "PATH: expected an entry for every id 0 to 255, found none for I"
//   "MERGES_PATH, line N: <check_merges message, where = VOCAB_PATH>"
// <line> is Python's repr() of the line, cut to 57 characters and "..." when
// it is longer than 60.
Result<Records> read_records(const std::string& merges_path, const std::string& vocab_path);

// The special tokens of the file at |path| (shown so in messages) for the
// vocabulary read from |vocab_path|; none when there is no such file. Read
// as the other two, with one {"id":ID,"text":TEXT} entry per line: ids
// ascending and outside the vocabulary, texts non-empty and distinct. TEXT
// is a JSON string that json.loads reads, without lone surrogates. Errors
// as read_records gives them, and:
//   "PATH, line N: expected an id that is not in VOCAB_PATH, found I"
//   "PATH, line N: expected a text unlike those above, found that of line M"
Result<std::vector<SpecialToken>> read_special_tokens(const std::string& path,
                                                      const VocabList& vocab,
                                                      const std::string& vocab_path);

// The first merge that does not fit |vocab| (called |where| in the message):
// its index, and "id I is not in WHERE" or "expected the bytes of id N in
// WHERE to be those of ids L and R joined, found [B, ...]". The caller adds
// its own prefix (a file and line, or the merge itself).
struct MergeProblem {
  std::size_t index;
  std::string message;
};
std::optional<MergeProblem> check_merges(std::span<const Merge> merges, const VocabList& vocab,
                                         std::string_view where);

}  // namespace ovilex
