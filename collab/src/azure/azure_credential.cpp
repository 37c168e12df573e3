#include "collab/azure/azure_credential.hpp"

#include "collab/errors.hpp"

namespace collab::azure {

AzureCredential::AzureCredential(std::string subscriptionId, std::shared_ptr<TokenCredential> csc,
                                 std::shared_ptr<TokenCredential> spc)
    : subscriptionId_(std::move(subscriptionId)), csc_(std::move(csc)), spc_(std::move(spc)) {
  if (!csc_ || !spc_) {
    throw InvalidValueError("AzureCredential for subscription '" + subscriptionId_ +
                            "' needs two token credentials, got a null one");
  }
}

AzureCredential AzureCredential::fromClientSecret(std::string tenantId, std::string applicationId,
                                                  std::string applicationSecret,
                                                  std::string subscriptionId,
                                                  ClientSecretCredentialOptions options) {
  auto shared =
      std::make_shared<ClientSecretCredential>(std::move(tenantId), std::move(applicationId),
                                               std::move(applicationSecret), std::move(options));
  return AzureCredential(std::move(subscriptionId), shared, shared);
}

}  // namespace collab::azure
