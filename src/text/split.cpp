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

template <SplitPattern P>
std::size_t last_safe_cut_of(std::string_view text, std::size_t floor) noexcept {
  const detail::Utf8Text<P> t(text);
  const std::size_t n = text.size();
  if (n < 2 || floor >= n - 1) return 0;
  // Walk back one code point at a time: b at p, a just before it.
  std::size_t p = t.last_start(n);
  bool b_complete = t.complete_at(p);
  detail::ClassWidth b = t.class_at(p);
  char32_t b_unit = t.unit(p);
  while (p > floor) {
    const std::size_t q = t.last_start(p);
    const detail::ClassWidth a = t.class_at(q);
    const char32_t a_unit = t.unit(q);
    if (b_complete && b.cls != CharClass::Space) {
      if (a.cls == CharClass::Space) {
        // (A): a alone, not U+0020, with no whitespace before it.
        if (a_unit != U' ' && (q == 0 || t.class_at(t.last_start(q)).cls != CharClass::Space)) {
          return p;
        }
      } else if (a.cls != b.cls && !(a_unit == U'\'' && starts_contraction(b_unit))) {
        return p;  // (C)
      }
    } else if (b_complete && a.cls != CharClass::Space) {
      return p;  // (B)
    }
    p = q;
    b = a;
    b_unit = a_unit;
    b_complete = true;
  }
  return 0;
}

}  // namespace

std::optional<SplitPattern> split_pattern_named(std::string_view name) noexcept {
  for (const SplitPattern p : {SplitPattern::Ovilex, SplitPattern::Gpt2}) {
    if (name == split_pattern_name(p)) return p;
  }
  return std::nullopt;
}

std::string_view split_pattern_name(SplitPattern pattern) noexcept {
  return pattern == SplitPattern::Gpt2 ? "gpt2" : "ovilex";
}

std::size_t last_safe_cut(SplitPattern pattern, std::string_view text, std::size_t floor) noexcept {
  return detail::with_pattern(
      pattern, [&](auto p) { return last_safe_cut_of<decltype(p)::value>(text, floor); });
}

std::size_t last_safe_cut(std::string_view text, std::size_t floor) noexcept {
  return last_safe_cut_of<SplitPattern::Ovilex>(text, floor);
}

}  // namespace ovilex::text
