#include "collab/azure/token_credential.hpp"

namespace collab::azure {

TokenCredential::~TokenCredential() = default;

StaticTokenCredential::StaticTokenCredential(std::string token) : token_(std::move(token)) {}

AccessToken StaticTokenCredential::getToken(bool) {
  return AccessToken{token_, std::chrono::system_clock::time_point::max()};
}

}  // namespace collab::azure
