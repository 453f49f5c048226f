#include "train.h"

#include <algorithm>
#include <chrono>
#include <type_traits>

#include "merge_loop.h"
#include "pool/pool.h"
#include "records.h"

namespace ovilex {

std::vector<WordFreq> WordCounter::words() const {
  std::vector<WordFreq> words;
  words.reserve(counts_.size());
  for (std::uint32_t id = 0; id < counts_.size(); ++id) {
    const std::string_view chunk = distinct_[id];
    Word w(chunk.size());
    widen_bytes(chunk, w.data());
    words.push_back({std::move(w), counts_[id]});
  }
  return words;
}

std::vector<WordFreq> WordCounter::take_words() && {
  std::vector<WordFreq> table = words();
  distinct_ = ChunkInterner();
  decltype(counts_)().swap(counts_);
  return table;
}

PairFreqs count_pairs(std::span<const WordFreq> words) {
  const std::size_t threads = pool::thread_count();
  // Pieces small enough that idle workers find work, large enough that the
  // joins stay cheap.
  const std::size_t grain = std::max<std::size_t>(1024, words.size() / (8 * threads));
  const auto count_piece = [&](std::size_t begin, std::size_t end) {
    PairFreqs piece;
    for (std::size_t w = begin; w < end; ++w) {
      const Word& word = words[w].word;
      for (std::size_t i = 0; i + 1 < word.size(); ++i) {
        piece[Pair{word[i], word[i + 1]}] += words[w].freq;
      }
    }
    return piece;
  };
  // Maps of different threads may hash differently: entries are re-inserted
  // by key, never copied as storage.
  const auto join = [](PairFreqs& into, PairFreqs&& from) {
    if (into.size() < from.size()) std::swap(into, from);
    for (const auto& [pair, freq] : from) into[pair] += freq;
    PairFreqs().swap(from);
  };
  return pool::parallel_reduce<PairFreqs>(words.size(), grain, count_piece, join);
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The words of a table, for MergeLoop.
auto table_words(const std::vector<WordFreq>& words) {
  return [&words](const auto& fn) {
    for (const WordFreq& wf : words) fn(std::span<const TokenId>(wf.word), wf.freq);
  };
}

// The words of counted chunks, read straight from the counter's bytes.
auto counted_words(const WordCounter& counter) {
  return [&counter](const auto& fn) { counter.for_each(fn); };
}

// fn(std::type_identity<Id>) with the narrowest Id of MergeLoop that holds
// every id the loop meets: those below |id_bound| that the words start
// with, and those its merges make.
template <class Fn>
decltype(auto) with_loop_ids(std::size_t id_bound, const TrainLimits& limits, Fn&& fn) {
  if (std::max(id_bound, FIRST_MERGE_ID + limits.max_merges) <= 0x10000) {
    return fn(std::type_identity<std::uint16_t>{});
  }
  return fn(std::type_identity<TokenId>{});
}

}  // namespace

std::vector<Merge> learn_merges(std::vector<WordFreq>& words, PairFreqs pair_freqs,
                                std::size_t positional_from, TrainProfile* profile,
                                bool release_words, const TrainLimits& limits) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t id_bound = 0;
  for (const WordFreq& wf : words) {
    for (const TokenId id : wf.word) id_bound = std::max(id_bound, std::size_t{id} + 1);
  }
  return with_loop_ids(id_bound, limits, [&]<class Id>(std::type_identity<Id>) {
    MergeLoop<Id> loop(words.size(), table_words(words), positional_from, limits);
    loop.index(pair_freqs);
    PairFreqs().swap(pair_freqs);
    if (release_words) std::vector<WordFreq>().swap(words);
    std::vector<Merge> merges = loop.run();
    if (profile) {
      profile->merge_loop_seconds = seconds_since(start);
      profile->word_rewrites = loop.rewrites();
    }
    if (!release_words) {
      loop.visit_words([&](std::uint32_t w, std::span<const TokenId> ids) {
        words[w].word.assign(ids.begin(), ids.end());
      });
    }
    return merges;
  });
}

VocabList build_vocab(std::span<const Merge> merges) {
  VocabList vocab;
  vocab.reserve(256 + merges.size(), 256 + 16 * merges.size());
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t byte = static_cast<std::uint8_t>(b);
    vocab.set(static_cast<TokenId>(b), {&byte, 1});
  }
  for (const Merge& m : merges) {
    if (!vocab.set_concat(m.new_id, m.left, m.right)) fail_internal("no entry found for key");
  }
  return vocab;
}

std::vector<Merge> learn_from_words(std::vector<WordFreq> words, TrainProfile* profile,
                                    std::size_t positional_from) {
  // Asking for the thread count creates the pool, even when nothing is counted.
  pool::thread_count();
  const auto start = std::chrono::steady_clock::now();
  PairFreqs pair_freqs = count_pairs(words);
  if (profile) {
    profile->count_pairs_seconds = seconds_since(start);
    profile->distinct_words = words.size();
    profile->initial_pairs = pair_freqs.size();
  }
  return learn_merges(words, std::move(pair_freqs), positional_from, profile, true);
}

std::vector<Merge> learn_from_counts(const WordCounter& counter, TrainProfile* profile,
                                     std::size_t positional_from, FinalWords* final_words,
                                     const TrainLimits& limits) {
  using Clock = std::chrono::steady_clock;
  // The words start as bytes.
  return with_loop_ids(FIRST_MERGE_ID, limits, [&]<class Id>(std::type_identity<Id>) {
    auto start = Clock::now();
    MergeLoop<Id> loop(counter.distinct(), counted_words(counter), positional_from, limits);
    loop.count_and_index();
    if (profile) {
      profile->count_pairs_seconds = seconds_since(start);
      profile->distinct_words = counter.distinct();
      profile->initial_pairs = loop.pairs();
    }
    start = Clock::now();
    std::vector<Merge> merges = loop.run();
    if (profile) {
      profile->merge_loop_seconds = seconds_since(start);
      profile->word_rewrites = loop.rewrites();
    }
    if (final_words != nullptr) {
      final_words->merges_made(merges);
      loop.visit_words(
          [&](std::uint32_t w, std::span<const TokenId> ids) { final_words->word(w, ids); });
    }
    return merges;
  });
}

Result<std::vector<Merge>> train(WordCounter&& counter, TrainProfile* profile) {
  std::vector<Merge> merges = learn_from_words(std::move(counter).take_words(), profile);
  const auto start = std::chrono::steady_clock::now();
  if (auto error = write_merges_record(merges)) return std::move(*error);
  const VocabList vocab = build_vocab(merges);
  if (auto error = write_vocab_list(vocab)) return std::move(*error);
  if (profile) profile->records_seconds = seconds_since(start);
  return merges;
}

}  // namespace ovilex
