#pragma once
// Which service principal a request acts for, learnt from the token requests that pass
// through the run's transports.
//
// Azure's budgets belong to the principal, not to a token: the processes of a run each fetch
// tokens of their own for the same principal, and a token is replaced before it expires.  A
// token request names its tenant in the path ("/{tenant}/oauth2/...") and its application in
// `client_id` (in the form, the query or the answer); the token it obtains is remembered by its
// hash only, with that principal.  Nothing secret is kept: not the form's secret or assertion,
// not the token itself.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "collab/azure/http_message.hpp"

namespace kxdiscover {

class PrincipalBook {
 public:
  /// Learns the principal of the token `response` holds, when `request` is a token request
  /// (no bearer token of its own) that obtained one.
  void learn(const collab::azure::HttpRequest& request,
             const collab::azure::HttpResponse& response);

  /// "tenant/application" (lower case) of the token `request` carries; "" when unknown.
  std::string principalOf(const collab::azure::HttpRequest& request) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, std::string> byToken_;
};

}  // namespace kxdiscover
