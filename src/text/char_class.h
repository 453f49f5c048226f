// The four character classes of each split pattern, for every code point.
//
// SplitPattern::Ovilex, this library's own pattern: Letter is [^\W\d_],
// Digit is \d, Space is \s, and Symbol is everything else (including "_",
// "'", combining marks, emoji and lone surrogates), exactly as the re module
// of the interpreter that built this library has them.
//
// SplitPattern::Gpt2, GPT-2's pattern as the tokenizer libraries run it:
// Letter is \p{L}, Digit is \p{N} (Nd, Nl and No), Space is the White_Space
// property (not U+001C..U+001F, which Python counts as whitespace), and Symbol
// everything else, lone surrogates included; at those libraries' Unicode
// version, whatever the interpreter's.
//
// SplitPattern::Cl100k, Llama3, Qwen2 and O200k use GPT-2's classes: their patterns
// name the same \p{L}, \p{N} and \s, and tiktoken's engine has them at
// Unicode 16.0.0, the version of tools/gpt2_char_classes.txt (U+1C89, new in
// 16.0, is a letter to it; U+16EA0, new in 17.0, is not). python3-regex has
// the same version: the two agree on every code point.
//
// tools/gen_char_classes.py writes both tables at build time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovilex::text {

enum class CharClass : std::uint8_t { Symbol, Letter, Digit, Space };

// The pre-splitting patterns that the splitter runs (see split.h).
enum class SplitPattern : std::uint8_t { Ovilex, Gpt2, Cl100k, Llama3, Qwen2, O200k };

// What o200k's pattern tells apart beyond GPT-2's classes: letters upper
// (Lu, Lt), lower (Ll) or other (Lm, Lo), and marks (M, symbols to GPT-2),
// at the same Unicode version (tools/o200k_letter_kinds.txt).
enum class LetterKind : std::uint8_t { None, Upper, Lower, Other, Mark };

namespace detail {

// Two stages: CHAR_CLASS_INDEX[pattern][cp >> 8] picks a block of 256
// classes in CHAR_CLASS_BLOCKS. Block k is U+0000..U+00FF of pattern k, so
// the 256 entries from k * 256 are pattern k's Latin-1 table. Defined in
// char_class.cpp from the generated tables.
inline constexpr char32_t MAX_CODE_POINT = 0x10FFFF;
inline constexpr std::size_t CLASS_TABLE_COUNT = 2;
extern const std::uint8_t CHAR_CLASS_INDEX[CLASS_TABLE_COUNT][(MAX_CODE_POINT >> 8) + 1];
extern const std::uint8_t CHAR_CLASS_BLOCKS[];
extern const std::uint8_t LETTER_KIND_INDEX[(MAX_CODE_POINT >> 8) + 1];
extern const std::uint8_t LETTER_KIND_BLOCKS[];

// The table of a pattern's classes: 0 for ovilex's own, 1 for GPT-2's,
// which the cl100k family shares.
constexpr std::size_t class_table(SplitPattern p) noexcept {
  return p == SplitPattern::Ovilex ? 0 : 1;
}

}  // namespace detail

// The class of a code point below 256: one load.
template <SplitPattern P = SplitPattern::Ovilex>
inline CharClass latin1_class(std::uint8_t c) noexcept {
  return static_cast<CharClass>(detail::CHAR_CLASS_BLOCKS[detail::class_table(P) << 8 | c]);
}

// The class of |cp|, which must be at most U+10FFFF (surrogates included).
template <SplitPattern P = SplitPattern::Ovilex>
inline CharClass char_class(char32_t cp) noexcept {
  const std::size_t block = detail::CHAR_CLASS_INDEX[detail::class_table(P)][cp >> 8];
  return static_cast<CharClass>(detail::CHAR_CLASS_BLOCKS[(block << 8) | (cp & 0xFF)]);
}

// The letter kind of |cp|, at most U+10FFFF.
inline LetterKind letter_kind(char32_t cp) noexcept {
  const std::size_t block = detail::LETTER_KIND_INDEX[cp >> 8];
  return static_cast<LetterKind>(detail::LETTER_KIND_BLOCKS[(block << 8) | (cp & 0xFF)]);
}

inline CharClass char_class(SplitPattern pattern, char32_t cp) noexcept {
  return pattern == SplitPattern::Ovilex ? char_class(cp) : char_class<SplitPattern::Gpt2>(cp);
}

}  // namespace ovilex::text
