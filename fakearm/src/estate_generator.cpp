// The synthetic estate generator: lays the estate out (subscriptions, VNets, subnets,
// gateways, route tables and their associations) and writes it as ARM JSON.
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

#include "generator_parts.hpp"

namespace fakearm {

namespace detail {

std::string Rng::hex(int count) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  std::uint64_t bits = 0;
  for (int i = 0; i < count; ++i) {
    if (i % 16 == 0) bits = next();
    out += digits[bits & 0xF];
    bits >>= 4;
  }
  return out;
}

std::string Rng::guid() {
  std::string h = hex(32);
  h[12] = '4';
  h[16] = "89ab"[h[16] % 4];
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
         "-" + h.substr(20, 12);
}

SubnetPlan& VnetPlan::subnet(const std::string& name, const std::string& prefix) {
  for (SubnetPlan& existing : subnets) {
    if (existing.name == name) return existing;
  }
  subnets.push_back({name, prefix, false, std::nullopt});
  return subnets.back();
}

}  // namespace detail

namespace {

using detail::EstatePlan;
using detail::resourceId;
using detail::Rng;
using detail::SubnetPlan;
using detail::VnetPlan;

// The shapes a route table may take.
enum class TableKind {
  Normal,
  Reserved,      // also bound to AzureFirewallSubnet
  Copy,          // a copy the system made earlier: "corvanta-..." or "org_..."
  DefaultTable,  // "<vnet>-corvanta-default"
  Empty,
  Ipv6,
  ServiceTag,
  DefaultRoute,  // 0.0.0.0/0 to the Internet or an appliance
  Shared,        // two subnets of one VNet
  CrossVnet,     // subnets of two VNets
  Unassociated,
};
constexpr TableKind kInteresting[] = {
    TableKind::Reserved,  TableKind::Copy,         TableKind::DefaultTable, TableKind::Empty,
    TableKind::Ipv6,      TableKind::ServiceTag,   TableKind::DefaultRoute, TableKind::Shared,
    TableKind::CrossVnet, TableKind::Unassociated,
};

std::string padded(const char* prefix, int number, int width) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%0*d", prefix, width, number);
  return text;
}

std::string groupId(const std::string& subscription, const std::string& group) {
  return "/subscriptions/" + subscription + "/resourceGroups/" + group;
}

void check(bool ok, const std::string& problem) {
  if (!ok) throw std::invalid_argument("estate parameters: " + problem);
}

class Generator {
 public:
  explicit Generator(const EstateParams& params) : p_(params), rng_(params.seed) {}

  GeneratedEstate run() {
    validate();
    layOutAccounts();
    layOutVnets();
    addGateways();
    addRouteTables();
    addPeerings();
    addSpokeGateways();
    GeneratedEstate out;
    out.estate = write();
    out.config = detail::discoveryConfig(p_, plan_);
    for (std::size_t i = 0; i < plan_.principals.size(); ++i) {
      out.secrets[p_.secretEnvPrefix + std::to_string(i)] = plan_.principals[i].secret;
    }
    return out;
  }

 private:
  struct SubscriptionResources {
    Json routeTables = Json::array();
    Json gateways = Json::array();
    Json learnedRoutes = Json::object();
    Json interfaces = Json::array();
    Json machines = Json::array();
  };

  void validate() {
    check(p_.subscriptions >= 1, "at least one subscription is needed");
    check(p_.principals >= 1, "at least one principal is needed");
    check(p_.resourceGroups >= 1, "at least one resource group per subscription is needed");
    check(!p_.regions.empty(), "at least one region is needed");
    check(p_.vnets >= 0 && p_.configuredVnets >= 0 && p_.peerings >= 0 && p_.routeTables >= 0 &&
              p_.routesPerTable >= 0 && p_.vpnGateways >= 0 && p_.expressRouteGateways >= 0 &&
              p_.migratedVnets >= 0,
          "counts cannot be negative");
    check(p_.configuredVnets <= p_.vnets, "more configured VNets than VNets");
    check(p_.migratedVnets <= p_.configuredVnets, "more migrated VNets than configured ones");
    check(p_.vpnGateways + p_.expressRouteGateways <= p_.vnets,
          "more gateways than VNets to hold them");
    check(p_.subnetsPerVnet >= 1 && p_.subnetsPerVnet <= 12, "subnets per VNet must be 1 to 12");
    check(p_.interesting >= 0 && p_.interesting <= 1, "the interesting share must be 0 to 1");
    check(p_.routesPerTable <= 4096, "at most 4096 routes per table");
  }

  void layOutAccounts() {
    plan_.tenantId = rng_.guid();
    for (int s = 0; s < p_.subscriptions; ++s) {
      detail::SubscriptionPlan sub{rng_.guid(), "Estate " + std::to_string(s + 1), {}};
      for (int g = 0; g < p_.resourceGroups; ++g) {
        sub.groups.push_back(g == 0   ? std::string("rg-network")
                             : g == 1 ? std::string("rg-apps")
                                      : "rg.(legacy-" + std::to_string(g) + ")");
      }
      plan_.subscriptions.push_back(std::move(sub));
    }
    for (int i = 0; i < p_.principals; ++i) {
      detail::PrincipalPlan principal{rng_.guid(), "fakearm-secret-" + rng_.hex(24), {}};
      for (int s = 0; s < p_.subscriptions; ++s) {
        if (i == 0 || s % (p_.principals - 1) == i - 1) principal.subscriptions.push_back(s);
      }
      plan_.principals.push_back(std::move(principal));
    }
  }

  void layOutVnets() {
    const int stride = p_.configuredVnets > 0 ? std::max(1, p_.vnets / p_.configuredVnets) : 0;
    int configured = 0;
    for (int v = 0; v < p_.vnets; ++v) {
      VnetPlan vnet;
      vnet.subscription = v % p_.subscriptions;
      const auto& sub = plan_.subscriptions[vnet.subscription];
      vnet.group = sub.groups[rng_.below(sub.groups.size())];
      vnet.region = p_.regions[rng_.below(p_.regions.size())];
      vnet.name = padded("vnet-", v, 4);
      vnet.id = resourceId(sub.id, vnet.group, "Microsoft.Network/virtualNetworks", vnet.name);
      vnet.configured = stride > 0 && v % stride == 0 && configured < p_.configuredVnets;
      if (vnet.configured) ++configured;
      // A /20 per VNet; past 4,096 VNets the blocks repeat (Azure allows overlapping address
      // spaces between VNets that are not peered).
      const int block = v % 4096;
      vnet.net = "10." + std::to_string(block / 16);
      vnet.third = (block % 16) * 16;
      vnet.prefix = vnet.net + "." + std::to_string(vnet.third) + ".0/20";
      for (int j = 0; j < p_.subnetsPerVnet; ++j) {
        vnet.subnets.push_back(
            {"snet-" + std::to_string(j), octets(vnet, j) + ".0/24", true, std::nullopt});
      }
      (vnet.configured ? configuredIdx_ : otherIdx_).push_back(v);
      plan_.vnets.push_back(std::move(vnet));
    }
  }

  std::string octets(const VnetPlan& vnet, int offset) const {
    return vnet.net + "." + std::to_string(vnet.third + offset);
  }

  const std::string& subscriptionId(const VnetPlan& vnet) const {
    return plan_.subscriptions[vnet.subscription].id;
  }

  void addGateways() {
    // Configured VNets take gateways first, so the discovery meets them.
    std::vector<int> configured = configuredIdx_, others = otherIdx_;
    rng_.shuffle(configured);
    rng_.shuffle(others);
    configured.insert(configured.end(), others.begin(), others.end());
    for (int g = 0; g < p_.vpnGateways + p_.expressRouteGateways; ++g) {
      VnetPlan& vnet = plan_.vnets[configured[g]];
      const bool vpn = g < p_.vpnGateways;
      vnet.gateway = true;
      vnet.subnet("GatewaySubnet", octets(vnet, 15) + ".0/27");
      const bool activeActive = vpn && rng_.chance(p_.interesting);
      auto [gateway, learned] =
          detail::gatewayJson(vnet, subscriptionId(vnet), vpn, activeActive, octets(vnet, 15), g);
      resources(vnet).learnedRoutes[gateway["id"].get<std::string>()] = std::move(learned);
      resources(vnet).gateways.push_back(std::move(gateway));
    }
  }

  SubscriptionResources& resources(const VnetPlan& vnet) { return byScope_[vnet.subscription]; }

  // The next subnet of the association pool (configured VNets' first) without a table.
  std::optional<std::pair<int, int>> takeSubnet() {
    while (cursor_ < pool_.size()) {
      auto [v, s] = pool_[cursor_++];
      if (!plan_.vnets[v].subnets[s].routeTable) return std::make_pair(v, s);
    }
    return std::nullopt;
  }

  void addRouteTables() {
    for (int v : configuredIdx_) addToPool(v);
    for (int v : otherIdx_) addToPool(v);
    std::map<int, std::set<std::string>> defaultTables;
    for (int t = 0; t < p_.routeTables; ++t) {
      TableKind kind = TableKind::Normal;
      if (rng_.chance(p_.interesting)) kind = kInteresting[rng_.below(std::size(kInteresting))];
      std::optional<std::pair<int, int>> first;
      if (kind != TableKind::Unassociated) first = takeSubnet();
      std::string name = padded("rt-", t, 5);
      std::vector<std::pair<int, std::string>> bound;  // VNet index, subnet name
      int subscription = t % p_.subscriptions;
      std::string group;
      std::string region;
      const VnetPlan* home = nullptr;
      if (first) {
        home = &plan_.vnets[first->first];
        subscription = home->subscription;
        group = home->group;
        region = home->region;
        bound.emplace_back(first->first, home->subnets[first->second].name);
        extendTable(kind, *first, bound, defaultTables, name);
      } else {
        kind = kind == TableKind::Empty ? kind : TableKind::Unassociated;
        const auto& groups = plan_.subscriptions[subscription].groups;
        group = groups[rng_.below(groups.size())];
        region = p_.regions[rng_.below(p_.regions.size())];
      }
      if (kind == TableKind::Copy) name = (t % 2 ? "org_" : "corvanta-") + name;
      const std::string& sub = plan_.subscriptions[subscription].id;
      const std::string id = resourceId(sub, group, "Microsoft.Network/routeTables", name);
      Json table = {{"name", name},
                    {"id", id},
                    {"type", "Microsoft.Network/routeTables"},
                    {"location", region}};
      if (rng_.chance(0.7)) {
        Json tags = {{"owner", "network-team"}, {"env", t % 3 == 0 ? "prod" : "dev"}};
        if (rng_.chance(0.2)) tags["Name"] = "app-" + std::to_string(t);
        table["tags"] = tags;
      }
      Json properties = {{"provisioningState", "Succeeded"}, {"resourceGuid", rng_.guid()}};
      const auto bgp = rng_.below(3);
      if (bgp < 2) properties["disableBgpRoutePropagation"] = bgp == 1;
      properties["routes"] = routes(kind, t, id, home);
      if (!bound.empty()) {
        Json subnets = Json::array();
        for (const auto& [v, subnetName] : bound) {
          VnetPlan& vnet = plan_.vnets[v];
          subnets.push_back({{"id", vnet.subnetId(subnetName)}});
          for (SubnetPlan& subnet : vnet.subnets) {
            if (subnet.name == subnetName) subnet.routeTable = id;
          }
        }
        properties["subnets"] = subnets;
      }
      table["properties"] = properties;
      byScope_[subscription].routeTables.push_back(std::move(table));
    }
  }

  void addToPool(int v) {
    for (std::size_t s = 0; s < plan_.vnets[v].subnets.size(); ++s) {
      if (plan_.vnets[v].subnets[s].ordinary) pool_.emplace_back(v, static_cast<int>(s));
    }
  }

  // Binds the further subnets a table of `kind` serves, or renames it; falls back to a plain
  // table when the estate has no room for the shape.
  void extendTable(TableKind& kind, std::pair<int, int> first,
                   std::vector<std::pair<int, std::string>>& bound,
                   std::map<int, std::set<std::string>>& defaultTables, std::string& name) {
    VnetPlan& vnet = plan_.vnets[first.first];
    if (kind == TableKind::Reserved) {
      SubnetPlan& reserved = vnet.subnet("AzureFirewallSubnet", octets(vnet, 14) + ".0/26");
      if (reserved.routeTable) {
        kind = TableKind::Normal;
      } else {
        bound.insert(bound.begin(), {first.first, "AzureFirewallSubnet"});
      }
    } else if (kind == TableKind::DefaultTable) {
      if (vnet.configured && defaultTables[first.first].insert("default").second) {
        name = vnet.name + "-corvanta-default";
      } else {
        kind = TableKind::Normal;
      }
    } else if (kind == TableKind::Shared) {
      for (std::size_t s = 0; s < vnet.subnets.size(); ++s) {
        SubnetPlan& other = vnet.subnets[s];
        if (static_cast<int>(s) != first.second && other.ordinary && !other.routeTable &&
            !isBound(bound, first.first, other.name)) {
          bound.emplace_back(first.first, other.name);
          return;
        }
      }
      kind = TableKind::Normal;
    } else if (kind == TableKind::CrossVnet) {
      for (std::size_t i = pool_.size(); i-- > cursor_;) {
        auto [v, s] = pool_[i];
        const VnetPlan& other = plan_.vnets[v];
        if (v != first.first && other.subscription == vnet.subscription &&
            other.region == vnet.region && !other.subnets[s].routeTable) {
          bound.emplace_back(v, other.subnets[s].name);
          // Claimed now so that no later table takes it.
          plan_.vnets[v].subnets[s].routeTable = "";
          return;
        }
      }
      kind = TableKind::Normal;
    }
  }

  static bool isBound(const std::vector<std::pair<int, std::string>>& bound, int v,
                      const std::string& name) {
    for (const auto& [bv, bn] : bound) {
      if (bv == v && bn == name) return true;
    }
    return false;
  }

  Json routes(TableKind kind, int t, const std::string& tableId, const VnetPlan* home) {
    static const char* kTags[] = {"AzureCloud", "Storage.EastUS", "Sql", "AzureMonitor",
                                  "AzureActiveDirectory"};
    static const char* kHops[] = {"VirtualAppliance",
                                  "VirtualAppliance",
                                  "VirtualAppliance",
                                  "VirtualAppliance",
                                  "VirtualAppliance",
                                  "VirtualNetworkGateway",
                                  "VirtualNetworkGateway",
                                  "VnetLocal",
                                  "Internet",
                                  "None"};
    const std::string appliance = home ? octets(*home, 0) + ".4" : "10.255.0.4";
    Json list = Json::array();
    const int count = kind == TableKind::Empty ? 0 : p_.routesPerTable;
    for (int r = 0; r < count; ++r) {
      std::string prefix =
          "172." + std::to_string(16 + r / 256 % 16) + "." + std::to_string(r % 256) + ".0/24";
      std::string hop = kHops[rng_.below(std::size(kHops))];
      std::string hopAddress = appliance;
      if (kind == TableKind::Ipv6 && r % 2 == 0) {
        char text[48];
        std::snprintf(text, sizeof text, "fd00:%x:%x::/64", t % 0xFFFF, r);
        prefix = text;
        hopAddress = "fd00::4";
      } else if (kind == TableKind::ServiceTag && r < 3) {
        prefix = kTags[(t + r) % std::size(kTags)];
        hop = "Internet";
      } else if (kind == TableKind::DefaultRoute && r == 0) {
        prefix = "0.0.0.0/0";
        hop = t % 2 ? "Internet" : "VirtualAppliance";
      }
      Json properties = {
          {"provisioningState", "Succeeded"}, {"addressPrefix", prefix}, {"nextHopType", hop}};
      if (hop == "VirtualAppliance") properties["nextHopIpAddress"] = hopAddress;
      properties["hasBgpOverride"] = false;
      const std::string name = "route-" + std::to_string(r);
      list.push_back({{"name", name},
                      {"id", tableId + "/routes/" + name},
                      {"type", "Microsoft.Network/routeTables/routes"},
                      {"properties", properties}});
    }
    return list;
  }

  void addPeerings() {
    std::set<std::pair<int, int>> peered;
    const std::vector<int>& anchors = configuredIdx_.empty() ? otherIdx_ : configuredIdx_;
    for (int n = 0; n < p_.peerings && !anchors.empty(); ++n) {
      const int a = anchors[n % anchors.size()];
      for (int attempt = 0; attempt < 20; ++attempt) {
        const int b = static_cast<int>(rng_.below(plan_.vnets.size()));
        if (b == a || plan_.vnets[b].subscription != plan_.vnets[a].subscription ||
            peered.count({std::min(a, b), std::max(a, b)})) {
          continue;
        }
        peered.insert({std::min(a, b), std::max(a, b)});
        VnetPlan& va = plan_.vnets[a];
        VnetPlan& vb = plan_.vnets[b];
        va.peerings.push_back(detail::peeringJson(va, vb.id, vb.name, vb.prefix));
        vb.peerings.push_back(detail::peeringJson(vb, va.id, va.name, va.prefix));
        break;
      }
    }
    // One peering reaches a hub of another organisation, outside the estate.
    if (p_.peerings > 0 && p_.interesting > 0 && !anchors.empty()) {
      VnetPlan& anchor = plan_.vnets[anchors[0]];
      anchor.peerings.push_back(detail::peeringJson(
          anchor,
          resourceId(rng_.guid(), "rg-partner", "Microsoft.Network/virtualNetworks", "partner-hub"),
          "partner-hub", "172.20.0.0/16"));
    }
  }

  // Spoke gateways of an earlier migration, a machine whose interface is tagged but which is
  // not, and one workload machine per configured VNet.
  void addSpokeGateways() {
    std::vector<int> configured = configuredIdx_;
    rng_.shuffle(configured);
    for (std::size_t i = 0; i < configured.size(); ++i) {
      VnetPlan& vnet = plan_.vnets[configured[i]];
      const bool migrated = static_cast<int>(i) < p_.migratedVnets;
      const bool decoy = !migrated && static_cast<int>(i) == p_.migratedVnets && p_.interesting > 0;
      if (migrated || decoy) {
        vnet.subnet("corvanta-spoke-gw", octets(vnet, 13) + ".0/28");
        addMachine(vnet, "corvanta-spoke-gw", vnet.name + "-spoke-gw", true, migrated, 13);
      }
      addMachine(vnet, "snet-0", vnet.name + "-app-0", false, false, 0);
    }
  }

  void addMachine(const VnetPlan& vnet, const std::string& subnet, const std::string& name,
                  bool taggedInterface, bool taggedMachine, int offset) {
    auto [nic, vm] = detail::machineJson({&vnet, subscriptionId(vnet), subnet, name, p_.gatewaySize,
                                          octets(vnet, offset) + ".4", rng_.guid(), taggedInterface,
                                          taggedMachine});
    resources(vnet).interfaces.push_back(std::move(nic));
    resources(vnet).machines.push_back(std::move(vm));
  }

  Json vnetJson(const VnetPlan& vnet) {
    Json subnets = Json::array();
    for (const SubnetPlan& subnet : vnet.subnets) {
      Json properties = {{"provisioningState", "Succeeded"}};
      // Now and then a subnet of two prefixes, which Azure lists under addressPrefixes only.
      if (subnet.ordinary && rng_.chance(p_.interesting / 4)) {
        const std::string base = subnet.prefix.substr(0, subnet.prefix.size() - 5);
        properties["addressPrefixes"] = {base + ".0/25", base + ".128/25"};
      } else {
        properties["addressPrefix"] = subnet.prefix;
      }
      if (subnet.ordinary && rng_.chance(0.5)) {
        properties["networkSecurityGroup"] = {
            {"id", resourceId(subscriptionId(vnet), vnet.group,
                              "Microsoft.Network/networkSecurityGroups", "nsg-" + vnet.name)}};
      }
      if (subnet.routeTable && !subnet.routeTable->empty()) {
        properties["routeTable"] = {{"id", *subnet.routeTable}};
      }
      if (subnet.ordinary && rng_.chance(0.2)) {
        properties["serviceEndpoints"] = {{{"provisioningState", "Succeeded"},
                                           {"service", "Microsoft.Storage"},
                                           {"locations", {vnet.region}}}};
      }
      Json delegations = Json::array();
      if (subnet.ordinary && rng_.chance(0.1)) {
        delegations.push_back({{"name", "delegation"},
                               {"id", vnet.subnetId(subnet.name) + "/delegations/delegation"},
                               {"properties", {{"serviceName", "Microsoft.Web/serverFarms"}}}});
      }
      properties["delegations"] = delegations;
      properties["privateEndpointNetworkPolicies"] = "Disabled";
      subnets.push_back({{"name", subnet.name},
                         {"id", vnet.subnetId(subnet.name)},
                         {"type", "Microsoft.Network/virtualNetworks/subnets"},
                         {"properties", properties}});
    }
    Json out = {{"name", vnet.name},
                {"id", vnet.id},
                {"type", "Microsoft.Network/virtualNetworks"},
                {"location", vnet.region}};
    if (vnet.configured) out["tags"] = {{"migrate", "true"}};
    out["properties"] = {{"provisioningState", "Succeeded"},
                         {"resourceGuid", rng_.guid()},
                         {"addressSpace", {{"addressPrefixes", {vnet.prefix}}}},
                         {"subnets", subnets},
                         {"virtualNetworkPeerings", vnet.peerings},
                         {"enableDdosProtection", false}};
    return out;
  }

  Json write() {
    Json tenants = Json::array();
    Json principals = Json::array();
    for (const auto& principal : plan_.principals) {
      Json subs = Json::array();
      for (int s : principal.subscriptions) subs.push_back(plan_.subscriptions[s].id);
      principals.push_back(
          {{"appId", principal.appId}, {"secret", principal.secret}, {"subscriptions", subs}});
    }
    tenants.push_back({{"tenantId", plan_.tenantId}, {"principals", principals}});
    Json subscriptions = Json::array();
    for (int s = 0; s < p_.subscriptions; ++s) {
      const auto& sub = plan_.subscriptions[s];
      Json groups = Json::array();
      for (const auto& group : sub.groups) {
        groups.push_back({{"id", groupId(sub.id, group)},
                          {"name", group},
                          {"type", "Microsoft.Resources/resourceGroups"},
                          {"location", p_.regions[0]},
                          {"properties", {{"provisioningState", "Succeeded"}}}});
      }
      Json vnets = Json::array();
      for (const VnetPlan& vnet : plan_.vnets) {
        if (vnet.subscription == s) vnets.push_back(vnetJson(vnet));
      }
      SubscriptionResources& res = byScope_[s];
      subscriptions.push_back({{"subscriptionId", sub.id},
                               {"displayName", sub.displayName},
                               {"state", "Enabled"},
                               {"tenantId", plan_.tenantId},
                               {"resourceGroups", groups},
                               {"routeTables", std::move(res.routeTables)},
                               {"virtualNetworks", vnets},
                               {"virtualNetworkGateways", std::move(res.gateways)},
                               {"networkInterfaces", std::move(res.interfaces)},
                               {"virtualMachines", std::move(res.machines)},
                               {"learnedRoutes", std::move(res.learnedRoutes)},
                               {"vmSizes", detail::vmSizeCatalogue(p_.regions)},
                               {"serviceLimits", quotas(sub.id)}});
    }
    return {{"tenants", tenants}, {"subscriptions", subscriptions}};
  }

  // With more than one region, the last one is nearly spent, so quota alerts show.
  Json quotas(const std::string& subscription) {
    return detail::computeQuotas(subscription, p_.regions,
                                 p_.interesting > 0 && p_.regions.size() > 1, rng_);
  }

  const EstateParams& p_;
  Rng rng_;
  EstatePlan plan_;
  std::vector<int> configuredIdx_;
  std::vector<int> otherIdx_;
  std::vector<std::pair<int, int>> pool_;
  std::size_t cursor_ = 0;
  std::map<int, SubscriptionResources> byScope_;
};

}  // namespace

EstateParams referenceEstateParams(std::uint64_t seed) {
  EstateParams params;
  params.seed = seed;
  params.vnets = 2000;
  params.configuredVnets = 200;
  params.subnetsPerVnet = 8;
  params.routeTables = 4000;
  params.routesPerTable = 25;
  params.peerings = 400;
  params.vpnGateways = 40;
  params.expressRouteGateways = 20;
  params.migratedVnets = 5;
  params.resourceGroups = 10;
  params.regions = {"eastus", "westus2", "westeurope", "northeurope"};
  params.interesting = 0.1;
  return params;
}

GeneratedEstate generateEstate(const EstateParams& params) { return Generator(params).run(); }

}  // namespace fakearm
