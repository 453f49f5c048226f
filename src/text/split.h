// Pre-splitting text into chunks, natively, under one of two patterns:
//
// SplitPattern::Ovilex, this library's own: exactly the matches of
//
//   '(?:s|t|re|ve|m|ll|d)| ?[^\W\d_]+| ?\d+| ?(?:[^\s\w]|_)+|\s+(?!\S)|\s+
//
// found by re.findall (python/ovilex/split.py), with the character classes of
// the interpreter that built this library; SplitPattern::Gpt2: exactly the
// matches of GPT-2's
//
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
//
// as the tokenizer libraries that use it find them, with their classes. The
// two are the same rules over different classes (char_class.h): the same
// seven contractions, then a run of letters, digits or symbols that U+0020
// may lead, then whitespace. Every code point is in exactly one class, so the
// chunks always cover the text.
//
// Read as a procedure, either pattern takes at each position:
//   - "'" then s, t, m or d, or re, ve or ll: the contraction, even if more
//     letters follow ("'sam" gives "'s" and "am");
//   - U+0020 followed by a non-space: the space and the run of the following
//     character's class;
//   - a letter, digit or symbol: the run of its class ("'" and "_" are
//     symbols, so "!'s" gives "!'" and "s");
//   - whitespace: the whole run when it ends the text or is one character
//     long, else the run less its last character (which then starts the next
//     chunk: alone, or with what follows if it is U+0020).
//
// The cl100k family runs GPT-2's classes through other rules: exactly the
// matches that tiktoken and the regex module find for
//
//   Cl100k '(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+|
//          ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s
//   Llama3 (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}|
//          ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
//   Qwen2  Llama3's with \p{N} for \p{N}{1,3}
//
// (each one line, broken here). Cl100k is tiktoken's spelling of
// cl100k_base's pattern and Llama3 the older one that Llama 3 publishes:
// they part only on a whitespace run that ends the text and holds a CR or
// LF before other whitespace, which "\s++$" takes whole and "\s*[\r\n]+"
// only up to that CR or LF. As a procedure, at each position:
//   - "'" then s, t, m, d, ll, ve or re in either case, or U+017F (the only
//     other letter that folds to one of them): the contraction;
//   - a letter: the run of letters; one symbol or whitespace character
//     other than CR and LF before a letter: it and the run;
//   - a digit: three digits at most (one under Qwen2);
//   - a symbol, or U+0020 before one: the run of symbols, then any CR and LF;
//   - whitespace: the whole run if it ends the text (Cl100k); else up to its
//     last CR or LF if it has one; else as above (the whole run at the end,
//     or less its last character, which leads what follows or stands alone).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "char_class.h"

namespace ovilex::text {

// The pattern of a name ("ovilex", "gpt2", "cl100k", "llama3", "qwen2",
// "o200k"), or
// nullopt; and the name of a pattern.
std::optional<SplitPattern> split_pattern_named(std::string_view name) noexcept;
std::string_view split_pattern_name(SplitPattern pattern) noexcept;

// The names, as messages list them.
inline constexpr char SPLIT_PATTERN_NAMES[] =
    "'ovilex', 'gpt2', 'cl100k', 'llama3', 'qwen2' and 'o200k'";

// Calls on_chunk(std::string_view) for each chunk of |text| under |pattern|,
// in order. |text| must be valid UTF-8; on anything else the chunks are
// unspecified, but nothing outside |text| is read.
template <class OnChunk>
void split_utf8(SplitPattern pattern, std::string_view text, OnChunk&& on_chunk);
template <class OnChunk>
void split_utf8(std::string_view text, OnChunk&& on_chunk);  // SplitPattern::Ovilex

// Calls on_chunk(std::size_t begin, std::size_t end) with the offsets in
// units of each chunk of a text stored one code point per unit: Latin-1
// (uint8_t), UCS-2 with lone surrogates as themselves (uint16_t), or UCS-4
// (char32_t, uint32_t). A unit above U+10FFFF counts as a symbol.
template <class Unit, class OnChunk>
void split_code_points(SplitPattern pattern, std::span<const Unit> text, OnChunk&& on_chunk);
template <class Unit, class OnChunk>
void split_code_points(std::span<const Unit> text, OnChunk&& on_chunk);  // SplitPattern::Ovilex

// A byte position p, floor < p < text.size(), at which |text| may be cut
// whatever follows it: for every continuation x, under |pattern|,
// split(text + x) == split(text[:p]) + split(text[p:] + x). Returns the
// greatest p that one of the rules below allows, or 0 when none does. Reads
// nothing before text[floor - 8], so a caller that raises the floor past each
// scanned block spends linear time on a long text without a cut. |text| must
// be valid UTF-8; a code point cut short at its end is never b. With a the
// code point before p and b the one at p, p is taken when:
//   (A) a is whitespace other than U+0020 with non-spaces on both sides (or
//       the text's start before it): the chunk "a" stands alone either way.
//   (B) a is not whitespace and b is: no chunk runs from a non-space into
//       whitespace, and the chunk ending at a ends there in the prefix too.
//   (C) a and b are non-spaces of different classes, unless a is "'" and b
//       one of s, t, r, v, m, l, d: only a contraction spans such a pair.
// The rules rest only on what both patterns share: chunks of one class but
// for the contractions and a leading U+0020, and the way whitespace runs
// end. Each pattern applies them with its own classes. The cl100k family has
// rules of its own, and o200k others (split.cpp).
std::size_t last_safe_cut(SplitPattern pattern, std::string_view text,
                          std::size_t floor = 0) noexcept;
std::size_t last_safe_cut(std::string_view text, std::size_t floor = 0) noexcept;  // Ovilex

namespace detail {

struct ClassWidth {
  CharClass cls;
  std::uint32_t width;  // in units
};

// A text as the matcher sees it: unit(i) is the unit at i, equal to the code
// point whenever either is ASCII; class_at(i) the class and width of the
// code point starting at i; run_end(i, c) the end of the run of class c
// starting at i; last_start(j) the start of the code point that ends at j.

template <SplitPattern P>
class Utf8Text {
 public:
  explicit Utf8Text(std::string_view text) noexcept
      : data_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  std::size_t size() const noexcept { return size_; }
  char32_t unit(std::size_t i) const noexcept { return data_[i]; }
  // The width of U+017F (long s) at i, or 0 if it is not there.
  std::size_t long_s_at(std::size_t i) const noexcept {
    return i + 1 < size_ && data_[i] == 0xC5 && data_[i + 1] == 0xBF ? 2 : 0;
  }

  // The code point that starts at i; above U+10FFFF for one cut short.
  char32_t code_point_at(std::size_t i) const noexcept {
    const unsigned char b0 = data_[i];
    if (b0 < 0x80) return b0;
    const std::size_t width = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (size_ - i < width) return MAX_CODE_POINT + 1;
    char32_t cp = char32_t{b0} & (0x7F >> width);
    for (std::size_t k = 1; k < width; ++k) cp = cp << 6 | (data_[i + k] & 0x3F);
    return cp;
  }

  [[gnu::always_inline]] ClassWidth class_at(std::size_t i) const noexcept {
    const unsigned char b = data_[i];
    if (b < 0x80) return {latin1_class<P>(b), 1};
    return multibyte_class_at(i);
  }

  [[gnu::always_inline]] std::size_t run_end(std::size_t i, CharClass cls) const noexcept {
    switch (cls) {
      case CharClass::Symbol: return run_end_of<CharClass::Symbol>(i);
      case CharClass::Letter: return run_end_of<CharClass::Letter>(i);
      case CharClass::Digit: return run_end_of<CharClass::Digit>(i);
      case CharClass::Space: return run_end_of<CharClass::Space>(i);
    }
    return i;
  }

  // At most three continuation bytes back, whatever the input.
  std::size_t last_start(std::size_t j) const noexcept {
    std::size_t i = j - 1;
    while (i > 0 && j - i < 4 && (data_[i] & 0xC0) == 0x80) --i;
    return i;
  }

  // Whether the code point starting at i ends within the text.
  bool complete_at(std::size_t i) const noexcept {
    const unsigned char b = data_[i];
    const std::size_t width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return size_ - i >= width;
  }

 private:
  // The lead byte alone gives the width; a sequence cut short by the end of
  // the text (invalid input) is a symbol of the bytes left.
  ClassWidth multibyte_class_at(std::size_t i) const noexcept {
    const unsigned char b0 = data_[i];
    const std::uint32_t width = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (size_ - i < width) return {CharClass::Symbol, static_cast<std::uint32_t>(size_ - i)};
    char32_t cp;
    if (width == 2) {
      cp = (char32_t{b0} & 0x1F) << 6 | (data_[i + 1] & 0x3F);
    } else if (width == 3) {
      cp = (char32_t{b0} & 0x0F) << 12 | (char32_t{data_[i + 1]} & 0x3F) << 6 |
           (data_[i + 2] & 0x3F);
    } else {
      cp = (char32_t{b0} & 0x07) << 18 | (char32_t{data_[i + 1]} & 0x3F) << 12 |
           (char32_t{data_[i + 2]} & 0x3F) << 6 | (data_[i + 3] & 0x3F);
      if (cp > MAX_CODE_POINT) return {CharClass::Symbol, width};
    }
    return {char_class<P>(cp), width};
  }

  // Alternates between stretches of ASCII and of other characters, so that
  // text in another script does not pay for the ASCII test at each one.
  template <CharClass C>
  [[gnu::always_inline]] std::size_t run_end_of(std::size_t i) const noexcept {
    while (i < size_) {
      const unsigned char b = data_[i];
      if (b >= 0x80) {
        const ClassWidth cw = multibyte_class_at(i);
        if (cw.cls != C) return i;
        i += cw.width;
        continue;
      }
      if (latin1_class<P>(b) != C) return i;
      i = ascii_run_end<C>(i + 1);
    }
    return i;
  }

  // The first position from i that is not an ASCII character of class C,
  // eight bytes at a time.
  template <CharClass C>
  std::size_t ascii_run_end(std::size_t i) const noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      while (size_ - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data_ + i, 8);
        const std::uint64_t outside = ~ascii_in_class<C>(word) & HIGH_BITS;
        if (outside != 0) return i + static_cast<std::size_t>(std::countr_zero(outside)) / 8;
        i += 8;
      }
    }
    while (i < size_ && data_[i] < 0x80 && latin1_class<P>(data_[i]) == C) ++i;
    return i;
  }

  static constexpr std::uint64_t ONES = 0x0101010101010101;
  static constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;

  // The high bit of each byte of |word| that is an ASCII character of class
  // C. ASCII's classes are the same in every Unicode version, and
  // tools/gen_char_classes.py checks that they are these: the patterns differ
  // only in U+001C..U+001F, whitespace to Python's re alone.
  template <CharClass C>
  static std::uint64_t ascii_in_class(std::uint64_t word) noexcept {
    const std::uint64_t ascii = ~word & HIGH_BITS;
    const std::uint64_t low = word & ~HIGH_BITS;  // bytes of 0..7F: sums below carry no further
    // High bit of each byte of |v| (all 0..7F) that lies in [lo, hi], 1 <= lo.
    const auto in_range = [](std::uint64_t v, std::uint64_t lo, std::uint64_t hi) {
      return (v + (0x80 - lo) * ONES) & ~(v + (0x7F - hi) * ONES) & HIGH_BITS;
    };
    const auto letter = [&] { return in_range(low | 0x20 * ONES, 'a', 'z'); };
    const auto digit = [&] { return in_range(low, '0', '9'); };
    const auto space = [&] {
      if constexpr (P == SplitPattern::Ovilex) {
        return in_range(low, 0x09, 0x0D) | in_range(low, 0x1C, 0x20);
      } else {
        return in_range(low, 0x09, 0x0D) | in_range(low, 0x20, 0x20);
      }
    };
    if constexpr (C == CharClass::Letter) {
      return ascii & letter();
    } else if constexpr (C == CharClass::Digit) {
      return ascii & digit();
    } else if constexpr (C == CharClass::Space) {
      return ascii & space();
    } else {
      return ascii & ~(letter() | digit() | space());
    }
  }

  const unsigned char* data_;
  std::size_t size_;
};

template <class Unit, SplitPattern P>
class UnitText {
 public:
  explicit UnitText(std::span<const Unit> text) noexcept : data_(text.data()), size_(text.size()) {}

  std::size_t size() const noexcept { return size_; }
  char32_t unit(std::size_t i) const noexcept { return static_cast<char32_t>(data_[i]); }
  std::size_t long_s_at(std::size_t i) const noexcept { return unit(i) == 0x17F ? 1 : 0; }
  char32_t code_point_at(std::size_t i) const noexcept { return unit(i); }
  ClassWidth class_at(std::size_t i) const noexcept { return {class_of(data_[i]), 1}; }

  std::size_t run_end(std::size_t i, CharClass cls) const noexcept {
    while (i < size_ && class_of(data_[i]) == cls) ++i;
    return i;
  }

  std::size_t last_start(std::size_t j) const noexcept { return j - 1; }

 private:
  static CharClass class_of(Unit u) noexcept {
    if constexpr (sizeof(Unit) == 1) {
      return latin1_class<P>(static_cast<std::uint8_t>(u));
    } else if constexpr (sizeof(Unit) == 2) {
      return char_class<P>(static_cast<char32_t>(u));
    } else {
      const auto cp = static_cast<char32_t>(u);
      return cp <= MAX_CODE_POINT ? char_class<P>(cp) : CharClass::Symbol;
    }
  }

  const Unit* data_;
  std::size_t size_;
};

// The length of the contraction that starts with the "'" at i, or 0.
template <class Text>
std::size_t contraction_length(const Text& t, std::size_t i) noexcept {
  if (i + 1 >= t.size()) return 0;
  switch (t.unit(i + 1)) {
    case U's':
    case U't':
    case U'm':
    case U'd':
      return 2;
    case U'r':
    case U'v':
      return i + 2 < t.size() && t.unit(i + 2) == U'e' ? 3 : 0;
    case U'l':
      return i + 2 < t.size() && t.unit(i + 2) == U'l' ? 3 : 0;
    default:
      return 0;
  }
}

// The one matcher behind both entry points: emit(begin, end) for each chunk.
// It and the class steps it takes are inlined always, into the caller's
// handler of chunks: left to its own judgement, the compiler kept them apart
// in the encoder's loop, at a tenth more instructions per byte (callgrind).
template <class Text, class Emit>
[[gnu::always_inline]] inline void split_text(const Text& t, Emit&& emit) {
  const std::size_t n = t.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    const char32_t u = t.unit(i);
    if (u == U' ' && i + 1 < n) {
      // " ?X+": the space leads the run that follows it, if any.
      const ClassWidth next = t.class_at(i + 1);
      if (next.cls != CharClass::Space) {
        i = t.run_end(i + 1 + next.width, next.cls);
        emit(start, i);
        continue;
      }
    } else if (u == U'\'') {
      if (const std::size_t k = contraction_length(t, i)) {
        i += k;
        emit(start, i);
        continue;
      }
    }
    const ClassWidth here = t.class_at(i);
    i = t.run_end(i + here.width, here.cls);
    if (here.cls == CharClass::Space && i < n) {
      // "\s+(?!\S)" backs off one character before a non-space; a run of one
      // is then left to "\s+", whole.
      const std::size_t last = t.last_start(i);
      if (last > start) i = last;
    }
    emit(start, i);
  }
}

// The rules of the cl100k family (SplitPattern::Cl100k, Llama3, Qwen2): see
// the top of this file. |MaxDigits| is 3, or 1 for Qwen2; |WholeFinalSpace| holds for
// the possessive spelling, whose "\s++$" takes a whitespace run that ends
// the text whole, where the other takes it up to its last CR or LF first.
template <std::size_t MaxDigits, bool WholeFinalSpace>
struct FamilyRules {
  static constexpr std::size_t MAX_DIGITS = MaxDigits;
  static constexpr bool WHOLE_FINAL_SPACE = WholeFinalSpace;
};

template <SplitPattern P>
using RulesOf = FamilyRules<P == SplitPattern::Qwen2 ? 1 : 3, P == SplitPattern::Cl100k>;

inline constexpr bool is_family(SplitPattern p) noexcept {
  return p == SplitPattern::Cl100k || p == SplitPattern::Llama3 || p == SplitPattern::Qwen2;
}

inline char32_t ascii_lower(char32_t u) noexcept { return u >= U'A' && u <= U'Z' ? u + 32 : u; }

// The length of the case-insensitive contraction that starts with the "'"
// at i, or 0. The engines fold case by Unicode's simple folding, under which
// only U+017F (long s) joins the ASCII letters, as another s.
template <class Text>
std::size_t folded_contraction_length(const Text& t, std::size_t i) noexcept {
  if (i + 1 >= t.size()) return 0;
  switch (ascii_lower(t.unit(i + 1))) {
    case U's':
    case U't':
    case U'm':
    case U'd':
      return 2;
    case U'r':
    case U'v':
      return i + 2 < t.size() && ascii_lower(t.unit(i + 2)) == U'e' ? 3 : 0;
    case U'l':
      return i + 2 < t.size() && ascii_lower(t.unit(i + 2)) == U'l' ? 3 : 0;
    default:
      if (const std::size_t w = t.long_s_at(i + 1)) return 1 + w;
      return 0;
  }
}

inline bool is_cr_lf(char32_t u) noexcept { return u == U'\r' || u == U'\n'; }

// The end of the whitespace chunk at |start| of the cl100k family and
// o200k, whose run of whitespace ends at |end|: "\s++$" (the run whole at
// the text's end, with |whole_final|), "\s*[\r\n]" (up to its last CR or
// LF), "\s+(?!\S)" (less its last character before a non-space), "\s"
// (one character).
template <class Text>
std::size_t space_chunk_end(const Text& t, std::size_t start, std::size_t end,
                            bool whole_final) noexcept {
  if (end == t.size() && whole_final) return end;
  for (std::size_t j = end; j > start; --j) {
    if (is_cr_lf(t.unit(j - 1))) return j;  // ASCII: never a continuation byte
  }
  if (end == t.size()) return end;
  const std::size_t last = t.last_start(end);
  return last > start ? last : end;
}

// The matcher of the cl100k family: emit(begin, end) for each chunk.
template <class Rules, class Text, class Emit>
void split_family(const Text& t, Emit&& emit) {
  const std::size_t n = t.size();
  std::size_t i = 0;
  // The end of the run of CR and LF from j.
  const auto cr_lf_end = [&](std::size_t j) {
    while (j < n && is_cr_lf(t.unit(j))) ++j;
    return j;
  };
  while (i < n) {
    const std::size_t start = i;
    const char32_t u = t.unit(i);
    if (u == U'\'') {
      if (const std::size_t k = folded_contraction_length(t, i)) {
        i += k;
        emit(start, i);
        continue;
      }
    }
    const ClassWidth here = t.class_at(i);
    const std::size_t next = i + here.width;
    if (here.cls == CharClass::Letter) {
      i = t.run_end(next, CharClass::Letter);
    } else if (here.cls == CharClass::Digit) {
      // \p{N}{1,3}, or \p{N} alone.
      i = next;
      for (std::size_t count = 1; count < Rules::MAX_DIGITS && i < n; ++count) {
        const ClassWidth d = t.class_at(i);
        if (d.cls != CharClass::Digit) break;
        i += d.width;
      }
    } else {
      // [^\r\n\p{L}\p{N}]?\p{L}+: any symbol or whitespace but CR and LF
      // leads a run of letters.
      const ClassWidth after = next < n ? t.class_at(next) : ClassWidth{CharClass::Space, 0};
      if (next < n && after.cls == CharClass::Letter && !is_cr_lf(u)) {
        i = t.run_end(next + after.width, CharClass::Letter);
      } else if (here.cls == CharClass::Symbol) {
        // " ?[^\s\p{L}\p{N}]+[\r\n]*"
        i = cr_lf_end(t.run_end(next, CharClass::Symbol));
      } else if (u == U' ' && next < n && after.cls == CharClass::Symbol) {
        i = cr_lf_end(t.run_end(next + after.width, CharClass::Symbol));
      } else {
        // Whitespace: "\s++$" (whole at the end, if the spelling has it),
        // "\s*[\r\n]" (up to its last CR or LF), "\s+(?!\S)" (less its
        // last character before a non-space), "\s" (one character).
        i = space_chunk_end(t, start, t.run_end(next, CharClass::Space),
                            Rules::WHOLE_FINAL_SPACE);
      }
    }
    emit(start, i);
  }
}

// o200k's classes: GPT-2's, its letters by kind and its marks apart.
// Upper and after: what words are made of.
enum class Fine : std::uint8_t { Symbol, Space, Digit, Upper, Lower, Other, Mark };

struct FineWidth {
  Fine fine;
  std::uint32_t width;
};

template <class Text>
[[gnu::always_inline]] inline FineWidth fine_at(const Text& t, std::size_t i) noexcept {
  const ClassWidth cw = t.class_at(i);
  if (cw.cls == CharClass::Digit) return {Fine::Digit, cw.width};
  if (cw.cls == CharClass::Space) return {Fine::Space, cw.width};
  const char32_t u = t.unit(i);
  if (u < 0x80) {
    if (cw.cls == CharClass::Symbol) return {Fine::Symbol, cw.width};
    return {u <= U'Z' ? Fine::Upper : Fine::Lower, cw.width};
  }
  const char32_t cp = t.code_point_at(i);
  switch (cp <= MAX_CODE_POINT ? letter_kind(cp) : LetterKind::None) {
    case LetterKind::Upper: return {Fine::Upper, cw.width};
    case LetterKind::Lower: return {Fine::Lower, cw.width};
    case LetterKind::Other: return {Fine::Other, cw.width};
    case LetterKind::Mark: return {Fine::Mark, cw.width};
    case LetterKind::None: break;
  }
  return {cw.cls == CharClass::Letter ? Fine::Other : Fine::Symbol, cw.width};
}

// [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}] and [\p{Ll}\p{Lm}\p{Lo}\p{M}]: the head and
// the tail of a word.
inline bool word_head(Fine f) noexcept { return f == Fine::Upper || f == Fine::Other || f == Fine::Mark; }
inline bool word_tail(Fine f) noexcept { return f == Fine::Lower || f == Fine::Other || f == Fine::Mark; }

// The matcher of o200k's pattern (SplitPattern::O200k):
//
//   [^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+C?|
//   [^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*C?|
//   \p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+
//
// with C the contractions (?i:'s|'t|'re|'ve|'m|'ll|'d), as a backtracking
// engine runs it: a word is tried with its optional lead first, then
// without; the head takes all it can and gives back only as far as the
// tail needs (marks and other letters are in both).
template <class Text, class Emit>
void split_o200k(const Text& t, Emit&& emit) {
  const std::size_t n = t.size();
  const auto run = [&](std::size_t j, auto in) {
    while (j < n) {
      const FineWidth fw = fine_at(t, j);
      if (!in(fw.fine)) break;
      j += fw.width;
    }
    return j;
  };
  // Head*Tail+ from q: the end, or 0 for no match (a word never ends at 0).
  const auto word = [&](std::size_t q) -> std::size_t {
    const std::size_t head_end = run(q, word_head);
    std::size_t tail = head_end;
    if (head_end == n || fine_at(t, head_end).fine != Fine::Lower) {
      // Give back the head down to its last character that a tail takes.
      bool found = false;
      while (tail > q && !found) {
        tail = t.last_start(tail);
        if (tail < q) break;  // only in bytes that are not UTF-8
        found = word_tail(fine_at(t, tail).fine);
      }
      if (!found) return 0;
    }
    return run(tail, word_tail);
  };
  // Head+Tail* from q, or 0.
  const auto capital_word = [&](std::size_t q) -> std::size_t {
    const std::size_t head_end = run(q, word_head);
    return head_end == q ? 0 : run(head_end, word_tail);
  };
  const auto cr_lf_slash_end = [&](std::size_t j) {
    while (j < n && (is_cr_lf(t.unit(j)) || t.unit(j) == U'/')) ++j;
    return j;
  };
  const auto symbol = [](Fine f) { return f == Fine::Symbol || f == Fine::Mark; };
  const auto ascii_letter = [](char32_t c) { return (c | 0x20) >= U'a' && (c | 0x20) <= U'z'; };
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    const char32_t u = t.unit(i);
    // Most words are ASCII: a word of ASCII letters, after a lead or not,
    // that ends before an ASCII character is decided here. Its head is the
    // capitals, its tail the small letters; neither gives anything back
    // that the other takes, so whichever alternative matches ends at the
    // first character that is neither.
    if (u < 0x80 && u != U'\r' && u != U'\n') {
      std::size_t q = i;
      if (!ascii_letter(u) && !(u >= U'0' && u <= U'9') && i + 1 < n &&
          ascii_letter(t.unit(i + 1))) {
        q = i + 1;
      }
      if (ascii_letter(t.unit(q))) {
        std::size_t j = q;
        while (j < n && t.unit(j) >= U'A' && t.unit(j) <= U'Z') ++j;
        while (j < n && t.unit(j) >= U'a' && t.unit(j) <= U'z') ++j;
        if (j == n || t.unit(j) < 0x80) {
          if (j < n && t.unit(j) == U'\'') j += folded_contraction_length(t, j);
          i = j;
          emit(start, i);
          continue;
        }
      }
    }
    const FineWidth here = fine_at(t, i);
    const bool leads = (here.fine == Fine::Symbol || here.fine == Fine::Mark ||
                        here.fine == Fine::Space) && !is_cr_lf(u);
    const std::size_t next = i + here.width;
    // A word begins with a letter or a mark: the alternatives are tried in
    // turn where one can begin.
    const auto wordy = [](Fine f) { return f >= Fine::Upper; };
    const bool word_next = leads && next < n && wordy(fine_at(t, next).fine);
    const bool word_here = wordy(here.fine);
    std::size_t end = 0;
    if (word_next) end = word(next);
    if (end == 0 && word_here) end = word(i);
    if (end == 0 && word_next) end = capital_word(next);
    if (end == 0 && word_here) end = capital_word(i);
    if (end != 0) {
      if (end < n && t.unit(end) == U'\'') end += folded_contraction_length(t, end);
      i = end;
    } else if (here.fine == Fine::Digit) {
      i = next;
      for (int count = 1; count < 3 && i < n; ++count) {
        const ClassWidth d = t.class_at(i);
        if (d.cls != CharClass::Digit) break;
        i += d.width;
      }
    } else if (symbol(here.fine)) {
      i = cr_lf_slash_end(run(next, symbol));
    } else if (u == U' ' && next < n && symbol(fine_at(t, next).fine)) {
      i = cr_lf_slash_end(run(next, symbol));
    } else {
      // Whitespace, as under Llama3.
      i = space_chunk_end(t, start, t.run_end(next, CharClass::Space), false);
    }
    emit(start, i);
  }
}

// Calls f(std::integral_constant<SplitPattern, P>) for P == |pattern|: the
// matcher is compiled for each pattern, the choice made once per text.
template <class F>
decltype(auto) with_pattern(SplitPattern pattern, F&& f) {
  switch (pattern) {
    case SplitPattern::Gpt2:
      return f(std::integral_constant<SplitPattern, SplitPattern::Gpt2>{});
    case SplitPattern::Cl100k:
      return f(std::integral_constant<SplitPattern, SplitPattern::Cl100k>{});
    case SplitPattern::Llama3:
      return f(std::integral_constant<SplitPattern, SplitPattern::Llama3>{});
    case SplitPattern::Qwen2:
      return f(std::integral_constant<SplitPattern, SplitPattern::Qwen2>{});
    case SplitPattern::O200k:
      return f(std::integral_constant<SplitPattern, SplitPattern::O200k>{});
    case SplitPattern::Ovilex:
      break;
  }
  return f(std::integral_constant<SplitPattern, SplitPattern::Ovilex>{});
}

// The matcher of pattern P over a text.
template <SplitPattern P, class Text, class Emit>
[[gnu::always_inline]] inline void split_as(const Text& t, Emit&& emit) {
  if constexpr (is_family(P)) {
    split_family<RulesOf<P>>(t, emit);
  } else if constexpr (P == SplitPattern::O200k) {
    split_o200k(t, emit);
  } else {
    split_text(t, emit);
  }
}

}  // namespace detail

template <class OnChunk>
void split_utf8(SplitPattern pattern, std::string_view text, OnChunk&& on_chunk) {
  detail::with_pattern(pattern, [&](auto p) {
    constexpr SplitPattern P = decltype(p)::value;
    detail::split_as<P>(detail::Utf8Text<P>(text), [&](std::size_t begin, std::size_t end) {
      on_chunk(std::string_view(text.data() + begin, end - begin));
    });
  });
}

template <class OnChunk>
void split_utf8(std::string_view text, OnChunk&& on_chunk) {
  split_utf8(SplitPattern::Ovilex, text, on_chunk);
}

template <class Unit, class OnChunk>
void split_code_points(SplitPattern pattern, std::span<const Unit> text, OnChunk&& on_chunk) {
  static_assert(std::is_integral_v<Unit> && std::is_unsigned_v<Unit> && sizeof(Unit) != 8,
                "units are Latin-1 bytes, UCS-2 or UCS-4 code units");
  detail::with_pattern(pattern, [&](auto p) {
    constexpr SplitPattern P = decltype(p)::value;
    detail::split_as<P>(detail::UnitText<Unit, P>(text),
                        [&](std::size_t begin, std::size_t end) { on_chunk(begin, end); });
  });
}

template <class Unit, class OnChunk>
void split_code_points(std::span<const Unit> text, OnChunk&& on_chunk) {
  split_code_points(SplitPattern::Ovilex, text, on_chunk);
}

}  // namespace ovilex::text
