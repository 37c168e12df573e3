#pragma once
// Pieces of the estate generator: its random numbers and the plan it lays out before the JSON
// is written.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakearm/estate_generator.hpp"

namespace fakearm::detail {

/// splitmix64: the same numbers from the same seed on every platform, unlike the standard
/// library's distributions.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// A number from 0 to n - 1 (0 when n is 0).
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  /// True with probability p.
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
  /// A random (version 4) GUID.
  std::string guid();
  /// `count` hex digits.
  std::string hex(int count);
  template <class T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[below(i)]);
  }

 private:
  std::uint64_t state_;
};

struct SubnetPlan {
  std::string name;
  std::string prefix;
  bool ordinary = true;
  std::optional<std::string> routeTable;
};

struct VnetPlan {
  int subscription = 0;
  std::string group;
  std::string region;
  std::string name;
  std::string id;
  std::string prefix;
  /// First two octets and the third of the VNet's /20: "10.a" and b.
  std::string net;
  int third = 0;
  bool configured = false;
  bool gateway = false;
  std::vector<SubnetPlan> subnets;
  Json peerings = Json::array();

  std::string subnetId(const std::string& subnet) const { return id + "/subnets/" + subnet; }
  /// The subnet named `name`, added with `prefix` when missing.
  SubnetPlan& subnet(const std::string& name, const std::string& prefix);
};

struct PrincipalPlan {
  std::string appId;
  std::string secret;
  std::vector<int> subscriptions;
};

struct SubscriptionPlan {
  std::string id;
  std::string displayName;
  std::vector<std::string> groups;
};

struct EstatePlan {
  std::string tenantId;
  std::vector<PrincipalPlan> principals;
  std::vector<SubscriptionPlan> subscriptions;
  std::vector<VnetPlan> vnets;
};

/// A network interface in `subnet` of `vnet` and the machine behind it.
struct Machine {
  const VnetPlan* vnet = nullptr;
  std::string subscription;
  std::string subnet;
  std::string name;
  std::string size;
  std::string address;
  std::string vmId;
  bool taggedInterface = false;
  bool taggedMachine = false;
};

std::string resourceId(const std::string& subscription, const std::string& group,
                       const std::string& type, const std::string& name);
/// VM sizes offered in every region.
Json vmSizeCatalogue(const std::vector<std::string>& regions);
/// Microsoft.Compute quotas per region; with `tightLast` the last region is nearly spent.
Json computeQuotas(const std::string& subscription, const std::vector<std::string>& regions,
                   bool tightLast, Rng& rng);
/// A gateway in vnet's GatewaySubnet (`gatewayNet`: its first three octets) and its learned
/// routes; `number` varies the learned networks between gateways.
std::pair<Json, Json> gatewayJson(const VnetPlan& vnet, const std::string& subscription, bool vpn,
                                  bool activeActive, const std::string& gatewayNet, int number);
/// A peering of `vnet` towards a remote VNet.
Json peeringJson(const VnetPlan& vnet, const std::string& remoteId, const std::string& remoteName,
                 const std::string& remotePrefix);
/// The interface and the machine, both tagged as Corvanta's own where asked.
std::pair<Json, Json> machineJson(const Machine& machine);

/// The discovery configuration of a laid-out estate.
std::string discoveryConfig(const EstateParams& params, const EstatePlan& plan);

}  // namespace fakearm::detail
