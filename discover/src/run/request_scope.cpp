#include "run/request_scope.hpp"

#include <cctype>

namespace kxdiscover {

namespace az = collab::azure;

std::optional<std::string_view> bearerToken(const az::HttpRequest& request) {
  for (const auto& [name, value] : request.headers.fields()) {
    if (!az::equalsIgnoreCase(name, "Authorization")) continue;
    constexpr std::string_view scheme = "Bearer ";
    const std::string_view text = value;
    if (text.size() > scheme.size() && az::equalsIgnoreCase(text.substr(0, scheme.size()), scheme))
      return text.substr(scheme.size());
    return std::nullopt;
  }
  return std::nullopt;
}

std::string lowerPath(std::string_view url) {
  // Skip "scheme://authority" of an absolute URL; the path ends at the query or fragment.
  if (const std::size_t scheme = url.find("://"); scheme != std::string_view::npos) {
    const std::size_t slash = url.find('/', scheme + 3);
    url = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  }
  url = url.substr(0, url.find_first_of("?#"));
  std::string path(url);
  for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return path;
}

std::optional<std::string> subscriptionOf(std::string_view path) {
  constexpr std::string_view prefix = "/subscriptions/";
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view rest = path.substr(prefix.size());
  const std::size_t slash = rest.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash + 1 == rest.size())
    return std::nullopt;
  return std::string(rest.substr(0, slash));
}

}  // namespace kxdiscover
