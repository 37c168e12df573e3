#include "collab/azure/http_message.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "url_text.hpp"

namespace collab::azure {

bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

HttpHeaders::HttpHeaders(std::initializer_list<Field> fields) {
  for (const auto& [name, value] : fields) add(name, value);
}

std::optional<std::string> HttpHeaders::get(std::string_view name) const {
  for (const auto& [n, v] : fields_) {
    if (equalsIgnoreCase(n, name)) return v;
  }
  return std::nullopt;
}

void HttpHeaders::set(std::string_view name, std::string value) {
  auto first = std::find_if(fields_.begin(), fields_.end(),
                            [&](const Field& f) { return equalsIgnoreCase(f.first, name); });
  if (first == fields_.end()) {
    fields_.emplace_back(std::string(name), std::move(value));
    return;
  }
  first->second = std::move(value);
  fields_.erase(std::remove_if(std::next(first), fields_.end(),
                               [&](const Field& f) { return equalsIgnoreCase(f.first, name); }),
                fields_.end());
}

void HttpHeaders::add(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [&](const Field& f) { return equalsIgnoreCase(f.first, name); }),
                fields_.end());
}

namespace {

// Query parameters whose values are never secret and that make messages useful.
bool keepsQueryValue(std::string_view rawKey) {
  static constexpr std::array<std::string_view, 4> kKept = {"api-version", "$top", "$filter",
                                                            "$expand"};
  std::string key = detail::percentDecode(rawKey);
  return std::any_of(kKept.begin(), kKept.end(),
                     [&](std::string_view k) { return equalsIgnoreCase(k, key); });
}

std::string redactQuery(std::string_view query) {
  std::string out;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view param = query.substr(start, end - start);
    if (!out.empty() || start > 0) out += '&';
    std::size_t eq = param.find('=');
    if (eq == std::string_view::npos || keepsQueryValue(param.substr(0, eq))) {
      out.append(param);
    } else {
      out.append(param.substr(0, eq + 1));
      out += "REDACTED";
    }
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string pathAndQuery(std::string_view url, bool redact) {
  detail::UrlParts parts = detail::splitUrl(url);
  std::string out = parts.path.empty() ? std::string("/") : std::string(parts.path);
  if (parts.query) {
    out += '?';
    out += redact ? redactQuery(*parts.query) : std::string(*parts.query);
  }
  return out;
}

std::string redactUrl(std::string_view url) {
  detail::UrlParts parts = detail::splitUrl(url);
  std::string out;
  if (!parts.scheme.empty()) {
    out.append(parts.scheme);
    out += "://";
  }
  out.append(parts.hostPort);
  out.append(parts.path);
  if (parts.query) {
    out += '?';
    out += redactQuery(*parts.query);
  }
  return out;
}

bool isLoopbackHost(std::string_view host) noexcept {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (equalsIgnoreCase(host, "localhost")) return true;
  std::string text(host);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

}  // namespace collab::azure
