// Reading UTF-8 text files in pieces that split on their own.
//
// A file is read in blocks; each block is checked as UTF-8 and cut at the
// last position where splitting the two sides apart gives the chunks of the
// whole (last_safe_cut under the tokenizer's split pattern), and the rest is
// carried over to the next block. Memory follows the block size and the
// longest stretch without such a position, never the file size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "text/char_class.h"
#include "text/nfc.h"

namespace ovilex::text {

// Where the pieces of a text may be cut: at the safe cuts of |pattern|,
// of the text as |normalizer| leaves it; with |prefix_space|, those of the
// text with the space that encoding puts before a text that does not begin
// with one (the space belongs to the text's first piece alone, so a cut
// near the start is judged with it).
struct PieceCuts {
  SplitPattern pattern = SplitPattern::Ovilex;
  bool prefix_space = false;
  Normalizer normalizer = Normalizer::None;
};

// Whether a tokenizer that splits by |pattern| can have its texts read in
// pieces at all: the one rule that the calls reading files consult.
bool reads_in_pieces(SplitPattern pattern) noexcept;

// last_safe_cut(cuts.pattern, cuts.normalizer, text, floor), for |text| that begins a text
// (|at_start|) or lies further in: at the start, under prefix_space, the cut
// holds in the text with its space too.
std::size_t last_piece_cut(const PieceCuts& cuts, std::string_view text, std::size_t floor,
                           bool at_start);

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
// and cut where splitting is unaffected (|cuts|). The file is one text:
// only its first piece takes the space of prefix_space when encoded. With
// a normalizer, the pieces are cut where they also normalize apart (see
// last_safe_cut in nfc.h); they are handed on as they are in the file. A
// piece may be as long as the longest stretch without a safe cut.
// on_read(bytes) follows every block read. Returns the failure, if any,
// after the pieces before it.
std::optional<SourceFailure> read_pieces(const std::string& path, std::size_t block,
                                         const PieceCuts& cuts,
                                         const std::function<void(std::string_view)>& on_piece,
                                         const std::function<void(std::uint64_t)>& on_read = {},
                                         InvalidBytes invalid = InvalidBytes::Fail);

// The message for bytes that are not UTF-8, as read_pieces gives it:
// |line| counts from 1 and |byte| is the first byte of the fault.
std::string not_utf8_message(std::string_view path, std::uint64_t line, std::uint8_t byte);

}  // namespace ovilex::text
