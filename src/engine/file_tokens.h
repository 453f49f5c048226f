// The number of token ids of UTF-8 text files, found without holding a file
// whole or writing its ids: each file is read in blocks (text::read_pieces)
// and its pieces counted on several threads (CompiledTokenizer::count_text),
// so memory follows the block size and the threads, never a file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/compiled.h"
#include "text/source.h"

namespace ovilex::engine {

// How the texts of |tokenizer| may be cut into pieces: where its split
// pattern may be cut once its normalizer has had the text, with the space
// of its prefix_space before a text.
inline text::PieceCuts piece_cuts(const CompiledTokenizer& tokenizer) noexcept {
  return {tokenizer.rules().pattern, tokenizer.rules().prefix_space, tokenizer.rules().normalizer};
}

struct FileTokensOptions {
  std::size_t threads = 1;
  std::size_t block = text::DEFAULT_BLOCK;
  // Runs on the calling thread after every block read; what it throws
  // stops the call.
  std::function<void()> on_read;
};

// The number of ids of every file, equal to tokenizer.count_text of the
// file whole; or the failure of the first file that could not be read or is
// not UTF-8 (as read_pieces reports it). Pieces are cut where the
// tokenizer's split pattern may be cut (piece_cuts): the caller checks
// text::reads_in_pieces of it.
std::variant<std::vector<std::uint64_t>, text::SourceFailure> count_file_tokens(
    const CompiledTokenizer& tokenizer, std::span<const std::string> paths,
    const FileTokensOptions& options);

}  // namespace ovilex::engine
