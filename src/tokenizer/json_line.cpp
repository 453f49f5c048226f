#include "json_line.h"

namespace ovilex::json_line {

bool JsonScanner::string(std::string* decoded) {
  if (!take('"')) return false;
  for (;;) {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_++];
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      if (decoded) *decoded += c;
      continue;
    }
    if (i_ >= s_.size()) return false;
    const char e = s_[i_++];
    char plain;
    switch (e) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': {
        if (s_.size() - i_ < 4) return false;
        unsigned code = 0;
        for (int k = 0; k < 4; ++k) {
          const char h = s_[i_++];
          if (!is_hex(h)) return false;
          code = code * 16 + static_cast<unsigned>(is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
        }
        plain = code < 0x80 ? static_cast<char>(code) : '\x80';
        break;
      }
      default: return false;
    }
    if (decoded) *decoded += plain;
  }
}

bool JsonScanner::number(std::optional<std::uint32_t>* value) {
  const std::size_t start = i_;
  const bool negative = take('-');
  const std::size_t digits = i_;
  if (take('0')) {
  } else if (i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') {
    while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
  } else {
    i_ = start;
    return false;
  }
  const std::size_t digits_end = i_;
  bool is_float = false;
  if (i_ + 1 < s_.size() && s_[i_] == '.' && is_digit(s_[i_ + 1])) {
    i_ += 2;
    while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
    is_float = true;
  }
  if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
    std::size_t k = i_ + 1;
    if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
    const std::size_t exponent = k;
    while (k < s_.size() && is_digit(s_[k])) ++k;
    if (k > exponent) {
      i_ = k;
      is_float = true;
    }
  }
  if (is_float) {
    if (value) *value = std::nullopt;
    return true;
  }
  if (digits_end - digits > MAX_INT_DIGITS) return false;
  if (value) {
    std::uint64_t v = 0;
    for (std::size_t k = digits; k < digits_end && v <= MAX_INT; ++k) {
      v = v * 10 + static_cast<std::uint64_t>(s_[k] - '0');
    }
    *value = (negative && v != 0) || v > MAX_INT ? OUT_OF_RANGE : static_cast<std::uint32_t>(v);
  }
  return true;
}

bool JsonScanner::value() {
  // The open containers: '[' or '{'. Kept on the heap, not the call
  // stack, so that no nesting depth can exhaust it.
  std::string open;
  for (;;) {
    skip_space();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '[' || c == '{') {
      ++i_;
      skip_space();
      // An empty container is a complete value; any other one goes on
      // with its first element.
      if (!take(c == '[' ? ']' : '}')) {
        open += c;
        if (c == '{' && !key()) return false;
        continue;
      }
    } else if (!scalar()) {
      return false;
    }
    // A value is complete: close what it completes, or move to the next
    // element.
    for (;;) {
      if (open.empty()) return true;
      skip_space();
      if (take(',')) {
        if (open.back() == '{') {
          skip_space();
          if (!key()) return false;
        }
        break;
      }
      if (!take(open.back() == '[' ? ']' : '}')) return false;
      open.pop_back();
    }
  }
}

bool JsonScanner::key() {
  if (!string(nullptr)) return false;
  skip_space();
  return take(':');
}

bool JsonScanner::word(std::string_view w) noexcept {
  if (s_.substr(i_, w.size()) != w) return false;
  i_ += w.size();
  return true;
}

bool JsonScanner::scalar() {
  switch (s_[i_]) {
    case '"': return string(nullptr);
    case 'n': return word("null");
    case 't': return word("true");
    case 'f': return word("false");
    case 'N': return word("NaN");
    case 'I': return word("Infinity");
    case '-':
      if (word("-Infinity")) return true;
      return number(nullptr);
    default: return number(nullptr);
  }
}

std::optional<std::array<std::string_view, 2>> object_members(
    std::string_view json, const std::array<std::string_view, 2>& keys) {
  JsonScanner scan(json);
  std::array<std::string_view, 2> values;
  std::array<bool, 2> seen{};
  scan.skip_space();
  if (!scan.take('{')) return std::nullopt;
  scan.skip_space();
  if (!scan.take('}')) {
    std::string key;
    for (;;) {
      key.clear();
      if (!scan.string(&key)) return std::nullopt;
      std::size_t slot = 0;
      while (slot < keys.size() && keys[slot] != key) ++slot;
      if (slot == keys.size()) return std::nullopt;
      scan.skip_space();
      if (!scan.take(':')) return std::nullopt;
      scan.skip_space();
      const std::size_t begin = scan.pos();
      if (!scan.value()) return std::nullopt;
      values[slot] = json.substr(begin, scan.pos() - begin);
      seen[slot] = true;
      scan.skip_space();
      if (scan.take('}')) break;
      if (!scan.take(',')) return std::nullopt;
      scan.skip_space();
    }
  }
  scan.skip_space();
  if (!scan.at_end() || !seen[0] || !seen[1]) return std::nullopt;
  return values;
}

std::optional<std::uint32_t> int_value(std::string_view json, std::uint32_t limit) {
  JsonScanner scan(json);
  std::optional<std::uint32_t> value;
  if (!scan.number(&value) || !scan.at_end() || !value || *value > limit) return std::nullopt;
  return value;
}

std::optional<std::string> json_text(std::string_view json) {
  if (json.size() < 2 || json.front() != '"') return std::nullopt;
  std::string out;
  const auto hex4 = [&](std::size_t at) {
    unsigned code = 0;
    for (std::size_t k = at; k < at + 4; ++k) {
      const char h = json[k];
      code = code * 16 + static_cast<unsigned>(is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    return code;
  };
  // The scanner has checked every escape: a 'u' has its four hex digits.
  for (std::size_t i = 1; i + 1 < json.size();) {
    const char c = json[i++];
    if (c != '\\') {
      out += c;
      continue;
    }
    const char e = json[i++];
    if (e != 'u') {
      constexpr std::string_view FROM = "\"\\/bfnrt";
      constexpr std::string_view TO = "\"\\/\b\f\n\r\t";
      out += TO[FROM.find(e)];
      continue;
    }
    unsigned code = hex4(i);
    i += 4;
    if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;
    if (code >= 0xD800 && code <= 0xDBFF) {
      // Only a low surrogate right after makes it a character.
      if (json.substr(i, 2) != "\\u") return std::nullopt;
      const unsigned low = hex4(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      i += 6;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace ovilex::json_line
