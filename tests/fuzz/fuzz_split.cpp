// Fuzzes the UTF-8 splitter under every pattern. On any bytes the chunks join to the input. On
// valid UTF-8 they are the chunks that the code-point splitter (the same
// rules over another representation, the one Python's str kinds use) gives
// for the decoded text, and cutting the text at last_safe_cut of a prefix
// and splitting the two sides apart gives the chunks of the whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/split.h"
#include "tokenizer/decode.h"

namespace {

using Chunks = std::vector<std::string_view>;

using ovilex::text::SplitPattern;

Chunks split(SplitPattern pattern, std::string_view text) {
  Chunks out;
  ovilex::text::split_utf8(pattern, text, [&](std::string_view c) { out.push_back(c); });
  return out;
}

// Valid UTF-8 as code points, with the byte offset where each begins.
std::u32string decode(std::string_view text, std::vector<std::size_t>& starts) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = width == 1 ? b : width == 2 ? b & 0x1F : width == 3 ? b & 0x0F : b & 0x07;
    for (std::size_t k = 1; k < width; ++k) cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    starts.push_back(i);
    out.push_back(cp);
    i += width;
  }
  starts.push_back(text.size());
  return out;
}

void check(bool ok) {
  if (!ok) std::abort();
}

void check_pattern(SplitPattern pattern, const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Chunks whole = split(pattern, text);
  std::string joined;
  for (const std::string_view c : whole) {
    check(!c.empty());
    joined += c;
  }
  check(joined == text);
  if (ovilex::validate_utf8({data, size})) return;

  // The code-point splitter cuts at the same code points.
  std::vector<std::size_t> starts;
  const std::u32string points = decode(text, starts);
  std::vector<std::size_t> cuts;
  std::size_t at = 0;
  ovilex::text::split_code_points(pattern, std::span<const char32_t>(points),
                                  [&](std::size_t begin, std::size_t end) {
                                    check(begin == at);
                                    at = end;
                                    cuts.push_back(starts[end]);
                                  });
  check(at == points.size());
  check(cuts.size() == whole.size());
  std::size_t end = 0;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    end += whole[i].size();
    check(cuts[i] == end);
  }

  // A safe cut of any prefix splits apart as the whole.
  for (const std::size_t prefix : {size / 3, size / 2, size}) {
    const std::size_t cut = ovilex::text::last_safe_cut(pattern, text.substr(0, prefix));
    if (cut == 0) continue;
    Chunks parts = split(pattern, text.substr(0, cut));
    const Chunks rest = split(pattern, text.substr(cut));
    parts.insert(parts.end(), rest.begin(), rest.end());
    check(parts == whole);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const SplitPattern pattern : {SplitPattern::Ovilex, SplitPattern::Gpt2, SplitPattern::Cl100k,
                                     SplitPattern::Llama3, SplitPattern::Qwen2, SplitPattern::O200k}) {
    check_pattern(pattern, data, size);
  }
  return 0;
}
