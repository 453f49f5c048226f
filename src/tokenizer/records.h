// The two record files of a training run: data/merges_record.json and
// data/vocab_list.json, relative to the current directory.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "types.h"

namespace ovilex {

inline constexpr std::string_view RECORD_DIR = "data";
inline constexpr std::string_view MERGES_RECORD_PATH = "data/merges_record.json";
inline constexpr std::string_view VOCAB_LIST_PATH = "data/vocab_list.json";

// The file texts: one JSON object per line, two spaces of indentation, a
// comma after every entry but the last, no line feed after the closing "]".
std::string merges_record_text(std::span<const Merge> merges);
// Ids in ascending order, whatever order the map holds them in.
std::string vocab_list_text(const VocabList& vocab);

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

}  // namespace ovilex
