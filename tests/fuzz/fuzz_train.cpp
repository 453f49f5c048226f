// Fuzzes training against the merge loop of oracle.h: from the same chunks,
// count_pairs and learn_merges must make the merges that recounting every
// pair at every step makes, and leave every word rewritten the same way.
//
// The input is read as a recipe: a small alphabet, then words over it, each
// given as a chunk several times so that pairs reach the minimum frequency.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "oracle.h"
#include "tokenizer/train.h"

namespace {

using ovilex::Merge;
using ovilex::Word;

std::vector<std::string> make_chunks(FuzzedDataProvider& in) {
  std::vector<std::uint8_t> alphabet(in.ConsumeIntegralInRange<std::size_t>(1, 5));
  for (std::uint8_t& b : alphabet) b = in.ConsumeIntegral<std::uint8_t>();
  const std::size_t words = in.ConsumeIntegralInRange<std::size_t>(0, 14);
  std::vector<std::string> chunks;
  for (std::size_t w = 0; w < words; ++w) {
    // Mostly words that fit a slot's inline ids, some longer ones.
    const std::size_t length = in.ConsumeIntegralInRange<int>(0, 4) == 0
                                   ? in.ConsumeIntegralInRange<std::size_t>(9, 120)
                                   : in.ConsumeIntegralInRange<std::size_t>(0, 8);
    std::vector<std::uint8_t> raw = in.ConsumeBytes<std::uint8_t>(length);
    if (raw.empty()) raw.push_back(0);
    std::string chunk(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
      chunk[i] = static_cast<char>(alphabet[raw[i % raw.size()] % alphabet.size()]);
    }
    const std::size_t times = in.ConsumeIntegralInRange<std::size_t>(1, 6);
    for (std::size_t t = 0; t < times; ++t) chunks.push_back(chunk);
  }
  return chunks;
}

void print_merges(const char* label, const std::vector<Merge>& merges) {
  std::fprintf(stderr, "%s:", label);
  for (const Merge& m : merges) std::fprintf(stderr, " ((%u,%u),%u)", m.left, m.right, m.new_id);
  std::fprintf(stderr, "\n");
}

[[noreturn]] void report(const char* what, const std::vector<std::string>& chunks) {
  std::fprintf(stderr, "%s\nchunks:", what);
  for (const std::string& c : chunks) {
    std::fprintf(stderr, " [");
    for (const char ch : c) std::fprintf(stderr, "%u ", static_cast<unsigned char>(ch));
    std::fprintf(stderr, "]");
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::vector<std::string> chunks = make_chunks(in);
  // The word length from which the merge loop indexes positions: past 120,
  // no word is merged that way.
  const auto positional_from = in.ConsumeIntegralInRange<std::size_t>(2, 130);
  const std::vector<std::string_view> views(chunks.begin(), chunks.end());

  ovilex::oracle::WordTable table = ovilex::oracle::word_table(views);
  std::map<Word, Word> want_words;
  for (const auto& [word, freq] : table) want_words[word];
  const std::vector<Merge> want = ovilex::oracle::learn_merges_sequential(table);
  {
    auto it = want_words.begin();
    for (const auto& [word, freq] : table) (it++)->second = word;
  }

  ovilex::WordCounter counter;
  for (const std::string& chunk : chunks) counter.add(chunk);
  std::vector<ovilex::WordFreq> words = std::move(counter).take_words();
  std::vector<Word> originals;
  for (const ovilex::WordFreq& w : words) originals.push_back(w.word);
  ovilex::PairFreqs freqs = ovilex::count_pairs(words);
  const std::vector<Merge> got = ovilex::learn_merges(words, std::move(freqs), positional_from);

  if (got != want) {
    print_merges("got", got);
    print_merges("want", want);
    report("learn_merges differs from the sequential loop", chunks);
  }
  if (words.size() != want_words.size()) report("a different number of distinct words", chunks);
  for (std::size_t w = 0; w < words.size(); ++w) {
    const auto it = want_words.find(originals[w]);
    if (it == want_words.end() || it->second != words[w].word) {
      report("a word was rewritten differently", chunks);
    }
  }
  return 0;
}
