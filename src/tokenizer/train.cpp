#include "train.h"

#include <algorithm>
#include <chrono>

#include "pool/pool.h"
#include "records.h"

namespace ovilex {

namespace {

constexpr std::size_t ARENA_BLOCK = std::size_t{1} << 20;

}  // namespace

WordCounter::WordCounter() = default;

std::string_view WordCounter::store(std::string_view chunk) {
  if (chunk.size() > arena_left_) {
    const std::size_t size = std::max(ARENA_BLOCK, chunk.size());
    arena_.push_back(std::make_unique_for_overwrite<char[]>(size));
    arena_next_ = arena_.back().get();
    arena_left_ = size;
  }
  std::copy(chunk.begin(), chunk.end(), arena_next_);
  const std::string_view stored(arena_next_, chunk.size());
  arena_next_ += chunk.size();
  arena_left_ -= chunk.size();
  return stored;
}

void WordCounter::add(std::string_view chunk) {
  ++chunks_;
  const auto it = counts_.find(chunk);
  if (it != counts_.end()) {
    ++it->second;
    return;
  }
  counts_.emplace(store(chunk), 1);
}

std::vector<WordFreq> WordCounter::take_words() && {
  std::vector<WordFreq> words;
  words.reserve(counts_.size());
  for (const auto& [chunk, freq] : counts_) {
    Word w(chunk.size());
    std::transform(chunk.begin(), chunk.end(), w.begin(),
                   [](char b) { return static_cast<TokenId>(static_cast<unsigned char>(b)); });
    words.push_back({std::move(w), freq});
  }
  decltype(counts_)().swap(counts_);
  decltype(arena_)().swap(arena_);
  arena_left_ = 0;
  arena_next_ = nullptr;
  return words;
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

// Greatest freq first, then greater left, then greater right: the defaulted
// <=> compares the fields in declaration order.
struct HeapEntry {
  std::uint64_t freq;
  TokenId left;
  TokenId right;
  auto operator<=>(const HeapEntry&) const = default;
};

using WordIndex = boost::unordered_flat_map<Pair, std::vector<std::uint32_t>, KeyedHash>;

// The merge loop's state. Besides the pair frequencies and the heap it keeps
// an index from each pair to the words that hold it, so a merge visits only
// those words. The index lists may name words that have since lost the pair
// (they are checked when visited) and may name a word twice.
class MergeLoop {
 public:
  MergeLoop(std::vector<WordFreq>& words, PairFreqs&& freqs)
      : words_(words), freqs_(std::move(freqs)), visited_(words.size(), NOT_VISITED) {
    if (words.size() >= NOT_VISITED) throw std::length_error("too many distinct words");
    where_.reserve(freqs_.size());
    for (std::uint32_t w = 0; w < words_.size(); ++w) {
      const Word& word = words_[w].word;
      for (std::size_t i = 0; i + 1 < word.size(); ++i) note(Pair{word[i], word[i + 1]}, w);
    }
    heap_.reserve(freqs_.size());
    for (const auto& [pair, freq] : freqs_) heap_.push_back({freq, pair.left, pair.right});
    std::make_heap(heap_.begin(), heap_.end());
  }

  std::vector<Merge> run() {
    std::vector<Merge> merges;
    while (merges.size() < MAX_MERGES && !freqs_.empty()) {
      const std::optional<HeapEntry> best = pop_current();
      if (!best || best->freq < MIN_MERGE_FREQ) break;
      const Pair pair{best->left, best->right};
      const auto new_id = static_cast<TokenId>(FIRST_MERGE_ID + merges.size());
      merge(pair, new_id, static_cast<std::uint32_t>(merges.size()));
      merges.push_back({pair.left, pair.right, new_id});
    }
    return merges;
  }

  std::size_t rewrites() const noexcept { return rewrites_; }

 private:
  static constexpr std::uint32_t NOT_VISITED = UINT32_MAX;

  // The heap holds stale entries until they surface: an entry is current
  // only while its pair still has exactly that frequency.
  std::optional<HeapEntry> pop_current() {
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end());
      const HeapEntry top = heap_.back();
      heap_.pop_back();
      const auto it = freqs_.find(Pair{top.left, top.right});
      if (it != freqs_.end() && it->second == top.freq) return top;
    }
    return std::nullopt;
  }

  void note(Pair pair, std::uint32_t word) {
    auto& list = where_[pair];
    if (list.empty() || list.back() != word) list.push_back(word);
  }

  void sub(Pair pair, std::uint64_t amount) {
    const auto it = freqs_.find(pair);
    if (it == freqs_.end()) fail_internal("pair frequency must exist before merge update");
    it->second -= amount;
    if (it->second == 0) freqs_.erase(it);
    touched_.push_back(pair);
  }

  void add(Pair pair, std::uint64_t amount, std::uint32_t word) {
    freqs_[pair] += amount;
    touched_.push_back(pair);
    note(pair, word);
  }

  void merge(Pair pair, TokenId new_id, std::uint32_t step) {
    std::vector<std::uint32_t> holders;
    if (const auto it = where_.find(pair); it != where_.end()) {
      holders = std::move(it->second);
      where_.erase(it);
    }
    for (const std::uint32_t w : holders) {
      if (visited_[w] == step) continue;
      visited_[w] = step;
      rewrite(w, pair, new_id);
    }
    // One fresh heap entry per pair whose frequency this merge touched.
    std::sort(touched_.begin(), touched_.end(),
              [](Pair x, Pair y) { return x.key() < y.key(); });
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    for (const Pair q : touched_) {
      if (const auto it = freqs_.find(q); it != freqs_.end()) {
        heap_.push_back({it->second, q.left, q.right});
        std::push_heap(heap_.begin(), heap_.end());
      }
    }
    touched_.clear();
  }

  // merge_word in place, with the pair frequencies updated by the change.
  // Occurrences are taken left to right without overlap, in runs of
  // adjacent occurrences: a run a b a b ... a b of m occurrences between
  // neighbours p and n loses (p, a), m x (a, b), (m - 1) x (b, a), (b, n) and
  // gains (p, X), (m - 1) x (X, X), (X, n). Pairs away from runs stay.
  void rewrite(std::uint32_t w, Pair pair, TokenId x) {
    Word& word = words_[w].word;
    const std::uint64_t freq = words_[w].freq;
    const std::size_t n = word.size();
    const TokenId a = pair.left;
    const TokenId b = pair.right;
    std::size_t r = 0;
    std::size_t out = 0;
    bool changed = false;
    while (r < n) {
      if (!(r + 1 < n && word[r] == a && word[r + 1] == b)) {
        word[out++] = word[r++];
        continue;
      }
      changed = true;
      const std::size_t begin = r;
      std::uint64_t m = 0;
      while (r + 1 < n && word[r] == a && word[r + 1] == b) {
        r += 2;
        ++m;
      }
      // The token before the run was copied unchanged to word[out - 1].
      if (begin > 0) {
        sub({word[out - 1], a}, freq);
        add({word[out - 1], x}, freq, w);
      }
      sub({a, b}, m * freq);
      if (m > 1) {
        sub({b, a}, (m - 1) * freq);
        add({x, x}, (m - 1) * freq, w);
      }
      if (r < n) {
        sub({b, word[r]}, freq);
        add({x, word[r]}, freq, w);
      }
      std::fill_n(word.begin() + static_cast<std::ptrdiff_t>(out), m, x);
      out += m;
    }
    if (changed) {
      word.resize(out);
      ++rewrites_;
    }
  }

  std::vector<WordFreq>& words_;
  PairFreqs freqs_;
  std::vector<HeapEntry> heap_;
  WordIndex where_;
  std::vector<std::uint32_t> visited_;  // the last merge step that visited each word
  std::vector<Pair> touched_;
  std::size_t rewrites_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::vector<Merge> learn_merges(std::vector<WordFreq>& words, PairFreqs pair_freqs) {
  MergeLoop loop(words, std::move(pair_freqs));
  return loop.run();
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

Result<std::vector<Merge>> train(WordCounter&& counter, TrainProfile* profile) {
  using Clock = std::chrono::steady_clock;
  // Asking for the thread count creates the pool, even when nothing is counted.
  pool::thread_count();
  std::vector<WordFreq> words = std::move(counter).take_words();

  auto start = Clock::now();
  PairFreqs pair_freqs = count_pairs(words);
  if (profile) {
    profile->count_pairs_seconds = seconds_since(start);
    profile->distinct_words = words.size();
    profile->initial_pairs = pair_freqs.size();
  }

  start = Clock::now();
  std::vector<Merge> merges;
  {
    MergeLoop loop(words, std::move(pair_freqs));
    merges = loop.run();
    if (profile) profile->word_rewrites = loop.rewrites();
  }
  decltype(words)().swap(words);
  if (profile) profile->merge_loop_seconds = seconds_since(start);

  start = Clock::now();
  if (auto error = write_merges_record(merges)) return std::move(*error);
  const VocabList vocab = build_vocab(merges);
  if (auto error = write_vocab_list(vocab)) return std::move(*error);
  if (profile) profile->records_seconds = seconds_since(start);
  return merges;
}

}  // namespace ovilex
