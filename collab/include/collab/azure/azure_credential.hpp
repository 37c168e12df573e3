#pragma once
// The credential record the discovery receives for each subscription.
#include <memory>
#include <string>

#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// One subscription and the token sources that reach it.  `getCSC()` serves the network,
/// Resource Graph and quota clients, `getSPC()` the resource and compute clients; built from
/// one service principal, both return the same shared credential, so its token is fetched once
/// for both.
class COLLAB_EXPORT AzureCredential {
 public:
  AzureCredential(std::string subscriptionId, std::shared_ptr<TokenCredential> csc,
                  std::shared_ptr<TokenCredential> spc);
  /// One `ClientSecretCredential` shared by both accessors.
  static AzureCredential fromClientSecret(std::string tenantId, std::string applicationId,
                                          std::string applicationSecret, std::string subscriptionId,
                                          ClientSecretCredentialOptions options = {});

  std::shared_ptr<TokenCredential> getCSC() const { return csc_; }
  std::shared_ptr<TokenCredential> getSPC() const { return spc_; }
  const std::string& getSubId() const noexcept { return subscriptionId_; }

 private:
  std::string subscriptionId_;
  std::shared_ptr<TokenCredential> csc_;
  std::shared_ptr<TokenCredential> spc_;
};

}  // namespace collab::azure
