#pragma once
// An estate: the tenants, service principals and subscriptions a loopback Azure serves, with
// every resource stored in the JSON shape Azure Resource Manager answers with.
//
// The document (fakearm/README.md describes it in full; fakearm/estates/ holds an example):
//
//   {"tenants": [{"tenantId": T, "principals": [{"appId": A, "secret": S,
//                                                  "subscriptions": [ids]}]}],
//    "subscriptions": [{"subscriptionId": ..., "displayName": ..., "state": ..., "tenantId": T,
//                       "resourceGroups": [...], "routeTables": [...], "virtualNetworks": [...],
//                       "virtualNetworkGateways": [...], "networkInterfaces": [...],
//                       "virtualMachines": [...],
//                       "learnedRoutes": {gatewayId: [...]},
//                       "vmSizes": {location: [...]},
//                       "serviceLimits": {location: [...]}}]}
//
// Resources keep their ARM members (`name`, `id`, `type`, `location`, `tags`, `properties`)
// and are served as they are written, in the order written.  A resource's resource group is
// the one its `id` names, and must be listed in `resourceGroups`.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace fakearm {

/// Insertion-ordered, so resources are served with their members in the order written.
using Json = nlohmann::ordered_json;

/// An estate that cannot be served.  The message names the file (when read from one), the JSON
/// path of the member at fault (`subscriptions[0].routeTables[3].id`) and what is wrong.
class EstateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Reads an estate file and checks it.
/// @throws EstateError for a file that cannot be read, is not JSON or is not a valid estate.
Json loadEstateFile(const std::filesystem::path& path);

/// Checks an estate document as the server would before serving it.
/// @throws EstateError naming the JSON path at fault.
void validateEstate(const Json& estate);

}  // namespace fakearm
