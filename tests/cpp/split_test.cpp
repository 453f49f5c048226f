#include "text/split.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "text/char_class.h"

namespace ovilex::text {

// Found by argument-dependent lookup, so failures name the class.
void PrintTo(CharClass c, std::ostream* os) {
  static constexpr const char* NAMES[] = {"Symbol", "Letter", "Digit", "Space"};
  *os << NAMES[static_cast<int>(c)];
}

void PrintTo(SplitPattern p, std::ostream* os) { *os << split_pattern_name(p); }

namespace {

using Chunks = std::vector<std::u32string>;

// --- The pattern, transcribed -------------------------------------------------
//
//   '(?:s|t|re|ve|m|ll|d)| ?[^\W\d_]+| ?\d+| ?(?:[^\s\w]|_)+|\s+(?!\S)|\s+
//
// As re runs it: at each position try the alternatives in order; within one,
// a greedy repeat takes as much as it can and gives back one character at a
// time until the rest of the alternative matches. findall keeps the first
// alternative that matches and goes on from its end (skipping a character
// where none matches, which would show up as a lost character).
//
// GPT-2's pattern is the same alternation over its own classes:
//
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+

// X: one class of one pattern.
struct Pred {
  SplitPattern pattern;
  CharClass cls;
  bool operator()(char32_t c) const { return char_class(pattern, c) == cls; }
};

using Match = std::optional<std::size_t>;  // the end of a match

// The ends that X+ can take from i, longest first.
std::vector<std::size_t> plus_ends(const std::u32string& s, std::size_t i, Pred x) {
  std::size_t j = i;
  while (j < s.size() && x(s[j])) ++j;
  std::vector<std::size_t> ends;
  for (std::size_t e = j; e > i; --e) ends.push_back(e);
  return ends;
}

// '(?:s|t|re|ve|m|ll|d)
Match contraction(const std::u32string& s, std::size_t i) {
  if (i >= s.size() || s[i] != U'\'') return std::nullopt;
  for (const std::u32string_view tail : {U"s", U"t", U"re", U"ve", U"m", U"ll", U"d"}) {
    if (std::u32string_view(s).substr(i + 1).starts_with(tail)) return i + 1 + tail.size();
  }
  return std::nullopt;
}

// " ?X+": the optional space is greedy, so it is tried present first.
Match optional_space_then(const std::u32string& s, std::size_t i, Pred x) {
  std::vector<std::size_t> starts;
  if (i < s.size() && s[i] == U' ') starts.push_back(i + 1);
  starts.push_back(i);
  for (const std::size_t q : starts) {
    for (const std::size_t e : plus_ends(s, q, x)) return e;  // nothing follows X+
  }
  return std::nullopt;
}

// \s+(?!\S): not followed by a character that is not whitespace.
Match spaces_not_before_non_space(const std::u32string& s, std::size_t i, Pred is_space) {
  for (const std::size_t e : plus_ends(s, i, is_space)) {
    if (e == s.size() || is_space(s[e])) return e;
  }
  return std::nullopt;
}

// \s+
Match spaces(const std::u32string& s, std::size_t i, Pred is_space) {
  for (const std::size_t e : plus_ends(s, i, is_space)) return e;
  return std::nullopt;
}

Chunks reference_split(const std::u32string& s, SplitPattern p = SplitPattern::Ovilex) {
  const Pred is_space{p, CharClass::Space};
  Chunks out;
  std::size_t i = 0;
  while (i < s.size()) {
    Match end = contraction(s, i);
    if (!end) end = optional_space_then(s, i, {p, CharClass::Letter});
    if (!end) end = optional_space_then(s, i, {p, CharClass::Digit});
    if (!end) end = optional_space_then(s, i, {p, CharClass::Symbol});
    if (!end) end = spaces_not_before_non_space(s, i, is_space);
    if (!end) end = spaces(s, i, is_space);
    if (!end) {
      ++i;
      continue;
    }
    out.push_back(s.substr(i, *end - i));
    i = *end;
  }
  return out;
}

// --- Encodings and the splitters under test -------------------------------------

std::string to_utf8(std::u32string_view s) {
  std::string out;
  for (const char32_t c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Decodes valid UTF-8 (the inverse of to_utf8).
std::u32string from_utf8(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = width == 1 ? b : b & (0x7F >> width);
    for (std::size_t k = 1; k < width; ++k) c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(c);
    i += width;
  }
  return out;
}

std::vector<std::string> utf8_chunks(std::string_view text,
                                     SplitPattern p = SplitPattern::Ovilex) {
  std::vector<std::string> out;
  split_utf8(p, text, [&](std::string_view chunk) { out.emplace_back(chunk); });
  return out;
}

template <class Unit>
Chunks code_point_chunks(const std::u32string& s, SplitPattern p = SplitPattern::Ovilex) {
  const std::vector<Unit> units(s.begin(), s.end());
  Chunks out;
  split_code_points(p, std::span<const Unit>(units), [&](std::size_t begin, std::size_t end) {
    out.push_back(s.substr(begin, end - begin));
  });
  return out;
}

std::string show(std::u32string_view s) {
  std::ostringstream os;
  os << std::hex << std::uppercase;
  for (const char32_t c : s) {
    if (c >= 0x21 && c < 0x7F) {
      os << static_cast<char>(c);
    } else {
      os << "<" << static_cast<std::uint32_t>(c) << ">";
    }
  }
  return os.str();
}

std::string show(const Chunks& chunks) {
  std::string out = "[";
  for (const auto& c : chunks) out += (out.size() > 1 ? "|" : "") + show(c);
  return out + "]";
}

// The first chunk where two splits part, with a little context, or "" when
// they agree.
std::string first_difference(const Chunks& got, const Chunks& want) {
  if (got == want) return "";
  std::size_t k = 0;
  while (k < got.size() && k < want.size() && got[k] == want[k]) ++k;
  const auto window = [k](const Chunks& c) {
    const std::size_t from = k >= 2 ? k - 2 : 0;
    return show(Chunks(c.begin() + static_cast<std::ptrdiff_t>(std::min(from, c.size())),
                       c.begin() + static_cast<std::ptrdiff_t>(std::min(k + 3, c.size()))));
  };
  return "chunk " + std::to_string(k) + ": got " + window(got) + ", want " + window(want);
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Every splitter that can hold |s| against the reference; UTF-8 only when
// |s| has no surrogates.
void expect_all_match_reference(const std::u32string& s, SplitPattern p = SplitPattern::Ovilex) {
  const Chunks want = reference_split(s, p);
  ASSERT_EQ(first_difference(code_point_chunks<char32_t>(s, p), want), "") << show(s);
  ASSERT_EQ(first_difference(code_point_chunks<std::uint32_t>(s, p), want), "") << show(s);
  const char32_t top = s.empty() ? 0 : *std::max_element(s.begin(), s.end());
  if (top <= 0xFFFF) {
    ASSERT_EQ(first_difference(code_point_chunks<std::uint16_t>(s, p), want), "") << show(s);
  }
  if (top <= 0xFF) {
    ASSERT_EQ(first_difference(code_point_chunks<std::uint8_t>(s, p), want), "") << show(s);
  }
  if (std::none_of(s.begin(), s.end(), is_surrogate)) {
    Chunks got;
    for (const std::string& c : utf8_chunks(to_utf8(s), p)) got.push_back(from_utf8(c));
    ASSERT_EQ(first_difference(got, want), "") << "UTF-8 of " << show(s);
  }
}

// --- Golden cases, worked out by hand from the pattern --------------------------

struct SplitCase {
  const char* name;
  std::u32string text;
  Chunks chunks;
  SplitPattern pattern = SplitPattern::Ovilex;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

constexpr SplitPattern GPT2 = SplitPattern::Gpt2;
constexpr SplitPattern CL100K = SplitPattern::Cl100k;
constexpr SplitPattern LLAMA3 = SplitPattern::Llama3;
constexpr SplitPattern QWEN2 = SplitPattern::Qwen2;
const auto BOTH_PATTERNS = ::testing::Values(SplitPattern::Ovilex, SplitPattern::Gpt2);
constexpr SplitPattern O200K = SplitPattern::O200k;
const auto ALL_PATTERNS =
    ::testing::Values(SplitPattern::Ovilex, SplitPattern::Gpt2, CL100K, LLAMA3, QWEN2, O200K);

// A test name: the parameter's own, then the pattern's.
template <class Info>
std::string name_with_pattern(const Info& info, const std::string& first) {
  std::string name(split_pattern_name(std::get<1>(info.param)));
  name[0] = static_cast<char>(name[0] - 'a' + 'A');
  return first + name;
}

const std::vector<SplitCase>& split_cases() {
  static const std::vector<SplitCase> cases = {
      {"Empty", U"", {}},
      {"Docstring", U"It's  foo_bar 42", {U"It", U"'s", U" ", U" foo", U"_", U"bar", U" 42"}},
      {"EveryContraction", U"'s't're've'm'll'd", {U"'s", U"'t", U"'re", U"'ve", U"'m", U"'ll", U"'d"}},
      {"ContractionThenLetters", U"'sam", {U"'s", U"am"}},
      {"ContractionCaseMatters", U"'S", {U"'", U"S"}},
      {"BrokenContraction", U"'r!", {U"'", U"r", U"!"}},
      {"BrokenContractionAtEnd", U"'l", {U"'", U"l"}},
      {"ApostropheInsideSymbolRun", U"!'s", {U"!'", U"s"}},
      {"SpaceTakesApostrophe", U" 's", {U" '", U"s"}},
      {"SpaceLeadsDigits", U"a 12", {U"a", U" 12"}},
      {"TwoSpacesBeforeWord", U"a  b", {U"a", U" ", U" b"}},
      {"NewlineStandsAlone", U"a\nb", {U"a", U"\n", U"b"}},
      {"SpacesThenNewline", U"a  \nb", {U"a", U"  ", U"\n", U"b"}},
      {"TrailingSpacesWhole", U"a \n ", {U"a", U" \n "}},
      {"OnlySpaces", U"   ", {U"   "}},
      {"NoBreakSpaceLeadsNothing", U"\u00A0x", {U"\u00A0", U"x"}},
      {"SpaceAfterNoBreakSpace", U"\u00A0 x", {U"\u00A0", U" x"}},
      {"OtherScriptDigits", U"\u0660\u0661x", {U"\u0660\u0661", U"x"}},
      {"SuperscriptIsLetter", U"x\u00B2", {U"x\u00B2"}},
      {"CombiningMarkIsSymbol", U"e\u0301", {U"e", U"\u0301"}},
      {"UnderscoreIsSymbol", U"a_1", {U"a", U"_", U"1"}},
      {"LoneSurrogateIsSymbol", U"a\xD800!", {U"a", U"\xD800!"}},
      {"UnitSeparatorIsSpace", U"a\x1F" U"b", {U"a", U"\x1F", U"b"}},
      {"SeparatorsAreSpaces", U"a\x1F\x1F" U"b", {U"a", U"\x1F", U"\x1F", U"b"}},
      {"NumeralIsLetter", U"\u216B" U"1", {U"\u216B", U"1"}},
      {"Gpt2Docstring", U"It's  foo_bar 42", {U"It", U"'s", U" ", U" foo", U"_", U"bar", U" 42"},
       GPT2},
      {"Gpt2Contractions", U"it's'LL're", {U"it", U"'s", U"'", U"LL", U"'re"}, GPT2},
      {"Gpt2SuperscriptIsNumber", U"x\u00B2", {U"x", U"\u00B2"}, GPT2},
      {"Gpt2NumeralJoinsDigits", U"\u216B" U"1", {U"\u216B" U"1"}, GPT2},
      {"Gpt2SeparatorsAreSymbols", U"a\x1F\x1F" U"b", {U"a", U"\x1F\x1F", U"b"}, GPT2},
      {"Gpt2SpaceLeadsSeparator", U"a \x1C", {U"a", U" \x1C"}, GPT2},
      {"Gpt2NextLineIsSpace", U"a\u0085\u0085" U"b", {U"a", U"\u0085", U"\u0085", U"b"},
       GPT2},
      {"Gpt2TrailingSpacesWhole", U"a \n\u3000", {U"a", U" \n\u3000"}, GPT2},
      {"Gpt2CombiningMarkIsSymbol", U"e\u0301", {U"e", U"\u0301"}, GPT2},
      {"Gpt2LoneSurrogateIsSymbol", U"a\xD800!", {U"a", U"\xD800!"}, GPT2},
  };
  return cases;
}

class SplitGolden : public ::testing::TestWithParam<SplitCase> {};

// The reference first, since the sweeps below trust it.
TEST_P(SplitGolden, Chunks) {
  EXPECT_EQ(reference_split(GetParam().text, GetParam().pattern), GetParam().chunks);
  expect_all_match_reference(GetParam().text, GetParam().pattern);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitGolden, ::testing::ValuesIn(split_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The cl100k family, worked out by hand from its patterns; tests/python holds
// it to regex and tiktoken on every code point.
const std::vector<SplitCase>& family_cases() {
  static const std::vector<SplitCase> cases = {
      {"Contractions", U"it's'LL'Re'ſx", {U"it", U"'s", U"'LL", U"'Re", U"'ſ", U"x"}, CL100K},
      {"ApostropheLeadsLetters", U"'hello 'r", {U"'hello", U" '", U"r"}, CL100K},
      {"SymbolLeadsLetters", U"!abc !!abc", {U"!abc", U" !!", U"abc"}, CL100K},
      {"TabLeadsLetters", U"\t\tx\u00A0y", {U"\t", U"\tx", U"\u00A0y"}, CL100K},
      {"NewlineLeadsNothing", U"\nx\r\ny", {U"\n", U"x", U"\r\n", U"y"}, CL100K},
      {"DigitsInThrees", U"1234567 12", {U"123", U"456", U"7", U" ", U"12"}, CL100K},
      {"NumbersMix", U"\u00B2\u2167" U"1x", {U"\u00B2\u2167" U"1", U"x"}, CL100K},
      {"SymbolsTakeBreaks", U"a.\r\n\n b", {U"a", U".\r\n\n", U" b"}, CL100K},
      {"SpaceLeadsSymbols", U"x  !!\n", {U"x", U" ", U" !!\n"}, CL100K},
      {"SpacesUpToLastBreak", U"x \n \n  y", {U"x", U" \n \n", U" ", U" y"}, CL100K},
      {"FinalSpacesWhole", U"x\n  ", {U"x", U"\n  "}, CL100K},
      {"FinalSpacesAtBreak", U"x\n  ", {U"x", U"\n", U"  "}, LLAMA3},
      {"SpaceBeforeDigit", U"a 1", {U"a", U" ", U"1"}, LLAMA3},
      {"DigitsOneByOne", U"x1234", {U"x", U"1", U"2", U"3", U"4"}, QWEN2},
      {"QwenFinalSpacesAtBreak", U"x \r\n\t", {U"x", U" \r\n", U"\t"}, QWEN2},
      {"O200kUpperAfterLowerStartsWord", U"HelloWORLDWide x", {U"Hello", U"WORLDWide", U" x"}, O200K},
      {"O200kContractionEndsWord", U"He'S'd", {U"He'S", U"'d"}, O200K},
      {"O200kMarkLeadsOrEnds", U"\u0301H !\u0301", {U"\u0301", U"H", U" !\u0301"}, O200K},
      {"O200kSlashAfterSymbols", U"a!\n/b", {U"a", U"!\n/", U"b"}, O200K},
  };
  return cases;
}

class FamilyGolden : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FamilyGolden, Chunks) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(first_difference(code_point_chunks<char32_t>(c.text, c.pattern), c.chunks), "");
  EXPECT_EQ(first_difference(code_point_chunks<std::uint16_t>(c.text, c.pattern), c.chunks), "");
  Chunks got;
  for (const std::string& chunk : utf8_chunks(to_utf8(c.text), c.pattern)) {
    got.push_back(from_utf8(chunk));
  }
  EXPECT_EQ(first_difference(got, c.chunks), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, FamilyGolden, ::testing::ValuesIn(family_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Classes that hold in every Unicode version.
struct ClassCase {
  char32_t cp;
  CharClass cls;
  SplitPattern pattern = SplitPattern::Ovilex;
};

class CharClassKnown : public ::testing::TestWithParam<ClassCase> {};

TEST_P(CharClassKnown, Lookup) {
  const auto [cp, cls, pattern] = GetParam();
  const bool gpt2 = pattern == GPT2;
  EXPECT_EQ(char_class(pattern, cp), cls) << show(std::u32string(1, cp));
  EXPECT_EQ(gpt2 ? char_class<GPT2>(cp) : char_class(cp), cls);
  if (cp < 256) {
    const auto c = static_cast<std::uint8_t>(cp);
    EXPECT_EQ(gpt2 ? latin1_class<GPT2>(c) : latin1_class(c), cls);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CharClassKnown,
    ::testing::Values(ClassCase{U'a', CharClass::Letter}, ClassCase{U'Z', CharClass::Letter},
                      ClassCase{U'_', CharClass::Symbol}, ClassCase{U'\'', CharClass::Symbol},
                      ClassCase{U'0', CharClass::Digit}, ClassCase{U' ', CharClass::Space},
                      ClassCase{0x1C, CharClass::Space}, ClassCase{0x85, CharClass::Space},
                      ClassCase{0xA0, CharClass::Space}, ClassCase{0xAA, CharClass::Letter},
                      ClassCase{0xB2, CharClass::Letter}, ClassCase{0xFF, CharClass::Letter},
                      ClassCase{0x0301, CharClass::Symbol}, ClassCase{0x0660, CharClass::Digit},
                      ClassCase{0x2028, CharClass::Space}, ClassCase{0x3000, CharClass::Space},
                      ClassCase{0x4E2D, CharClass::Letter}, ClassCase{0xD800, CharClass::Symbol},
                      ClassCase{0xDFFF, CharClass::Symbol}, ClassCase{0x1D7CE, CharClass::Digit},
                      ClassCase{0x1F600, CharClass::Symbol}, ClassCase{0x10FFFF, CharClass::Symbol}));

// GPT-2's: \p{L}, \p{N} and White_Space.
constexpr ClassCase gpt2_class(char32_t cp, CharClass cls) { return {cp, cls, GPT2}; }

INSTANTIATE_TEST_SUITE_P(
    Gpt2Cases, CharClassKnown,
    ::testing::Values(gpt2_class(U'_', CharClass::Symbol), gpt2_class(0x1C, CharClass::Symbol),
                      gpt2_class(0x1F, CharClass::Symbol), gpt2_class(0x85, CharClass::Space),
                      gpt2_class(0xB2, CharClass::Digit), gpt2_class(0x0301, CharClass::Symbol),
                      gpt2_class(0x180E, CharClass::Symbol), gpt2_class(0x2167, CharClass::Digit),
                      gpt2_class(0x3000, CharClass::Space), gpt2_class(0xD800, CharClass::Symbol),
                      gpt2_class(0x10FFFF, CharClass::Symbol)));

// --- Every code point, in a few surroundings ----------------------------------------

struct Context {
  const char* name;
  std::u32string before;
  std::u32string after;
};

void PrintTo(const Context& c, std::ostream* os) { *os << c.name; }

class EveryCodePoint : public ::testing::TestWithParam<std::tuple<Context, SplitPattern>> {};

// Each block of code points is laid out as before+c+after for every c in it,
// so neighbouring copies meet too.
TEST_P(EveryCodePoint, MatchesReference) {
  const auto& [context, pattern] = GetParam();
  const auto lay_out = [&](char32_t first, char32_t last) {
    std::u32string text;
    for (char32_t c = first; c < last; ++c) text += context.before + c + context.after;
    return text;
  };
  expect_all_match_reference(lay_out(0, 0x100), pattern);  // as Latin-1 units too
  constexpr char32_t STEP = 0x1000;
  for (char32_t first = 0; first <= 0x10FFFF && !HasFatalFailure(); first += STEP) {
    expect_all_match_reference(lay_out(first, first + STEP), pattern);
  }
}

INSTANTIATE_TEST_SUITE_P(Contexts, EveryCodePoint,
                         ::testing::Combine(::testing::Values(Context{"Adjacent", U"", U""},
                                           Context{"AfterSpace", U" ", U""},
                                           Context{"BeforeSpace", U"", U" "},
                                           Context{"BetweenLetters", U"a", U"a"},
                                           Context{"AfterApostrophe", U"'", U"e"},
                                           Context{"BetweenDigits", U"1", U"1"},
                                           Context{"AfterTwoSpaces", U"  ", U"!"},
                                           Context{"AroundNewlines", U"\n", U"\n"},
                                           Context{"AfterUnderscore", U"_", U""}),
                                            BOTH_PATTERNS),
                         [](const auto& info) {
                           return name_with_pattern(info, std::get<0>(info.param).name);
                         });

// --- Random mixes -------------------------------------------------------------------

// Characters where the pattern's cases meet, drawn far more often than the
// rest of Unicode.
const std::vector<char32_t>& tricky() {
  static const std::vector<char32_t> chars = {
      U' ',    U' ',    U' ',    U'\n',   U'\t',   U'\r',   0x0B,    0x1C,    0x85,   0xA0,
      0x2028,  0x3000,  U'\'',   U'\'',   U's',    U't',    U'r',    U'e',    U'v',   U'l',
      U'm',    U'd',    U'a',    U'Z',    U'0',    U'9',    0x0660,  0x0966,  0xFF10, 0x1D7CE,
      0xB2,    0x2167,  U'_',    U'!',    U'.',    0x0301,  0x200D,  0xFE0F,  0x1F600, 0xE9,
      0x4E2D,  0xD800,  0xDFFF,  0x10FFFF, 0x1F,   0xBD,    0x3007,  0x180E, 0x17F,  U'S',
      U'L',    U'E'};
  return chars;
}

// Every ASCII character of each class, and a few others of it: long runs of
// one class take the UTF-8 splitter's eight-byte steps at every offset, and
// across changes between ASCII and other characters.
const std::vector<std::u32string>& class_alphabets() {
  static const std::vector<std::u32string> sets = {
      U"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\u00E9\u4E2D\U00020000",
      U"0123456789\u0660\U0001D7CE",
      U"!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~\x7F\x01\u0301\U0001F600",
      U" \t\n\x0B\x0C\r\x1C\x1D\x1E\x1F\u0085\u3000"};
  return sets;
}

std::u32string random_text(std::mt19937& rng, std::size_t length, bool surrogates) {
  std::uniform_int_distribution<std::size_t> pick(0, tricky().size() - 1);
  std::uniform_int_distribution<char32_t> any(0, 0x10FFFF);
  std::u32string s;
  while (s.size() < length) {
    if (rng() % 8 == 0) {
      const std::u32string& set = class_alphabets()[rng() % class_alphabets().size()];
      for (std::size_t k = rng() % 24; k > 0; --k) s.push_back(set[rng() % set.size()]);
      continue;
    }
    const char32_t c = rng() % 8 == 0 ? any(rng) : tricky()[pick(rng)];
    if (surrogates || !is_surrogate(c)) s.push_back(c);
  }
  return s;
}

class SplitRandom : public ::testing::TestWithParam<std::tuple<unsigned, SplitPattern>> {};

TEST_P(SplitRandom, MatchesReference) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const std::u32string s = random_text(rng, rng() % 40, round % 2 == 0);
    expect_all_match_reference(s, pattern);
    if (HasFatalFailure()) return;
  }
}

class SplitUnits : public ::testing::TestWithParam<std::tuple<unsigned, SplitPattern>> {};

// Both entry points cut at the same code points.
TEST_P(SplitUnits, Utf8AgreesWithCodePoints) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  for (int round = 0; round < 500; ++round) {
    const std::u32string s = random_text(rng, 200, false);
    Chunks from_bytes;
    for (const std::string& c : utf8_chunks(to_utf8(s), pattern)) {
      from_bytes.push_back(from_utf8(c));
    }
    const Chunks want = code_point_chunks<char32_t>(s, pattern);
    ASSERT_EQ(first_difference(from_bytes, want), "") << show(s);
  }
}

// On bytes that are not UTF-8 the chunks are unspecified, but they still
// cover the input exactly, each non-empty.
TEST_P(SplitUnits, InvalidUtf8StillCovered) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(rng() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % 4 == 0 ? ' ' : rng());
    std::string joined;
    split_utf8(pattern, bytes, [&](std::string_view chunk) {
      EXPECT_FALSE(chunk.empty());
      joined += chunk;
    });
    ASSERT_EQ(joined, bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SplitRandom,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u), BOTH_PATTERNS),
                         [](const auto& info) {
                           return name_with_pattern(info, std::to_string(std::get<0>(info.param)));
                         });

INSTANTIATE_TEST_SUITE_P(Seeds, SplitUnits,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u), ALL_PATTERNS),
                         [](const auto& info) {
                           return name_with_pattern(info, std::to_string(std::get<0>(info.param)));
                         });

// --- Safe cuts ------------------------------------------------------------------------

struct CutCase {
  const char* name;
  std::u32string text;
  std::size_t floor;
  std::size_t cut;  // in bytes
  SplitPattern pattern = SplitPattern::Ovilex;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class LastSafeCutGolden : public ::testing::TestWithParam<CutCase> {};

TEST_P(LastSafeCutGolden, Position) {
  const std::string text = to_utf8(GetParam().text);
  EXPECT_EQ(last_safe_cut(GetParam().pattern, text, GetParam().floor), GetParam().cut);
  if (GetParam().pattern == SplitPattern::Ovilex) {
    EXPECT_EQ(last_safe_cut(text, GetParam().floor), GetParam().cut);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LastSafeCutGolden,
    ::testing::Values(CutCase{"Empty", U"", 0, 0}, CutCase{"OneLetter", U"a", 0, 0},
                      CutCase{"OneRun", U"abcdef", 0, 0},
                      CutCase{"BeforeSpaceNotAfter", U"ab cd", 0, 2},
                      CutCase{"AfterLoneNewline", U"x\ny", 0, 2},
                      CutCase{"NotInsideNewlineRun", U"x\n\ny", 0, 1},
                      CutCase{"NewlineAtStart", U"\ny", 0, 1},
                      CutCase{"NoBreakSpaceAlone", U"ab\u00A0c", 0, 4},
                      CutCase{"ClassChange", U"ab12", 0, 2},
                      CutCase{"NotBeforeContractionLetter", U"it's", 0, 2},
                      CutCase{"NotBeforeContractionR", U"x're", 0, 1},
                      CutCase{"ApostropheBeforeOtherLetter", U"'x", 0, 1},
                      CutCase{"ApostropheBeforeDigit", U"a'5", 0, 2},
                      CutCase{"WideCharacters", U"\u4E2D\u0661", 0, 3},
                      CutCase{"FloorAtCut", U"ab12", 2, 0},
                      CutCase{"FloorBelowCut", U"ab12", 1, 2},
                      CutCase{"OnlySpaces", U"  \n ", 0, 0},
                      CutCase{"SuperscriptInLetterRun", U"x\u00B2", 0, 0},
                      CutCase{"Gpt2SuperscriptAfterLetter", U"x\u00B2", 0, 1, GPT2},
                      CutCase{"NumeralBeforeDigit", U"\u216B" U"1", 0, 3},
                      CutCase{"Gpt2NumeralInNumberRun", U"\u216B" U"1", 0, 0, GPT2},
                      CutCase{"SeparatorRun", U"a\x1C\x1C" U"b", 0, 1},
                      CutCase{"Gpt2SeparatorsAreSymbols", U"a\x1C\x1C" U"b", 0, 3, GPT2},
                      CutCase{"Gpt2NotBeforeContractionLetter", U"it's", 0, 2, GPT2},
                      CutCase{"Cl100kNotBeforeLetterAfterSymbol", U"ab!cd", 0, 2, CL100K},
                      CutCase{"Cl100kNeverBetweenDigits", U"a1234", 0, 1, CL100K},
                      CutCase{"Qwen2BetweenDigits", U"a1234", 0, 4, QWEN2},
                      CutCase{"Cl100kNotBeforeBreakAfterSymbol", U"a!\n", 0, 1, CL100K},
                      CutCase{"Cl100kAfterBreakRun", U"a \n\n5", 0, 4, CL100K},
                      CutCase{"Cl100kNotAfterSpaceRun", U"a  5", 0, 1, LLAMA3},
                      CutCase{"Cl100kNotAfterTabBeforeLetter", U"1\tb", 0, 1, CL100K},
                      CutCase{"Cl100kAfterNewlineBeforeLetter", U"1\nb", 0, 2, CL100K},
                      CutCase{"Cl100kNotAfterSpaceBeforeSymbol", U"1 !", 0, 1, CL100K},
                      CutCase{"Cl100kAfterTabBeforeSymbol", U"1\t!", 0, 2, CL100K},
                      CutCase{"O200kLowerBeforeUpper", U"aBcD", 0, 3, O200K},
                      CutCase{"O200kNotBeforeApostrophe", U"a'b", 0, 0, O200K},
                      CutCase{"O200kNotAfterBreakBeforeSlash", U"!\n/", 0, 0, O200K}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Continuations that would change the chunks near the end if a cut were
// unsafe: letters that complete a contraction, spaces, other classes.
const std::vector<std::string>& continuations() {
  static const std::vector<std::string> tails = {
      "", "s", "e", "l", "le", "'", " ", "  ", "\n", "\nx", " a", "1", "!", "a", "\xC2\xA0"};
  return tails;
}

class LastSafeCutRandom : public ::testing::TestWithParam<std::tuple<unsigned, SplitPattern>> {};

// Walks every cut from the end (a cut of text[:p] is a cut of text, whatever
// follows p), checking each with fixed and random continuations.
TEST_P(LastSafeCutRandom, CutsAreSafe) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  const auto chunks = [pattern](const std::string& text) { return utf8_chunks(text, pattern); };
  std::size_t cuts = 0;
  for (int round = 0; round < 300; ++round) {
    const std::string text = to_utf8(random_text(rng, rng() % 30, false));
    std::vector<std::string> tails = continuations();
    for (int k = 0; k < 4; ++k) tails.push_back(to_utf8(random_text(rng, rng() % 4, false)));
    for (std::size_t p = last_safe_cut(pattern, text); p != 0;
         p = last_safe_cut(pattern, text.substr(0, p))) {
      ASSERT_LT(p, text.size());
      ++cuts;
      for (const std::string& tail : tails) {
        ASSERT_EQ(chunks(text + tail),
                  concat(chunks(text.substr(0, p)), chunks(text.substr(p) + tail)))
            << "cut at " << p << " of " << show(from_utf8(text)) << " + " << show(from_utf8(tail));
      }
    }
  }
  EXPECT_GT(cuts, 1000u);  // the walk did check cuts
}

// The floor only hides positions: the greatest cut above it, or none.
TEST_P(LastSafeCutRandom, FloorHidesLowerCuts) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    const std::string text = to_utf8(random_text(rng, rng() % 30, false));
    const std::size_t best = last_safe_cut(pattern, text);
    for (std::size_t floor = 0; floor <= text.size() + 1; ++floor) {
      ASSERT_EQ(last_safe_cut(pattern, text, floor), best > floor ? best : 0) << "floor " << floor;
    }
  }
}

// Nothing before floor - 8 is read: garbage there changes nothing.
TEST_P(LastSafeCutRandom, LooksOnlyNearTheFloor) {
  const auto [seed, pattern] = GetParam();
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    const std::string text = to_utf8(random_text(rng, 10 + rng() % 30, false));
    for (std::size_t floor = 9; floor < text.size(); ++floor) {
      std::string damaged = text;
      std::fill(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(floor - 8), '\xFF');
      ASSERT_EQ(last_safe_cut(pattern, damaged, floor), last_safe_cut(pattern, text, floor))
          << "floor " << floor;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LastSafeCutRandom,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u), ALL_PATTERNS),
                         [](const auto& info) {
                           return name_with_pattern(info, std::to_string(std::get<0>(info.param)));
                         });

}  // namespace
}  // namespace ovilex::text
