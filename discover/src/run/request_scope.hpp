#pragma once
// What the run's own transports read from a request: whose token it carries, the path it asks
// for and the subscription it concerns; and the stable hash that names budgets and pages.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "collab/azure/http_message.hpp"

namespace kxdiscover {

/// FNV-1a, 64 bits: the same in every process and on every run, unlike std::hash.
inline std::uint64_t stableHash(std::string_view text) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

/// The token of an `Authorization: Bearer ...` header; absent when the request carries none
/// (token requests).
std::optional<std::string_view> bearerToken(const collab::azure::HttpRequest& request);

/// The path of the request's URL, without the query, in lower case.
std::string lowerPath(std::string_view url);

/// The subscription id (lower case) of a path "/subscriptions/{id}/..." with something after
/// the id; absent for any other path, "/subscriptions" and "/subscriptions/{id}" included.
std::optional<std::string> subscriptionOf(std::string_view lowerPath);

}  // namespace kxdiscover
