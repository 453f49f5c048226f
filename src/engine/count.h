// Counting the chunks of training text on several threads, and training
// from the counts into a work directory.
//
// Each file and each text is split on its own, as training requires: a
// chunk never spans two sources. What is counted is the multiset of chunks,
// so the order in which threads count pieces changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/compiled.h"
#include "text/source.h"
#include "tokenizer/train.h"
#include "tokenizer/types.h"

namespace ovilex::engine {

// Adds the chunks of every file to |counter|, splitting and counting on up
// to |threads| threads while the calling thread reads. on_read(bytes) runs
// on the calling thread after every block read; an exception it throws
// stops the count (the counter is then left partly counted). Stops at the
// first file that fails.
std::optional<text::SourceFailure> count_files(
    std::span<const std::string> paths, std::size_t threads, WordCounter& counter,
    const std::function<void(std::uint64_t)>& on_read = {},
    text::InvalidBytes invalid = text::InvalidBytes::Fail);

// Adds the chunks of every text (valid UTF-8) to |counter|, as count_files.
void count_texts(std::span<const std::string_view> texts, std::size_t threads,
                 WordCounter& counter);

// What encoding every counted chunk gives, weighted by its count: tokens
// and bytes, and whether decoding each chunk's ids gave its bytes back.
struct RoundTrip {
  std::uint64_t tokens = 0;
  std::uint64_t bytes = 0;
  bool ok = true;
};

// Learns the merges of |counter|'s chunks, writes the record files into
// |workdir|/data as a set (write_records; with the special tokens
// |specials| numbered from one above the greatest learned id, see
// special_tokens_after), and returns the merges, as |limits| allow them.
//
// With |check|, it also fills in the round trip of every distinct chunk
// from the merge loop's own final words, decoded through the vocabulary of
// the merges; the compiled encoder must give the same ids for every
// CHECK_EVERY-th chunk. Nothing is encoded a second time but that sample;
// its long chunks (of POSITIONAL_FROM bytes or more) are encoded once the
// merge loop has let its tables go, so that the two never hold room for
// one long chunk at once.
inline constexpr std::uint32_t CHECK_EVERY = 64;
Result<std::vector<Merge>> train_counts(const WordCounter& counter, std::string_view workdir,
                                        TrainProfile* profile = nullptr,
                                        RoundTrip* check = nullptr,
                                        std::span<const std::string> specials = {},
                                        const TrainLimits& limits = {});
RoundTrip check_round_trip(const WordCounter& counter, const CompiledTokenizer& tokenizer,
                           std::size_t threads);

}  // namespace ovilex::engine
