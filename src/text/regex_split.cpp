#include "regex_split.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <array>
#include <optional>

namespace ovilex::text {

namespace {

constexpr std::array<std::pair<std::string_view, SplitBehavior>, 5> BEHAVIORS{{
    {"isolated", SplitBehavior::Isolated},
    {"removed", SplitBehavior::Removed},
    {"merged_with_previous", SplitBehavior::MergedWithPrevious},
    {"merged_with_next", SplitBehavior::MergedWithNext},
    {"contiguous", SplitBehavior::Contiguous},
}};

// Owners of PCRE2's objects, each freed by its own function.
template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const noexcept { Free(p); }
};
using CodePtr = std::unique_ptr<pcre2_code, Freer<pcre2_code, pcre2_code_free>>;
using CompileContextPtr =
    std::unique_ptr<pcre2_compile_context, Freer<pcre2_compile_context, pcre2_compile_context_free>>;
using MatchDataPtr =
    std::unique_ptr<pcre2_match_data, Freer<pcre2_match_data, pcre2_match_data_free>>;
using MatchContextPtr =
    std::unique_ptr<pcre2_match_context, Freer<pcre2_match_context, pcre2_match_context_free>>;
using JitStackPtr = std::unique_ptr<pcre2_jit_stack, Freer<pcre2_jit_stack, pcre2_jit_stack_free>>;

std::string error_message(int code) {
  std::array<PCRE2_UCHAR, 256> buffer{};
  const int n = pcre2_get_error_message(code, buffer.data(), buffer.size());
  return n < 0 ? "error " + std::to_string(code)
               : std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
}

// What one thread matches with: match data for the whole match alone (the
// groups are never read), and a JIT stack larger than the default, which a
// pattern of nested repeats outgrows on a long piece.
struct Scratch {
  MatchDataPtr data{pcre2_match_data_create(1, nullptr)};
  JitStackPtr stack{pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr)};
  MatchContextPtr context{pcre2_match_context_create(nullptr)};

  Scratch() {
    if (!data || !stack || !context) throw std::bad_alloc();
    pcre2_jit_stack_assign(context.get(), nullptr, stack.get());
  }
};

// Whether PCRE2 knows |name| as a script.
bool is_script(std::string_view name) {
  const std::string probe = "\\p{sc:" + std::string(name) + "}";
  int error = 0;
  PCRE2_SIZE offset = 0;
  const CodePtr code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(probe.data()), probe.size(),
                                   PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr));
  return code != nullptr;
}

// |regex| as the libraries read it, in PCRE2's terms: \s and \S as
// Unicode's White_Space and its complement (PCRE2's \s takes U+180E too),
// and a script \p{Greek} as the code points of that script alone (PCRE2
// takes its Script_Extensions, the libraries the Script property).
std::string as_the_libraries_read_it(std::string_view regex) {
  std::string out;
  out.reserve(regex.size());
  for (std::size_t i = 0; i < regex.size(); ++i) {
    if (regex[i] != '\\' || i + 1 == regex.size()) {
      out += regex[i];
      continue;
    }
    const char next = regex[++i];
    if (next == 's' || next == 'S') {
      out += next == 's' ? "\\p{White_Space}" : "\\P{White_Space}";
      continue;
    }
    out += '\\';
    out += next;
    if ((next == 'p' || next == 'P') && i + 1 < regex.size() && regex[i + 1] == '{') {
      const std::size_t close = regex.find('}', i + 1);
      if (close == std::string_view::npos) continue;
      std::string_view name = regex.substr(i + 2, close - i - 2);
      out += '{';
      if (!name.empty() && name.front() == '^') {
        out += '^';
        name.remove_prefix(1);
      }
      if (name.find_first_of(":=") == std::string_view::npos && is_script(name)) out += "sc:";
      out += name;
      out += '}';
      i = close;
    }
  }
  return out;
}

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

}  // namespace

std::string_view split_behavior_name(SplitBehavior behavior) noexcept {
  for (const auto& [name, b] : BEHAVIORS) {
    if (b == behavior) return name;
  }
  return "isolated";
}

bool split_behavior_named(std::string_view name, SplitBehavior& out) noexcept {
  for (const auto& [n, b] : BEHAVIORS) {
    if (n == name) {
      out = b;
      return true;
    }
  }
  return false;
}

struct RegexSplitter::Compiled {
  CodePtr code;
  bool jit = false;
  SplitBehavior behavior = SplitBehavior::Isolated;
  bool invert = false;
  // Removed with invert: the matches alone, the text between them dropped.
  bool findall() const noexcept { return behavior == SplitBehavior::Removed && invert; }

  // The first match in text[from, end) of |subject|, or nullopt.
  std::optional<std::pair<std::size_t, std::size_t>> find(std::string_view subject,
                                                          std::size_t from) const {
    Scratch& s = scratch();
    const auto* bytes = reinterpret_cast<PCRE2_SPTR>(subject.data());
    const int rc = jit ? pcre2_jit_match(code.get(), bytes, subject.size(), from, 0, s.data.get(),
                                         s.context.get())
                       : pcre2_match(code.get(), bytes, subject.size(), from, PCRE2_NO_UTF_CHECK,
                                     s.data.get(), s.context.get());
    if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
    // 0: the match data holds fewer groups than the pattern, which is meant.
    if (rc < 0) throw RegexError("the split pattern failed to match: " + error_message(rc));
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(s.data.get());
    return std::pair<std::size_t, std::size_t>(ovector[0], ovector[1]);
  }
};

RegexSplitter::RegexSplitter(std::vector<SplitStep> steps) : steps_(std::move(steps)) {
  const CompileContextPtr context(pcre2_compile_context_create(nullptr));
  if (!context) throw std::bad_alloc();
  // "." stops at LF alone, as in the libraries, whatever PCRE2 was built with.
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
  bool jit_available = false;
  {
    std::uint32_t jit = 0;
    jit_available = pcre2_config(PCRE2_CONFIG_JIT, &jit) >= 0 && jit != 0;
  }
  for (const SplitStep& step : steps_) {
    auto compiled = std::make_unique<Compiled>();
    std::string regex = as_the_libraries_read_it(step.regex);
    compiled->behavior = step.behavior;
    compiled->invert = step.invert;
    if (step.kind == SplitStep::Kind::Digits) {
      regex = "\\p{N}";
      compiled->behavior =
          step.individual_digits ? SplitBehavior::Isolated : SplitBehavior::Contiguous;
      compiled->invert = false;
    }
    int error = 0;
    PCRE2_SIZE offset = 0;
    const auto compile = [&](std::string_view r) {
      return CodePtr(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(r.data()), r.size(),
                                   PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY |
                                       PCRE2_NEVER_BACKSLASH_C,
                                   &error, &offset, context.get()));
    };
    compiled->code = compile(regex);
    if (!compiled->code) {
      // The offset within the pattern as given, not as rewritten.
      compile(step.kind == SplitStep::Kind::Regex ? std::string_view(step.regex) : regex);
      throw RegexError("PCRE2 cannot compile it at offset " + std::to_string(offset) + ": " +
                       error_message(error));
    }
    std::uint32_t min_length = 0;
    pcre2_pattern_info(compiled->code.get(), PCRE2_INFO_MINLENGTH, &min_length);
    if (min_length == 0) throw RegexError("it may match the empty string");
    compiled->jit = jit_available && pcre2_jit_compile(compiled->code.get(), PCRE2_JIT_COMPLETE) == 0;
    compiled_.push_back(std::move(compiled));
  }
}

RegexSplitter::~RegexSplitter() = default;

void RegexSplitter::split_to(std::string_view text, Sink sink) const {
  if (text.empty()) return;
  if (compiled_.empty()) return sink.call(sink.context, 0, text.size());
  split_piece(0, text, 0, text.size(), sink);
}

// The pieces of text[begin, end) under step |step|, each split by the steps
// after it, or handed to |sink| after the last.
void RegexSplitter::split_piece(std::size_t step, std::string_view text, std::size_t begin,
                                std::size_t end, Sink sink) const {
  const Compiled& c = *compiled_[step];
  const auto emit = [&](std::size_t b, std::size_t e) {
    if (step + 1 == compiled_.size()) return sink.call(sink.context, b, e);
    split_piece(step + 1, text, b, e, sink);
  };
  const std::string_view subject = text.substr(begin, end - begin);
  if (c.findall()) {
    for (std::size_t at = 0; at < subject.size();) {
      const auto match = c.find(subject, at);
      if (!match) break;
      emit(begin + match->first, begin + match->second);
      at = match->second;  // never empty: see the constructor
    }
    return;
  }
  // The piece as matches and the stretches between them, each taken in
  // turn by the behaviour, which holds back at most one piece.
  struct Held {
    std::size_t begin, end;
    bool match;
  };
  std::optional<Held> held;
  bool previous_match = false;
  const auto flush = [&] {
    if (held) emit(held->begin, held->end);
    held.reset();
  };
  const auto take = [&](std::size_t b, std::size_t e, bool match) {
    match = match != c.invert;
    switch (c.behavior) {
      case SplitBehavior::Isolated:
        emit(b, e);
        break;
      case SplitBehavior::Removed:
        if (!match) emit(b, e);
        break;
      case SplitBehavior::MergedWithPrevious:
        if (match && !previous_match && held) {
          held->end = e;
        } else {
          flush();
          held = Held{b, e, match};
        }
        break;
      case SplitBehavior::MergedWithNext:
        if (match) {
          flush();
          held = Held{b, e, match};
        } else if (held && held->match) {
          emit(held->begin, e);
          held.reset();
        } else {
          flush();
          emit(b, e);
        }
        break;
      case SplitBehavior::Contiguous:
        if (held && match == held->match) {
          held->end = e;
        } else {
          flush();
          held = Held{b, e, match};
        }
        break;
    }
    previous_match = match;
  };
  std::size_t at = 0;
  while (at < subject.size()) {
    const auto match = c.find(subject, at);
    if (!match) break;
    if (match->first > at) take(begin + at, begin + match->first, false);
    take(begin + match->first, begin + match->second, true);
    at = match->second;
  }
  if (at < subject.size()) take(begin + at, end, false);
  flush();
}

}  // namespace ovilex::text
