// Count files: the distinct chunks of some text and how often each occurs,
// kept on disk so that text counted in separate runs (or on separate
// machines) can be added up and trained on later.
//
// Format, version 1. Every number is little-endian.
//
//   offset  bytes  field
//   0       8      magic: 89 4F 56 58 43 4E 54 0A ("\x89OVXCNT\n")
//   8       4      format version, u32: 1
//   12      8      distinct chunks, u64: the number of entries
//   20      8      total chunks, u64: the sum of the counts
//   28      8      size of the entries in bytes, u64
//   36      ...    the entries, one per distinct chunk:
//                    u32  length of the chunk in bytes
//                    ...  the chunk (UTF-8)
//                    u64  its count, 1 or more
//   last 8         end marker: 0A 54 4E 43 58 56 4F 89 (the magic reversed)
//
// The entries are sorted by the chunk's bytes compared as unsigned bytes,
// each chunk once, so that any number of count files merge in one streaming
// pass that holds one entry of each (merge_count_files).
//
// A reader trusts nothing it has not checked: a file shorter than the size
// its header gives (36 + entries + 8) is truncated, and one whose entries
// disagree with the header (their size, number or total), are out of order,
// hold a count of 0 or a chunk that is not UTF-8, or that lacks the end
// marker, is damaged. Each failure is one line naming the file:
//
//   "PATH: not an ovilex count file"                      (CountFile)
//   "PATH: count file format version N; this ovilex reads version 1"
//   "PATH: truncated count file"                            (also any proper
//                                                            prefix of one)
//   "PATH: damaged count file (WHAT)"
//   "PATH: the counts add up to more than 2**64-1"          (a sum too large)
//   "cannot read PATH: REASON", "cannot write PATH: REASON" (Io, strerror)
//
// Files are written through a temporary file in the same directory, renamed
// over PATH once complete: PATH is the old file or the whole new one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tokenizer/train.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

inline constexpr std::uint32_t COUNT_FILE_VERSION = 1;

// What a count file holds, as its header says.
struct CountFileInfo {
  std::uint64_t distinct = 0;
  std::uint64_t total = 0;
};

// Writes the chunks of |counter| whose count is not 0 to |path|.
Result<CountFileInfo> write_count_file(const WordCounter& counter, const std::string& path);

// Adds the counts of every file to |counter|. Every file is opened and its
// header and size checked before anything is added; damage found further in
// leaves the counter with the entries before it added.
std::optional<Error> add_count_files(std::span<const std::string> paths, WordCounter& counter);

// Writes the sum of the count files at |paths| to |out| (which may be one
// of them), reading each once, front to back, with one entry of each in
// memory at a time.
Result<CountFileInfo> merge_count_files(std::span<const std::string> paths,
                                        const std::string& out);

}  // namespace ovilex::engine
