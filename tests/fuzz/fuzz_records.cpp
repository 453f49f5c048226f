// Fuzzes the record reader. The input is a merges file and a vocabulary file,
// split at the first 0xFF byte; when the input starts with 'v' the
// vocabulary file is the 256 single-byte entries followed by the input's
// part (every accepted vocabulary holds them, and they would not fit into
// an input of the fuzzer's size). Whatever the bytes, the reader must give
// records or one line naming a file; records it gives must come back the
// same after the writer's texts are read again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "tokenizer/records.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void put(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool same(const ovilex::Records& a, const ovilex::Records& b) {
  if (a.merges != b.merges || a.vocab.ids() != b.vocab.ids()) return false;
  for (const ovilex::TokenId id : a.vocab.ids()) {
    const auto x = *a.vocab.find(id);
    const auto y = *b.vocab.find(id);
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = [] {
    std::string pattern = "/tmp/ovilex-fuzz-records-XXXXXX";
    return std::string(::mkdtemp(pattern.data()));
  }();
  const std::string merges = dir + "/merges.json";
  const std::string vocab = dir + "/vocab.json";
  static const std::string bytes_prelude = [] {
    std::string text = "[\n";
    for (int b = 0; b < 256; ++b) {
      text += "  {\"id\":" + std::to_string(b) + ",\"bytes\":[" + std::to_string(b) + "]},\n";
    }
    return text;
  }();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool prelude = !input.empty() && input[0] == 'v';
  if (prelude) input.remove_prefix(1);
  const std::size_t split = input.find('\xff');
  const std::string_view tail =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  put(merges, input.substr(0, split));
  put(vocab, prelude ? bytes_prelude + std::string(tail) : std::string(tail));

  const ovilex::Result<ovilex::Records> read = ovilex::read_records(merges, vocab);
  if (!read.ok()) {
    const std::string& message = read.error().message;
    check(message.find('\n') == std::string::npos);
    check(message.find(merges) != std::string::npos || message.find(vocab) != std::string::npos);
    return 0;
  }
  put(merges, ovilex::merges_record_text(read.value().merges));
  put(vocab, ovilex::vocab_list_text(read.value().vocab));
  const ovilex::Result<ovilex::Records> again = ovilex::read_records(merges, vocab);
  check(again.ok() && same(read.value(), again.value()));
  return 0;
}
