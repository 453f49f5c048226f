// Token shards for language-model pretraining: the ids of a text file as
// flat little-endian uint16 or uint32 (its data file) and the end of every
// document, in tokens, as little-endian uint64 (its .idx file). The caller
// names the files; docs/formats.md gives the names that tell the widths
// apart.
//
// A file is one document. It is read in blocks (text::read_pieces), its
// pieces are encoded on several threads and their ids written in file
// order as they come, so memory follows the block size, the threads and
// the encoder's cache, never the size of a file. Every output is written
// to a temporary file beside it and flushed; the temporary files are
// renamed over the outputs only once every job of the call is written. A
// failure, or an exception from the progress callback, leaves no output
// under its name and no temporary file. A job's |other| file, the data
// file of the other width, goes once every output is renamed into place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "engine/compiled.h"
#include "text/source.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// One source, the two files its shard goes to, and the data file of the
// other width, beside |bin|, that must not stay there (none when empty).
struct ShardJob {
  std::string source;
  std::string bin;
  std::string idx;
  std::string other;
};

struct ShardProgress {
  std::size_t job = 0;
  std::uint64_t bytes = 0;   // of the job's source, encoded and written
  std::uint64_t tokens = 0;  // written to the job's .bin
  bool done = false;         // the job's outputs are complete
};

// The calling thread waits for the encoding threads no longer than this at
// a time before it reports progress again.
inline constexpr std::chrono::milliseconds PROGRESS_TICK{50};

struct ShardOptions {
  std::size_t threads = 1;
  // An id written after every document.
  std::optional<TokenId> eot;
  // How the .bin holds ids; Bits16 needs every id below 65536.
  IdWidth width = IdWidth::Bits16;
  std::size_t block = text::DEFAULT_BLOCK;
  // Runs on the calling thread after every block read, once every job is
  // complete (done), and every PROGRESS_TICK while it waits; what it
  // throws stops the call, which then leaves nothing behind.
  std::function<void(const ShardProgress&)> on_progress;
};

// A source that could not be read or is not UTF-8 (as read_pieces reports
// it), or an output that could not be written: an Error of kind Io,
// "cannot write PATH: REASON", PATH the output's own name ("cannot remove
// PATH: REASON" for an |other| file; one that is a directory fails before
// anything is written).
using ShardFailure = std::variant<text::SourceFailure, Error>;

// Writes the shard of every job: ids equal to tokenizer.encode_text of the
// whole source, followed by |eot| if set, and one document end. Sources are
// cut where the tokenizer's split pattern may be cut (piece_cuts in
// engine/file_tokens.h): the caller checks text::reads_in_pieces of it.
std::optional<ShardFailure> write_shards(const CompiledTokenizer& tokenizer,
                                         std::span<const ShardJob> jobs,
                                         const ShardOptions& options);

}  // namespace ovilex::engine
