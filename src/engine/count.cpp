#include "count.h"

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "engine/parallel.h"
#include "text/split.h"
#include "tokenizer/records.h"

namespace ovilex::engine {

namespace {

// Training splits by ovilex's own pattern, with no space before a text.
constexpr text::PieceCuts TRAINING_CUTS{};

// Pieces of text on their way from the reading thread to the counting ones.
// Bounded, so that reading never runs far ahead of counting.
class PieceQueue {
 public:
  explicit PieceQueue(std::size_t limit) : limit_(limit) {}

  void push(std::string piece) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return queue_.size() < limit_ || closed_; });
    if (closed_) return;
    queue_.push_back(std::move(piece));
    not_empty_.notify_one();
  }

  // The next piece, or nullopt once the queue is closed and empty.
  std::optional<std::string> pop() {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    std::string piece = std::move(queue_.front());
    queue_.pop_front();
    not_full_.notify_one();
    return piece;
  }

  void close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<std::string> queue_;
  std::size_t limit_;
  bool closed_ = false;
};

// A thread's counting: a direct-mapped table of short chunks in front of
// the counter, each slot holding a chunk's key and its number there, so
// that the frequent chunks are counted with one hash and one compare.
class Counting {
 public:
  explicit Counting(WordCounter& counter) : counter_(counter) {}
  Counting(const Counting&) = delete;
  Counting& operator=(const Counting&) = delete;
  ~Counting() { flush(); }

  void add_text(std::string_view text) {
    text::split_utf8(TRAINING_CUTS.pattern, text, [&](std::string_view chunk) {
      const Key key = Key::of(chunk);
      if (key.is_long() || chunk.empty()) {
        counter_.add(chunk);
        return;
      }
      Slot& slot = slots_[hash_(key) & (SLOTS - 1)];
      if (slot.lo == key.lo && slot.hi == key.hi) {
        if (slot.count == UINT32_MAX) {
          counter_.add_again(slot.id, slot.count);
          slot.count = 0;
        }
        ++slot.count;
        return;
      }
      if (slot.count != 0) counter_.add_again(slot.id, slot.count);
      slot = {key.lo, key.hi, counter_.add(chunk), 0};
    });
  }

  // Hands the counts that the slots still hold to the counter.
  void flush() {
    for (std::size_t i = 0; i < SLOTS; ++i) {
      Slot& slot = slots_[i];
      if (slot.count != 0) counter_.add_again(slot.id, slot.count);
      slot.count = 0;
    }
  }

 private:
  using Key = ChunkInterner::Key;
  // A slot counts its chunk's repeats itself, on the same cache line as the
  // key, until the chunk leaves the slot. An empty slot's hi of 0 matches
  // no key that reaches the table: a key holds its length in its top byte,
  // and an empty chunk goes past it.
  struct alignas(32) Slot {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::uint32_t id = 0;
    std::uint32_t count = 0;  // repeats since the counter last saw it
  };
  static constexpr std::size_t SLOTS = std::size_t{1} << 15;
  WordCounter& counter_;
  std::unique_ptr<Slot[]> slots_ = std::make_unique<Slot[]>(SLOTS);
  ChunkInterner::KeyHash hash_;
};

// The counters of several threads into |into|; the first is moved when
// |into| is still empty, which spares one merge.
void gather(std::vector<WordCounter>& counters, WordCounter& into) {
  for (WordCounter& c : counters) {
    if (into.distinct() == 0) {
      into = std::move(c);
    } else {
      into.add_all(c);
    }
    c = WordCounter();
  }
}

}  // namespace

std::optional<text::SourceFailure> count_files(
    std::span<const std::string> paths, std::size_t threads, WordCounter& counter,
    const std::function<void(std::uint64_t)>& on_read, text::InvalidBytes invalid) {
  threads = std::max<std::size_t>(1, threads);
  PieceQueue queue(2 * threads);
  std::vector<WordCounter> counters(threads);
  std::exception_ptr failure;
  std::mutex failure_lock;
  std::optional<text::SourceFailure> source_failure;
  {
    std::vector<std::jthread> workers;
    // Declared after the workers, so it runs first when leaving the block,
    // also by an exception: the workers see the end and can be joined.
    struct Closer {
      PieceQueue& queue;
      ~Closer() { queue.close(); }
    } closer{queue};
    for (std::size_t t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        bool failed = false;
        std::optional<Counting> counting;
        while (auto piece = queue.pop()) {
          if (failed) continue;  // keep draining, so that the reader never blocks
          try {
            if (!counting) counting.emplace(counters[t]);
            counting->add_text(*piece);
          } catch (...) {
            const std::lock_guard lock(failure_lock);
            if (!failure) failure = std::current_exception();
            failed = true;
          }
        }
      });
    }
    for (const std::string& path : paths) {
      source_failure = text::read_pieces(
          path, text::DEFAULT_BLOCK, TRAINING_CUTS,
          [&](std::string_view piece) { queue.push(std::string(piece)); },
          on_read, invalid);
      if (source_failure) break;
    }
  }
  if (failure) std::rethrow_exception(failure);
  gather(counters, counter);
  return source_failure;
}

void count_texts(std::span<const std::string_view> texts, std::size_t threads,
                 WordCounter& counter) {
  // Long texts in pieces, so that one long text still spreads over threads.
  std::vector<std::string_view> pieces;
  for (std::string_view text : texts) {
    while (text.size() > text::DEFAULT_BLOCK) {
      const std::size_t cut =
          text::last_piece_cut(TRAINING_CUTS, text.substr(0, text::DEFAULT_BLOCK), 0, true);
      if (cut == 0) break;
      pieces.push_back(text.substr(0, cut));
      text.remove_prefix(cut);
    }
    pieces.push_back(text);
  }
  std::size_t total = 0;
  for (const std::string_view p : pieces) total += p.size();
  const std::size_t block =
      std::max<std::size_t>(1, total == 0 ? pieces.size() : pieces.size() * (1 << 20) / total);
  threads = std::max<std::size_t>(1, std::min(threads, total / (1 << 20) + 1));
  std::vector<WordCounter> counters(threads);
  std::vector<std::optional<Counting>> countings(threads);
  run_blocks(pieces.size(), block, threads,
             [&](std::size_t thread, std::size_t, std::size_t begin, std::size_t end) {
               Counting& counting = countings[thread] ? *countings[thread]
                                                      : countings[thread].emplace(counters[thread]);
               for (std::size_t i = begin; i < end; ++i) counting.add_text(pieces[i]);
             });
  countings.clear();  // hands their slots' counts over
  gather(counters, counter);
}

namespace {

// The round trip of every word, from the merge loop's final words.
class FinalWordsCheck final : public FinalWords {
 public:
  FinalWordsCheck(const WordCounter& counter, RoundTrip& result)
      : counter_(counter), result_(result) {}

  void merges_made(std::span<const Merge> merges) override {
    tokenizer_.emplace(std::vector<Merge>(merges.begin(), merges.end()), build_vocab(merges));
  }

  void word(std::uint32_t d, std::span<const TokenId> ids) override {
    const std::string_view chunk = counter_.chunk(d);
    const std::uint64_t count = counter_.count(d);
    result_.tokens += ids.size() * count;
    result_.bytes += chunk.size() * count;
    if (!decodes_to(ids, chunk)) result_.ok = false;
    if (d % CHECK_EVERY != 0) return;
    if (chunk.size() >= POSITIONAL_FROM) {
      // Encoding a long chunk takes room of the order of the merge loop's
      // own for it: it waits until the loop is gone.
      later_.push_back({d, std::vector<TokenId>(ids.begin(), ids.end())});
      return;
    }
    compare(chunk, ids);
  }

  // The encoder held to the long sampled chunks' ids, once the merge loop
  // has let its tables go.
  void finish() {
    for (const auto& [d, ids] : later_) compare(counter_.chunk(d), ids);
    later_.clear();
  }

 private:
  const WordCounter& counter_;
  RoundTrip& result_;
  // Whether |ids| decode to |chunk|, token by token against it (a decoded
  // copy would be as long as the chunk).
  bool decodes_to(std::span<const TokenId> ids, std::string_view chunk) const {
    std::size_t at = 0;
    for (const TokenId id : ids) {
      const auto bytes = tokenizer_->token_bytes(id);
      if (!bytes || bytes->size() > chunk.size() - at ||
          std::memcmp(bytes->data(), chunk.data() + at, bytes->size()) != 0) {
        return false;
      }
      at += bytes->size();
    }
    return at == chunk.size();
  }

  void compare(std::string_view chunk, std::span<const TokenId> ids) {
    encoded_.clear();
    tokenizer_->encode_chunk_uncached(chunk, encoded_);
    if (!std::equal(encoded_.begin(), encoded_.end(), ids.begin(), ids.end())) result_.ok = false;
  }

  std::optional<CompiledTokenizer> tokenizer_;
  std::vector<TokenId> encoded_;
  std::vector<std::pair<std::uint32_t, std::vector<TokenId>>> later_;
};

}  // namespace

Result<std::vector<Merge>> train_counts(const WordCounter& counter, std::string_view workdir,
                                        TrainProfile* profile, RoundTrip* check,
                                        std::span<const std::string> specials,
                                        const TrainLimits& limits) {
#ifdef __GLIBC__
  // The memory that malloc holds free goes back to the system before the
  // training tables are made: counting leaves freed blocks in the arenas
  // of its threads (several MB on a 75 MB text), which malloc keeps even
  // after the threads end.
  ::malloc_trim(0);
#endif
  std::optional<FinalWordsCheck> checking;
  if (check != nullptr) {
    *check = RoundTrip{};
    checking.emplace(counter, *check);
  }
  std::vector<Merge> merges =
      learn_from_counts(counter, profile, POSITIONAL_FROM, checking ? &*checking : nullptr, limits);
  if (checking) checking->finish();
  const VocabList vocab = build_vocab(merges);
  if (auto error = write_records(workdir, merges, vocab, special_tokens_after(vocab, specials))) {
    return std::move(*error);
  }
  return merges;
}

RoundTrip check_round_trip(const WordCounter& counter, const CompiledTokenizer& tokenizer,
                           std::size_t threads) {
  std::vector<std::pair<std::string_view, std::uint64_t>> chunks;
  chunks.reserve(counter.distinct());
  counter.for_each([&](std::string_view chunk, std::uint64_t count) {
    chunks.emplace_back(chunk, count);
  });
  std::vector<RoundTrip> parts(std::max<std::size_t>(1, threads));
  run_blocks(chunks.size(), 4096, threads,
             [&](std::size_t thread, std::size_t, std::size_t begin, std::size_t end) {
               RoundTrip& part = parts[thread];
               std::vector<TokenId> ids;
               std::string back;
               for (std::size_t i = begin; i < end; ++i) {
                 const auto [chunk, count] = chunks[i];
                 ids.clear();
                 back.clear();
                 tokenizer.encode_chunk_uncached(chunk, ids);
                 part.tokens += ids.size() * count;
                 part.bytes += chunk.size() * count;
                 if (tokenizer.decode_bytes(ids, back) || back != chunk) part.ok = false;
               }
             });
  RoundTrip all;
  for (const RoundTrip& part : parts) {
    all.tokens += part.tokens;
    all.bytes += part.bytes;
    all.ok = all.ok && part.ok;
  }
  return all;
}

}  // namespace ovilex::engine
