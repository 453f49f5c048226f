#include "split.h"

namespace ovilex::text {

namespace {

// The letters that can follow "'" in a contraction: a cut between them and
// the apostrophe could split "'s" or, once more text comes, "'re".
bool starts_contraction(char32_t unit) noexcept {
  switch (unit) {
    case U's':
    case U't':
    case U'r':
    case U'v':
    case U'm':
    case U'l':
    case U'd':
      return true;
    default:
      return false;
  }
}

// A code point as the cut rules see it: its class (Kind) and its unit.
template <class Kind>
struct Seen {
  Kind cls;
  char32_t unit;
};

// The greatest p, floor < p < the text's end, at which cut(q, a, b) holds,
// with a = seen(q) the code point before p, starting at q, and b = seen(p)
// the code point at p, which must be whole; 0 when there is none. Walks back
// one code point at a time, each one seen once.
template <class Text, class See, class Cut>
std::size_t last_cut(const Text& t, std::size_t floor, See&& seen, Cut&& cut) noexcept {
  const std::size_t n = t.size();
  if (n < 2 || floor >= n - 1) return 0;
  std::size_t p = t.last_start(n);
  bool b_complete = t.complete_at(p);
  auto b = seen(p);
  while (p > floor) {
    const std::size_t q = t.last_start(p);
    const auto a = seen(q);
    if (b_complete && cut(q, a, b)) return p;
    p = q;
    b = a;
    b_complete = true;
  }
  return 0;
}

// The rules A, B and C of last_safe_cut (split.h).
template <SplitPattern P>
std::size_t last_safe_cut_of(std::string_view text, std::size_t floor) noexcept {
  const detail::Utf8Text<P> t(text);
  const auto seen = [&](std::size_t i) { return Seen<CharClass>{t.class_at(i).cls, t.unit(i)}; };
  return last_cut(t, floor, seen, [&](std::size_t q, Seen<CharClass> a, Seen<CharClass> b) {
    if (b.cls != CharClass::Space) {
      if (a.cls == CharClass::Space) {
        // (A): a alone, not U+0020, with no whitespace before it.
        return a.unit != U' ' && (q == 0 || t.class_at(t.last_start(q)).cls != CharClass::Space);
      }
      return a.cls != b.cls && !(a.unit == U'\'' && starts_contraction(b.unit));  // (C)
    }
    return a.cls != CharClass::Space;  // (B)
  });
}

// The cut rules of the cl100k family (split.h): with a the code point before
// p and b the one at p, p is taken when
//   - a and b are non-spaces of different classes, unless a is a symbol and
//     b a letter (the symbol may lead the letters: "!abc"), and unless both
//     are digits under MAX_DIGITS 3 (digits go in threes from their run's
//     start, which may lie anywhere before);
//   - a is not whitespace and b is, unless a is a symbol and b CR or LF
//     (a symbol run takes the CR and LF after it);
//   - a is whitespace and b is not, with a CR or LF, or alone after a
//     non-space or the text's start (a longer run at the end of the text
//     splits otherwise than before a non-space), and a leads nothing: not a
//     letter unless a is CR or LF, not a symbol if a is U+0020.
template <SplitPattern P>
std::size_t last_safe_cut_family(std::string_view text, std::size_t floor) noexcept {
  const detail::Utf8Text<P> t(text);
  const auto seen = [&](std::size_t i) { return Seen<CharClass>{t.class_at(i).cls, t.unit(i)}; };
  return last_cut(t, floor, seen, [&](std::size_t q, Seen<CharClass> a, Seen<CharClass> b) {
    const bool a_space = a.cls == CharClass::Space;
    const bool b_space = b.cls == CharClass::Space;
    if (!a_space && !b_space) {
      if (a.cls != b.cls) return !(a.cls == CharClass::Symbol && b.cls == CharClass::Letter);
      return a.cls == CharClass::Digit && detail::RulesOf<P>::MAX_DIGITS == 1;
    }
    if (!a_space) return !(a.cls == CharClass::Symbol && detail::is_cr_lf(b.unit));
    if (b_space) return false;
    const bool breaks = detail::is_cr_lf(a.unit);
    const bool alone = q == 0 || t.class_at(t.last_start(q)).cls != CharClass::Space;
    const bool leads = (b.cls == CharClass::Letter && !breaks) ||
                       (b.cls == CharClass::Symbol && a.unit == U' ');
    return (breaks || alone) && !leads;
  });
}

// The cut rules of o200k's pattern (split.h), over its finer classes: with
// a the code point before p and b the one at p, p is taken when
//   - a and b are non-spaces and a is a digit and b not, or b a digit and a
//     not, or a a letter and b a symbol other than "'" (which may begin a
//     contraction), or a lower case letter and b an upper case one (the
//     word's lower case part ends at a; a letter of another kind may be
//     taken by the upper case part of a word that goes on);
//   - a is not whitespace and b is, unless a is a symbol or a mark and b CR
//     or LF (a symbol run takes the CR, LF and "/" after it);
//   - a is whitespace and b is not, as under the cl100k family (a CR or LF,
//     or alone after a non-space or the text's start, and leading nothing:
//     no letter or mark unless a is CR or LF, no symbol if a is U+0020),
//     and not a CR or LF before "/".
std::size_t last_safe_cut_o200k(std::string_view text, std::size_t floor) noexcept {
  using detail::Fine;
  const detail::Utf8Text<SplitPattern::O200k> t(text);
  const auto letter = [](Fine f) { return f == Fine::Upper || f == Fine::Lower || f == Fine::Other; };
  const auto seen = [&](std::size_t i) { return Seen<Fine>{detail::fine_at(t, i).fine, t.unit(i)}; };
  return last_cut(t, floor, seen, [&](std::size_t q, Seen<Fine> a, Seen<Fine> b) {
    const bool a_space = a.cls == Fine::Space;
    const bool b_space = b.cls == Fine::Space;
    if (!a_space && !b_space) {
      return (a.cls == Fine::Digit) != (b.cls == Fine::Digit) ||
             (letter(a.cls) && b.cls == Fine::Symbol && b.unit != U'\'') ||
             (a.cls == Fine::Lower && b.cls == Fine::Upper);
    }
    if (!a_space) return !((a.cls == Fine::Symbol || a.cls == Fine::Mark) && detail::is_cr_lf(b.unit));
    if (b_space) return false;
    const bool breaks = detail::is_cr_lf(a.unit);
    const bool alone = q == 0 || detail::fine_at(t, t.last_start(q)).fine != Fine::Space;
    const bool leads = ((letter(b.cls) || b.cls == Fine::Mark) && !breaks) ||
                       ((b.cls == Fine::Symbol || b.cls == Fine::Mark) && a.unit == U' ') ||
                       (breaks && b.unit == U'/');
    return (breaks || alone) && !leads;
  });
}

}  // namespace

std::optional<SplitPattern> split_pattern_named(std::string_view name) noexcept {
  for (const SplitPattern p : {SplitPattern::Ovilex, SplitPattern::Gpt2, SplitPattern::Cl100k,
                               SplitPattern::Llama3, SplitPattern::Qwen2, SplitPattern::O200k}) {
    if (name == split_pattern_name(p)) return p;
  }
  return std::nullopt;
}

std::string_view split_pattern_name(SplitPattern pattern) noexcept {
  switch (pattern) {
    case SplitPattern::Gpt2: return "gpt2";
    case SplitPattern::Cl100k: return "cl100k";
    case SplitPattern::Llama3: return "llama3";
    case SplitPattern::Qwen2: return "qwen2";
    case SplitPattern::O200k: return "o200k";
    case SplitPattern::Ovilex: break;
  }
  return "ovilex";
}

std::size_t last_safe_cut(SplitPattern pattern, std::string_view text, std::size_t floor) noexcept {
  return detail::with_pattern(pattern, [&](auto p) {
    constexpr SplitPattern P = decltype(p)::value;
    if constexpr (detail::is_family(P)) {
      return last_safe_cut_family<P>(text, floor);
    } else if constexpr (P == SplitPattern::O200k) {
      return last_safe_cut_o200k(text, floor);
    } else {
      return last_safe_cut_of<P>(text, floor);
    }
  });
}

std::size_t last_safe_cut(std::string_view text, std::size_t floor) noexcept {
  return last_safe_cut_of<SplitPattern::Ovilex>(text, floor);
}

}  // namespace ovilex::text
