#include "url_text.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace collab::azure::detail {

UrlParts splitUrl(std::string_view url) {
  UrlParts parts;
  if (std::size_t hash = url.find('#'); hash != std::string_view::npos) url = url.substr(0, hash);
  std::string_view rest = url;
  if (std::size_t sep = url.find("://"); sep != std::string_view::npos) {
    parts.scheme = url.substr(0, sep);
    rest = url.substr(sep + 3);
    std::size_t authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
      authority = authority.substr(at + 1);
    }
    parts.hostPort = authority;
    rest = authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
  }
  if (std::size_t q = rest.find('?'); q != std::string_view::npos) {
    parts.path = rest.substr(0, q);
    parts.query = rest.substr(q + 1);
  } else {
    parts.path = rest;
  }
  return parts;
}

std::string_view hostOf(std::string_view hostPort) {
  if (!hostPort.empty() && hostPort.front() == '[') {
    std::size_t close = hostPort.find(']');
    return close == std::string_view::npos ? hostPort : hostPort.substr(0, close + 1);
  }
  return hostPort.substr(0, hostPort.find(':'));
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]);
      int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string pathAndQueryWithoutSecrets(std::string_view url) {
  static constexpr std::array<std::string_view, 12> kSecretNames = {
      "sig",      "signature", "code", "client_secret", "access_token", "refresh_token",
      "id_token", "password",  "key",  "api-key",       "secret",       "token"};
  UrlParts parts = splitUrl(url);
  std::string out = parts.path.empty() ? std::string("/") : std::string(parts.path);
  if (!parts.query) return out;
  out += '?';
  std::string_view query = *parts.query;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view param = query.substr(start, end - start);
    if (start > 0) out += '&';
    std::size_t eq = param.find('=');
    std::string name =
        eq == std::string_view::npos ? std::string() : percentDecode(param.substr(0, eq));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!name.empty() &&
        std::find(kSecretNames.begin(), kSecretNames.end(), name) != kSecretNames.end()) {
      out.append(param.substr(0, eq + 1));
      out += "REDACTED";
    } else {
      out.append(param);
    }
    start = end + 1;
  }
  return out;
}

}  // namespace collab::azure::detail
