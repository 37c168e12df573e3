#pragma once
// Replaces the process-wide Azure endpoints or default transport for the life of a test.
#include <memory>
#include <utility>

#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/transport.hpp"

namespace kx::test {

class ScopedEndpoints {
 public:
  explicit ScopedEndpoints(collab::azure::AzureEndpoints endpoints)
      : saved_(collab::azure::currentEndpoints()) {
    collab::azure::setEndpoints(std::move(endpoints));
  }
  ~ScopedEndpoints() { collab::azure::setEndpoints(saved_); }
  ScopedEndpoints(const ScopedEndpoints&) = delete;
  ScopedEndpoints& operator=(const ScopedEndpoints&) = delete;

 private:
  collab::azure::AzureEndpoints saved_;
};

/// Points every endpoint at `baseUrl` (a loopback server): ARM at the root, login at "/".
inline collab::azure::AzureEndpoints loopbackEndpoints(const std::string& baseUrl) {
  collab::azure::AzureEndpoints endpoints;
  endpoints.resourceManager = baseUrl;
  endpoints.login = baseUrl + "/";
  return endpoints;
}

class ScopedDefaultTransport {
 public:
  explicit ScopedDefaultTransport(std::shared_ptr<collab::azure::Transport> transport) {
    collab::azure::setDefaultTransport(std::move(transport));
  }
  ~ScopedDefaultTransport() { collab::azure::setDefaultTransport(nullptr); }
  ScopedDefaultTransport(const ScopedDefaultTransport&) = delete;
  ScopedDefaultTransport& operator=(const ScopedDefaultTransport&) = delete;
};

}  // namespace kx::test
