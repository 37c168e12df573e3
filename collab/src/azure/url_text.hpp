#pragma once
// Small URL text helpers shared by the transport, the pipeline and the cassettes.
#include <optional>
#include <string>
#include <string_view>

namespace collab::azure::detail {

/// The pieces of "scheme://[userinfo@]host[:port]/path?query#fragment".  The user-info and the
/// fragment are dropped; `hostPort` keeps IPv6 brackets.
struct UrlParts {
  std::string_view scheme;
  std::string_view hostPort;
  std::string_view path;
  std::optional<std::string_view> query;
};

UrlParts splitUrl(std::string_view url);

/// The host of `hostPort` ("[::1]:8443" gives "[::1]", "a.b:443" gives "a.b").
std::string_view hostOf(std::string_view hostPort);

/// The path and query of `url` with the values of query parameters that carry credentials
/// (sig, signature, code, client_secret, access_token, refresh_token, id_token, password, key,
/// api-key, secret, token) replaced by "REDACTED"; other values stay, so recorded paths still
/// tell pages apart.
std::string pathAndQueryWithoutSecrets(std::string_view url);

/// Decodes %XX escapes ("+" is left alone).
std::string percentDecode(std::string_view text);

/// Encodes everything but unreserved characters, as form values and path segments need.
std::string percentEncode(std::string_view text);

}  // namespace collab::azure::detail
