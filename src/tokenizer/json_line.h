// The JSON of one line, as Python's json.loads scans it: the general path
// of the record readers (records_read.cpp), which must take a line as an
// entry exactly when json.loads would make one of it. Only what an entry
// can hold is decoded (strings compared with keys, integers 0 to MAX_INT);
// every other value is scanned, and must be well formed, but not kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace ovilex::json_line {

// The greatest integer a value is read as; a greater or negative one reads
// as OUT_OF_RANGE, above every limit an entry has.
inline constexpr std::uint32_t MAX_INT = MAX_TOKEN_ID;
inline constexpr std::uint32_t OUT_OF_RANGE = MAX_INT + 1;
// json.loads makes an integer with int(), which refuses longer digit strings
// (Python's default int_max_str_digits): such a line is no JSON to it.
inline constexpr std::size_t MAX_INT_DIGITS = 4300;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The characters of \s that json.loads skips between tokens.
constexpr bool is_json_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

constexpr bool is_hex(char c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class JsonScanner {
 public:
  explicit JsonScanner(std::string_view s) noexcept : s_(s) {}

  std::size_t pos() const noexcept { return i_; }
  bool at_end() const noexcept { return i_ == s_.size(); }
  void skip_space() noexcept {
    while (i_ < s_.size() && is_json_space(s_[i_])) ++i_;
  }
  // Takes |c| if it is next.
  bool take(char c) noexcept {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  // A string from its opening quote on. Into |decoded| (when given) goes its
  // text, with every character outside ASCII as the byte 0x80: enough to
  // compare it with a key. A raw control character is an error (json.loads
  // is strict), as is any escape other than \" \\ \/ \b \f \n \r \t \uXXXX;
  // lone surrogates are allowed.
  bool string(std::string* decoded);

  // A number as json.loads takes it: an optional minus, an integer part
  // without leading zeros, then a fraction and an exponent that count only
  // when complete ("1." is the integer 1 followed by "."). |value| gets an
  // integer's value, OUT_OF_RANGE for a negative one or one above MAX_INT,
  // and nullopt for a float.
  bool number(std::optional<std::uint32_t>* value);

  // Any one value, however deeply nested, including json.loads's NaN,
  // Infinity and -Infinity. Leading whitespace is skipped; trailing is not.
  bool value();

 private:
  // A member's key and its colon, up to the value.
  bool key();
  bool word(std::string_view w) noexcept;
  bool scalar();

  std::string_view s_;
  std::size_t i_ = 0;
};

// The value of the last member of each wanted key, as JSON text (already
// checked), for an object with no other keys; nullopt when |json| is not
// such an object. Both keys must be present.
std::optional<std::array<std::string_view, 2>> object_members(
    std::string_view json, const std::array<std::string_view, 2>& keys);

// The id a checked JSON value stands for: an integer 0 to |limit|.
std::optional<std::uint32_t> int_value(std::string_view json, std::uint32_t limit);

// The text of a checked JSON value that is a string, as UTF-8: nullopt for
// any other value and for a string with a lone surrogate, which no UTF-8
// holds. The file is ASCII, so every other character is an escape.
std::optional<std::string> json_text(std::string_view json);

// The integers 0 to |limit| of a checked JSON array that holds only those,
// appended to |out|; false (with |out| partly filled) for anything else.
template <class T>
bool int_list(std::string_view json, std::uint32_t limit, std::vector<T>& out) {
  JsonScanner scan(json);
  if (!scan.take('[')) return false;
  scan.skip_space();
  if (scan.take(']')) return scan.at_end();
  for (;;) {
    std::optional<std::uint32_t> value;
    if (!scan.number(&value) || !value || *value > limit) return false;
    out.push_back(static_cast<T>(*value));
    scan.skip_space();
    if (scan.take(']')) return scan.at_end();
    if (!scan.take(',')) return false;
    scan.skip_space();
  }
}

}  // namespace ovilex::json_line
