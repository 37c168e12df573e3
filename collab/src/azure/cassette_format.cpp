#include "cassette_format.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

#include "collab/json_nesting.hpp"
#include "text_util.hpp"
#include "url_text.hpp"

namespace collab::azure::detail {

namespace {

// Secrets shorter than this are not scrubbed from free text: replacing every "a" or "1" would
// wreck the cassette and protect nothing.
constexpr std::size_t kShortestScrubbed = 6;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool isSecretFormField(std::string_view key) {
  static constexpr std::array<std::string_view, 6> kFields = {
      "client_secret", "client_assertion", "assertion", "password", "refresh_token", "code"};
  std::string name = lower(percentDecode(key));
  return std::find(kFields.begin(), kFields.end(), name) != kFields.end();
}

bool isTokenMember(std::string_view key) {
  static constexpr std::array<std::string_view, 5> kMembers = {
      "access_token", "refresh_token", "id_token", "accessToken", "refreshToken"};
  return std::find(kMembers.begin(), kMembers.end(), key) != kMembers.end();
}

std::string replaceAll(std::string text, const std::set<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    if (secret.size() < kShortestScrubbed) continue;
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + std::string_view(kRedacted).size())) {
      text.replace(at, secret.size(), kRedacted);
    }
  }
  return text;
}

}  // namespace

bool isFormBody(const HttpHeaders& headers) {
  auto type = headers.get("Content-Type");
  return type && lower(*type).find("application/x-www-form-urlencoded") != std::string::npos;
}

std::string redactForm(std::string_view body, std::set<std::string>* found) {
  std::string out;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view field = body.substr(start, end - start);
    if (start > 0) out += '&';
    std::size_t eq = field.find('=');
    if (eq != std::string_view::npos && isSecretFormField(field.substr(0, eq))) {
      std::string_view value = field.substr(eq + 1);
      if (found && !value.empty()) {
        found->insert(std::string(value));
        std::string plus(value);
        std::replace(plus.begin(), plus.end(), '+', ' ');
        found->insert(percentDecode(plus));
        found->insert(percentDecode(value));
      }
      out.append(field.substr(0, eq + 1));
      out += kRedacted;
    } else {
      out.append(field);
    }
    start = end + 1;
  }
  return out;
}

void redactTokenMembers(Json& value, const std::string& placeholder, std::set<std::string>& found) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (isTokenMember(it.key()) && it->is_string()) {
        found.insert(it->get<std::string>());
        *it = placeholder;
      } else {
        redactTokenMembers(*it, placeholder, found);
      }
    }
  } else if (value.is_array()) {
    for (auto& item : value) redactTokenMembers(item, placeholder, found);
  }
}

void addSecret(std::set<std::string>& secrets, const std::string& secret) {
  secrets.insert(secret);
  std::string encoded = percentEncode(secret);
  if (encoded == secret) return;
  secrets.insert(encoded);
  for (std::size_t at = encoded.find('%'); at != std::string::npos;
       at = encoded.find('%', at + 1)) {
    for (std::size_t digit = at + 1; digit < at + 3; ++digit) {
      encoded[digit] = static_cast<char>(std::tolower(static_cast<unsigned char>(encoded[digit])));
    }
  }
  secrets.insert(std::move(encoded));
}

void scrubSecrets(Json& value, const std::set<std::string>& secrets) {
  if (value.is_string()) {
    value = replaceAll(value.get<std::string>(), secrets);
  } else if (value.is_array()) {
    for (auto& item : value) scrubSecrets(item, secrets);
  } else if (value.is_object()) {
    Json rebuilt = Json::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      Json member = std::move(*it);
      scrubSecrets(member, secrets);
      rebuilt[replaceAll(it.key(), secrets)] = std::move(member);
    }
    value = std::move(rebuilt);
  }
}

void storeBody(Json& target, const std::string& body) {
  if (body.empty()) return;
  std::string_view content = trimBlank(body);
  // A body nested too deeply to be written back as JSON is kept as the text it was.
  if (!content.empty() && (content.front() == '{' || content.front() == '[') &&
      jsonNestingDepth(content) <= kMaxJsonNesting) {
    Json parsed = Json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_discarded()) {
      target["json"] = std::move(parsed);
      return;
    }
  }
  target["text"] = body;
}

std::string loadBody(const Json& source) {
  if (auto it = source.find("json"); it != source.end()) return it->dump();
  if (auto it = source.find("text"); it != source.end() && it->is_string()) {
    return it->get<std::string>();
  }
  return {};
}

Json storeHeaders(const HttpHeaders& headers, std::initializer_list<std::string_view> dropped) {
  std::map<std::string, std::string> sorted;
  for (const auto& [name, value] : headers.fields()) {
    std::string key = lower(name);
    if (std::find(dropped.begin(), dropped.end(), key) != dropped.end()) continue;
    auto [it, fresh] = sorted.emplace(key, value);
    if (!fresh) it->second += ", " + value;
  }
  Json out = Json::object();
  for (auto& [name, value] : sorted) out[name] = std::move(value);
  return out;
}

}  // namespace collab::azure::detail
