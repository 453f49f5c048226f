#include "source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <span>

#include "text/split.h"
#include "tokenizer/decode.h"
#include "tokenizer/fd.h"

namespace ovilex::text {

namespace {

// Reads up to |n| bytes to |to|, repeating after interruptions and short
// reads; the count read (0 at the end), or -1 with errno set.
ssize_t read_full(int fd, char* to, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, to + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// Bytes before the end of what was looked at whose cut may depend on what
// comes after them.
constexpr std::size_t CUT_CONTEXT = 16;

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

bool reads_in_pieces(SplitPattern) noexcept {
  // Every native pattern has its safe cuts (split.h).
  return true;
}

std::size_t last_piece_cut(const PieceCuts& cuts, std::string_view text, std::size_t floor,
                           bool at_start) {
  if (!at_start || !cuts.prefix_space || text.empty() || text.front() == ' ') {
    return last_safe_cut(cuts.pattern, cuts.normalizer, text, floor);
  }
  // A cut looked for above LEAD_CONTEXT reads nothing of the text's first
  // bytes (last_safe_cut reads from floor - 8 on), so the space before them
  // changes nothing there; below it, the cut is looked for in a copy of the
  // first bytes with the space. A cut of a prefix holds whatever follows it.
  constexpr std::size_t LEAD_CONTEXT = 16;
  if (const std::size_t cut =
          last_safe_cut(cuts.pattern, cuts.normalizer, text, std::max(floor, LEAD_CONTEXT))) {
    return cut;
  }
  if (floor >= LEAD_CONTEXT) return 0;
  std::string lead(1, ' ');
  lead.append(text.substr(0, 2 * LEAD_CONTEXT));
  const std::size_t cut = last_safe_cut(cuts.pattern, cuts.normalizer, lead, floor + 1);
  return cut > 1 ? cut - 1 : 0;
}

std::string not_utf8_message(std::string_view path, std::uint64_t line, std::uint8_t byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", byte);
  return std::string(path) + ": not UTF-8 text (line " + std::to_string(line) + ", byte " + hex +
         ")";
}

std::optional<SourceFailure> read_pieces(const std::string& path, std::size_t block,
                                         const PieceCuts& cuts,
                                         const std::function<void(std::string_view)>& on_piece,
                                         const std::function<void(std::uint64_t)>& on_read,
                                         InvalidBytes invalid) {
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return SourceFailure{errno, path, {}};
  // A small file is read in one block of its size (and one byte more, so
  // that the short read says it has ended), not into a buffer of |block|.
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) < block) {
    block = static_cast<std::size_t>(st.st_size) + 1;
  }
  block = std::max<std::size_t>(block, 64);

  // buffer[0, checked) is valid UTF-8 not yet handed on; buffer[checked,
  // end) is the start of a sequence that the next block completes. Safe
  // cuts were looked for in buffer[0, scanned) already.
  std::string buffer;
  std::size_t checked = 0;
  std::size_t scanned = 0;
  std::uint64_t lines_before = 0;  // line feeds handed on so far
  bool at_start = true;            // no piece handed on yet
  for (;;) {
    const std::size_t end = buffer.size();
    buffer.resize(end + block);
    const ssize_t got = read_full(fd.get(), buffer.data() + end, block);
    if (got < 0) return SourceFailure{errno, path, {}};
    buffer.resize(end + static_cast<std::size_t>(got));
    if (on_read && got > 0) on_read(static_cast<std::uint64_t>(got));
    const bool at_end = got == 0 || static_cast<std::size_t>(got) < block;

    for (;;) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
      const auto fault = validate_utf8({bytes + checked, buffer.size() - checked});
      if (!fault) {
        checked = buffer.size();
        break;
      }
      const std::size_t at = checked + fault->valid_up_to;
      if (!fault->error_len && !at_end) {
        checked = at;  // the next block completes it
        break;
      }
      if (invalid == InvalidBytes::Fail) {
        const auto line = lines_before + 1 +
                          static_cast<std::uint64_t>(std::count(
                              buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
        return SourceFailure{0, path, not_utf8_message(path, line, bytes[at])};
      }
      // One replacement character for the sequence, or for an incomplete
      // one that the file ends in.
      const std::size_t length = fault->error_len ? *fault->error_len : buffer.size() - at;
      buffer.replace(at, length, REPLACEMENT);
      checked = at + REPLACEMENT.size();
    }

    if (at_end) {
      if (!buffer.empty()) on_piece(buffer);
      return std::nullopt;
    }
    const std::string_view valid(buffer.data(), checked);
    const std::size_t cut = last_piece_cut(cuts, valid, scanned, at_start);
    if (cut == 0) {
      // No safe cut yet: carry it all, and look only at what is new next
      // time (and the few bytes before it, whose verdict may have waited
      // for what follows them).
      scanned = checked > CUT_CONTEXT ? checked - CUT_CONTEXT : 0;
      continue;
    }
    on_piece(valid.substr(0, cut));
    at_start = false;
    lines_before += static_cast<std::uint64_t>(std::count(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut), '\n'));
    buffer.erase(0, cut);
    checked -= cut;
    // The carried rest held no safe cut.
    scanned = checked > CUT_CONTEXT ? checked - CUT_CONTEXT : 0;
  }
}

}  // namespace ovilex::text
