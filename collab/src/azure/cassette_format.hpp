#pragma once
// The cassette file format shared by `RecordingTransport` and `ReplayTransport`, and the
// redaction rules that keep secrets out of it.
#include <set>
#include <string>

#include "collab/azure/http_message.hpp"
#include "collab/json.hpp"

namespace collab::azure::detail {

inline constexpr const char* kCassetteFormat = "kx-arm-cassette";
inline constexpr int kCassetteVersion = 1;
inline constexpr const char* kRedacted = "REDACTED";

/// True for a form body (`application/x-www-form-urlencoded`).
bool isFormBody(const HttpHeaders& headers);

/// `body` with the values of the credential fields of a token form (client_secret,
/// client_assertion, assertion, password, refresh_token, code) replaced by "REDACTED".  Each
/// replaced value, raw and decoded, goes into `found` when given.
std::string redactForm(std::string_view body, std::set<std::string>* found = nullptr);

/// Replaces, anywhere in `value`, the members that carry tokens (access_token, refresh_token,
/// id_token, accessToken, refreshToken) by `placeholder`, collecting their values in `found`.
void redactTokenMembers(Json& value, const std::string& placeholder, std::set<std::string>& found);

/// Adds `secret` to `secrets` together with the spellings a URL gives it (percent-encoded, with
/// upper- and lower-case hex digits), so that a server echoing it in a link is caught too.
void addSecret(std::set<std::string>& secrets, const std::string& secret);

/// Replaces every occurrence of every secret in every string (keys included) of `value`.
void scrubSecrets(Json& value, const std::set<std::string>& secrets);

/// Stores `body` into `target` as "json" when it is a JSON object or array, as "text"
/// otherwise, not at all when empty.
void storeBody(Json& target, const std::string& body);
/// The body `storeBody` stored (JSON written compactly).
std::string loadBody(const Json& source);

/// Headers as a JSON object sorted by lower-case name, without those in `dropped` (lower
/// case); repeated fields are joined with ", ".
Json storeHeaders(const HttpHeaders& headers, std::initializer_list<std::string_view> dropped);

}  // namespace collab::azure::detail
