#include "tokenizer/decode.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace ovilex {

// Found by argument-dependent lookup, so failures show the fault readably.
void PrintTo(const Utf8Error& e, std::ostream* os) {
  *os << "{valid_up_to " << e.valid_up_to << ", error_len ";
  if (e.error_len) {
    *os << *e.error_len;
  } else {
    *os << "none (incomplete)";
  }
  *os << "}";
}

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string hex(std::string_view s) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(DIGITS[b >> 4]);
    out.push_back(DIGITS[b & 15]);
  }
  return out;
}

// --- An independent model of strict UTF-8 -----------------------------------
//
// Works from Unicode scalar values instead of byte tables: a byte string is a
// prefix of some well-formed sequence when the code points its bits allow
// include a scalar value that needs exactly the width its lead byte announces.

// The width announced by the count of leading one bits; 0 for a continuation
// byte or a byte with five or more leading ones.
std::size_t announced_width(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

bool prefix_of_well_formed(std::span<const std::uint8_t> p) {
  const std::size_t width = announced_width(p[0]);
  if (width == 0 || p.size() > width) return false;
  std::uint32_t lo = width == 1 ? p[0] : p[0] & (0xFFu >> (width + 1));
  for (std::size_t j = 1; j < p.size(); ++j) {
    if ((p[j] & 0xC0) != 0x80) return false;
    lo = (lo << 6) | (p[j] & 0x3Fu);
  }
  const std::uint32_t missing_bits = 6 * static_cast<std::uint32_t>(width - p.size());
  lo <<= missing_bits;
  const std::uint32_t hi = lo + ((1u << missing_bits) - 1);
  // The scalars that need exactly |width| bytes: shorter forms are overlong.
  static constexpr std::uint32_t MIN[] = {0, 0x80, 0x800, 0x10000};
  static constexpr std::uint32_t MAX[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  const std::uint32_t a = std::max(lo, MIN[width - 1]);
  const std::uint32_t b = std::min(hi, MAX[width - 1]);
  if (a > b) return false;
  // Some value in [a, b] must lie outside the surrogates D800..DFFF.
  return a < 0xD800 || b > 0xDFFF;
}

// Whole-sequence scan: at each position, extend the candidate one byte at a
// time while it stays a prefix of a well-formed sequence.
std::optional<Utf8Error> model_validate(std::span<const std::uint8_t> s) {
  std::size_t i = 0;
  while (i < s.size()) {
    for (std::size_t k = 1;; ++k) {
      if (!prefix_of_well_formed(s.subspan(i, k))) {
        return Utf8Error{i, std::max<std::size_t>(k - 1, 1)};
      }
      if (k == announced_width(s[i])) {
        i += k;
        break;
      }
      if (i + k == s.size()) return Utf8Error{i, std::nullopt};
    }
  }
  return std::nullopt;
}

std::string encode_scalar(std::uint32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (c >> 6)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (c >> 12)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (c >> 18)));
    s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return s;
}

// --- Golden cases -----------------------------------------------------------

struct Utf8Case {
  const char* name;
  std::string bytes;
  std::optional<Utf8Error> expected;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name << " [" << hex(c.bytes) << "]"; }

Utf8Error invalid(std::size_t at, std::size_t len) { return {at, len}; }
Utf8Error incomplete(std::size_t at) { return {at, std::nullopt}; }

const std::vector<Utf8Case>& utf8_cases() {
  static const std::vector<Utf8Case> cases = {
      {"Empty", "", std::nullopt},
      {"Ascii", "hello", std::nullopt},
      {"NulBytes", std::string(9, '\0'), std::nullopt},
      {"AllWidths", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", std::nullopt},
      {"LowestTwoByte", "\xc2\x80", std::nullopt},
      {"LowestThreeByte", "\xe0\xa0\x80", std::nullopt},
      {"LastBeforeSurrogates", "\xed\x9f\xbf", std::nullopt},
      {"FirstAfterSurrogates", "\xee\x80\x80", std::nullopt},
      {"HighestThreeByte", "\xef\xbf\xbf", std::nullopt},
      {"LowestFourByte", "\xf0\x90\x80\x80", std::nullopt},
      {"HighestScalar", "\xf4\x8f\xbf\xbf", std::nullopt},
      {"LoneFF", "\xff", invalid(0, 1)},
      {"LoneContinuation", "\x80", invalid(0, 1)},
      {"TruncatedTwoByte", "a\xc3", incomplete(1)},
      {"TruncatedThreeByteAfterOne", "\xe2", incomplete(0)},
      {"TruncatedThreeByteAfterTwo", "\xe2\x82", incomplete(0)},
      {"TruncatedFourByteAfterThree", "\xf0\x90\x80", incomplete(0)},
      {"OverlongTwoByteC0", "\xc0\xaf", invalid(0, 1)},
      {"OverlongTwoByteC1", "\xc1\xbf", invalid(0, 1)},
      {"OverlongThreeByte", "\xe0\x80", invalid(0, 1)},
      {"OverlongThreeByteHigh", "\xe0\x9f\xbf", invalid(0, 1)},
      {"OverlongFourByte", "\xf0\x8f\xbf\xbf", invalid(0, 1)},
      {"Surrogate", "\xed\xa0\x80", invalid(0, 1)},
      {"LastSurrogate", "\xed\xbf\xbf", invalid(0, 1)},
      {"AboveMaximum", "\xf4\x90\x80\x80", invalid(0, 1)},
      {"LeadF5", "\xf5\x80\x80\x80", invalid(0, 1)},
      {"LeadF8", "\xf8\x88\x80\x80\x80", invalid(0, 1)},
      {"FourByteBrokenAtLast", "\xf0\x90\x80\x41", invalid(0, 3)},
      {"ThreeByteBrokenAtLast", "\xe2\x82\x41", invalid(0, 2)},
      {"TwoByteBrokenAtLast", "\xc3\x41", invalid(0, 1)},
      {"NewLeadInsideSequence", "\xe2\xc3\xa9", invalid(0, 1)},
      {"FaultAfterCharacters", "\xc3\xa9\xff", invalid(2, 1)},
      {"FaultAfterAsciiBlock", "0123456789\xff", invalid(10, 1)},
      {"IncompleteAtBlockEnd", "0123456\xc3", incomplete(7)},
      {"IncompleteAfterBlock", "01234567\xc3", incomplete(8)},
      {"CharacterAcrossBlockEnd", "0123456\xc3\xa9" "89abcdef", std::nullopt},
      {"FaultAfterTwoBlocks", "0123456789abcdef\xed\xa0\x80", invalid(16, 1)},
      {"FaultInsideSecondBlock", "0123456789ab\x80" "defghij", invalid(12, 1)},
  };
  return cases;
}

class Utf8Golden : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Golden, ValidateUtf8) {
  EXPECT_EQ(validate_utf8(bytes_of(GetParam().bytes)), GetParam().expected);
}

TEST_P(Utf8Golden, Model) {
  EXPECT_EQ(model_validate(bytes_of(GetParam().bytes)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8Golden, ::testing::ValuesIn(utf8_cases()),
                         [](const ::testing::TestParamInfo<Utf8Case>& info) {
                           return std::string(info.param.name);
                         });

// --- Exhaustive and randomized comparison with the model ----------------------

void expect_same_as_model(std::string_view s) {
  ASSERT_EQ(validate_utf8(bytes_of(s)), model_validate(bytes_of(s))) << "bytes [" << hex(s) << "]";
}

TEST(Utf8Exhaustive, AllOneAndTwoByteStrings) {
  for (int a = 0; a < 256; ++a) {
    expect_same_as_model(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      const char s[] = {static_cast<char>(a), static_cast<char>(b)};
      expect_same_as_model(std::string_view(s, 2));
    }
  }
}

// Boundaries of every lead and continuation range.
const std::vector<std::uint8_t>& interesting_bytes() {
  static const std::vector<std::uint8_t> bytes = {
      0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
      0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  return bytes;
}

TEST(Utf8Exhaustive, ThreeAndFourByteStringsOverBoundaryBytes) {
  const auto& set = interesting_bytes();
  std::string s(4, '\0');
  for (const std::uint8_t a : set) {
    s[0] = static_cast<char>(a);
    for (const std::uint8_t b : set) {
      s[1] = static_cast<char>(b);
      for (const std::uint8_t c : set) {
        s[2] = static_cast<char>(c);
        expect_same_as_model(std::string_view(s).substr(0, 3));
        for (const std::uint8_t d : set) {
          s[3] = static_cast<char>(d);
          expect_same_as_model(s);
        }
      }
    }
  }
}

// The ASCII fast path reads eight bytes at a time: a fault or a character
// must be found wherever it falls relative to those blocks.
TEST(Utf8Exhaustive, ThreeByteStringsAtEveryBlockOffset) {
  const auto& set = interesting_bytes();
  for (std::size_t before = 0; before <= 17; ++before) {
    for (const std::size_t after : {std::size_t{0}, std::size_t{3}, std::size_t{9}}) {
      std::string s = std::string(before, 'x') + "???" + std::string(after, 'y');
      for (const std::uint8_t a : set) {
        s[before] = static_cast<char>(a);
        for (const std::uint8_t b : set) {
          s[before + 1] = static_cast<char>(b);
          for (const std::uint8_t c : set) {
            s[before + 2] = static_cast<char>(c);
            expect_same_as_model(s);
          }
        }
      }
    }
  }
}

// Valid text (ASCII runs of every length, and characters of every width,
// boundary scalars included), then at most one kind of damage.
std::string random_text(std::mt19937& rng, std::size_t pieces) {
  static constexpr std::uint32_t EDGES[] = {0x80,   0x7FF,  0x800,   0xD7FF,  0xE000,
                                            0xFFFF, 0x10000, 0xFFFFF, 0x10FFFF};
  std::string s;
  for (std::size_t p = 0; p < pieces; ++p) {
    switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
      case 0:
        s.append(std::uniform_int_distribution<std::size_t>(0, 20)(rng), 'a');
        break;
      case 1:
        s += encode_scalar(std::uniform_int_distribution<std::uint32_t>(0x80, 0x7FF)(rng));
        break;
      case 2: {
        std::uint32_t c = std::uniform_int_distribution<std::uint32_t>(0x800, 0xFFFF)(rng);
        if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;
        s += encode_scalar(c);
        break;
      }
      case 3:
        s += encode_scalar(std::uniform_int_distribution<std::uint32_t>(0x10000, 0x10FFFF)(rng));
        break;
      default:
        s += encode_scalar(EDGES[std::uniform_int_distribution<std::size_t>(0, 8)(rng)]);
        break;
    }
  }
  return s;
}

void damage(std::mt19937& rng, std::string& s) {
  auto position = [&](std::size_t end) {
    return std::uniform_int_distribution<std::size_t>(0, end)(rng);
  };
  auto any_byte = [&] {
    return static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
  };
  switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
    case 0:
      break;
    case 1:
      if (!s.empty()) s[position(s.size() - 1)] = any_byte();
      break;
    case 2:
      s.insert(s.begin() + static_cast<std::ptrdiff_t>(position(s.size())), any_byte());
      break;
    case 3:
      s.resize(position(s.size()));
      break;
    default: {
      // An encoded surrogate or a value above the maximum, made with the
      // plain bit layout.
      using Scalar = std::uniform_int_distribution<std::uint32_t>;
      const std::uint32_t c = std::uniform_int_distribution<int>(0, 1)(rng) == 0
                                  ? Scalar(0xD800, 0xDFFF)(rng)
                                  : Scalar(0x110000, 0x1FFFFF)(rng);
      s.insert(position(s.size()), encode_scalar(c));
      break;
    }
  }
}

class Utf8Random : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Utf8Random, ValidateMatchesModel) {
  const std::uint32_t first = GetParam() * 5000;
  for (std::uint32_t seed = first; seed < first + 5000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string s = random_text(rng, std::uniform_int_distribution<std::size_t>(0, 40)(rng));
    damage(rng, s);
    expect_same_as_model(s);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Utf8Random, ::testing::Range<std::uint32_t>(0, 4));

// --- describe ---------------------------------------------------------------

TEST(Describe, InvalidSequence) {
  EXPECT_EQ(describe(invalid(0, 1)), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(describe(invalid(5, 2)), "invalid utf-8 sequence of 2 bytes from index 5");
  EXPECT_EQ(describe(invalid(1234567, 3)), "invalid utf-8 sequence of 3 bytes from index 1234567");
}

TEST(Describe, IncompleteSequence) {
  EXPECT_EQ(describe(incomplete(0)), "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(describe(incomplete(7)), "incomplete utf-8 byte sequence from index 7");
}

TEST(Describe, IndexIsPlainUnsignedDecimal) {
  EXPECT_EQ(describe(incomplete(SIZE_MAX)),
            "incomplete utf-8 byte sequence from index " + std::to_string(SIZE_MAX));
  EXPECT_EQ(describe(incomplete(4294967296u)),
            "incomplete utf-8 byte sequence from index 4294967296");
}

// --- decode_string ----------------------------------------------------------

VocabList vocab(std::initializer_list<std::pair<TokenId, std::string_view>> entries) {
  VocabList v;
  for (const auto& [id, bytes] : entries) v.set(id, bytes_of(bytes));
  return v;
}

struct DecodeCase {
  const char* name;
  std::vector<TokenId> ids;
  std::vector<std::pair<TokenId, std::string>> entries;
  // The text, or the error kind and message.
  std::optional<std::string> text;
  ErrorKind kind = ErrorKind::InvalidUtf8;
  std::string message;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

DecodeCase ok(const char* name, std::vector<TokenId> ids,
              std::vector<std::pair<TokenId, std::string>> entries, std::string text) {
  return {name, std::move(ids), std::move(entries), std::move(text), ErrorKind::InvalidUtf8, ""};
}

DecodeCase fails(const char* name, std::vector<TokenId> ids,
                 std::vector<std::pair<TokenId, std::string>> entries, ErrorKind kind,
                 std::string message) {
  return {name, std::move(ids), std::move(entries), std::nullopt, kind, std::move(message)};
}

constexpr auto UNKNOWN = ErrorKind::UnknownTokenId;
constexpr auto INVALID = ErrorKind::InvalidUtf8;

const std::vector<DecodeCase>& decode_cases() {
  static const std::vector<DecodeCase> cases = {
      ok("NoIdsEmptyVocab", {}, {}, ""),
      ok("NoIds", {}, {{104, "h"}}, ""),
      ok("Ascii", {104, 105}, {{104, "h"}, {105, "i"}}, "hi"),
      ok("HalvesOfACharacter", {1, 2}, {{1, "\xc3"}, {2, "\xa9"}}, "é"),
      ok("QuartersOfACharacter", {4, 3, 2, 1}, {{1, "\x80"}, {2, "\x98"}, {3, "\x9f"}, {4, "\xf0"}},
         "\xf0\x9f\x98\x80"),
      ok("RepeatedId", {7, 7, 7}, {{7, "ab"}}, "ababab"),
      ok("EmptyBytesContributeNothing", {1, 0, 1, 0}, {{0, ""}, {1, "ab"}}, "abab"),
      ok("EmptyBytesInsideACharacter", {1, 0, 2}, {{0, ""}, {1, "\xc3"}, {2, "\xa9"}}, "é"),
      ok("OnlyEmptyBytes", {0, 0}, {{0, ""}}, ""),
      ok("NulBytesKept", {0, 0}, {{0, std::string(1, '\0')}}, std::string(2, '\0')),
      ok("HighIds", {65535, 256}, {{65535, "x"}, {256, "yz"}}, "xyz"),
      fails("UnknownIdEmptyVocab", {5}, {}, UNKNOWN, "unknown token id 5 in vocab_list"),
      fails("UnknownHighestId", {65535}, {{0, "a"}}, UNKNOWN,
            "unknown token id 65535 in vocab_list"),
      fails("UnknownIdZero", {0}, {{1, "a"}}, UNKNOWN, "unknown token id 0 in vocab_list"),
      fails("FirstUnknownInListOrder", {1, 9, 7}, {{1, "a"}}, UNKNOWN,
            "unknown token id 9 in vocab_list"),
      fails("FirstUnknownNotSmallest", {1, 7, 9}, {{1, "a"}}, UNKNOWN,
            "unknown token id 7 in vocab_list"),
      fails("UnknownIdBeforeUtf8Fault", {1, 9}, {{1, "\xff"}}, UNKNOWN,
            "unknown token id 9 in vocab_list"),
      fails("UnknownIdAfterIncompleteBytes", {1, 9}, {{1, "\xc3"}}, UNKNOWN,
            "unknown token id 9 in vocab_list"),
      fails("InvalidByte", {1}, {{1, "\xff"}}, INVALID,
            "decoded bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"),
      fails("IncompleteCharacter", {1}, {{1, "a\xc3"}}, INVALID,
            "decoded bytes are not valid UTF-8: incomplete utf-8 byte sequence from index 1"),
      fails("IndexCountsBytesNotIds", {1, 2, 3}, {{1, "ab"}, {2, "cd"}, {3, "e\xe2\x82\x41"}},
            INVALID,
            "decoded bytes are not valid UTF-8: invalid utf-8 sequence of 2 bytes from index 5"),
      fails("HalvesInWrongOrder", {2, 1}, {{1, "\xc3"}, {2, "\xa9"}}, INVALID,
            "decoded bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"),
      fails("SurrogateSplitOverTokens", {1, 2}, {{1, "\xed"}, {2, "\xa0\x80"}}, INVALID,
            "decoded bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"),
  };
  return cases;
}

class DecodeGolden : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeGolden, DecodeString) {
  const DecodeCase& c = GetParam();
  VocabList v;
  for (const auto& [id, bytes] : c.entries) v.set(id, bytes_of(bytes));
  Result<std::string> r = decode_string(c.ids, v);
  if (c.text) {
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value(), *c.text);
  } else {
    ASSERT_FALSE(r.ok()) << "decoded to [" << hex(r.value()) << "]";
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeGolden, ::testing::ValuesIn(decode_cases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(DecodeString, LaterSetOfAnIdWins) {
  VocabList v = vocab({{1, "old"}, {2, "-"}});
  v.set(1, bytes_of("new"));
  const std::vector<TokenId> ids = {1, 2, 1};
  auto r = decode_string(ids, v);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value(), "new-new");
}

// Random text cut into random tokens: only the concatenation is judged, and
// the fault is reported at its offset in the concatenation.
class DecodeRandom : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(DecodeRandom, SplitTextMatchesModel) {
  const std::uint32_t first = GetParam() * 1000;
  for (std::uint32_t seed = first; seed < first + 1000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string s = random_text(rng, std::uniform_int_distribution<std::size_t>(0, 30)(rng));
    damage(rng, s);
    // Cut into tokens of 0 to 4 bytes; a token's bytes may repeat an
    // earlier token's, so ids are reused for equal bytes.
    VocabList v;
    std::vector<std::string> known;
    std::vector<TokenId> ids;
    std::size_t at = 0;
    while (at < s.size()) {
      const std::size_t len = std::min(s.size() - at,
                                       std::uniform_int_distribution<std::size_t>(0, 4)(rng));
      const std::string piece = s.substr(at, len);
      at += len;
      const auto it = std::find(known.begin(), known.end(), piece);
      TokenId id;
      if (it != known.end()) {
        id = static_cast<TokenId>(1000 + (it - known.begin()));
      } else {
        id = static_cast<TokenId>(1000 + known.size());
        known.push_back(piece);
        v.set(id, bytes_of(piece));
      }
      ids.push_back(id);
    }
    auto r = decode_string(ids, v);
    const auto fault = model_validate(bytes_of(s));
    if (!fault) {
      ASSERT_TRUE(r.ok()) << "[" << hex(s) << "]: " << r.error().message;
      ASSERT_EQ(r.value(), s);
    } else {
      ASSERT_FALSE(r.ok()) << "[" << hex(s) << "]";
      EXPECT_EQ(r.error().kind, ErrorKind::InvalidUtf8);
      const std::string detail =
          fault->error_len ? "invalid utf-8 sequence of " + std::to_string(*fault->error_len) +
                                 " bytes from index " + std::to_string(fault->valid_up_to)
                           : "incomplete utf-8 byte sequence from index " +
                                 std::to_string(fault->valid_up_to);
      ASSERT_EQ(r.error().message, "decoded bytes are not valid UTF-8: " + detail)
          << "[" << hex(s) << "]";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DecodeRandom, ::testing::Range<std::uint32_t>(0, 3));

}  // namespace
}  // namespace ovilex
