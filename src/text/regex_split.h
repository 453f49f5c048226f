// Pre-splitting text by regular expressions outside the native patterns
// (split.h), run by PCRE2 and its JIT compiler.
//
// A RegexSplitter holds a chain of steps; each step splits every piece of
// the step before it (the first step the whole text), and the pieces of the
// last are the chunks. A step is a regular expression and what to do with
// its matches, or the digits (Unicode's \p{N}) alone or in runs.
//
// Within one piece, matching starts at the piece's start and resumes at
// each match's end: the leftmost match from there, as findall finds them.
// The pieces are then the matches and the stretches between them, each
// marked as a match or not (the other way round with |invert|), and the
// behaviour says what becomes of them, as Hugging Face tokenizers' Split
// has it:
//   Isolated            each a piece of its own;
//   Removed             the matches dropped, the rest kept (with |invert|,
//                       the matches alone: tiktoken's findall);
//   MergedWithPrevious  a match joins the piece before it, unless that one
//                       is a match too;
//   MergedWithNext      a match joins the piece after it, unless that one
//                       is a match too;
//   Contiguous          matches next to each other make one piece.
// A pattern is compiled for UTF-8 with Unicode properties for \d, \s and
// the POSIX classes, \s being Unicode's White_Space and \p{Greek} the
// Script property, as in the libraries; "$" matches only at the end of the
// piece. A pattern
// that can match the empty string is refused: the libraries it stands in
// for part on what such a match does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ovilex::text {

enum class SplitBehavior : std::uint8_t {
  Isolated,
  Removed,
  MergedWithPrevious,
  MergedWithNext,
  Contiguous,
};

struct SplitStep {
  enum class Kind : std::uint8_t { Regex, Digits };
  Kind kind = Kind::Regex;
  std::string regex;  // Kind::Regex
  SplitBehavior behavior = SplitBehavior::Removed;
  bool invert = true;  // Kind::Regex: by default, the matches alone
  bool individual_digits = false;  // Kind::Digits: each digit alone, else runs of them

  friend bool operator==(const SplitStep&, const SplitStep&) = default;
};

// The name of a behaviour ("isolated", "removed",
// "merged_with_previous", "merged_with_next", "contiguous"), and the
// behaviour of a name.
std::string_view split_behavior_name(SplitBehavior behavior) noexcept;
bool split_behavior_named(std::string_view name, SplitBehavior& out) noexcept;

// Why a pattern cannot be a split step: PCRE2's compile error with its
// offset, or that it can match the empty string ("it ..." : the caller
// names the pattern).
class RegexError : public std::exception {
 public:
  explicit RegexError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class RegexSplitter {
 public:
  // Compiles every step; RegexError for a pattern that cannot be one.
  explicit RegexSplitter(std::vector<SplitStep> steps);
  ~RegexSplitter();
  RegexSplitter(const RegexSplitter&) = delete;
  RegexSplitter& operator=(const RegexSplitter&) = delete;

  const std::vector<SplitStep>& steps() const noexcept { return steps_; }

  // Calls on_chunk(begin, end) with the byte offsets of each chunk of
  // valid UTF-8 |text|, in order. Safe from many threads at once: each
  // thread matches with scratch of its own.
  template <class OnChunk>
  void split(std::string_view text, OnChunk&& on_chunk) const {
    split_to(text, Sink{&on_chunk, [](void* f, std::size_t begin, std::size_t end) {
                          (*static_cast<std::remove_reference_t<OnChunk>*>(f))(begin, end);
                        }});
  }

  struct Compiled;

 private:
  struct Sink {
    void* context;
    void (*call)(void*, std::size_t, std::size_t);
  };
  void split_to(std::string_view text, Sink sink) const;
  void split_piece(std::size_t step, std::string_view text, std::size_t begin, std::size_t end,
                   Sink sink) const;

  std::vector<SplitStep> steps_;
  std::vector<std::unique_ptr<Compiled>> compiled_;
};

}  // namespace ovilex::text
