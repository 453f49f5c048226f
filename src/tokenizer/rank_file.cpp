#include "rank_file.h"

#include <array>
#include <cstdint>
#include <vector>

namespace ovilex {

namespace {

constexpr std::uint8_t NOT_B64 = 0xFF;

constexpr std::array<std::uint8_t, 256> B64_VALUES = [] {
  std::array<std::uint8_t, 256> t{};
  t.fill(NOT_B64);
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = i;
  return t;
}();

// Appends the bytes of |text| in padded base64 to |out|; false for text
// that is not that (out then holds a partial token).
bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.size() % 4 != 0) return false;
  std::size_t pad = 0;
  while (pad < text.size() && pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  const std::size_t n = text.size() - pad;
  if (n % 4 == 1) return false;  // "Y===" and the like
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  // Written in place: three bytes for every four characters, and one or
  // two for a padded end.
  const std::size_t start = out.size();
  out.resize(start + n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));
  std::uint8_t* to = out.data() + start;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint8_t a = B64_VALUES[s[i]], b = B64_VALUES[s[i + 1]], c = B64_VALUES[s[i + 2]],
                       d = B64_VALUES[s[i + 3]];
    if ((a | b | c | d) == NOT_B64 || ((a | b | c | d) & 0xC0) != 0) return false;
    const std::uint32_t v = std::uint32_t{a} << 18 | std::uint32_t{b} << 12 |
                            std::uint32_t{c} << 6 | d;
    *to++ = static_cast<std::uint8_t>(v >> 16);
    *to++ = static_cast<std::uint8_t>(v >> 8);
    *to++ = static_cast<std::uint8_t>(v);
  }
  if (i < n) {
    std::uint32_t v = 0;
    const std::size_t rest = n - i;  // 2 or 3
    for (std::size_t k = 0; k < rest; ++k) {
      const std::uint8_t x = B64_VALUES[s[i + k]];
      if (x == NOT_B64) return false;
      v |= std::uint32_t{x} << (18 - 6 * k);
    }
    *to++ = static_cast<std::uint8_t>(v >> 16);
    if (rest == 3) *to++ = static_cast<std::uint8_t>(v >> 8);
  }
  return true;
}

RankProblem problem_at(RankProblem::Kind kind, std::size_t line, std::string_view text = {},
                       std::string_view token = {}, std::uint64_t rank = 0,
                       std::uint64_t other_rank = 0) {
  RankProblem p{};
  p.kind = kind;
  p.line = line;
  p.text = text;
  p.token = std::string(token);
  p.rank = rank;
  p.other_rank = other_rank;
  return p;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The ranks as they are read, straight into the vocabulary, whose bytes are
// reserved whole first (base64 takes four characters for three bytes) so
// that views into them stay valid. The tokens by their bytes, views into
// the vocabulary, are the check that no token comes twice, and go on to
// the tokenizer, which finds tokens by their bytes too. That table is
// built once all is read, each token's slot fetched ahead (lookups at
// random in a large table cost a wait each otherwise); the first token
// given twice is an earlier problem than any the reading stopped at.
class Collector {
 public:
  // Either form takes some 13 to 20 bytes of text a token; the table of
  // tokens grows past its guess if it must.
  explicit Collector(std::size_t data_size) : keys_(data_size / 16) {
    vocab_.reserve(data_size / 8, data_size / 4 * 3 + 3);
    added_.reserve(data_size / 16);
  }
  // Decodes |b64| as the token of |rank|; false (and |problem| set) when
  // it is not base64, is empty, or its rank was given before.
  bool add(std::string_view b64, std::uint64_t rank, std::size_t line, RankProblem::Kind bad,
           std::string_view shown, std::optional<RankProblem>& problem) {
    token_.clear();
    if (!decode_base64(b64, token_)) {
      problem = problem_at(bad, line, shown);
      return false;
    }
    const std::string_view token(reinterpret_cast<const char*>(token_.data()), token_.size());
    if (token.empty()) {
      problem = problem_at(RankProblem::Kind::Empty, line);
      return false;
    }
    if (rank > MAX_TOKEN_ID) {
      problem = problem_at(RankProblem::Kind::TooLarge, line, {}, token, rank);
      return false;
    }
    const auto id = static_cast<TokenId>(rank);
    if (vocab_.find(id)) {
      problem = problem_at(RankProblem::Kind::RankTwice, line, {}, {}, rank);
      return false;
    }
    vocab_.set(id, token_);
    added_.push_back(Added{keys_.hash_of(token_), id, line});
    if (token_.size() == 1) single_[token_[0]] = true;
    return true;
  }
  // The vocabulary and its tokens by bytes, or the problem: the first
  // token given twice, else |problem| (where the reading stopped), else a
  // byte that is not a token of its own.
  void finish(RankRead& out, std::optional<RankProblem> problem) {
    constexpr std::size_t AHEAD = 8;
    for (std::size_t i = 0; i < added_.size(); ++i) {
      if (i + AHEAD < added_.size()) keys_.prefetch(added_[i + AHEAD].hash);
      const Added& a = added_[i];
      const auto bytes = *vocab_.find(a.id);
      if (const auto other = keys_.insert(a.hash, bytes, a.id)) {
        out.problem = problem_at(RankProblem::Kind::BytesTwice, a.line, {},
                                 {reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                                 a.id, *other);
        return;
      }
    }
    if (problem) {
      out.problem = std::move(problem);
      return;
    }
    for (unsigned b = 0; b < 256; ++b) {
      if (!single_[b]) {
        out.problem = problem_at(RankProblem::Kind::MissingByte, 0);
        out.problem->byte = b;
        return;
      }
    }
    out.vocab = std::move(vocab_);
    out.keys = std::move(keys_);
  }

 private:
  struct Added {
    std::uint64_t hash;
    TokenId id;
    std::size_t line;
  };
  VocabList vocab_;
  TokenKeys keys_;
  std::vector<Added> added_;  // in the order read
  std::vector<std::uint8_t> token_;
  std::array<bool, 256> single_{};
};

// A rank: an optional '-' and ASCII digits. Saturates far above any id.
std::optional<std::pair<bool, std::uint64_t>> parse_rank(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value > (1ULL << 40) ? value : value * 10 + static_cast<unsigned>(c - '0');
  }
  return std::pair{negative, value};
}

// Reads |data| into |collector|; the problem the reading stopped at.
std::optional<RankProblem> lines_into(std::string_view data, Collector& collector) {
  std::size_t line_no = 0;
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::size_t end = pos;
    while (end < data.size() && data[end] != '\n' && data[end] != '\r') ++end;
    const std::string_view line = data.substr(pos, end - pos);
    pos = end + (end < data.size() && data[end] == '\r' && end + 1 < data.size() &&
                         data[end + 1] == '\n'
                     ? 2
                     : 1);
    ++line_no;
    if (line.empty()) continue;
    std::array<std::string_view, 2> fields;
    std::size_t count = 0;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && is_space(line[i])) ++i;
      if (i == line.size()) break;
      std::size_t j = i;
      while (j < line.size() && !is_space(line[j])) ++j;
      if (count < 2) fields[count] = line.substr(i, j - i);
      ++count;
      i = j;
    }
    const auto rank = count == 2 ? parse_rank(fields[1]) : std::nullopt;
    if (!rank) return problem_at(RankProblem::Kind::Malformed, line_no, line);
    if (rank->first && rank->second != 0) {
      std::vector<std::uint8_t> token;
      if (!decode_base64(fields[0], token)) {
        return problem_at(RankProblem::Kind::Malformed, line_no, line);
      }
      return problem_at(RankProblem::Kind::Negative, line_no, fields[1],
                        std::string_view(reinterpret_cast<const char*>(token.data()), token.size()));
    }
    std::optional<RankProblem> problem;
    if (!collector.add(fields[0], rank->second, line_no, RankProblem::Kind::Malformed, line,
                       problem)) {
      if (problem->kind == RankProblem::Kind::TooLarge) problem->text = fields[1];
      return problem;
    }
  }
  return std::nullopt;
}

// Reads |data| into |collector|; the problem the reading stopped at.
std::optional<RankProblem> compact_into(std::string_view data, Collector& collector) {
  std::size_t line_no = 0;
  std::size_t pos = 0;
  while (pos <= data.size()) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    const std::string_view line = data.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line.empty()) continue;
    // "! FIRST" and then the tokens.
    const std::size_t first_end = line.find(' ', 2);
    const std::string_view first =
        line.size() > 2 ? line.substr(2, first_end == std::string_view::npos ? line.npos
                                                                             : first_end - 2)
                        : std::string_view{};
    const auto rank = line.starts_with("! ") ? parse_rank(first) : std::nullopt;
    if (!rank || rank->first) return problem_at(RankProblem::Kind::Malformed, line_no, line);
    std::uint64_t next = rank->second;
    std::size_t i = first_end;
    while (i != std::string_view::npos) {
      const std::size_t j = line.find(' ', i + 1);
      const std::string_view field =
          line.substr(i + 1, j == std::string_view::npos ? line.npos : j - i - 1);
      std::optional<RankProblem> problem;
      if (!collector.add(field, next, line_no, RankProblem::Kind::NotBase64, field, problem)) {
        return problem;
      }
      ++next;
      i = j;
    }
  }
  return std::nullopt;
}

}  // namespace

RankRead read_rank_lines(std::string_view data) {
  RankRead out;
  Collector collector(data.size());
  collector.finish(out, lines_into(data, collector));
  return out;
}

RankRead read_compact_ranks(std::string_view data) {
  RankRead out;
  Collector collector(data.size());
  collector.finish(out, compact_into(data, collector));
  return out;
}

}  // namespace ovilex
