#include "reserved_tokens.h"

#include <algorithm>
#include <cstring>

namespace ovilex::engine {

SpecialTokens::SpecialTokens(std::vector<SpecialToken> tokens) : by_id_(std::move(tokens)) {
  std::sort(by_id_.begin(), by_id_.end(),
            [](const SpecialToken& a, const SpecialToken& b) { return a.id < b.id; });
  by_text_.resize(by_id_.size());
  for (std::uint32_t i = 0; i < by_text_.size(); ++i) by_text_[i] = i;
  std::sort(by_text_.begin(), by_text_.end(),
            [&](std::uint32_t a, std::uint32_t b) { return by_id_[a].text < by_id_[b].text; });
}

std::optional<std::string_view> SpecialTokens::text_of(TokenId id) const noexcept {
  const auto it = std::lower_bound(by_id_.begin(), by_id_.end(), id,
                                   [](const SpecialToken& t, TokenId v) { return t.id < v; });
  if (it == by_id_.end() || it->id != id) return std::nullopt;
  return it->text;
}

std::optional<TokenId> SpecialTokens::id_of(std::string_view text) const noexcept {
  const auto it = std::lower_bound(
      by_text_.begin(), by_text_.end(), text,
      [&](std::uint32_t i, std::string_view v) { return std::string_view(by_id_[i].text) < v; });
  if (it == by_text_.end() || by_id_[*it].text != text) return std::nullopt;
  return by_id_[*it].id;
}

SpecialMatcher::SpecialMatcher(std::span<const SpecialToken> tokens)
    : tokens_(tokens.begin(), tokens.end()) {
  const auto first = [](const SpecialToken& t) { return static_cast<unsigned char>(t.text[0]); };
  std::sort(tokens_.begin(), tokens_.end(), [&](const SpecialToken& a, const SpecialToken& b) {
    if (first(a) != first(b)) return first(a) < first(b);
    return a.text.size() > b.text.size();
  });
  std::size_t i = 0;
  for (unsigned b = 0; b < 256; ++b) {
    starts_[b] = static_cast<std::uint32_t>(i);
    while (i < tokens_.size() && first(tokens_[i]) == b) ++i;
  }
  starts_[256] = static_cast<std::uint32_t>(tokens_.size());
  if (!tokens_.empty() && first(tokens_.front()) == first(tokens_.back())) {
    only_first_ = first(tokens_.front());
  }
}

std::optional<SpecialMatcher::Match> SpecialMatcher::find(std::string_view text,
                                                          std::size_t from) const noexcept {
  // The longest token of |b|'s group that begins at |at|.
  const auto at_position = [&](std::size_t at, unsigned b) -> std::optional<Match> {
    const std::string_view rest = text.substr(at);
    for (std::uint32_t k = starts_[b]; k < starts_[b + 1]; ++k) {
      const SpecialToken& token = tokens_[k];
      if (rest.starts_with(token.text)) return Match{at, at + token.text.size(), token.id};
    }
    return std::nullopt;
  };
  if (tokens_.empty()) return std::nullopt;
  const char* const data = text.data();
  if (only_first_ >= 0) {
    while (from < text.size()) {
      const void* hit = std::memchr(data + from, only_first_, text.size() - from);
      if (hit == nullptr) return std::nullopt;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
      if (auto match = at_position(at, static_cast<unsigned>(only_first_))) return match;
      from = at + 1;
    }
    return std::nullopt;
  }
  for (std::size_t at = from; at < text.size(); ++at) {
    const auto b = static_cast<unsigned char>(data[at]);
    if (starts_[b] == starts_[b + 1]) continue;
    if (auto match = at_position(at, b)) return match;
  }
  return std::nullopt;
}

}  // namespace ovilex::engine
