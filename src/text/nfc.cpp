#include "nfc.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "text/split.h"

namespace ovilex::text {

namespace {

// NFC_INDEX, NFC_BLOCKS, the decompositions and the compositions, written
// at build time by tools/gen_nfc_tables.py.
#include "nfc_tables.inc"

constexpr std::uint8_t QC_MASK = 3;
// The least first byte of a code point from U+0300 on: every byte below it
// is ASCII, a continuation, or the first of a code point below U+0300.
constexpr unsigned char FIRST_BYTE_FROM_0300 = 0xCC;

// Hangul syllables: L V (T), computed.
constexpr char32_t S_BASE = 0xAC00, L_BASE = 0x1100, V_BASE = 0x1161, T_BASE = 0x11A7;
constexpr char32_t L_COUNT = 19, V_COUNT = 21, T_COUNT = 28;
constexpr char32_t N_COUNT = V_COUNT * T_COUNT, S_COUNT = L_COUNT * N_COUNT;

std::uint8_t table(std::size_t which, char32_t cp) noexcept {
  const std::size_t block = NFC_INDEX[which][cp >> 8];
  return NFC_BLOCKS[(block << 8) | (cp & 0xFF)];
}

std::uint8_t flags_of(char32_t cp) noexcept { return table(1, cp); }

// The flags of the Basic Multilingual Plane in one flat table: one load
// per code point on the quick check's path.
struct BmpFlags {
  std::uint8_t flags[0x10000];
  BmpFlags() noexcept {
    for (char32_t cp = 0; cp < 0x10000; ++cp) flags[cp] = flags_of(cp);
  }
};

const std::uint8_t* bmp_flags() noexcept {
  static const BmpFlags table;
  return table.flags;
}

// The end of the run of two- and three-byte boundaries from |i|: letters of
// most scripts, each decoded in place and looked up once.
std::size_t skip_bmp_boundaries(const unsigned char* s, std::size_t i, std::size_t n,
                                const std::uint8_t* flags) noexcept {
  while (i + 2 < n) {
    const unsigned char b = s[i];
    char32_t cp;
    std::size_t width;
    if (b >= 0xE0 && b < 0xF0) {
      cp = (char32_t{b} & 0x0F) << 12 | (char32_t{s[i + 1]} & 0x3F) << 6 | (s[i + 2] & 0x3F);
      width = 3;
    } else if (b >= FIRST_BYTE_FROM_0300 && b < 0xE0) {
      cp = (char32_t{b} & 0x1F) << 6 | (s[i + 1] & 0x3F);
      width = 2;
    } else {
      break;
    }
    if ((flags[cp] & NFC_BOUNDARY) == 0) break;
    i += width;
  }
  return i;
}

// The code point whose first byte is at |s|[i], and its width; |s| is
// valid UTF-8.
char32_t decode_at(const unsigned char* s, std::size_t i, std::size_t& width) noexcept {
  const unsigned char b = s[i];
  if (b < 0x80) {
    width = 1;
    return b;
  }
  if (b < 0xE0) {
    width = 2;
    return (char32_t{b} & 0x1F) << 6 | (s[i + 1] & 0x3F);
  }
  if (b < 0xF0) {
    width = 3;
    return (char32_t{b} & 0x0F) << 12 | (char32_t{s[i + 1]} & 0x3F) << 6 | (s[i + 2] & 0x3F);
  }
  width = 4;
  return (char32_t{b} & 0x07) << 18 | (char32_t{s[i + 1]} & 0x3F) << 12 |
         (char32_t{s[i + 2]} & 0x3F) << 6 | (s[i + 3] & 0x3F);
}

void encode_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Appends the full canonical decomposition of |cp| to |out|.
void decompose(char32_t cp, std::vector<char32_t>& out) {
  if (cp >= S_BASE && cp < S_BASE + S_COUNT) {
    const char32_t s = cp - S_BASE;
    out.push_back(L_BASE + s / N_COUNT);
    out.push_back(V_BASE + s % N_COUNT / T_COUNT);
    if (s % T_COUNT != 0) out.push_back(T_BASE + s % T_COUNT);
    return;
  }
  if ((flags_of(cp) & NFC_DECOMPOSES) != 0) {
    const char32_t* const keys = std::begin(NFC_DECOMP_KEYS);
    const char32_t* const at = std::lower_bound(keys, std::end(NFC_DECOMP_KEYS), cp);
    const std::size_t k = static_cast<std::size_t>(at - keys);
    out.insert(out.end(), NFC_DECOMP_POOL + NFC_DECOMP_OFFSETS[k],
               NFC_DECOMP_POOL + NFC_DECOMP_OFFSETS[k + 1]);
    return;
  }
  out.push_back(cp);
}

// The primary composite of |first| and |second|, or 0.
char32_t compose(char32_t first, char32_t second) noexcept {
  if (first >= L_BASE && first < L_BASE + L_COUNT && second >= V_BASE &&
      second < V_BASE + V_COUNT) {
    return S_BASE + ((first - L_BASE) * V_COUNT + (second - V_BASE)) * T_COUNT;
  }
  if (first >= S_BASE && first < S_BASE + S_COUNT && (first - S_BASE) % T_COUNT == 0 &&
      second > T_BASE && second < T_BASE + T_COUNT) {
    return first + (second - T_BASE);
  }
  const std::uint64_t key = std::uint64_t{first} << 21 | second;
  const std::uint64_t* const keys = std::begin(NFC_COMPOSE_KEYS);
  const std::uint64_t* const at = std::lower_bound(keys, std::end(NFC_COMPOSE_KEYS), key);
  if (at == std::end(NFC_COMPOSE_KEYS) || *at != key) return 0;
  return NFC_COMPOSE_VALUES[at - keys];
}

// The NFC form of |span|, which begins at a boundary (or the text's start)
// and ends at one (or the text's end), appended to |out|.
void normalize_span(std::string_view span, std::vector<char32_t>& buffer, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(span.data());
  buffer.clear();
  for (std::size_t i = 0; i < span.size();) {
    std::size_t width = 0;
    decompose(decode_at(s, i, width), buffer);
    i += width;
  }
  // Canonical ordering: each run of marks sorted by class, stably.
  for (std::size_t i = 1; i < buffer.size(); ++i) {
    const char32_t cp = buffer[i];
    const std::uint8_t cc = combining_class(cp);
    if (cc == 0) continue;
    std::size_t j = i;
    while (j > 0 && combining_class(buffer[j - 1]) > cc) {
      buffer[j] = buffer[j - 1];
      --j;
    }
    buffer[j] = cp;
  }
  // Composition, in place: each code point joins the last starter unless
  // something between them blocks it.
  constexpr std::size_t NONE = static_cast<std::size_t>(-1);
  std::size_t starter = NONE;
  std::uint8_t last_cc = 0;
  std::size_t w = 0;
  for (std::size_t r = 0; r < buffer.size(); ++r) {
    const char32_t cp = buffer[r];
    const std::uint8_t cc = combining_class(cp);
    if (starter != NONE) {
      const bool blocked = w > starter + 1 && (last_cc == 0 || last_cc >= cc);
      if (!blocked) {
        if (const char32_t composite = compose(buffer[starter], cp)) {
          buffer[starter] = composite;
          continue;
        }
      }
    }
    if (cc == 0) starter = w;
    last_cc = cc;
    buffer[w++] = cp;
  }
  for (std::size_t i = 0; i < w; ++i) encode_utf8(buffer[i], out);
}

// Whether any of the 8 bytes is 0xCC or more: the first byte of a code
// point from U+0300 on. (Each byte's low 7 bits plus 0x34 stay below 0x100.)
bool any_from_0300(std::uint64_t x) noexcept {
  constexpr std::uint64_t LOW = 0x7F7F7F7F7F7F7F7FULL, ADD = 0x3434343434343434ULL;
  constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
  return (((x & LOW) + ADD) & x & HIGH) != 0;
}

// The start of the code point that ends at |i| (> 0).
std::size_t start_before(const unsigned char* s, std::size_t i) noexcept {
  do {
    --i;
  } while (i > 0 && (s[i] & 0xC0) == 0x80);
  return i;
}

}  // namespace

std::optional<Normalizer> normalizer_named(std::string_view name) noexcept {
  if (name == "nfc") return Normalizer::Nfc;
  return std::nullopt;
}

std::string_view normalizer_name(Normalizer normalizer) noexcept {
  return normalizer == Normalizer::Nfc ? "nfc" : "";
}

std::string_view nfc_unicode_version() noexcept { return NFC_UNICODE_VERSION; }

std::uint8_t combining_class(char32_t cp) noexcept { return table(0, cp); }

bool nfc_boundary(char32_t cp) noexcept { return (flags_of(cp) & NFC_BOUNDARY) != 0; }

std::string_view nfc(std::string_view text, std::string& scratch) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // text[0, copied) is in |scratch| (once |changed|) in its NFC form.
  bool changed = false;
  std::size_t copied = 0;
  std::vector<char32_t> buffer;
  std::string span_out;
  const std::uint8_t* const bmp = bmp_flags();
  std::uint8_t last_cc = 0;
  std::size_t i = 0;
  while (i < n) {
    // Below U+0300: starters that nothing composes with backwards.
    if (s[i] < FIRST_BYTE_FROM_0300) {
      while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (any_from_0300(word)) break;
        i += 8;
      }
      while (i < n && s[i] < FIRST_BYTE_FROM_0300) ++i;
      last_cc = 0;
      continue;
    }
    if (const std::size_t past = skip_bmp_boundaries(s, i, n, bmp); past != i) {
      i = past;
      last_cc = 0;
      continue;
    }
    std::size_t width = 0;
    const char32_t cp = decode_at(s, i, width);
    const std::uint8_t flags = cp < 0x10000 ? bmp[cp] : flags_of(cp);
    // Most code points are boundaries: one lookup.
    if ((flags & NFC_BOUNDARY) != 0) {
      last_cc = 0;
      i += width;
      continue;
    }
    const std::uint8_t cc = combining_class(cp);
    const std::uint8_t qc = flags & QC_MASK;
    if (qc == 0 && (cc == 0 || cc >= last_cc)) {
      last_cc = cc;
      i += width;
      continue;
    }
    // A stretch that may change: from the last boundary before i (never
    // before what is done) to the next one after it. (The code point at i
    // is no boundary.)
    std::size_t begin = i;
    while (begin > copied) {
      begin = start_before(s, begin);
      std::size_t w = 0;
      if (nfc_boundary(decode_at(s, begin, w))) break;
    }
    begin = std::max(begin, copied);
    std::size_t end = i + width;
    while (end < n) {
      std::size_t w = 0;
      if (nfc_boundary(decode_at(s, end, w))) break;
      end += w;
    }
    span_out.clear();
    const std::string_view span = text.substr(begin, end - begin);
    normalize_span(span, buffer, span_out);
    if (span_out != span) {
      if (!changed) {
        scratch.clear();
        scratch.reserve(n + n / 8);
        changed = true;
      }
      scratch.append(text.substr(copied, begin - copied));
      scratch.append(span_out);
      copied = end;
    }
    last_cc = 0;
    i = end;
  }
  if (!changed) return text;
  scratch.append(text.substr(copied));
  return scratch;
}

std::size_t last_safe_cut(SplitPattern pattern, Normalizer normalizer, std::string_view text,
                          std::size_t floor) noexcept {
  if (normalizer == Normalizer::None) return last_safe_cut(pattern, text, floor);
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t cut = last_safe_cut(pattern, text, floor);
  // Each look resumes below the last cut found, so the whole search walks
  // back over the text once.
  // Whether a boundary starts at |i| and ends by |end|: the bytes are
  // looked at only within the text, whatever they are.
  const auto boundary_at = [&](std::size_t i, std::size_t end) {
    const unsigned char b = s[i];
    const std::size_t width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::size_t decoded = 0;
    return i + width <= end && nfc_boundary(decode_at(s, i, decoded));
  };
  while (cut != 0) {
    if (boundary_at(cut, text.size()) && boundary_at(start_before(s, cut), cut)) return cut;
    cut = last_safe_cut(pattern, text.substr(0, cut), floor);
  }
  return 0;
}

}  // namespace ovilex::text
