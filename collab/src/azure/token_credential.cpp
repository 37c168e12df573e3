#include "collab/azure/token_credential.hpp"

#include "collab/secret_registry.hpp"

namespace collab::azure {

TokenCredential::~TokenCredential() = default;

StaticTokenCredential::StaticTokenCredential(std::string token) : token_(std::move(token)) {
  SecretRegistry::instance().add(token_);
}

AccessToken StaticTokenCredential::getToken(bool) {
  return AccessToken{token_, std::chrono::system_clock::time_point::max()};
}

}  // namespace collab::azure
