// VNets and subnets: the subscription's configured VNets, a VNet's peerings and gateway, its
// subnets as subnet records, and the check of the configured subnet groups against them.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "basekit/common.hpp"
#include "collab/alert.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;
using collab::Json;

namespace {

const std::string kRule(63, '.');
constexpr std::size_t kColumn = 25;
// More than two main route tables are never made for one VNet.
constexpr std::int64_t kMaxMainRouteTables = 2;

// `text` padded on the right with blanks to `width`; a longer text is kept whole.
std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// `map[key]`, which the caller requires.
Json& required(Json& map, const char* key, const char* where) {
  if (!map.is_object())
    throw collab::WrongTypeError(std::string("cannot look up '") + key + "' in a " +
                                 map.type_name() + " " + where + ", a map was expected");
  auto it = map.find(key);
  if (it == map.end()) throw collab::MissingKeyError(key, where);
  return *it;
}

// "<name> (<resource group>)" of a referenced resource, from its id.
std::string nameAndGroup(const std::string& id, int nameIndex) {
  return NetScout::idComponent(id, nameIndex) + " (" + NetScout::idComponent(id, NetScout::RG_I) +
         ")";
}

// Silences the netscout logger for a discoverSubnets call with logging disabled, and leaves it
// at debug when the call ends, also when a failure ends it: a failure must not leave every
// later line of the run unwritten.
class SilencedLog {
 public:
  SilencedLog(std::shared_ptr<spdlog::logger> log, bool silence)
      : log_(std::move(log)), silence_(silence) {
    if (silence_) log_->set_level(spdlog::level::critical);
  }
  ~SilencedLog() {
    if (silence_) log_->set_level(spdlog::level::debug);
  }
  SilencedLog(const SilencedLog&) = delete;
  SilencedLog& operator=(const SilencedLog&) = delete;

 private:
  std::shared_ptr<spdlog::logger> log_;
  bool silence_;
};

void logSubnet(spdlog::logger& log, const az::Subnet& sn, const std::string& rg,
               const std::string& dummyRTName, std::int64_t& subnetWithoutRtCount) {
  log.info("  {} ({})", sn.name, rg);
  log.info("    address_prefix: {}",
           sn.address_prefix ? *sn.address_prefix : collab::textForm(nullptr));
  log.info("    address_prefixes: {}",
           collab::textForm(sn.address_prefixes ? Json(*sn.address_prefixes) : Json()));
  if (!sn.network_security_group)
    log.info("    network_security_group: None");
  else
    log.info("    network_security_group: {}",
             nameAndGroup(sn.network_security_group->id, NetScout::NSG_I));
  if (!sn.route_table) {
    log.info("    route_table: None");
    ++subnetWithoutRtCount;
  } else {
    log.info("    route_table: {}", nameAndGroup(sn.route_table->id, NetScout::RT_I));
    // A subnet already on the migration's default table has no route table of its own.
    if (NetScout::idComponent(sn.route_table->id, NetScout::RT_I) == dummyRTName)
      ++subnetWithoutRtCount;
  }
  if (sn.delegations.empty()) log.info("    delegations: []");
  for (const auto& delegation : sn.delegations) log.info("    delegation: {}", delegation.name);
  if (!sn.service_endpoints) {
    log.info("    service_endpoints: None");
  } else {
    for (const auto& endpoint : *sn.service_endpoints)
      log.info("    service_endpoint: {}", endpoint.service.value_or("None"));
  }
}

}  // namespace

void NetScout::list_vnet(az::NetworkManagementClient& network_client,
                         const std::set<std::string>& vnetsInYaml) {
  auto log = collab::getLogger("netscout");
  const std::vector<az::VirtualNetwork> vnets = network_client.virtual_networks.list_all();
  log->info("- Discover Vnets:");
  log->info("  {}", kRule);
  log->info("  {}{}", padded("Vnet cidr", kColumn), padded("Vnet name (rg)", kColumn));
  log->info("  {}", kRule);
  for (const auto& vnet : vnets) {
    if (!vnetsInYaml.contains(vnet.name)) continue;
    const auto& prefixes = vnet.address_space.address_prefixes;
    // A VNet without an address space (one drawing from an IP address pool) still gets its
    // line rather than ending the listing.
    const std::string cidr =
        !prefixes || prefixes->empty() ? collab::textForm(nullptr) : prefixes->front();
    log->info("  {}{}  ({})", padded(cidr, kColumn), vnet.name, idComponent(vnet.id, RG_I));
    collab::alert::alertVnetNameLength(vnet);
  }
}

void NetScout::discoverVnet(const az::VirtualNetwork& vnet, const az::AzureCredential& cred) {
  auto log = collab::getLogger("netscout");
  const std::vector<std::string> rgList = getAllResourceGroup(cred);
  const auto vNet2VngMap = deduceVnet2VngMap(cred, rgList);

  log->info("- Discover peerings");
  if (vnet.virtual_network_peerings.empty()) {
    log->info("  peerings: None");
  } else {
    collab::alert::alertVnetPeering(vnet);
    for (const auto& peering : vnet.virtual_network_peerings) {
      // A peering whose remote network Azure did not name is listed without it.
      const auto remote = [&](int index) {
        return peering.remote_virtual_network
                   ? idComponent(peering.remote_virtual_network->id, index)
                   : collab::textForm(nullptr);
      };
      log->info("  {} {} ({}/{})", idComponent(peering.id, PEER_I), remote(VNET_I), remote(SUB_I),
                remote(RG_I));
    }
  }

  log->info("- Discover VNG");
  if (auto it = vNet2VngMap.find(vnet.name); it != vNet2VngMap.end()) {
    const az::VirtualNetworkGateway& vng = it->second;
    log->info("  {} {} ({})", vng.name, vng.gateway_type.value_or("None"),
              idComponent(vng.id, RG_I));
  } else {
    log->info("  VNG not found");
  }
}

collab::Subnets NetScout::discoverSubnets(const az::VirtualNetwork& vnet, Json& yamlObj,
                                          bool disable_logging) {
  auto log = collab::getLogger("netscout");
  std::int64_t subnetWithoutRtCount = 0;
  collab::Subnets subnetsObj(vnet.name);
  {
    const SilencedLog silenced(log, disable_logging);
    log->info("- Discover subnet: {} subnet(s)", vnet.subnets.size());
    // The name the VNet's default route table carries; an absent option gives "<vnet>-None",
    // which only a table named so would match.
    const std::string dummyRTName =
        vnet.name + "-" +
        collab::textForm(required(yamlObj, "default_route_table", "VNet option map"));
    for (const auto& sn : vnet.subnets) {
      const std::string rg = idComponent(sn.id, RG_I);
      if (basekit::Common::isAzureReservedSubnet(sn.name)) {
        log->info("  Found Azure {} ({}) -- skipped ", sn.name, rg);
        continue;
      }
      collab::Subnet subObj(sn);
      const Json& provider = required(yamlObj, "provider", "VNet option map");
      if (provider.is_null())
        subObj.setProvider(std::nullopt);
      else
        subObj.setProvider(collab::textForm(provider));
      subnetsObj.add(std::move(subObj));
      logSubnet(*log, sn, rg, dummyRTName, subnetWithoutRtCount);
    }
  }

  const Json& migrate = required(yamlObj, "migrate_non_associated_subnet", "VNet option map");
  // Unset counts as not migrating: the configuration's default is false.
  const bool migrateNonAssociated = migrate.is_boolean() ? migrate.get<bool>() : !migrate.is_null();
  yamlObj["main_rt_count"] =
      migrateNonAssociated ? std::min(subnetWithoutRtCount, kMaxMainRouteTables) : 0;
  return subnetsObj;
}

bool NetScout::findCidrInSubnet(const collab::SubnetMap& subnetMap, Json& sgroup) {
  if (!sgroup.is_object())
    throw collab::WrongTypeError(std::string("a subnet group entry must be a map, got a ") +
                                 sgroup.type_name());
  sgroup["cidr"] = nullptr;
  const Json& name = required(sgroup, "subnet_name", "subnet group");
  const collab::Subnet* subnet =
      name.is_string() ? subnetMap.find(name.get_ref<const std::string&>()) : nullptr;
  if (subnet == nullptr) return false;
  sgroup["cidr"] = subnet->cidr_block ? Json(*subnet->cidr_block) : Json();
  return true;
}

bool NetScout::validateSubnetGroups(const collab::SubnetMap& subnetMap, Json& yaml) {
  Json& groups = required(yaml, "subnet_groups", "VNet option map");
  if (groups.is_null()) return false;
  if (!groups.is_array())
    throw collab::WrongTypeError(std::string("subnet_groups must be a list, got a ") +
                                 groups.type_name());
  auto log = collab::getLogger("netscout");
  bool valid = true;
  // Every entry is examined, so each gets its cidr filled or cleared.
  for (Json& entry : groups) {
    if (findCidrInSubnet(subnetMap, entry)) continue;
    log->error("**Error** subnet group - subnet {} not found",
               collab::textForm(entry["subnet_name"]));
    valid = false;
  }
  return valid;
}

}  // namespace netscout
