// The four character classes of the split pattern, for every code point.
//
// Letter is [^\W\d_], Digit is \d, Space is \s, and Symbol is everything else
// (including "_", "'", combining marks, emoji and lone surrogates), exactly as
// the re module of the interpreter that built this library has them:
// tools/gen_char_classes.py reads them off that re at build time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovilex::text {

enum class CharClass : std::uint8_t { Symbol, Letter, Digit, Space };

namespace detail {

// Two stages: CHAR_CLASS_INDEX[cp >> 8] picks a block of 256 classes in
// CHAR_CLASS_BLOCKS. Block 0 is U+0000..U+00FF, so the first 256 entries of
// CHAR_CLASS_BLOCKS are the Latin-1 table. Defined in char_class.cpp from the
// generated tables.
inline constexpr char32_t MAX_CODE_POINT = 0x10FFFF;
extern const std::uint8_t CHAR_CLASS_INDEX[(MAX_CODE_POINT >> 8) + 1];
extern const std::uint8_t CHAR_CLASS_BLOCKS[];

}  // namespace detail

// The class of a code point below 256: one load.
inline CharClass latin1_class(std::uint8_t c) noexcept {
  return static_cast<CharClass>(detail::CHAR_CLASS_BLOCKS[c]);
}

// The class of |cp|, which must be at most U+10FFFF (surrogates included).
inline CharClass char_class(char32_t cp) noexcept {
  const std::size_t block = detail::CHAR_CLASS_INDEX[cp >> 8];
  return static_cast<CharClass>(detail::CHAR_CLASS_BLOCKS[(block << 8) | (cp & 0xFF)]);
}

}  // namespace ovilex::text
