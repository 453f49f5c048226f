#include "decode.h"

#include <cstring>

namespace ovilex {

namespace {

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The allowed range of the second byte of a sequence led by |lead|; a lead
// that starts no sequence gives an empty range.
struct Range {
  std::uint8_t lo;
  std::uint8_t hi;
};

int sequence_width(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

Range second_byte_range(std::uint8_t lead) noexcept {
  switch (lead) {
    case 0xE0: return {0xA0, 0xBF};  // no overlong three-byte forms
    case 0xED: return {0x80, 0x9F};  // no surrogates
    case 0xF0: return {0x90, 0xBF};  // no overlong four-byte forms
    case 0xF4: return {0x80, 0x8F};  // nothing above U+10FFFF
    default: return {0x80, 0xBF};
  }
}

}  // namespace

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t block;
      std::memcpy(&block, bytes.data() + i, 8);
      if (block & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t lead = bytes[i];
    const int width = sequence_width(lead);
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return Utf8Error{i, 1};
    const Range second = second_byte_range(lead);
    // Each further byte either extends the valid prefix, ends the input
    // (incomplete), or is the fault after that many good bytes.
    for (int k = 1; k < width; ++k) {
      if (i + static_cast<std::size_t>(k) >= n) return Utf8Error{i, std::nullopt};
      const std::uint8_t b = bytes[i + static_cast<std::size_t>(k)];
      const bool ok = k == 1 ? (b >= second.lo && b <= second.hi) : is_continuation(b);
      if (!ok) return Utf8Error{i, static_cast<std::size_t>(k)};
    }
    i += static_cast<std::size_t>(width);
  }
  return std::nullopt;
}

std::string describe(const Utf8Error& error) {
  if (error.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
}

Result<std::string> decode_string(std::span<const TokenId> ids, const VocabList& vocab) {
  std::string out;
  // Four bytes per id is the usual need; the hint never decides the outcome.
  out.reserve(ids.size() <= (std::size_t{1} << 28) ? ids.size() * 4 : std::size_t{1} << 30);
  for (const TokenId id : ids) {
    const auto bytes = vocab.find(id);
    if (!bytes) {
      return Error{ErrorKind::UnknownTokenId,
                   "unknown token id " + std::to_string(id) + " in vocab_list"};
    }
    out.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(out.data());
  if (const auto fault = validate_utf8({data, out.size()})) {
    return Error{ErrorKind::InvalidUtf8, "decoded bytes are not valid UTF-8: " + describe(*fault)};
  }
  return out;
}

}  // namespace ovilex
