#include "collab/azure/azure_endpoints.hpp"

#include <mutex>

namespace collab::azure {

namespace {
struct EndpointSlot {
  std::mutex mutex;
  AzureEndpoints endpoints;
};

EndpointSlot& slot() {
  static EndpointSlot instance;
  return instance;
}
}  // namespace

AzureEndpoints currentEndpoints() {
  std::lock_guard lock(slot().mutex);
  return slot().endpoints;
}

void setEndpoints(AzureEndpoints endpoints) {
  std::lock_guard lock(slot().mutex);
  slot().endpoints = std::move(endpoints);
}

void resetEndpoints() { setEndpoints(AzureEndpoints{}); }

}  // namespace collab::azure
