// tiktoken's rank files, read into a vocabulary whose ids are the ranks.
//
// Two forms hold the same thing, each token's bytes in base64 and its rank:
//
//   - lines (a .tiktoken file): "BASE64 RANK" per line, the two fields
//     apart by ASCII whitespace; blank lines are skipped. Lines end in "\n",
//     "\r\n" or "\r".
//   - compact (the bpe_ranks string of the JSON encodings that the npm
//     package tiktoken ships): lines apart by "\n", each "! FIRST B64 B64
//     ...", fields apart by one space; the tokens of a line have the ranks
//     FIRST, FIRST + 1, ... in turn.
//
// Base64 is the standard alphabet with its padding ('=' to a multiple of
// four characters, only at the end). Every rank is a token id (0 to
// MAX_TOKEN_ID), given once; every token is one or more bytes, given once;
// and each of the 256 bytes is a token of its own, as byte-level BPE needs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tokenizer/token_keys.h"
#include "tokenizer/types.h"

namespace ovilex {

// What is wrong with a rank file, for a message; the reader that finds it
// stops there.
struct RankProblem {
  enum class Kind {
    Malformed,    // |text|: the line, which is not of the form
    NotBase64,    // |text|: the field (compact form; the lines form says Malformed)
    Negative,     // |token|, |text|: the rank, negative
    TooLarge,     // |token|, |text|: the rank, above MAX_TOKEN_ID
    Empty,        // a token of no bytes
    RankTwice,    // |rank|
    BytesTwice,   // |token|, given before with |other_rank|, now with |rank|
    MissingByte,  // |byte| has no token of its own (line 0: the whole file)
  };
  Kind kind;
  std::size_t line = 0;  // 1 on
  std::string_view text;
  std::string token;
  std::uint64_t rank = 0;
  std::uint64_t other_rank = 0;
  unsigned byte = 0;
};

struct RankRead {
  VocabList vocab;
  // The tokens of |vocab| by their bytes (views into it, which a move of
  // the vocabulary keeps valid).
  TokenKeys keys;
  std::optional<RankProblem> problem;
};

RankRead read_rank_lines(std::string_view data);
RankRead read_compact_ranks(std::string_view data);

}  // namespace ovilex
