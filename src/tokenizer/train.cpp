#include "train.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "huge_pages.h"
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

// Greatest freq first, then greater left, then greater right: the defaulted
// <=> compares the fields in declaration order.
struct HeapEntry {
  std::uint64_t freq;
  TokenId left;
  TokenId right;
  auto operator<=>(const HeapEntry&) const = default;
};

// The merge loop's state. Each pair's entry holds its frequency and the head
// of a list of the words that hold it, so a merge visits only those words.
// The lists live in one pool of nodes of several words each (a chain of
// single words would cost a cache miss per word); they may name words that
// have since lost the pair (checked when visited) and may name a word twice.
// A pair whose frequency reaches 0 occurs in no word; its entry goes, with
// its list.
// Merges create only pairs that involve the new id, so a pair that has gone
// never returns.
//
// Visiting a word costs a cache miss or two, and a merge may visit hundreds
// of thousands: each word lives in one 32-byte slot, its ids inline when
// they fit, and the slots of a merge's words are prefetched ahead of use.
class MergeLoop {
 public:
  // Copies |count| words in: for_each_word(fn) calls fn(ids, freq) for each
  // in table order, ids a std::span<const TokenId> or the chunk's bytes as a
  // std::string_view. It is called twice, the first time to size the tables,
  // which are then filled without a copy on growth.
  template <class ForEachWord>
  MergeLoop(std::size_t count, const ForEachWord& for_each_word, std::size_t positional_from)
      : positional_from_(std::max<std::size_t>(positional_from, 2)) {
    if (count >= NOT_VISITED) throw std::length_error("too many distinct words");
    std::size_t long_total = 0;
    std::size_t positional_total = 0;
    for_each_word([&](const auto& word, std::uint64_t) {
      if (word.size() > MAX_LENGTH) throw std::length_error("word too long");
      if (word.size() >= positional_from_) {
        positional_total += word.size();
      } else if (word.size() > INLINE) {
        long_total += word.size();
      }
    });
    if (positional_total >= NO_POSITION) throw std::length_error("long words too long");
    slots_.resize(count);
    long_ids_.reserve(long_total);
    at_.reserve(positional_total);
    std::uint32_t w = 0;
    for_each_word([&](const auto& word, std::uint64_t freq) { place(w++, word, freq); });
  }

  // Takes the pair frequencies from |freqs| and puts each word on the lists
  // of its pairs.
  void index(const PairFreqs& freqs) {
    pairs_.reserve(freqs.size());
    for (const auto& [pair, freq] : freqs) pairs_.emplace(pair, Entry{freq});
    for (std::uint32_t w = 0; w < slots_.size(); ++w) {
      const TokenId* ids = ids_of(slots_[w]);
      const std::size_t n = length_of(slots_[w]);
      for (std::size_t i = 0; i + 1 < n; ++i) {
        // Counts from elsewhere may lack a pair; rewriting the word then fails.
        const auto it = pairs_.find(Pair{ids[i], ids[i + 1]});
        if (it != pairs_.end()) note(it->second, w);
      }
    }
    index_positions();
  }

  // The same, with the frequencies counted from the words in the same pass
  // (what count_pairs would give).
  void count_and_index() {
    for (std::uint32_t w = 0; w < slots_.size(); ++w) {
      const TokenId* ids = ids_of(slots_[w]);
      const std::size_t n = length_of(slots_[w]);
      const std::uint64_t freq = slots_[w].freq;
      for (std::size_t i = 0; i + 1 < n; ++i) {
        Entry& entry = pairs_[Pair{ids[i], ids[i + 1]}];
        entry.freq += freq;
        note(entry, w);
      }
    }
    for (const Positional& pw : positional_) {
      for (std::uint32_t p = pw.start; at_[p].next != NO_POSITION; p = at_[p].next) {
        pairs_[Pair{at_[p].token, at_[at_[p].next].token}].freq += pw.freq;
      }
    }
    index_positions();
  }

  // Makes the merges. The word table is not read again: the loop works on
  // its own copy of the words.
  std::vector<Merge> run() {
    std::vector<Merge> merges;
    while (merges.size() < MAX_MERGES && !pairs_.empty()) {
      const std::optional<HeapEntry> best = pop_current();
      if (!best || best->freq < MIN_MERGE_FREQ) break;
      const Pair pair{best->left, best->right};
      const auto new_id = static_cast<TokenId>(FIRST_MERGE_ID + merges.size());
      merge(pair, new_id, static_cast<std::uint32_t>(merges.size()));
      merges.push_back({pair.left, pair.right, new_id});
      if (2 * long_live_ < long_ids_.size()) compact_long_ids();
    }
    return merges;
  }

  // Puts the rewritten words back into the word table.
  void store_words(std::vector<WordFreq>& words) {
    for (std::size_t w = 0; w < slots_.size(); ++w) {
      const TokenId* ids = ids_of(slots_[w]);
      words[w].word.assign(ids, ids + length_of(slots_[w]));
    }
    for (const Positional& pw : positional_) {
      Word& word = words[pw.word].word;
      word.clear();
      for (std::uint32_t p = pw.start; p != NO_POSITION; p = at_[p].next) {
        word.push_back(at_[p].token);
      }
    }
  }

  // fn(w, ids) with the current ids of every word w, once each.
  template <class Fn>
  void visit_words(Fn&& fn) {
    std::vector<bool> positional(slots_.size(), false);
    std::vector<TokenId> ids;
    for (const Positional& pw : positional_) {
      positional[pw.word] = true;
      ids.clear();
      for (std::uint32_t p = pw.start; p != NO_POSITION; p = at_[p].next) ids.push_back(at_[p].token);
      fn(pw.word, std::span<const TokenId>(ids));
    }
    for (std::size_t w = 0; w < slots_.size(); ++w) {
      if (positional[w]) continue;
      fn(static_cast<std::uint32_t>(w),
         std::span<const TokenId>(ids_of(slots_[w]), length_of(slots_[w])));
    }
  }

  std::size_t rewrites() const noexcept { return rewrites_; }
  std::size_t pairs() const noexcept { return pairs_.size(); }

 private:
  // The positions of each pair in the long words, and the heap.
  void index_positions() {
    for (std::uint32_t p = 0; p < at_.size(); ++p) {
      const Position& here = at_[p];
      if (here.next == NO_POSITION) continue;
      occurrences_[Pair{here.token, at_[here.next].token}].push_back(p);
    }
    // A pair below MIN_MERGE_FREQ can never be chosen (the loop stops when
    // the best current frequency is below it), so it needs no heap entry
    // until its frequency rises; this keeps the selection exact.
    heap_.reserve(pairs_.size());
    for (const auto& [pair, entry] : pairs_) {
      if (entry.freq >= MIN_MERGE_FREQ) heap_.push_back({entry.freq, pair.left, pair.right});
    }
    std::make_heap(heap_.begin(), heap_.end());
  }

  // A byte of a chunk, or an id of a word table.
  static TokenId id_of(char byte) noexcept { return static_cast<unsigned char>(byte); }
  static TokenId id_of(TokenId id) noexcept { return id; }

  template <class Ids>
  void place(std::uint32_t w, const Ids& word, std::uint64_t freq) {
    if (word.size() >= positional_from_) {
      place_positional(w, word, freq);
      return;
    }
    Slot& slot = slots_[w];
    slot.freq = freq;
    slot.length = static_cast<std::uint32_t>(word.size());
    if (word.size() > INLINE) {
      slot.length |= LONG_FLAG;
      const std::size_t offset = long_ids_.size();
      std::memcpy(slot.ids, &offset, sizeof offset);
      for (const auto id : word) long_ids_.push_back(id_of(id));
      long_live_ += word.size();
    } else {
      std::transform(word.begin(), word.end(), slot.ids, [](auto id) { return id_of(id); });
    }
  }

  static constexpr std::uint32_t NOT_VISITED = UINT32_MAX;
  static constexpr std::uint32_t NO_NODE = UINT32_MAX;
  static constexpr std::size_t INLINE = 8;
  static constexpr std::uint32_t LONG_FLAG = std::uint32_t{1} << 31;
  static constexpr std::size_t MAX_LENGTH = LONG_FLAG - 1;
  static constexpr std::uint32_t NO_POSITION = UINT32_MAX;
  // No merge reaches this id, so it marks a position merged away.
  static constexpr TokenId GONE = std::numeric_limits<TokenId>::max();
  static_assert(FIRST_MERGE_ID + MAX_MERGES <= GONE);

  // A word: its ids inline, or (LONG_FLAG set in length) the offset of its
  // ids in long_ids_ stored in the inline space.
  struct alignas(32) Slot {
    std::uint64_t freq = 0;
    std::uint32_t visited = NOT_VISITED;  // the last merge step that visited it
    std::uint32_t length = 0;
    TokenId ids[INLINE] = {};
  };
  static_assert(sizeof(Slot) == 32);

  static std::size_t length_of(const Slot& slot) noexcept { return slot.length & ~LONG_FLAG; }
  TokenId* ids_of(Slot& slot) noexcept {
    if (!(slot.length & LONG_FLAG)) return slot.ids;
    std::size_t offset;
    std::memcpy(&offset, slot.ids, sizeof offset);
    return long_ids_.data() + offset;
  }

  struct Entry {
    std::uint64_t freq = 0;
    std::uint32_t head = NO_NODE;  // first node of the word list
    std::uint32_t tail = NO_NODE;  // last node, so that the list goes back in one step
  };
  static constexpr std::uint32_t NODE_WORDS = 14;
  struct alignas(64) Node {
    std::uint32_t count = 0;
    std::uint32_t next = NO_NODE;
    std::uint32_t words[NODE_WORDS];
  };
  static_assert(sizeof(Node) == 64);
  // What one merge does to one pair, gathered over all the words it
  // rewrites, so that the large pair map is touched once per pair and step.
  struct Change {
    std::uint64_t lost = 0;
    std::uint64_t gained = 0;
    std::uint32_t head = NO_NODE;  // words that gained the pair
    std::uint32_t tail = NO_NODE;
  };
  // A merge of (a, b) into x changes, around each run of occurrences, the
  // pairs (p, a) and (p, x) with the token p before the run, and (b, n) and
  // (x, n) with the token n after it; within runs, (a, b), (b, a) and (x, x).
  // The slot words gather the first four by p and by n in tables indexed by
  // the token, which costs no hashing per word; they go to changes_ once
  // per token and step.
  struct Side {
    Change change;
    bool touched = false;
  };
  static constexpr std::size_t TOKENS = std::size_t{1} << (8 * sizeof(TokenId));

  // The heap holds stale entries until they surface: an entry is current
  // only while its pair still has exactly that frequency.
  std::optional<HeapEntry> pop_current() {
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end());
      const HeapEntry top = heap_.back();
      heap_.pop_back();
      const auto it = pairs_.find(Pair{top.left, top.right});
      if (it != pairs_.end() && it->second.freq == top.freq) return top;
    }
    return std::nullopt;
  }

  void push_candidate(const HeapEntry& entry) {
    if (heap_.size() == heap_.capacity()) {
      drop_stale_entries();
      // Still more than half full: grow now, so that the next sweep waits
      // for as many pushes as this one cleared the way for.
      if (2 * heap_.size() > heap_.capacity()) heap_.reserve(2 * heap_.capacity());
    }
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end());
  }

  // Most of the heap is stale by the time it fills (over half on a large
  // corpus), so before it grows the stale entries go; the pops are the same.
  void drop_stale_entries() {
    std::erase_if(heap_, [&](const HeapEntry& e) {
      const auto it = pairs_.find(Pair{e.left, e.right});
      return it == pairs_.end() || it->second.freq != e.freq;
    });
    std::make_heap(heap_.begin(), heap_.end());
  }

  // Merges shorten the long words, and most come to fit inline again (on
  // a large corpus, after a thousand merges, half of the ids out of line
  // are dead): once over half are, the live ones move to a new array, or
  // back into their slot, which also spares visits a cache miss.
  void compact_long_ids() {
    std::size_t live = 0;
    for (const Slot& slot : slots_) {
      if ((slot.length & LONG_FLAG) && length_of(slot) > INLINE) live += length_of(slot);
    }
    HugeVector<TokenId> kept;
    kept.reserve(live);
    for (Slot& slot : slots_) {
      if (!(slot.length & LONG_FLAG)) continue;
      const TokenId* ids = ids_of(slot);
      const std::size_t n = length_of(slot);
      if (n <= INLINE) {
        std::copy_n(ids, n, slot.ids);
        slot.length = static_cast<std::uint32_t>(n);
      } else {
        const std::size_t offset = kept.size();
        std::memcpy(slot.ids, &offset, sizeof offset);
        kept.insert(kept.end(), ids, ids + n);
      }
    }
    long_ids_.swap(kept);
    long_live_ = live;
  }

  // Adds |word| to the list that starts at |head| (unless it was the word
  // added last); returns true when a new node became the head.
  bool push_word(std::uint32_t& head, std::uint32_t word) {
    if (head != NO_NODE) {
      Node& first = node(head);
      if (first.words[first.count - 1] == word) return false;
      if (first.count < NODE_WORDS) {
        first.words[first.count++] = word;
        return false;
      }
    }
    const std::uint32_t fresh = new_node();
    Node& n = node(fresh);
    n.count = 1;
    n.next = head;
    n.words[0] = word;
    head = fresh;
    return true;
  }

  void note(Entry& entry, std::uint32_t word) {
    if (push_word(entry.head, word) && entry.tail == NO_NODE) entry.tail = entry.head;
  }

  // The nodes live in blocks of 2 MiB that never move: the pool grows
  // without a copy (a doubling array would hold the old and the new one at
  // once), and the nodes of a list whose pair has gone are used again,
  // which on a large corpus halves the nodes made.
  static constexpr std::uint32_t BLOCK_BITS = 15;
  static constexpr std::uint32_t BLOCK_NODES = std::uint32_t{1} << BLOCK_BITS;

  Node& node(std::uint32_t i) noexcept {
    return node_blocks_[i >> BLOCK_BITS][i & (BLOCK_NODES - 1)];
  }

  std::uint32_t new_node() {
    if (free_nodes_ != NO_NODE) {
      const std::uint32_t i = free_nodes_;
      free_nodes_ = node(i).next;
      return i;
    }
    if (made_nodes_ == NO_NODE) throw std::length_error("merge index too large");
    if (made_nodes_ % BLOCK_NODES == 0) {
      HugeVector<Node> block;
      block.reserve(BLOCK_NODES);
      node_blocks_.push_back(std::move(block));
    }
    node_blocks_.back().emplace_back();
    return made_nodes_++;
  }

  // Hands back the nodes of the list from |head| to |tail|.
  void release_list(std::uint32_t head, std::uint32_t tail) {
    if (head == NO_NODE) return;
    node(tail).next = free_nodes_;
    free_nodes_ = head;
  }

  void sub(Pair pair, std::uint64_t amount) { changes_[pair].lost += amount; }

  // The change of one side, indexed by the neighbouring token.
  Change& side(std::vector<Side>& sides, std::vector<TokenId>& touched, TokenId token) {
    Side& s = sides[token];
    if (!s.touched) {
      s.touched = true;
      touched.push_back(token);
    }
    return s.change;
  }

  void gain(Change& change, std::uint64_t amount, std::uint32_t word) {
    change.gained += amount;
    if (push_word(change.head, word) && change.tail == NO_NODE) change.tail = change.head;
  }

  // Moves the gathered sides into changes_: (p, a) lost and (p, x) gained
  // for each token p before a run, (b, n) and (x, n) for each n after one.
  void fold_sides(Pair pair, TokenId x) {
    const auto fold = [&](Pair lost, Pair gained, Side& s) {
      changes_[lost].lost += s.change.lost;
      Change& to = changes_[gained];
      to.gained += s.change.gained;
      if (s.change.head != NO_NODE) {
        node(s.change.tail).next = to.head;
        if (to.head == NO_NODE) to.tail = s.change.tail;
        to.head = s.change.head;
      }
      s = Side{};
    };
    for (const TokenId p : touched_before_) fold({p, pair.left}, {p, x}, before_[p]);
    for (const TokenId n : touched_after_) fold({pair.right, n}, {x, n}, after_[n]);
    touched_before_.clear();
    touched_after_.clear();
    if (run_lost_ab_ != 0) changes_[pair].lost += run_lost_ab_;
    if (run_lost_ba_ != 0) changes_[Pair{pair.right, pair.left}].lost += run_lost_ba_;
    if (run_xx_.gained != 0) {
      Change& to = changes_[Pair{x, x}];
      to.gained += run_xx_.gained;
      node(run_xx_.tail).next = to.head;
      if (to.head == NO_NODE) to.tail = run_xx_.tail;
      to.head = run_xx_.head;
    }
    run_lost_ab_ = 0;
    run_lost_ba_ = 0;
    run_xx_ = Change{};
  }

  void merge(Pair pair, TokenId new_id, std::uint32_t step) {
    holders_.clear();
    const auto found = pairs_.find(pair);
    for (std::uint32_t i = found == pairs_.end() ? NO_NODE : found->second.head;
         i != NO_NODE; i = node(i).next) {
      const Node& n = node(i);
      holders_.insert(holders_.end(), n.words, n.words + n.count);
    }
    // Two-stage prefetch: a slot far ahead, and the out-of-line ids of a
    // long word nearer ahead, once its slot has arrived.
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < holders_.size(); ++i) {
      if (i + AHEAD < holders_.size()) __builtin_prefetch(&slots_[holders_[i + AHEAD]]);
      if (i + AHEAD / 2 < holders_.size()) {
        Slot& soon = slots_[holders_[i + AHEAD / 2]];
        if (soon.length & LONG_FLAG) __builtin_prefetch(ids_of(soon));
      }
      Slot& slot = slots_[holders_[i]];
      if (slot.visited == step) continue;
      slot.visited = step;
      rewrite(slot, holders_[i], pair, new_id);
    }
    fold_sides(pair, new_id);
    if (!positional_.empty()) merge_positional(pair, new_id);
    // The frequencies take the whole old contribution of every rewritten
    // word away and add the new one; then each pair whose frequency changed
    // gets a fresh heap entry. Sums commute, so the order of the changes
    // does not matter.
    for (const auto& [q, change] : changes_) {
      auto it = pairs_.find(q);
      // A pair new in this step may lose within the step (a run of
      // occurrences in a long word is merged one at a time), never more
      // than it gained.
      if (it == pairs_.end() && change.lost > change.gained) {
        fail_internal("pair frequency must exist before merge update");
      }
      if (it == pairs_.end()) it = pairs_.emplace(q, Entry{}).first;
      Entry& entry = it->second;
      entry.freq = entry.freq - change.lost + change.gained;
      if (entry.freq == 0) {
        release_list(entry.head, entry.tail);
        release_list(change.head, change.tail);
        pairs_.erase(it);
        if (!positional_.empty()) occurrences_.erase(q);
        continue;
      }
      if (change.head != NO_NODE) {
        node(change.tail).next = entry.head;
        if (entry.head == NO_NODE) entry.tail = change.tail;
        entry.head = change.head;
      }
      if (change.lost != change.gained && entry.freq >= MIN_MERGE_FREQ) {
        push_candidate({entry.freq, q.left, q.right});
      }
    }
    changes_.clear();
  }

  template <class Ids>
  void place_positional(std::uint32_t w, const Ids& word, std::uint64_t freq) {
    const auto start = static_cast<std::uint32_t>(at_.size());
    positional_.push_back({start, w, freq});
    for (std::size_t i = 0; i < word.size(); ++i) {
      const auto p = static_cast<std::uint32_t>(start + i);
      const std::uint32_t prev = i == 0 ? NO_POSITION : p - 1;
      const std::uint32_t next = i + 1 == word.size() ? NO_POSITION : p + 1;
      at_.push_back({prev, next, id_of(word[i])});
    }
  }

  std::uint64_t freq_at(std::uint32_t p) const {
    const auto after =
        std::upper_bound(positional_.begin(), positional_.end(), p,
                         [](std::uint32_t q, const Positional& pw) { return q < pw.start; });
    return std::prev(after)->freq;
  }

  void add_at(Pair pair, std::uint64_t amount, std::uint32_t p) {
    changes_[pair].gained += amount;
    occurrences_[pair].push_back(p);
  }

  // The long words' occurrences of |pair|, merged one at a time from left to
  // right: a position taken as the right part of one occurrence is gone
  // before the next is looked at, which is the left-to-right rule. Each
  // merge moves the neighbouring pairs over to the new id one by one; over a
  // run the sums come out as in rewrite().
  void merge_positional(Pair pair, TokenId x) {
    const auto found = occurrences_.find(pair);
    if (found == occurrences_.end()) return;
    std::vector<std::uint32_t> places = std::move(found->second);
    occurrences_.erase(found);
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    const TokenId a = pair.left;
    const TokenId b = pair.right;
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < places.size(); ++i) {
      // Two stages: a position far ahead, then its neighbours once it has
      // arrived.
      if (i + AHEAD < places.size()) __builtin_prefetch(&at_[places[i + AHEAD]]);
      if (i + AHEAD / 2 < places.size()) {
        const Position& soon = at_[places[i + AHEAD / 2]];
        if (soon.prev != NO_POSITION) __builtin_prefetch(&at_[soon.prev]);
        if (soon.next != NO_POSITION) __builtin_prefetch(&at_[soon.next]);
      }
      const std::uint32_t p = places[i];
      Position& here = at_[p];
      if (here.token != a || here.next == NO_POSITION) continue;
      const std::uint32_t q = here.next;
      Position& right = at_[q];
      if (right.token != b) continue;
      const std::uint64_t freq = freq_at(p);
      if (here.prev != NO_POSITION) {
        const TokenId before = at_[here.prev].token;
        sub({before, a}, freq);
        add_at({before, x}, freq, here.prev);
      }
      sub({a, b}, freq);
      if (right.next != NO_POSITION) {
        Position& after = at_[right.next];
        sub({b, after.token}, freq);
        add_at({x, after.token}, freq, p);
        after.prev = p;
      }
      here.token = x;
      here.next = right.next;
      right.token = GONE;
    }
  }

  // merge_word in place, with the pair frequencies updated by the change.
  // Occurrences are taken left to right without overlap, in runs of
  // adjacent occurrences: a run a b a b ... a b of m occurrences between
  // neighbours p and n loses (p, a), m x (a, b), (m - 1) x (b, a), (b, n) and
  // gains (p, X), (m - 1) x (X, X), (X, n). Pairs away from runs stay.
  void rewrite(Slot& slot, std::uint32_t w, Pair pair, TokenId x) {
    TokenId* word = ids_of(slot);
    const std::uint64_t freq = slot.freq;
    const std::size_t n = length_of(slot);
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
        Change& before = side(before_, touched_before_, word[out - 1]);
        before.lost += freq;
        gain(before, freq, w);
      }
      run_lost_ab_ += m * freq;
      if (m > 1) {
        run_lost_ba_ += (m - 1) * freq;
        gain(run_xx_, (m - 1) * freq, w);
      }
      if (r < n) {
        Change& after = side(after_, touched_after_, word[r]);
        after.lost += freq;
        gain(after, freq, w);
      }
      std::fill_n(word + out, m, x);
      out += m;
    }
    if (changed) {
      if (slot.length & LONG_FLAG) long_live_ -= n - out;
      slot.length = static_cast<std::uint32_t>(out) | (slot.length & LONG_FLAG);
      ++rewrites_;
    }
  }

  HugeVector<Slot> slots_;
  HugeVector<TokenId> long_ids_;
  std::size_t long_live_ = 0;  // ids in long_ids_ that a word still uses
  boost::unordered_flat_map<Pair, Entry, KeyedHash, std::equal_to<Pair>,
                            HugePageAllocator<std::pair<const Pair, Entry>>>
      pairs_;
  std::vector<HugeVector<Node>> node_blocks_;
  std::uint32_t made_nodes_ = 0;
  std::uint32_t free_nodes_ = NO_NODE;  // a chain through next
  HugeVector<HeapEntry> heap_;
  boost::unordered_flat_map<Pair, Change, KeyedHash> changes_;
  std::vector<Side> before_ = std::vector<Side>(TOKENS);
  std::vector<Side> after_ = std::vector<Side>(TOKENS);
  std::vector<TokenId> touched_before_;
  std::vector<TokenId> touched_after_;
  std::uint64_t run_lost_ab_ = 0;
  std::uint64_t run_lost_ba_ = 0;
  Change run_xx_;
  std::vector<std::uint32_t> holders_;
  std::size_t rewrites_ = 0;
  std::size_t positional_from_;

  // Words of at least positional_from ids: rewriting a whole word for each
  // merge would cost its length every time, so these keep one shared array
  // of positions, each word a run of it linked through next and prev (a
  // merged-away position drops out of the links), and for each pair the
  // positions where it may occur. The lists hold stale positions until the
  // pair is merged; then each is checked.
  struct Positional {
    std::uint32_t start;  // never merged away: merges keep the left position
    std::uint32_t word;
    std::uint64_t freq;
  };
  struct Position {
    std::uint32_t prev;
    std::uint32_t next;
    TokenId token;
  };
  std::vector<Positional> positional_;
  HugeVector<Position> at_;
  boost::unordered_flat_map<Pair, std::vector<std::uint32_t>, KeyedHash> occurrences_;
};

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

}  // namespace

std::vector<Merge> learn_merges(std::vector<WordFreq>& words, PairFreqs pair_freqs,
                                std::size_t positional_from) {
  MergeLoop loop(words.size(), table_words(words), positional_from);
  loop.index(pair_freqs);
  PairFreqs().swap(pair_freqs);
  std::vector<Merge> merges = loop.run();
  loop.store_words(words);
  return merges;
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

std::vector<Merge> learn_from_words(std::vector<WordFreq> words, TrainProfile* profile) {
  using Clock = std::chrono::steady_clock;
  // Asking for the thread count creates the pool, even when nothing is counted.
  pool::thread_count();
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
    MergeLoop loop(words.size(), table_words(words), POSITIONAL_FROM);
    loop.index(pair_freqs);
    PairFreqs().swap(pair_freqs);
    decltype(words)().swap(words);
    merges = loop.run();
    if (profile) profile->word_rewrites = loop.rewrites();
  }
  if (profile) profile->merge_loop_seconds = seconds_since(start);
  return merges;
}

std::vector<Merge> learn_from_counts(const WordCounter& counter, TrainProfile* profile,
                                     std::size_t positional_from, FinalWords* final_words) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  MergeLoop loop(counter.distinct(), counted_words(counter), positional_from);
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
    loop.visit_words([&](std::uint32_t w, std::span<const TokenId> ids) { final_words->word(w, ids); });
  }
  return merges;
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
