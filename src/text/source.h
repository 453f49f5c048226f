// Reading UTF-8 text files in pieces that split on their own.
//
// A file is read in blocks; each block is checked as UTF-8 and cut at the
// last position where splitting the two sides apart gives the chunks of the
// whole (last_safe_cut), and the rest is carried over to the next block.
// Memory follows the block size and the longest stretch without such a
// position, never the file size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "text/nfc.h"

namespace ovilex::text {

// Why a source could not be used.
struct SourceFailure {
  // errno of a failed open or read (the file is |path|); 0 when the bytes
  // themselves are the fault.
  int os_error = 0;
  std::string path;
  // "PATH: not UTF-8 text (line N, byte 0xNN)" when os_error is 0.
  std::string message;
};

inline constexpr std::size_t DEFAULT_BLOCK = std::size_t{4} << 20;

// What to do with bytes that are not UTF-8.
enum class InvalidBytes {
  Fail,     // a SourceFailure naming the line and the byte
  Replace,  // U+FFFD for each maximal invalid sequence, as Python's "replace"
};

// Calls on_piece(piece) for consecutive pieces of the file at |path| (as
// shown in messages), which joined give the whole file, each valid UTF-8
// and cut where splitting is unaffected. A piece may be as long as the
// longest stretch without a safe cut. on_read(bytes) follows every block
// read. Returns the failure, if any, after the pieces before it. With a
// |normalizer|, the pieces are cut where they also normalize apart (see
// last_safe_cut in nfc.h); they are handed on as they are in the file.
std::optional<SourceFailure> read_pieces(const std::string& path, std::size_t block,
                                         const std::function<void(std::string_view)>& on_piece,
                                         const std::function<void(std::uint64_t)>& on_read = {},
                                         InvalidBytes invalid = InvalidBytes::Fail,
                                         Normalizer normalizer = Normalizer::None);

// The message for bytes that are not UTF-8, as read_pieces gives it:
// |line| counts from 1 and |byte| is the first byte of the fault.
std::string not_utf8_message(std::string_view path, std::uint64_t line, std::uint8_t byte);

}  // namespace ovilex::text
