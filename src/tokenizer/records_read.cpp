// Reading the record files back, with the rules and the messages of the
// package's Python reader, which took each line through json.loads: what
// that makes an entry of, and only that, is one. Lines in the exact form
// training writes take a fast path; any other line goes through a scanner
// that follows json.loads's own.
#include "records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fd.h"
#include "json_line.h"

namespace ovilex {

namespace {

using json_line::is_digit;
using json_line::int_list;
using json_line::int_value;
using json_line::json_text;
using json_line::object_members;

constexpr std::uint32_t MAX_ID = MAX_TOKEN_ID;
constexpr std::uint32_t MAX_BYTE = 0xFF;

constexpr std::string_view MERGE_ENTRY = R"({"pair":[LEFT,RIGHT],"id":ID} with ids 0 to 4294967294)";
constexpr std::string_view VOCAB_ENTRY =
    R"({"id":ID,"bytes":[BYTE,...]} with an id 0 to 4294967294 and one or more bytes 0 to 255)";

constexpr std::string_view SPECIAL_ENTRY =
    R"({"id":ID,"text":TEXT} with an id 0 to 4294967294 and a non-empty TEXT without lone surrogates)";

Error record_error(std::string message) { return Error{ErrorKind::Record, std::move(message)}; }

Error line_error(std::string_view path, std::size_t line, std::string_view message) {
  std::string out(path);
  out += ", line ";
  out += std::to_string(line);
  out += ": ";
  out += message;
  return record_error(std::move(out));
}

// Python's str.isspace, for ASCII.
constexpr bool is_space(char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

// Python's str.strip() without arguments.
std::string_view strip(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Python's repr() of an ASCII str: single quotes unless the text holds a
// single quote and no double one.
std::string repr(std::string_view s) {
  const bool double_quoted =
      s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos;
  const char quote = double_quoted ? '"' : '\'';
  std::string out(1, quote);
  for (const char c : s) {
    if (c == quote || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < ' ' || c == '\x7f') {
      constexpr char HEX[] = "0123456789abcdef";
      const auto u = static_cast<unsigned char>(c);
      out += "\\x";
      out += HEX[u >> 4];
      out += HEX[u & 15];
    } else {
      out += c;
    }
  }
  out += quote;
  return out;
}

// A line as a message shows it.
std::string show(std::string_view line) {
  if (line.size() <= 60) return repr(line);
  return repr(std::string(line.substr(0, 57)) + "...");
}

// Python's list repr of bytes values: "[104, 101]".
std::string byte_list(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += ']';
  return out;
}

std::string strerror_text(int code) {
  char buf[256];
  return strerror_r(code, buf, sizeof buf);
}

// Reads the whole file into |text| (a buffer that may be reused), as
// Python's open(path, "rb").read() sees it: only ENOENT
// counts as a missing file, and a directory opens but fails to read (EISDIR).
std::optional<Error> read_file(const std::string& path, std::string& text) {
  const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    if (errno == ENOENT) return record_error("no such file: " + path);
    return record_error("cannot read " + path + ": " + strerror_text(errno));
  }
  struct stat st {};
  std::size_t hint = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    hint = static_cast<std::size_t>(st.st_size);
  }
  // One byte more than the size, so that a file that is still as large as
  // fstat said ends with a short read and one more read.
  text.clear();  // so that growing copies nothing
  text.resize(hint + 1);
  std::size_t size = 0;
  for (;;) {
    if (size == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return record_error("cannot read " + path + ": " + strerror_text(errno));
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  text.resize(size);
  return std::nullopt;
}

// The offset of the first byte above 0x7f, or npos.
std::size_t first_non_ascii(std::string_view text) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080u) break;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) > 0x7f) return i;
  }
  return std::string_view::npos;
}

// A canonical decimal 0 to |limit| at |s|[i], as training writes it; false
// for anything else (the general path then decides).
inline bool canonical(std::string_view s, std::size_t& i, std::uint32_t limit,
                      std::uint32_t& value) {
  if (i >= s.size() || !is_digit(s[i])) return false;
  std::uint64_t v = static_cast<std::uint64_t>(s[i++] - '0');
  // No leading zero: a "0" must stand alone, and the caller's next literal
  // then fails on a digit after it.
  if (v != 0) {
    while (i < s.size() && is_digit(s[i])) {
      v = v * 10 + static_cast<std::uint64_t>(s[i++] - '0');
      if (v > limit) return false;
    }
  }
  if (v > limit) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

template <std::size_t N>
inline bool literal(std::string_view s, std::size_t& i, const char (&text)[N]) {
  constexpr std::size_t size = N - 1;
  if (s.size() - i < size || std::memcmp(s.data() + i, text, size) != 0) return false;
  i += size;
  return true;
}

struct MergeReader {
  std::vector<Merge>& merges;
  std::vector<std::size_t>& lines;

  static constexpr std::string_view WHAT = MERGE_ENTRY;

  bool operator()(std::string_view json, std::size_t line) {
    Merge m;
    if (!fast(json, m) && !general(json, m)) return false;
    merges.push_back(m);
    lines.push_back(line);
    return true;
  }

  // {"pair":[L,R],"id":N} exactly.
  static bool fast(std::string_view s, Merge& m) {
    std::size_t i = 0;
    std::uint32_t left, right, id;
    if (!literal(s, i, R"({"pair":[)") || !canonical(s, i, MAX_ID, left) || !literal(s, i, ",") ||
        !canonical(s, i, MAX_ID, right) || !literal(s, i, R"(],"id":)") ||
        !canonical(s, i, MAX_ID, id) || !literal(s, i, "}") || i != s.size()) {
      return false;
    }
    m = Merge{static_cast<TokenId>(left), static_cast<TokenId>(right), static_cast<TokenId>(id)};
    return true;
  }

  static bool general(std::string_view json, Merge& m) {
    const auto members = object_members(json, {"pair", "id"});
    if (!members) return false;
    std::vector<TokenId> pair;
    if (!int_list((*members)[0], MAX_ID, pair) || pair.size() != 2) return false;
    const auto id = int_value((*members)[1], MAX_ID);
    if (!id) return false;
    m = Merge{pair[0], pair[1], static_cast<TokenId>(*id)};
    return true;
  }
};

// As VocabReader: the form of every line first, then what the entries say.
struct SpecialReader {
  std::vector<SpecialToken>& tokens;
  const VocabList& vocab;
  const std::string& path;
  const std::string& vocab_path;
  std::optional<Error>& problem;
  std::unordered_map<std::string, std::size_t> lines{};  // text -> its line
  std::int64_t previous = -1;

  static constexpr std::string_view WHAT = SPECIAL_ENTRY;

  bool operator()(std::string_view json, std::size_t line) {
    const auto members = object_members(json, {"id", "text"});
    if (!members) return false;
    const auto id = int_value((*members)[0], MAX_ID);
    std::optional<std::string> text = json_text((*members)[1]);
    if (!id || !text || text->empty()) return false;
    if (!problem) judge(static_cast<TokenId>(*id), std::move(*text), line);
    return true;
  }

  void judge(TokenId id, std::string text, std::size_t line) {
    if (std::int64_t{id} <= previous) {
      problem = line_error(path, line, "expected an id above " + std::to_string(previous) +
                                           ", found " + std::to_string(id));
    } else if (vocab.find(id)) {
      problem = line_error(path, line, "expected an id that is not in " + vocab_path + ", found " +
                                           std::to_string(id));
    } else if (const auto [it, fresh] = lines.try_emplace(text, line); !fresh) {
      problem = line_error(path, line, "expected a text unlike those above, found that of line " +
                                           std::to_string(it->second));
    } else {
      tokens.push_back({std::move(text), id});
      previous = id;
    }
  }
};

// Each entry goes straight into the vocabulary, in file order, until one
// breaks the rules of a vocabulary; that one is only reported once the whole
// file has proved well formed, as a file's form is judged before its content.
struct VocabReader {
  VocabList& vocab;
  const std::string& path;
  std::optional<Error>& problem;
  // The bytes of the entry at hand.
  std::vector<std::uint8_t> value;
  std::int64_t previous = -1;

  static constexpr std::string_view WHAT = VOCAB_ENTRY;

  bool operator()(std::string_view json, std::size_t line) {
    value.clear();
    std::uint32_t id;
    if (!fast(json, id)) {
      value.clear();
      if (!general(json, id)) return false;
    }
    if (!problem) judge(static_cast<TokenId>(id), line);
    return true;
  }

  void judge(TokenId id, std::size_t line) {
    if (std::int64_t{id} <= previous) {
      problem = line_error(path, line, "expected an id above " + std::to_string(previous) +
                                           ", found " + std::to_string(id));
    } else if (id < 256 && (value.size() != 1 || value[0] != id)) {
      const std::string n = std::to_string(id);
      problem = line_error(path, line, "expected id " + n + " to stand for the single byte [" + n +
                                           "], found " + byte_list(value));
    } else {
      vocab.set(id, value);
      previous = id;
    }
  }

  // {"id":N,"bytes":[B,...]} exactly.
  bool fast(std::string_view s, std::uint32_t& id) {
    std::size_t i = 0;
    if (!literal(s, i, R"({"id":)") || !canonical(s, i, MAX_ID, id) ||
        !literal(s, i, R"(,"bytes":[)")) {
      return false;
    }
    // The bytes, through local pointers: a store through a byte pointer
    // could alias anything, which would have the compiler reload every
    // member and reference after each one.
    const char* p = s.data() + i;
    const char* const end = s.data() + s.size();
    // A byte takes two characters at least, its digit and a ',' or the ']'.
    value.resize(static_cast<std::size_t>(end - p) / 2 + 1);
    std::uint8_t* out = value.data();
    for (;;) {
      if (p == end || !is_digit(*p)) return false;
      unsigned b = static_cast<unsigned>(*p++ - '0');
      // No leading zero: a "0" stands alone.
      if (b != 0 && p != end && is_digit(*p)) {
        b = b * 10 + static_cast<unsigned>(*p++ - '0');
        if (p != end && is_digit(*p)) b = b * 10 + static_cast<unsigned>(*p++ - '0');
      }
      if (b > MAX_BYTE) return false;
      *out++ = static_cast<std::uint8_t>(b);
      if (p == end || *p != ',') break;
      ++p;
    }
    value.resize(static_cast<std::size_t>(out - value.data()));
    return end - p == 2 && p[0] == ']' && p[1] == '}';
  }

  bool general(std::string_view json, std::uint32_t& id) {
    const auto members = object_members(json, {"id", "bytes"});
    if (!members) return false;
    const auto number = int_value((*members)[0], MAX_ID);
    if (!number || !int_list((*members)[1], MAX_BYTE, value) || value.empty()) return false;
    id = *number;
    return true;
  }
};

// The entries of one file, each handed to |read| with its line number;
// |read| returns false for a line that is not an entry.
template <class Reader>
std::optional<Error> read_entries(const std::string& path, std::string_view text, Reader read) {
  if (const std::size_t bad = first_non_ascii(text); bad != std::string_view::npos) {
    const auto line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + bad, '\n'));
    constexpr char HEX[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(text[bad]);
    return line_error(path, line + 1, std::string("expected ASCII text, found the byte 0x") +
                                          HEX[byte >> 4] + HEX[byte & 15]);
  }
  // The lines of text.split("\n"): one more than there are line feeds.
  std::size_t at = 0;
  bool more = true;
  auto next_line = [&]() -> std::optional<std::string_view> {
    if (!more) return std::nullopt;
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      more = false;
      return text.substr(at);
    }
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    return line;
  };

  const std::string_view first = *next_line();
  if (strip(first) != "[") {
    const std::string found = text.empty() ? "an empty file" : show(first);
    return line_error(path, 1, "expected '[', found " + found);
  }
  std::size_t number = 2;
  std::size_t count = 0;
  bool previous_comma = false;
  for (;;) {
    const auto raw = next_line();
    if (!raw) {
      return line_error(path, number - 1, "expected an entry or ']', found the end of the file");
    }
    const std::string_view line = strip(*raw);
    if (line == "]") break;
    const bool comma = !line.empty() && line.back() == ',';
    if (!read(comma ? line.substr(0, line.size() - 1) : line, number)) {
      return line_error(path, number,
                        "expected an entry " + std::string(Reader::WHAT) + ", found " + show(line));
    }
    if (count > 0 && !previous_comma) {
      return line_error(path, number - 1, "expected a comma after the entry");
    }
    previous_comma = comma;
    ++count;
    ++number;
  }
  if (count > 0 && previous_comma) {
    return line_error(path, number - 1, "expected no comma after the last entry");
  }
  for (std::size_t extra = number + 1; const auto raw = next_line(); ++extra) {
    const std::string_view line = strip(*raw);
    if (!line.empty()) {
      return line_error(path, extra, "expected nothing after ']', found " + show(line));
    }
  }
  return std::nullopt;
}

// |text| holds the file's bytes afterwards; one buffer serves both files.
std::optional<Error> read_merges(const std::string& path, std::string& text, Records& out) {
  if (auto error = read_file(path, text)) return error;
  // An entry takes 22 characters at least, with its line feed.
  out.merges.reserve(text.size() / 22);
  out.merge_lines.reserve(text.size() / 22);
  return read_entries(path, text, MergeReader{out.merges, out.merge_lines});
}

std::optional<Error> read_vocab(const std::string& path, std::string& text, VocabList& vocab) {
  if (auto error = read_file(path, text)) return error;
  // An entry takes 22 characters at least, and a byte two ("0,").
  vocab.reserve(text.size() / 22, text.size() / 2);
  std::optional<Error> problem;
  if (auto error = read_entries(path, text, VocabReader{vocab, path, problem, {}})) return error;
  if (problem) return problem;
  for (TokenId byte = 0; byte < 256; ++byte) {
    if (!vocab.find(byte)) {
      return record_error(path + ": expected an entry for every id 0 to 255, found none for " +
                          std::to_string(byte));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<MergeProblem> check_merges(std::span<const Merge> merges, const VocabList& vocab,
                                         std::string_view where) {
  for (std::size_t index = 0; index < merges.size(); ++index) {
    const Merge& m = merges[index];
    for (const TokenId id : {m.left, m.right, m.new_id}) {
      if (!vocab.find(id)) {
        return MergeProblem{index, "id " + std::to_string(id) + " is not in " + std::string(where)};
      }
    }
    const auto left = *vocab.find(m.left);
    const auto right = *vocab.find(m.right);
    const auto joined = *vocab.find(m.new_id);
    const bool fits = joined.size() == left.size() + right.size() &&
                      std::equal(left.begin(), left.end(), joined.begin()) &&
                      std::equal(right.begin(), right.end(), joined.begin() + left.size());
    if (!fits) {
      return MergeProblem{index, "expected the bytes of id " + std::to_string(m.new_id) + " in " +
                                     std::string(where) + " to be those of ids " +
                                     std::to_string(m.left) + " and " + std::to_string(m.right) +
                                     " joined, found " + byte_list(joined)};
    }
  }
  return std::nullopt;
}

Result<std::vector<SpecialToken>> read_special_tokens(const std::string& path,
                                                      const VocabList& vocab,
                                                      const std::string& vocab_path) {
  std::vector<SpecialToken> tokens;
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return tokens;
  std::string text;
  if (auto error = read_file(path, text)) return *std::move(error);
  std::optional<Error> problem;
  const SpecialReader reader{tokens, vocab, path, vocab_path, problem};
  if (auto error = read_entries(path, text, reader)) return *std::move(error);
  if (problem) return *std::move(problem);
  return tokens;
}

Result<Records> read_records(const std::string& merges_path, const std::string& vocab_path) {
  Records records;
  std::string text;
  if (auto error = read_merges(merges_path, text, records)) return *std::move(error);
  if (auto error = read_vocab(vocab_path, text, records.vocab)) return *std::move(error);
  if (auto problem = check_merges(records.merges, records.vocab, vocab_path)) {
    return line_error(merges_path, records.merge_lines[problem->index], problem->message);
  }
  return records;
}

}  // namespace ovilex
