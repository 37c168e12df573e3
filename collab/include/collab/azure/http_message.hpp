#pragma once
// The HTTP request and response values that travel through a `Transport`.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collab/export.hpp"

namespace collab::azure {

/// Header fields in the order they were added.  Names compare without regard to letter case,
/// as HTTP requires; the spelling first given is kept.
class COLLAB_EXPORT HttpHeaders {
 public:
  using Field = std::pair<std::string, std::string>;

  HttpHeaders() = default;
  HttpHeaders(std::initializer_list<Field> fields);

  /// The value of the first field called `name`, or absent.
  std::optional<std::string> get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  /// Replaces every field called `name` by one field with `value`, kept where the first stood.
  void set(std::string_view name, std::string value);
  /// Appends a field even if one of that name exists (repeated response headers).
  void add(std::string name, std::string value);
  void remove(std::string_view name);

  const std::vector<Field>& fields() const noexcept { return fields_; }
  bool empty() const noexcept { return fields_.empty(); }

 private:
  std::vector<Field> fields_;
};

/// True when `a` and `b` are equal ignoring ASCII letter case.
COLLAB_EXPORT bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept;

struct HttpRequest {
  /// "GET", "POST", ... in upper case.
  std::string method;
  /// Absolute URL, query included.
  std::string url;
  HttpHeaders headers;
  std::string body;
  /// Send on a new connection, never on a kept-alive one.  A request that must not be sent
  /// twice would otherwise fail whenever the server had meanwhile dropped the idle connection
  /// it was put on, since the transport never resends on its own.
  bool freshConnection = false;
  /// A guess at the decoded size of the answer's body, 0 for none: the transport makes room
  /// for that much at once instead of growing the body as it arrives (a compressed answer's
  /// Content-Length says nothing about its decoded size).  The next page of a listing is
  /// about as large as the one before it.
  std::size_t expectedBodySize = 0;
};

/// Any answer the server gave, 2xx or not; only failures to get an answer are exceptions.
struct HttpResponse {
  int status = 0;
  HttpHeaders headers;
  std::string body;

  bool ok() const noexcept { return status >= 200 && status < 300; }
};

/// `url` with the values of every query parameter except `api-version` replaced by
/// "REDACTED" and any user-info removed: safe to put in a message or a log line.
COLLAB_EXPORT std::string redactUrl(std::string_view url);

/// The path and query of `url` ("/subscriptions?api-version=..."), with query values redacted
/// as by `redactUrl` when `redact` is set.  A URL without a path gives "/".
COLLAB_EXPORT std::string pathAndQuery(std::string_view url, bool redact = false);

/// True for the loopback host names plain http is allowed to: "localhost", any IPv4 address in
/// 127.0.0.0/8 and "::1" (with or without brackets).
COLLAB_EXPORT bool isLoopbackHost(std::string_view host) noexcept;

}  // namespace collab::azure
