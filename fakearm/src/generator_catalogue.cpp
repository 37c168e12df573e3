// The generator's fixed catalogues (VM sizes, compute quotas) and the JSON of gateways,
// peerings, interfaces and machines.
#include "generator_parts.hpp"

namespace fakearm::detail {

std::string resourceId(const std::string& subscription, const std::string& group,
                       const std::string& type, const std::string& name) {
  return "/subscriptions/" + subscription + "/resourceGroups/" + group + "/providers/" + type +
         "/" + name;
}

Json vmSizeCatalogue(const std::vector<std::string>& regions) {
  struct Size {
    const char* name;
    int cores;
    int memory;
  };
  static const Size kSizes[] = {
      {"Standard_A2_v2", 2, 4096},  {"Standard_B1s", 1, 1024},    {"Standard_B2ms", 2, 8192},
      {"Standard_D2_v2", 2, 7168},  {"Standard_D3_v2", 4, 14336}, {"Standard_D4_v2", 8, 28672},
      {"Standard_DS2_v2", 2, 7168}, {"Standard_D2s_v3", 2, 8192}, {"Standard_D4s_v3", 4, 16384},
      {"Standard_D4_v3", 4, 16384}, {"Standard_D4_v4", 4, 16384}, {"Standard_E4s_v3", 4, 32768},
      {"Standard_F4s_v2", 4, 8192},
  };
  Json list = Json::array();
  for (const Size& size : kSizes) {
    list.push_back({{"name", size.name},
                    {"numberOfCores", size.cores},
                    {"osDiskSizeInMB", 1047552},
                    {"resourceDiskSizeInMB", size.cores * 8192},
                    {"memoryInMB", size.memory},
                    {"maxDataDiskCount", size.cores * 4}});
  }
  Json byRegion = Json::object();
  for (const auto& region : regions) byRegion[region] = list;
  return byRegion;
}

Json computeQuotas(const std::string& subscription, const std::vector<std::string>& regions,
                   bool tightLast, Rng& rng) {
  static const std::pair<const char*, const char*> kQuotas[] = {
      {"cores", "Total Regional vCPUs"},
      {"standardBSFamily", "Standard BS Family vCPUs"},
      {"standardDv2Family", "Standard Dv2 Family vCPUs"},
      {"standardDSv2Family", "Standard DSv2 Family vCPUs"},
      {"standardDv3Family", "Standard Dv3 Family vCPUs"},
      {"standardDSv3Family", "Standard DSv3 Family vCPUs"},
      {"standardFSFamily", "Standard FS Family vCPUs"},
      {"standardA0_A7Family", "Standard A0-A7 Family vCPUs"},
      {"standardDFamily", "Standard D Family vCPUs"},
  };
  Json byRegion = Json::object();
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const bool tight = tightLast && r + 1 == regions.size();
    Json list = Json::array();
    for (const auto& [name, label] : kQuotas) {
      const int limit = name == std::string("cores") ? 350 : 100;
      const int used = tight ? limit - 2 : static_cast<int>(rng.below(limit / 2));
      list.push_back({{"id", "/subscriptions/" + subscription +
                                 "/providers/Microsoft.Capacity/resourceProviders/"
                                 "Microsoft.Compute/locations/" +
                                 regions[r] + "/serviceLimits/" + name},
                      {"name", name},
                      {"type", "Microsoft.Capacity/ServiceLimits"},
                      {"properties",
                       {{"limit", limit},
                        {"unit", "Count"},
                        {"currentValue", used},
                        {"name", {{"value", name}, {"localizedValue", label}}},
                        {"resourceType", "dedicated"},
                        {"isQuotaApplicable", true}}}});
    }
    byRegion[regions[r]] = list;
  }
  return byRegion;
}

std::pair<Json, Json> gatewayJson(const VnetPlan& vnet, const std::string& subscription, bool vpn,
                                  bool activeActive, const std::string& gatewayNet, int number) {
  const std::string subnetId = vnet.subnetId("GatewaySubnet");
  const std::string name = std::string(vpn ? "vgw-vpn-" : "vgw-er-") + vnet.name;
  const std::string id =
      resourceId(subscription, vnet.group, "Microsoft.Network/virtualNetworkGateways", name);
  Json configs = Json::array();
  for (const char* config : {"default", "activeActive"}) {
    if (config != std::string("default") && !activeActive) break;
    configs.push_back(
        {{"name", config},
         {"id", id + "/ipConfigurations/" + config},
         {"properties",
          {{"provisioningState", "Succeeded"},
           {"privateIPAllocationMethod", "Dynamic"},
           {"subnet", {{"id", subnetId}}},
           {"publicIPAddress",
            {{"id", resourceId(subscription, vnet.group, "Microsoft.Network/publicIPAddresses",
                               name + "-pip-" + config)}}}}}});
  }
  Json properties = {{"provisioningState", "Succeeded"},
                     {"gatewayType", vpn ? "Vpn" : "ExpressRoute"}};
  if (vpn) properties["vpnType"] = "RouteBased";
  properties["enableBgp"] = vpn;
  properties["activeActive"] = activeActive;
  properties["sku"] = vpn ? Json{{"name", "VpnGw1"}, {"tier", "VpnGw1"}}
                          : Json{{"name", "ErGw1AZ"}, {"tier", "ErGw1AZ"}};
  properties["ipConfigurations"] = configs;
  const std::string address = gatewayNet + ".30";
  if (vpn) properties["bgpSettings"] = {{"asn", 65515}, {"bgpPeeringAddress", address}};
  Json gateway = {{"name", name},
                  {"id", id},
                  {"type", "Microsoft.Network/virtualNetworkGateways"},
                  {"location", vnet.region},
                  {"properties", properties}};
  Json learned = Json::array();
  learned.push_back({{"localAddress", address},
                     {"network", vnet.prefix},
                     {"nextHop", ""},
                     {"sourcePeer", address},
                     {"origin", "Network"},
                     {"asPath", ""},
                     {"weight", 32768}});
  for (int r = 0; r < 2; ++r) {
    learned.push_back({{"localAddress", address},
                       {"network", "192.168." + std::to_string(number % 128 * 2 + r) + ".0/24"},
                       {"nextHop", "172.31.0." + std::to_string(r + 1)},
                       {"sourcePeer", "172.31.0." + std::to_string(r + 1)},
                       {"origin", "EBgp"},
                       {"asPath", "6500" + std::to_string(r + 1)},
                       {"weight", 0}});
  }
  return {std::move(gateway), std::move(learned)};
}

Json peeringJson(const VnetPlan& vnet, const std::string& remoteId, const std::string& remoteName,
                 const std::string& remotePrefix) {
  const std::string name = "peer-" + remoteName;
  return {{"name", name},
          {"id", vnet.id + "/virtualNetworkPeerings/" + name},
          {"type", "Microsoft.Network/virtualNetworks/virtualNetworkPeerings"},
          {"properties",
           {{"provisioningState", "Succeeded"},
            {"peeringState", "Connected"},
            {"peeringSyncLevel", "FullyInSync"},
            {"remoteVirtualNetwork", {{"id", remoteId}}},
            {"allowVirtualNetworkAccess", true},
            {"allowForwardedTraffic", false},
            {"allowGatewayTransit", vnet.gateway},
            {"useRemoteGateways", false},
            {"remoteAddressSpace", {{"addressPrefixes", {remotePrefix}}}}}}};
}

std::pair<Json, Json> machineJson(const Machine& m) {
  const std::string nicName = m.name + "-nic";
  const std::string nicId =
      resourceId(m.subscription, m.vnet->group, "Microsoft.Network/networkInterfaces", nicName);
  const std::string vmId =
      resourceId(m.subscription, m.vnet->group, "Microsoft.Compute/virtualMachines", m.name);
  const Json tagged = {{"Corvanta-Created-Resource", "true"}};
  const Json workload = {{"app", "web"}};
  Json nic = {{"name", nicName},
              {"id", nicId},
              {"type", "Microsoft.Network/networkInterfaces"},
              {"location", m.vnet->region},
              {"tags", m.taggedInterface ? tagged : workload},
              {"properties",
               {{"provisioningState", "Succeeded"},
                {"ipConfigurations",
                 {{{"name", "ipconfig1"},
                   {"id", nicId + "/ipConfigurations/ipconfig1"},
                   {"type", "Microsoft.Network/networkInterfaces/ipConfigurations"},
                   {"properties",
                    {{"privateIPAddress", m.address},
                     {"privateIPAllocationMethod", "Dynamic"},
                     {"subnet", {{"id", m.vnet->subnetId(m.subnet)}}},
                     {"primary", true},
                     {"privateIPAddressVersion", "IPv4"}}}}}},
                {"enableIPForwarding", m.taggedInterface},
                {"virtualMachine", {{"id", vmId}}}}}};
  Json vm = {{"name", m.name},
             {"id", vmId},
             {"type", "Microsoft.Compute/virtualMachines"},
             {"location", m.vnet->region},
             {"tags", m.taggedMachine ? tagged : workload},
             {"properties",
              {{"vmId", m.vmId},
               {"hardwareProfile", {{"vmSize", m.size}}},
               {"networkProfile",
                {{"networkInterfaces", {{{"id", nicId}, {"properties", {{"primary", true}}}}}}}},
               {"provisioningState", "Succeeded"}}}};
  return {std::move(nic), std::move(vm)};
}

}  // namespace fakearm::detail
