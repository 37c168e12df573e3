#pragma once
// Azure AD tokens for an application that proves itself with a client assertion (a signed
// JWT) instead of a secret: a certificate's own assertion, or a federated token another
// identity provider issued (workload identity federation: Kubernetes service accounts, GitHub
// Actions, Azure DevOps).
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "collab/azure/client_certificate.hpp"
#include "collab/azure/client_credentials_grant.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// Makes the assertion of one token request, given the token endpoint's URL (the audience a
/// signed assertion names) and the time of the request.
/// @throws CredentialUnavailableError when no assertion can be had (a missing file, ...).
using AssertionSource =
    std::function<std::string(const std::string& tokenUrl, std::chrono::system_clock::time_point)>;

/// Fetches ARM tokens with the client-credentials grant of the v1 token endpoint, sending
/// `client_assertion_type` = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer" and
/// `client_assertion` = a fresh assertion from the source for every request (no secret), and
/// reuses a token as `RefreshingCredential` does.
class COLLAB_EXPORT ClientAssertionCredential final : public ClientCredentialsGrant {
 public:
  ClientAssertionCredential(std::string tenantId, std::string clientId, AssertionSource assertion,
                            CredentialOptions options = {});

 private:
  Proof proof(const std::string& tokenUrl, std::chrono::system_clock::time_point now) override;

  AssertionSource assertion_;
};

/// Assertions signed with `certificate` for `clientId`, one per token request.
COLLAB_EXPORT AssertionSource
certificateAssertions(std::shared_ptr<const ClientCertificate> certificate, std::string clientId);

/// The federated token in the file at `path`, read again for every token request: Kubernetes
/// and CI runners replace it in place before it expires.  Blanks around it are dropped.
/// @throws (when called) CredentialUnavailableError naming the file when it cannot be read or
///         is empty; never its content.
COLLAB_EXPORT AssertionSource federatedTokenFile(std::string path);

}  // namespace collab::azure
