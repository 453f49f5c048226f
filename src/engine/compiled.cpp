#include "compiled.h"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <type_traits>

#include "engine/parallel.h"
#include "text/split.h"
#include "tokenizer/decode.h"

namespace ovilex::engine {

namespace {

// Chunks longer than this are encoded every time: they are rare, and
// caching them would copy each one whole.
constexpr std::size_t CACHED_CHUNK_MAX = 256;
// Text handed to a thread at a time by the batch calls.
constexpr std::size_t BLOCK_BYTES = 64 * 1024;
// Cache misses after which a long call looks for a newer snapshot.
constexpr std::size_t REFRESH_AFTER_MISSES = 1024;

// Texts per block: about BLOCK_BYTES of text each, at least one text.
std::size_t block_size(std::span<const std::string_view> texts) {
  std::size_t total = 0;
  for (const std::string_view t : texts) total += t.size();
  if (total == 0) return std::max<std::size_t>(1, texts.size());
  return std::max<std::size_t>(1, texts.size() * BLOCK_BYTES / total);
}

}  // namespace

// One thread's encoding within one call: the cache's snapshot, looked up
// without locks, and a buffer for the chunks it lacks.
class CompiledTokenizer::Encoder {
 public:
  explicit Encoder(const CompiledTokenizer& owner)
      : owner_(owner), snapshot_(owner.cache_.snapshot()) {}

  // |Id| is TokenId, or uint16_t for a narrow tokenizer (see narrow()).
  template <class Id>
  void encode_text(std::string_view text, std::vector<Id>& out) {
    encode_piece(text, true, out);
  }

  // A piece of a text: the space of prefix_space goes only before the
  // text's start.
  template <class Id>
  void encode_piece(std::string_view piece, bool at_start, std::vector<Id>& out) {
    encode_split(prepared(piece, at_start), out);
  }

  // Ids never outnumber bytes: they are written into a buffer with room
  // for one per byte of the text, up to BUFFER_IDS (grown, never shrunk),
  // and appended to |out| whenever the next chunk might not fit, and at the
  // end. A chunk longer than the buffer goes to |out| directly.
  template <class Id>
  void encode_split(std::string_view text, std::vector<Id>& out) {
    std::vector<Id>& buffer = buffer_of<Id>();
    // A front slot's ids are copied whole: the buffer has room past the end.
    const std::size_t room = std::min(text.size(), BUFFER_IDS) + FRONT_ROOM;
    if (buffer.size() < room) buffer.resize(room);
    Id* const full = buffer.data() + buffer.size() - FRONT_ROOM;
    // Text that the buffer holds whole needs no check per chunk.
    if (text.size() <= BUFFER_IDS) {
      IdWriter<false, Id> writer{buffer.data(), buffer.data(), full, &out};
      each_chunk(text, writer);
      writer.flush();
    } else {
      IdWriter<true, Id> writer{buffer.data(), buffer.data(), full, &out};
      each_chunk(text, writer);
      writer.flush();
    }
  }

  template <class Id>
  void encode_text(std::string_view text, const SpecialMatcher* allowed, std::vector<Id>& out) {
    if (allowed == nullptr || allowed->empty()) return encode_text(text, out);
    allowed->split(
        text, [&](std::string_view stretch) { encode_text(stretch, out); },
        [&](TokenId id) { out.push_back(static_cast<Id>(id)); });
  }

  // The number of ids that encode_text appends, none of them written.
  std::uint64_t count_text(std::string_view text) { return count_piece(text, true); }

  std::uint64_t count_piece(std::string_view piece, bool at_start) {
    IdCounter counter;
    each_chunk(prepared(piece, at_start), counter);
    return counter.n;
  }

  std::uint64_t count_text(std::string_view text, const SpecialMatcher* allowed) {
    if (allowed == nullptr || allowed->empty()) return count_text(text);
    std::uint64_t n = 0;
    allowed->split(
        text, [&](std::string_view stretch) { n += count_text(stretch); }, [&](TokenId) { ++n; });
    return n;
  }

 private:
  using Key = ChunkInterner::Key;
  // A small direct-mapped table in front of the snapshot, for short chunks:
  // the frequent ones stay in it with their ids, found with one hash and
  // one compare in one cache line. An empty slot's hi of 0 matches no key,
  // which holds the chunk's length (2 or more) in its top byte. A narrow
  // tokenizer's slots hold twice the ids in 16 bits each.
  template <class Id>
  struct alignas(32) Front {
    static constexpr std::size_t INLINE = 12 / sizeof(Id);  // chunks of more ids stay out
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    Id ids[INLINE] = {};
    std::uint32_t count = 0;
  };
  static_assert(sizeof(Front<std::uint16_t>) == 32 && sizeof(Front<TokenId>) == 32);
  // The room past a buffer's end that a slot's ids may take.
  static constexpr std::size_t FRONT_ROOM = Front<std::uint16_t>::INLINE;
  static constexpr std::size_t FRONT_SLOTS = std::size_t{1} << 13;
  static constexpr std::size_t FRONT_FROM_BYTES = 16 * 1024;
  static constexpr std::size_t BUFFER_IDS = std::size_t{1} << 18;
  static_assert(BUFFER_IDS > CACHED_CHUNK_MAX);

  // Where each_chunk puts the ids of a chunk: written out in order, or
  // only counted.
  // Bounded: the text may hold more ids than the buffer, which is then
  // appended to |out| as it fills.
  template <bool Bounded, class Id>
  struct IdWriter {
    static constexpr bool NARROW = std::is_same_v<Id, std::uint16_t>;
    Id* begin;
    Id* at;
    Id* full;  // room for a front slot's ids lies past it
    std::vector<Id>* out;
    // Room for |n| ids, the buffer appended to |out| first if need be;
    // false when the buffer cannot hold them at all.
    bool room(std::size_t n) {
      if constexpr (!Bounded) return true;
      if (static_cast<std::size_t>(full - at) >= n) return true;
      flush();
      return static_cast<std::size_t>(full - at) >= n;
    }
    void flush() {
      out->insert(out->end(), begin, at);
      at = begin;
    }
    void one(TokenId id) { *at++ = static_cast<Id>(id); }
    // Copies the slot's ids whole; the room past the end takes the rest.
    template <class FrontId>
    void front(const Front<FrontId>& slot) {
      if constexpr (std::is_same_v<FrontId, Id>) {
        std::memcpy(at, slot.ids, sizeof slot.ids);
      } else {
        for (std::size_t i = 0; i < Front<FrontId>::INLINE; ++i) at[i] = static_cast<Id>(slot.ids[i]);
      }
      at += slot.count;
    }
    void ids(std::span<const TokenId> ids) { at = narrowed(ids, at); }
  };
  struct IdCounter {
    static constexpr bool NARROW = false;
    std::uint64_t n = 0;
    static bool room(std::size_t) { return true; }
    void one(TokenId) { ++n; }
    template <class FrontId>
    void front(const Front<FrontId>& slot) { n += slot.count; }
    void ids(std::span<const TokenId> ids) { n += ids.size(); }
  };

  // Copies |ids| to |out| as |Id|s (they fit: see narrow()); the end.
  template <class Id>
  static Id* narrowed(std::span<const TokenId> ids, Id* out) {
    if constexpr (std::is_same_v<Id, TokenId>) {
      return std::copy(ids.begin(), ids.end(), out);
    } else {
      for (const TokenId id : ids) *out++ = static_cast<Id>(id);
      return out;
    }
  }

  // A chunk too long for the buffer, appended to |out| directly.
  template <class Id>
  void append_missing(std::string_view chunk, std::vector<Id>& out) {
    ++misses_;
    if constexpr (std::is_same_v<Id, TokenId>) {
      owner_.encode_missing(chunk, out);
    } else {
      std::vector<TokenId> wide;
      owner_.encode_missing(chunk, wide);
      const std::size_t at = out.size();
      out.resize(at + wide.size());
      narrowed(std::span<const TokenId>(wide), out.data() + at);
    }
  }

  template <class Id>
  std::vector<Id>& buffer_of() {
    if constexpr (std::is_same_v<Id, TokenId>) {
      return buffer_;
    } else {
      return narrow_buffer_;
    }
  }

  // |text| as it is split: normalized, then with the space of prefix_space
  // before it if it begins a text (|at_start|); |text| itself when neither
  // changes it.
  std::string_view prepared(std::string_view text, bool at_start = true) {
    text = text::normalized(owner_.rules_.normalizer, text, normalized_);
    if (!at_start || !owner_.rules_.prefix_space || text.empty() || text.front() == ' ') {
      return text;
    }
    prefixed_.assign(1, ' ');
    prefixed_.append(text);
    return prefixed_;
  }

  // The ids of every chunk of |text|, in order, to |sink|.
  template <class Sink>
  void each_chunk(std::string_view text, Sink& to) {
    // Worth its setting up only for text enough to reuse it.
    seen_bytes_ += text.size();
    // A sink of 16-bit ids only ever serves a narrow tokenizer.
    if (Sink::NARROW || owner_.narrow()) {
      if (!narrow_front_ && seen_bytes_ >= FRONT_FROM_BYTES) {
        narrow_front_ = std::make_unique<Front<std::uint16_t>[]>(FRONT_SLOTS);
      }
      return each_chunk(text, to, narrow_front_.get());
    }
    if constexpr (!Sink::NARROW) {
      if (!front_ && seen_bytes_ >= FRONT_FROM_BYTES) {
        front_ = std::make_unique<Front<TokenId>[]>(FRONT_SLOTS);
      }
      each_chunk(text, to, front_.get());
    }
  }

  // The same through the front table |front| (null: none yet).
  template <class Sink, class FrontId>
  void each_chunk(std::string_view text, Sink& to, Front<FrontId>* const front) {
    // A copy of its own, which nothing the loop writes through can alias:
    // the compiler keeps it in registers.
    Sink sink = to;
    const ChunkIds& cached = *snapshot_;
    const std::array<TokenId, 256>& byte_ids = owner_.byte_ids_;
    const auto on_chunk = [&](std::string_view chunk) {
      // Ids never outnumber bytes. A chunk longer than the whole buffer is
      // too long to be cached, so never found there: its ids go to the
      // output directly.
      if (!sink.room(chunk.size())) {
        if constexpr (requires { sink.out; }) {
          append_missing(chunk, *sink.out);
          return;
        }
      }
      if (chunk.size() == 1) {
        sink.one(byte_ids[static_cast<unsigned char>(chunk[0])]);
        return;
      }
      const Key key = Key::of(chunk);
      Front<FrontId>* slot = nullptr;
      if (front != nullptr && !key.is_long()) {
        slot = &front[hash_(key) & (FRONT_SLOTS - 1)];
        if (slot->lo == key.lo && slot->hi == key.hi) {
          sink.front(*slot);
          return;
        }
      }
      if (const auto ids = cached.find(key)) {
        if (slot != nullptr && ids->size() <= Front<FrontId>::INLINE) {
          slot->lo = key.lo;
          slot->hi = key.hi;
          narrowed(*ids, slot->ids);
          slot->count = static_cast<std::uint32_t>(ids->size());
        }
        sink.ids(*ids);
        return;
      }
      missing_.clear();
      owner_.encode_missing(chunk, missing_);
      sink.ids(missing_);
      ++misses_;
    };
    if (const text::RegexSplitter* regex = owner_.rules_.regex.get()) {
      regex->split(text, [&](std::size_t begin, std::size_t end) {
        on_chunk(text.substr(begin, end - begin));
      });
    } else {
      text::split_utf8(owner_.rules_.pattern, text, on_chunk);
    }
    to = sink;
    // A call that missed may have made a merge due; a long one looks again
    // every so many misses.
    if (misses_ > 0 && (misses_ >= REFRESH_AFTER_MISSES || text.size() < BLOCK_BYTES)) {
      snapshot_ = owner_.cache_.refresh();
      misses_ = 0;
    }
  }

  const CompiledTokenizer& owner_;
  EncodeCache::Snapshot snapshot_;
  // One of the two, by the tokenizer's width, once made.
  std::unique_ptr<Front<TokenId>[]> front_;
  std::unique_ptr<Front<std::uint16_t>[]> narrow_front_;
  std::size_t seen_bytes_ = 0;
  ChunkInterner::KeyHash hash_;
  std::vector<TokenId> buffer_;
  std::vector<std::uint16_t> narrow_buffer_;
  std::vector<TokenId> missing_;
  std::size_t misses_ = 0;
  std::string normalized_;  // a stretch normalized
  std::string prefixed_;    // a stretch with the space put before it
};

CompiledTokenizer::CompiledTokenizer(std::vector<Merge> merges, VocabList vocab,
                                     std::vector<SpecialToken> specials, EncodingRules rules)
    : merges_(std::move(merges)),
      // Only merging by list goes through the index.
      index_(rules.merging == EncodingRules::Merging::List ? std::span<const Merge>(merges_)
                                                            : std::span<const Merge>()),
      vocab_(std::move(vocab)),
      rules_(rules),
      specials_(std::move(specials)),
      all_specials_(specials_.tokens()) {
  using Merging = EncodingRules::Merging;
  if (rules_.merging == Merging::MergeRank) {
    ranked_.emplace(RankedMerges::by_position(merges_, vocab_, rules_.whole_chunks));
  } else if (rules_.merging == Merging::TokenRank) {
    ranked_.emplace(RankedMerges::by_token(vocab_, rules_.whole_chunks));
  }
  finish_construction();
}

CompiledTokenizer::CompiledTokenizer(VocabList vocab, std::vector<SpecialToken> specials,
                                     EncodingRules rules, std::optional<TokenKeys> keys)
    : derive_merges_(true),
      index_(std::span<const Merge>()),
      vocab_(std::move(vocab)),
      rules_(rules),
      specials_(std::move(specials)),
      all_specials_(specials_.tokens()) {
  rules_.merging = EncodingRules::Merging::TokenRank;
  ranked_.emplace(RankedMerges::by_token(vocab_, rules_.whole_chunks, std::move(keys)));
  finish_construction();
}

void CompiledTokenizer::finish_construction() {
  const std::vector<TokenId> ids = vocab_.ids();
  id_bound_ = std::max(ids.empty() ? 0 : std::size_t{ids.back()} + 1, specials_.id_bound());
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    byte_ids_[b] = ranked_ ? ranked_->byte_id(byte) : byte;
  }
}

void CompiledTokenizer::encode_chunk_uncached(std::string_view chunk,
                                              std::vector<TokenId>& out) const {
  if (ranked_) {
    const std::size_t begin = out.size();
    out.resize(begin + chunk.size());
    out.resize(begin + ranked_->encode(chunk, out.data() + begin));
    return;
  }
  encode_bytes(chunk, index_, out);
}

void CompiledTokenizer::encode_missing(std::string_view chunk, std::vector<TokenId>& out) const {
  if (chunk.size() > CACHED_CHUNK_MAX) return encode_chunk_uncached(chunk, out);
  if (cache_.find_pending(chunk, out)) return;
  const std::size_t begin = out.size();
  encode_chunk_uncached(chunk, out);
  cache_.insert(chunk, std::span<const TokenId>(out).subspan(begin));
}

void CompiledTokenizer::encode_chunk(std::string_view chunk, std::vector<TokenId>& out) const {
  if (chunk.size() < 2) {
    // No pair inside: the byte's own id.
    if (!chunk.empty()) out.push_back(byte_ids_[static_cast<unsigned char>(chunk[0])]);
    return;
  }
  // Held while its ids are copied: another thread may publish a new one
  // meanwhile and let this one go.
  const EncodeCache::Snapshot snapshot = cache_.snapshot();
  if (const auto ids = snapshot->find(chunk)) {
    out.insert(out.end(), ids->begin(), ids->end());
    return;
  }
  encode_missing(chunk, out);
}

template <class Id>
void CompiledTokenizer::encode_text(std::string_view text, std::vector<Id>& out) const {
  check_width<Id>();
  Encoder(*this).encode_text(text, out);
}

template <class Id>
void CompiledTokenizer::encode_text(std::string_view text, const SpecialMatcher& allowed,
                                    std::vector<Id>& out) const {
  check_width<Id>();
  Encoder(*this).encode_text(text, &allowed, out);
}

void CompiledTokenizer::encode_piece(std::string_view piece, bool at_start,
                                     std::vector<TokenId>& out) const {
  Encoder(*this).encode_piece(piece, at_start, out);
}

std::uint64_t CompiledTokenizer::count_piece(std::string_view piece, bool at_start) const {
  return Encoder(*this).count_piece(piece, at_start);
}

std::vector<std::vector<TokenId>> CompiledTokenizer::encode_batch(
    std::span<const std::string_view> texts, std::size_t threads,
    const SpecialMatcher* allowed) const {
  std::vector<std::vector<TokenId>> out(texts.size());
  std::vector<std::optional<Encoder>> encoders(std::max<std::size_t>(1, threads));
  run_blocks(texts.size(), block_size(texts), threads,
             [&](std::size_t thread, std::size_t, std::size_t begin, std::size_t end) {
               Encoder& encoder = encoders[thread] ? *encoders[thread] : encoders[thread].emplace(*this);
               for (std::size_t i = begin; i < end; ++i) {
                 encoder.encode_text(texts[i], allowed, out[i]);
               }
             });
  return out;
}

template <class Id>
FlatIds<Id> CompiledTokenizer::encode_batch_flat(std::span<const std::string_view> texts,
                                                 std::size_t threads,
                                                 const SpecialMatcher* allowed) const {
  check_width<Id>();
  const std::size_t block = block_size(texts);
  const std::size_t blocks = (texts.size() + block - 1) / block;
  std::vector<std::optional<Encoder>> encoders(std::max<std::size_t>(1, threads));
  FlatIds<Id> flat;
  flat.pieces.resize(blocks);
  flat.offsets.assign(texts.size() + 1, 0);
  run_blocks(texts.size(), block, threads,
             [&](std::size_t thread, std::size_t b, std::size_t begin, std::size_t end) {
               Encoder& encoder = encoders[thread] ? *encoders[thread] : encoders[thread].emplace(*this);
               std::vector<Id>& piece = flat.pieces[b];
               // Room for about one id per two bytes spares most regrowth.
               std::size_t bytes = 0;
               for (std::size_t i = begin; i < end; ++i) bytes += texts[i].size();
               piece.reserve(bytes / 2);
               for (std::size_t i = begin; i < end; ++i) {
                 encoder.encode_text(texts[i], allowed, piece);
                 flat.offsets[i + 1] = piece.size();
               }
             });
  // Ends within each piece to offsets within the whole.
  std::uint64_t at = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t begin = b * block;
    const std::size_t end = std::min(texts.size(), begin + block);
    for (std::size_t i = begin; i < end; ++i) flat.offsets[i + 1] += at;
    at += flat.pieces[b].size();
  }
  return flat;
}

template void CompiledTokenizer::encode_text(std::string_view, std::vector<TokenId>&) const;
template void CompiledTokenizer::encode_text(std::string_view, std::vector<std::uint16_t>&) const;
template void CompiledTokenizer::encode_text(std::string_view, const SpecialMatcher&,
                                             std::vector<TokenId>&) const;
template void CompiledTokenizer::encode_text(std::string_view, const SpecialMatcher&,
                                             std::vector<std::uint16_t>&) const;
template FlatIds<TokenId> CompiledTokenizer::encode_batch_flat(std::span<const std::string_view>,
                                                               std::size_t,
                                                               const SpecialMatcher*) const;
template FlatIds<std::uint16_t> CompiledTokenizer::encode_batch_flat(
    std::span<const std::string_view>, std::size_t, const SpecialMatcher*) const;

std::uint64_t CompiledTokenizer::count_text(std::string_view text,
                                            const SpecialMatcher* allowed) const {
  return Encoder(*this).count_text(text, allowed);
}

std::vector<std::uint64_t> CompiledTokenizer::count_batch(std::span<const std::string_view> texts,
                                                          std::size_t threads,
                                                          const SpecialMatcher* allowed) const {
  std::vector<std::uint64_t> out(texts.size());
  std::vector<std::optional<Encoder>> encoders(std::max<std::size_t>(1, threads));
  run_blocks(texts.size(), block_size(texts), threads,
             [&](std::size_t thread, std::size_t, std::size_t begin, std::size_t end) {
               Encoder& encoder = encoders[thread] ? *encoders[thread] : encoders[thread].emplace(*this);
               for (std::size_t i = begin; i < end; ++i) out[i] = encoder.count_text(texts[i], allowed);
             });
  return out;
}

std::optional<TokenId> CompiledTokenizer::decode_bytes(std::span<const TokenId> ids,
                                                       std::string& out) const {
  const std::size_t start = out.size();
  for (const TokenId id : ids) {
    const auto bytes = token_bytes(id);
    if (!bytes) {
      out.resize(start);
      return id;
    }
    out.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }
  return std::nullopt;
}

Result<std::string> CompiledTokenizer::decode(std::span<const TokenId> ids) const {
  if (specials_.empty()) return decode_string(ids, vocab_);
  std::string out;
  if (const auto unknown = decode_bytes(ids, out)) {
    return Error{ErrorKind::UnknownTokenId,
                 "unknown token id " + std::to_string(*unknown) + " in vocab_list"};
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(out.data());
  if (const auto fault = validate_utf8({bytes, out.size()})) {
    return Error{ErrorKind::InvalidUtf8, "decoded bytes are not valid UTF-8: " + describe(*fault)};
  }
  return out;
}

std::size_t usable_processors() noexcept {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace ovilex::engine
