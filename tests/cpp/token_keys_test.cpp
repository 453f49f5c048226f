// Tokens by their bytes (tokenizer/token_keys.h) against a std::map, on
// byte strings that share prefixes, hold zero bytes and differ in length
// only, with the table grown from its smallest size.
#include "tokenizer/token_keys.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace ovilex {
namespace {

std::span<const std::uint8_t> span_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(TokenKeys, FindsExactlyTheTokensGivenAndTheirParts) {
  std::mt19937 rng(11);
  std::vector<std::string> strings;  // reserved: the table keeps views
  strings.reserve(6000);
  std::map<std::string, TokenId> oracle;
  TokenKeys keys;
  for (TokenId id = 0; strings.size() < 6000; ++id) {
    std::string s(1 + rng() % 12, '\0');
    for (char& c : s) c = "\0\1ab"[rng() % 4];
    strings.push_back(s);
    const auto [it, fresh] = oracle.try_emplace(s, id);
    const auto before = keys.insert(span_of(strings.back()), id);
    ASSERT_EQ(before.has_value(), !fresh) << s;
    if (before) {
      ASSERT_EQ(*before, it->second);
    }
  }
  ASSERT_EQ(keys.size(), oracle.size());
  for (int i = 0; i < 20000; ++i) {
    std::string s(1 + rng() % 13, '\0');
    for (char& c : s) c = "\0\1ab"[rng() % 4];
    const auto it = oracle.find(s);
    ASSERT_EQ(keys.find(s), it == oracle.end() ? std::nullopt : std::optional(it->second)) << s;
    // A part's hash from the prefixes' hashes is the part's own hash.
    std::vector<std::uint64_t> prefix(s.size() + 1);
    for (std::size_t k = 0; k < s.size(); ++k) {
      prefix[k + 1] = keys.extend(prefix[k], static_cast<std::uint8_t>(s[k]));
    }
    const std::size_t begin = rng() % s.size();
    const std::string part = s.substr(begin);
    ASSERT_EQ(keys.suffix(prefix[s.size()], prefix[begin], part.size()),
              keys.hash_of(span_of(part)));
  }
}

}  // namespace
}  // namespace ovilex
