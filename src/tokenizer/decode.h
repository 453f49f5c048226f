// Turning ids back into text, and strict UTF-8 validation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "types.h"

namespace ovilex {

// The first fault of a byte string that is not UTF-8.
struct Utf8Error {
  // Length of the longest valid prefix: where the fault starts.
  std::size_t valid_up_to;
  // Length of the invalid sequence at valid_up_to (1 to 3: the longest prefix
  // of a well-formed sequence that the bytes there begin, at least 1), or
  // nullopt when the input ends inside a sequence that could still be valid.
  std::optional<std::size_t> error_len;
  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF.
std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept;

// "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}".
std::string describe(const Utf8Error& error);

// The bytes of every id, concatenated, as UTF-8 text. Every id is looked up
// before the text is validated, so an unknown id is reported even after
// bytes that are already invalid.
Result<std::string> decode_string(std::span<const TokenId> ids, const VocabList& vocab);

}  // namespace ovilex
