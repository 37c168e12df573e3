#pragma once
// Azure AD's checks of a client assertion (the JWT an application sends instead of a secret):
// one signed with a certificate registered on the application, or a federated token that a
// trusted identity provider issued.
#include <chrono>
#include <optional>
#include <string>

#include "served_estate.hpp"

namespace fakearm::detail {

/// Why Azure AD refuses an assertion: the OAuth error, AADSTS code and description.
struct AssertionRefusal {
  int status;
  std::string error;
  int code;
  std::string description;
};

/// Checks `assertion` as presented by `principal` at the token endpoint `tokenUrl` at `now`.
/// With a thumbprint in its header (`x5t` or `x5t#S256`) it must be signed RS256 or PS256 by
/// the key of a certificate registered on the principal, for `aud` = `tokenUrl`, with
/// `iss` = `sub` = the application and a `jti`; otherwise it is a federated token whose
/// issuer, subject and audience match one of the principal's federated credentials (its
/// signature belongs to the other provider and is not checked here).  Both must be within
/// their `nbf` and `exp`.
std::optional<AssertionRefusal> checkClientAssertion(const Principal& principal,
                                                     const std::string& assertion,
                                                     const std::string& tokenUrl,
                                                     std::chrono::system_clock::time_point now);

}  // namespace fakearm::detail
