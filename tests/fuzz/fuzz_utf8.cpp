// Fuzzes validate_utf8 and decode_string against a table-driven model of
// well-formed UTF-8: validity, the fault's position and length, and the
// error text must all agree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tokenizer/decode.h"

namespace {

using ovilex::Utf8Error;

// The well-formed byte sequences, one row per range of code points: the
// allowed range of each byte.
struct ByteRange {
  std::uint8_t lo;
  std::uint8_t hi;
};
struct Row {
  std::size_t length;
  ByteRange bytes[4];
};
constexpr Row WELL_FORMED[] = {
    {1, {{0x00, 0x7F}}},
    {2, {{0xC2, 0xDF}, {0x80, 0xBF}}},
    {3, {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}},
    {3, {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

// At each position: a row matched whole is a character; otherwise the
// longest row prefix matched is the invalid sequence (at least one byte),
// unless some row matched every byte left, which makes the input incomplete.
std::optional<Utf8Error> model(std::span<const std::uint8_t> s) {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t longest = 0;
    bool character = false;
    bool incomplete = false;
    for (const Row& row : WELL_FORMED) {
      std::size_t k = 0;
      while (k < row.length && i + k < s.size() && s[i + k] >= row.bytes[k].lo &&
             s[i + k] <= row.bytes[k].hi) {
        ++k;
      }
      if (k == row.length) {
        character = true;
        longest = k;
        break;
      }
      if (i + k == s.size()) incomplete = true;
      if (k > longest) longest = k;
    }
    if (character) {
      i += longest;
      continue;
    }
    if (incomplete) return Utf8Error{i, std::nullopt};
    return Utf8Error{i, longest == 0 ? 1 : longest};
  }
  return std::nullopt;
}

std::string text_of(const std::optional<Utf8Error>& e) {
  if (!e) return "valid";
  if (!e->error_len) return "incomplete at " + std::to_string(e->valid_up_to);
  return std::to_string(*e->error_len) + " bad bytes at " + std::to_string(e->valid_up_to);
}

[[noreturn]] void mismatch(const char* what, std::span<const std::uint8_t> s,
                           const std::string& got, const std::string& want) {
  std::fprintf(stderr, "%s mismatch on %zu bytes:", what, s.size());
  for (const std::uint8_t b : s) std::fprintf(stderr, " %02x", b);
  std::fprintf(stderr, "\n  got:  %s\n  want: %s\n", got.c_str(), want.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  // Every start offset within one word, so that the eight-byte ASCII steps
  // meet every alignment and every distance to the end.
  for (std::size_t offset = 0; offset < 8 && offset <= size; ++offset) {
    const auto s = input.subspan(offset);
    const auto got = ovilex::validate_utf8(s);
    const auto want = model(s);
    if (got != want) mismatch("validate_utf8", s, text_of(got), text_of(want));
  }

  // decode_string with one id per byte: the same verdict, in the error text.
  ovilex::VocabList vocab;
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    vocab.set(static_cast<ovilex::TokenId>(b), {&byte, 1});
  }
  const std::vector<ovilex::TokenId> ids(input.begin(), input.end());
  const auto decoded = ovilex::decode_string(ids, vocab);
  const auto want = model(input);
  std::string want_text(reinterpret_cast<const char*>(data), size);
  if (want) {
    want_text = "decoded bytes are not valid UTF-8: ";
    want_text += want->error_len ? "invalid utf-8 sequence of " + std::to_string(*want->error_len) +
                                       " bytes from index " + std::to_string(want->valid_up_to)
                                 : "incomplete utf-8 byte sequence from index " +
                                       std::to_string(want->valid_up_to);
  }
  const std::string got_text = decoded.ok() ? decoded.value() : decoded.error().message;
  if (decoded.ok() == want.has_value() || got_text != want_text ||
      (!decoded.ok() && decoded.error().kind != ovilex::ErrorKind::InvalidUtf8)) {
    mismatch("decode_string", input, got_text, want_text);
  }
  return 0;
}
