// Straightforward implementations that the fast paths are checked against.
// They follow the rules literally and make no attempt at speed.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace ovilex::oracle {

// Every merge, in list order, applied to every chunk's word with merge_word.
inline std::vector<TokenId> encode_sequential(const std::vector<std::string_view>& chunks,
                                              const std::vector<Merge>& merges) {
  std::vector<Word> words;
  words.reserve(chunks.size());
  for (const std::string_view chunk : chunks) {
    Word w;
    for (const char c : chunk) w.push_back(static_cast<unsigned char>(c));
    words.push_back(std::move(w));
  }
  for (const Merge& m : merges) {
    for (Word& w : words) w = merge_word(w, m.pair(), m.new_id);
  }
  std::vector<TokenId> out;
  for (const Word& w : words) out.insert(out.end(), w.begin(), w.end());
  return out;
}

}  // namespace ovilex::oracle
