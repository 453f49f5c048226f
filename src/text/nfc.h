// Unicode Normalization Form C, natively, at the Unicode version of the
// interpreter that built this library (tools/gen_nfc_tables.py; Python 3.14:
// 16.0.0): canonical decomposition (Hangul's computed), canonical ordering of
// the combining marks, then canonical composition, each mark composing with
// the last starter unless a mark of the same or a higher class, or a starter,
// stands between them; composition exclusions never compose.
//
// Most text is NFC already and passes through without a copy: every code
// point below U+0300 is a starter that nothing before it composes with, and
// above, a quick check in one table lookup per code point (NFC_QC Yes, the
// combining classes in order) finds the few stretches that need the work.
// Only those are rewritten, each from the last boundary before it to the next
// boundary after: a code point of combining class 0 that cannot compose with
// what precedes it, where normalizing the two sides apart gives the whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text/char_class.h"

namespace ovilex::text {

// A normalizer of text before it is split.
enum class Normalizer : std::uint8_t { None, Nfc };

// The normalizer of a name ("nfc"), or nullopt; and the name of one ("" for
// none).
std::optional<Normalizer> normalizer_named(std::string_view name) noexcept;
std::string_view normalizer_name(Normalizer normalizer) noexcept;

// The Unicode version of the tables, such as "16.0.0".
std::string_view nfc_unicode_version() noexcept;

// The canonical combining class of |cp| (at most U+10FFFF).
std::uint8_t combining_class(char32_t cp) noexcept;
// Whether |cp| is a boundary: combining class 0, and nothing before it
// composes with it or with the first code point of its decomposition, so
// that NFC(x + y) == NFC(x) + NFC(y) whenever y begins with it.
bool nfc_boundary(char32_t cp) noexcept;

// The NFC form of valid UTF-8 |text|: |text| itself when it is NFC already,
// else a view of |scratch|, which then holds it.
std::string_view nfc(std::string_view text, std::string& scratch);

// |text| under |normalizer| (nfc, or |text| itself for none).
inline std::string_view normalized(Normalizer normalizer, std::string_view text,
                                   std::string& scratch) {
  return normalizer == Normalizer::Nfc ? nfc(text, scratch) : text;
}

// last_safe_cut (split.h) for text that is normalized before it is split:
// the greatest p, floor < p < text.size(), at which |text| may be cut so
// that splitting the normalized sides apart gives the chunks of the whole
// normalized, or 0. Under Normalizer::Nfc, p is a safe cut of the text as it
// is and the code points on both sides of it are boundaries: each side then
// normalizes on its own, the code point before p stays as it is, the one at
// p becomes at most a composite of the same class and letter kind, and
// whitespace stays whitespace (the tests check these of the tables), which
// is all that the cut rules look at.
std::size_t last_safe_cut(SplitPattern pattern, Normalizer normalizer, std::string_view text,
                          std::size_t floor = 0) noexcept;

}  // namespace ovilex::text
