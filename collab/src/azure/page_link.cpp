#include "page_link.hpp"

namespace collab::azure::detail {

std::optional<std::string_view> trailingNextLink(std::string_view body) noexcept {
  // Walks backwards from the end: '}', the value string, ':', the key "nextLink", then the
  // ',' or '{' that opens the member.  Anything else gives up.
  std::size_t at = body.size();
  const auto skipBlanks = [&] {
    while (at > 0 && (body[at - 1] == ' ' || body[at - 1] == '\t' || body[at - 1] == '\n' ||
                      body[at - 1] == '\r')) {
      --at;
    }
  };
  const auto expect = [&](char c) {
    skipBlanks();
    if (at == 0 || body[at - 1] != c) return false;
    --at;
    return true;
  };
  if (!expect('}') || !expect('"')) return std::nullopt;
  const std::size_t close = at;
  const std::size_t open = body.rfind('"', close == 0 ? 0 : close - 1);
  if (open == std::string_view::npos || open == close) return std::nullopt;
  const std::string_view value = body.substr(open + 1, close - open - 1);
  // An escape anywhere (also one hiding the quote found) means decoding: leave it to the parse.
  if (value.find('\\') != std::string_view::npos || (open > 0 && body[open - 1] == '\\')) {
    return std::nullopt;
  }
  at = open;
  if (!expect(':')) return std::nullopt;
  skipBlanks();
  constexpr std::string_view kKey = "\"nextLink\"";
  if (at < kKey.size() || body.substr(at - kKey.size(), kKey.size()) != kKey) return std::nullopt;
  at -= kKey.size();
  if (!expect(',') && !expect('{')) return std::nullopt;
  return value;
}

}  // namespace collab::azure::detail
