// NFC where Python cannot look: the facts of the tables that the cuts of
// normalized text rest on, and files read in pieces that normalize apart.
// (The tests of tests/python/test_normalizer.py hold the normalizer itself
// to unicodedata.)
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "text/char_class.h"
#include "text/nfc.h"
#include "text/source.h"
#include "text/split.h"

namespace ovilex::text {
namespace {

namespace tables {
#include "nfc_tables.inc"
}  // namespace tables

constexpr SplitPattern PATTERNS[] = {SplitPattern::Ovilex, SplitPattern::Gpt2};

// Every composite has the class and letter kind of the code point it is
// made from first, under every pattern; nothing composes onto whitespace,
// "'" or "/". So a code point at a cut that composes with what follows it
// looks the same to the cut rules once it has.
TEST(NfcTables, CompositesLookToTheCutRulesAsWhatTheyAreMadeFrom) {
  std::vector<std::pair<char32_t, char32_t>> made;  // (composite, first)
  for (std::size_t i = 0; i < std::size(tables::NFC_COMPOSE_KEYS); ++i) {
    made.emplace_back(tables::NFC_COMPOSE_VALUES[i],
                      static_cast<char32_t>(tables::NFC_COMPOSE_KEYS[i] >> 21));
  }
  for (char32_t s = 0xAC00; s <= 0xD7A3; ++s) {
    // LV from L, LVT from LV.
    const char32_t k = s - 0xAC00;
    made.emplace_back(s, k % 28 == 0 ? U'\u1100' + k / 588 : s - k % 28);
  }
  ASSERT_GT(made.size(), 11'000u);
  for (const auto& [composite, first] : made) {
    const auto c = static_cast<std::uint32_t>(composite);
    for (const SplitPattern p : PATTERNS) {
      EXPECT_EQ(char_class(p, composite), char_class(p, first)) << std::hex << c;
      EXPECT_NE(char_class(p, first), CharClass::Space) << std::hex << c;
    }
    EXPECT_EQ(letter_kind(composite), letter_kind(first)) << std::hex << c;
    EXPECT_TRUE(first != U'\'' && first != U'/') << std::hex << c;
  }
}

// Text rich in what normalizing changes: marks out of order, letters they
// compose with, Hangul jamo, singletons, and starters that compose.
std::string marked_text(std::mt19937& rng, std::size_t parts) {
  static const std::vector<std::string> PIECES = {
      "e", "b", "\u0301", "\u0323", "\u0316", "\u0307", "\u017f", " ", "  ", "\n", "'s", "1",
      "!", "/", "\u1100", "\u1161", "\u11a8", "\uac00", "\u00c5", "\u212b", "\u0f73",
      "\u0b92", "\u0bd7", "\U00016d63", "\U00016d67", "\U00016d68", "word", "\u00e9", "\u2000"};
  std::string out;
  for (std::size_t i = 0; i < parts; ++i) out += PIECES[rng() % PIECES.size()];
  return out;
}

std::vector<std::string> chunks_of(std::string_view text) {
  std::vector<std::string> out;
  split_utf8(text, [&](std::string_view chunk) { out.emplace_back(chunk); });
  return out;
}

// The chunks of each piece of |path| normalized on its own, one after
// another; the number of pieces in |pieces|.
std::vector<std::string> chunks_by_piece(const std::string& path, std::size_t block,
                                         Normalizer normalizer, std::size_t& pieces) {
  std::vector<std::string> out;
  pieces = 0;
  std::string scratch;
  PieceCuts cuts;
  cuts.normalizer = normalizer;
  const auto failure = read_pieces(
      path, block, cuts,
      [&](std::string_view piece) {
        ++pieces;
        for (std::string& c : chunks_of(nfc(piece, scratch))) out.push_back(std::move(c));
      });
  EXPECT_FALSE(failure);
  return out;
}

TEST(NfcPieces, FilesCutForNormalizingSplitAsTheWholeNormalized) {
  ScratchDir dir;
  std::mt19937 rng(11);
  for (int round = 0; round < 4; ++round) {
    const std::string text = marked_text(rng, 20'000);
    const std::string path = dir.file("t" + std::to_string(round) + ".txt", text);
    std::string scratch;
    const std::vector<std::string> whole = chunks_of(nfc(text, scratch));
    for (const std::size_t block : {64, 100, 4096}) {
      std::size_t pieces = 0;
      EXPECT_EQ(chunks_by_piece(path, block, Normalizer::Nfc, pieces), whole) << block;
      EXPECT_GT(pieces, text.size() / block / 4) << block;
    }
  }
  // Cut for splitting alone, the same text would not: "e" U+0301 then "b"
  // splits apart at "b", but normalized, "\u00e9b" is one chunk.
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "e\u0301b" + std::string(i % 3, ' ');
  const std::string path = dir.file("cut.txt", text);
  std::string scratch;
  std::size_t pieces = 0;
  EXPECT_EQ(chunks_by_piece(path, 64, Normalizer::Nfc, pieces), chunks_of(nfc(text, scratch)));
  EXPECT_NE(chunks_by_piece(path, 64, Normalizer::None, pieces), chunks_of(nfc(text, scratch)));
}

}  // namespace
}  // namespace ovilex::text
