// Learning a merge list from chunks of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "hash.h"
#include "types.h"

namespace ovilex {

// A distinct word and the number of chunks that gave it.
struct WordFreq {
  Word word;
  std::uint64_t freq;
};

using PairFreqs = boost::unordered_flat_map<Pair, std::uint64_t, KeyedHash>;

// What a training may make: at most |max_merges| merges (ids up to 255 +
// max_merges), each of a pair seen at least |min_frequency| times and, when
// |max_token_length| is not 0, whose bytes joined are no longer than that.
// A pair that breaks a limit is passed over, never chosen in another's
// place: the merges of larger limits begin with those of smaller ones.
// The defaults are those of encode_train.
struct TrainLimits {
  std::size_t max_merges = MAX_MERGES;
  std::uint64_t min_frequency = MIN_MERGE_FREQ;
  std::size_t max_token_length = 0;
};

// Counts distinct chunks as they arrive, so that memory follows the distinct
// words rather than the chunks. A chunk's word is its UTF-8 bytes as ids.
class WordCounter {
 public:
  // Returns the chunk's number: distinct chunks before its first appearance.
  std::uint32_t add(std::string_view chunk, std::uint64_t count = 1) {
    const std::uint32_t id = distinct_.intern(chunk);
    if (id == counts_.size()) {
      counts_.push_back(count);
    } else {
      counts_[id] += count;
    }
    chunks_ += count;
    return id;
  }
  // Adds to the chunk that add() numbered |id|.
  void add_again(std::uint32_t id, std::uint64_t count = 1) {
    counts_[id] += count;
    chunks_ += count;
  }
  // Adds every count of |other|.
  void add_all(const WordCounter& other) {
    other.for_each([&](std::string_view chunk, std::uint64_t count) { add(chunk, count); });
  }
  std::uint64_t chunks() const noexcept { return chunks_; }
  std::size_t distinct() const noexcept { return counts_.size(); }
  // The distinct chunk numbered |id| (see add), and its count.
  std::string_view chunk(std::uint32_t id) const noexcept { return distinct_[id]; }
  std::uint64_t count(std::uint32_t id) const noexcept { return counts_[id]; }
  // fn(chunk, count) for every distinct chunk, in order of first appearance.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::uint32_t id = 0; id < counts_.size(); ++id) fn(distinct_[id], counts_[id]);
  }
  // The word table, in order of first appearance.
  std::vector<WordFreq> words() const;
  // The same, consuming the counter.
  std::vector<WordFreq> take_words() &&;

 private:
  ChunkInterner distinct_;
  std::vector<std::uint64_t> counts_;
  std::size_t chunks_ = 0;
};

// Every adjacent pair of every word, each occurrence weighted by the word's
// freq (overlapping occurrences all count). Runs on the worker pool; the
// result does not depend on the number of workers.
PairFreqs count_pairs(std::span<const WordFreq> words);

// Where the time and memory of one training call went, for benchmarks.
struct TrainProfile {
  // learn_from_counts counts the pairs as it copies the words in and indexes
  // them, and times all of that here; learn_from_words times count_pairs
  // alone here and the rest with the loop.
  double count_pairs_seconds = 0;
  double merge_loop_seconds = 0;
  double records_seconds = 0;
  std::size_t distinct_words = 0;
  std::size_t initial_pairs = 0;
  std::size_t word_rewrites = 0;
};

// The merge loop, from the word table and its pair frequencies (as
// count_pairs gives them): repeatedly the pair of greatest frequency (ties to
// the greater left, then the greater right id) becomes the next id from 256,
// until |limits| allows no more merges, no pair is left, or the best
// frequency is below the least allowed. Words of at least |positional_from| ids are merged
// through an index of their positions instead of being rewritten whole
// (same result; a tuning knob, which tests turn down to reach both paths).
// |words| is left holding the rewritten words, unless |release_words|: then
// the table goes as soon as the loop has its own copy, as training wants.
inline constexpr std::size_t POSITIONAL_FROM = 256;
std::vector<Merge> learn_merges(std::vector<WordFreq>& words, PairFreqs pair_freqs,
                                std::size_t positional_from = POSITIONAL_FROM,
                                TrainProfile* profile = nullptr, bool release_words = false,
                                const TrainLimits& limits = {});

// The byte string of every id: 0..255 as single bytes, then each merge's new
// id as the bytes of its left part followed by those of its right part.
VocabList build_vocab(std::span<const Merge> merges);

// The merge list of a word table, as encode_train makes it: the pairs
// counted on the worker pool, then learn_merges, which lets the table go.
std::vector<Merge> learn_from_words(std::vector<WordFreq> words, TrainProfile* profile = nullptr,
                                    std::size_t positional_from = POSITIONAL_FROM);

// The same merge list from counted chunks, without the word table: the
// loop copies the chunks' bytes in and counts the pairs as it indexes them
// (on the calling thread, in about the time of the index alone), so that
// training holds the counter and the loop's own tables but nothing more.
// The worker pool is not used. |positional_from| as for learn_merges.
//
// |final_words|, when given, sees what the loop ends with while its tables
// are still there, so that a check of every word costs no second pass and
// no more memory: the merges, then each distinct chunk's final ids.
class FinalWords {
 public:
  virtual ~FinalWords() = default;
  virtual void merges_made(std::span<const Merge> merges) = 0;
  // The final ids of the counter's distinct chunk |d| (numbered as the
  // counter numbers them: first appearance), once for every chunk.
  virtual void word(std::uint32_t d, std::span<const TokenId> ids) = 0;
};
std::vector<Merge> learn_from_counts(const WordCounter& counter, TrainProfile* profile = nullptr,
                                     std::size_t positional_from = POSITIONAL_FROM,
                                     FinalWords* final_words = nullptr,
                                     const TrainLimits& limits = {});

// The whole training call after the chunks are counted: learn_from_words,
// then data/merges_record.json and data/vocab_list.json written in that
// order. An Io error names the file that could not be written.
Result<std::vector<Merge>> train(WordCounter&& counter, TrainProfile* profile = nullptr);

}  // namespace ovilex
