#include "run/principal_book.hpp"

#include <cctype>
#include <string_view>

#include "collab/json.hpp"
#include "run/request_scope.hpp"

namespace kxdiscover {

namespace az = collab::azure;

namespace {

// Token answers are small; anything larger is not one.
constexpr std::size_t kLargestTokenAnswer = 64 * 1024;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The value of `name` in "a=1&b=2" (a form body or a query); "" when absent.
std::string fieldOf(std::string_view fields, std::string_view name) {
  while (!fields.empty()) {
    const std::size_t end = fields.find('&');
    const std::string_view field = fields.substr(0, end);
    const std::size_t equals = field.find('=');
    if (equals != std::string_view::npos && field.substr(0, equals) == name)
      return percentDecoded(field.substr(equals + 1));
    if (end == std::string_view::npos) break;
    fields.remove_prefix(end + 1);
  }
  return {};
}

}  // namespace

void PrincipalBook::learn(const az::HttpRequest& request, const az::HttpResponse& response) {
  if (bearerToken(request) || !response.ok() || response.body.size() > kLargestTokenAnswer ||
      response.body.find("access_token") == std::string::npos) {
    return;
  }
  const collab::Json answer = collab::Json::parse(response.body, nullptr, false);
  if (!answer.is_object()) return;
  const auto token = answer.find("access_token");
  if (token == answer.end() || !token->is_string()) return;

  // "/{tenant}/oauth2/token" and "/{tenant}/oauth2/v2.0/token"; other token endpoints (the
  // instance metadata service) name no tenant.
  const std::string path = lowerPath(request.url);
  std::string tenant;
  if (const std::size_t oauth = path.find("/oauth2/"); oauth != std::string::npos && oauth > 1)
    tenant = path.substr(1, oauth - 1);
  std::string client = fieldOf(request.body, "client_id");
  if (client.empty()) {
    const std::size_t query = request.url.find('?');
    if (query != std::string::npos)
      client = fieldOf(std::string_view(request.url).substr(query + 1), "client_id");
  }
  if (client.empty()) {
    const auto named = answer.find("client_id");
    if (named != answer.end() && named->is_string()) client = named->get<std::string>();
  }
  if (client.empty()) return;
  std::lock_guard lock(mutex_);
  byToken_[stableHash(token->get_ref<const std::string&>())] = lower(tenant + "/" + client);
}

std::string PrincipalBook::principalOf(const az::HttpRequest& request) const {
  const std::optional<std::string_view> token = bearerToken(request);
  if (!token) return {};
  std::lock_guard lock(mutex_);
  const auto it = byToken_.find(stableHash(*token));
  return it == byToken_.end() ? std::string() : it->second;
}

}  // namespace kxdiscover
