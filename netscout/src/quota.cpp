// vCPU quota checks: the vCPUs the new gateways need in each region against the regional and
// the CPU-family quota.
#include <algorithm>
#include <charconv>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/text_compare.hpp"
#include "collab/text_form.hpp"
#include "netscout/net_scout.hpp"

namespace netscout {

namespace az = collab::azure;
using collab::Json;

namespace {

// Each configured VNet gets a spoke gateway and its HA pair.
constexpr std::int64_t kGatewaysPerVnet = 2;
constexpr const char* kComputeProvider = "Microsoft.Compute";
constexpr const char* kRegionalTotal = "cores";

void logRegionHeader(spdlog::logger& log, const std::string& region) {
  log.info("- Discover vCPUs limit in {}", region);
}

const Json& member(const Json& map, const char* key, const std::string& where) {
  auto it = map.is_object() ? map.find(key) : map.end();
  if (it == map.end()) throw collab::MissingKeyError(key, where);
  return *it;
}

// The first quota entry called `name`, letter case aside (Azure's names are case-blind), or
// null.
const Json* quotaEntry(const Json& entries, const std::string& name) {
  for (const auto& entry : entries) {
    auto it = entry.is_object() ? entry.find("name") : entry.end();
    if (it != entry.end() && it->is_string() &&
        collab::ci_equal(it->get_ref<const std::string&>(), name))
      return &entry;
  }
  return nullptr;
}

// "limit" or "currentValue" of a quota entry's properties: an integral number or its text.
std::int64_t quotaNumber(const Json& properties, const char* key, const std::string& quota) {
  const std::string where = "properties of quota " + quota;
  const Json& value = member(properties, key, where);
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    std::int64_t number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec == std::errc() && end == text.data() + text.size()) return number;
  }
  throw collab::InvalidValueError(std::string(key) + " of quota " + quota +
                                  " is not an integer: " + collab::reprForm(value));
}

struct QuotaFigures {
  std::int64_t limit;
  std::int64_t inUse;
  std::string limitText;
  std::string inUseText;
  std::int64_t left() const { return limit - inUse; }
};

QuotaFigures figuresOf(const Json& entry, const std::string& quota) {
  const Json& properties = member(entry, "properties", "quota " + quota);
  QuotaFigures figures{quotaNumber(properties, "limit", quota),
                       quotaNumber(properties, "currentValue", quota), "", ""};
  figures.limitText = collab::textForm(properties["limit"]);
  figures.inUseText = collab::textForm(properties["currentValue"]);
  return figures;
}

}  // namespace

void NetScout::discoverCpuQuotaInRegion(az::NetworkManagementClient& network_client,
                                        const std::set<std::string>& vnetsInYaml,
                                        const az::AzureCredential& cred, const std::string& iSize,
                                        std::vector<std::string>* unchecked) {
  const std::vector<az::VirtualNetwork> vnets = network_client.virtual_networks.list_all();
  // Without a VNet there is no location to look the size up in, and no region to check.
  if (vnets.empty()) return;

  // Region to the number of configured VNets in it, in the order regions are first seen.
  std::vector<std::pair<std::string, std::int64_t>> regions;
  for (const auto& vnet : vnets) {
    if (!vnetsInYaml.contains(vnet.name)) continue;
    auto it = std::find_if(regions.begin(), regions.end(),
                           [&](const auto& region) { return region.first == vnet.location; });
    if (it == regions.end())
      regions.emplace_back(vnet.location, 1);
    else
      ++it->second;
  }

  // Every region stays unchecked until its check is through, so that a failure ending the
  // check leaves the caller the regions it did not reach.
  if (unchecked) {
    unchecked->clear();
    for (const auto& region : regions) unchecked->push_back(region.first);
  }
  // One lookup for every region, at the listing's last VNet's location.
  const std::string& location = vnets.back().location;
  const std::int64_t vCpuCnt = getVCpuForISize(cred, location, iSize);
  auto log = collab::getLogger("netscout");
  const auto checked = [&] {
    if (unchecked) unchecked->erase(unchecked->begin());
  };
  for (const auto& [region, vnetCount] : regions) {
    if (vCpuCnt < 0) {
      // Without the size's vCPUs no requirement can be computed: say so instead of checking
      // against a negative one that always passes.
      logRegionHeader(*log, region);
      log->warn("  **Alert** vCPU count of {} not found in {}", iSize, location);
      checked();
      continue;
    }
    discoverCpuQuota(cred, region, iSize, vCpuCnt, kGatewaysPerVnet * vnetCount);
    checked();
  }
}

void NetScout::discoverCpuQuota(const az::AzureCredential& cred, const std::string& region,
                                const std::string& iSize, std::int64_t vCpuCnt, std::int64_t gwc) {
  auto log = collab::getLogger("netscout");
  logRegionHeader(*log, region);
  const std::int64_t requiredCpu = vCpuCnt * gwc;
  log->info("  {} Vnet(s) to be migrated in {}, needing {} vCPUs.", gwc / kGatewaysPerVnet, region,
            requiredCpu);

  az::AzureReservationAPI quotaClient(cred.getCSC());
  const az::QuotaResult quota =
      quotaClient.quota.get(cred.getSubId(), kComputeProvider, region, "");

  const std::optional<std::string> cpuFamily = getCpuFamily(iSize);
  if (!cpuFamily) {
    log->info("  **Alert** failed to discover vCPU familty for {}", iSize);
    return;
  }
  const Json& entries = member(quota.additional_properties, "value", "quota listing of " + region);
  const Json* total = quotaEntry(entries, kRegionalTotal);
  const Json* family = quotaEntry(entries, *cpuFamily);
  if (family == nullptr) {
    log->info("  **Alert** failed to discover quota limit for {}", *cpuFamily);
    return;
  }

  if (total == nullptr) {
    // The family quota can still be checked on its own.
    log->info("  **Alert** failed to discover total vCPUs quota in {}", region);
  } else {
    const QuotaFigures figures = figuresOf(*total, kRegionalTotal);
    log->info("  Total vCPUs quota:");
    log->info("    limit : {}", figures.limitText);
    log->info("    in use: {}", figures.inUseText);
    if (figures.left() < requiredCpu)
      log->info("  **Alert** Required {} vCPUs in {}, only {} left", requiredCpu, region,
                figures.left());
  }

  const QuotaFigures figures = figuresOf(*family, *cpuFamily);
  log->info("  Instance vCPUs quota:");
  log->info("    instance: {}", iSize);
  log->info("    limit   : {}", figures.limitText);
  log->info("    in use  : {}", figures.inUseText);
  if (figures.left() < requiredCpu)
    log->error("  **Error** Required {} vCPUs for {}, only {} left", requiredCpu, iSize,
               figures.left());
}

std::optional<std::string> NetScout::getCpuFamily(const std::string& iSize) {
  // Compiled on first use, never during static initialisation.
  static const std::vector<std::pair<std::string, std::regex>> patterns = [] {
    std::vector<std::pair<std::string, std::regex>> compiled;
    for (const auto& [family, pattern] : iSizeDict)
      compiled.emplace_back(std::string(family), std::regex(std::string(pattern)));
    return compiled;
  }();
  for (const auto& [family, pattern] : patterns) {
    if (std::regex_search(iSize, pattern)) return family;
  }
  return std::nullopt;
}

std::int64_t NetScout::getVCpuForISize(const az::AzureCredential& cred, const std::string& location,
                                       const std::string& iSize) {
  az::ComputeManagementClient client(cred.getSPC(), cred.getSubId());
  const std::vector<az::VirtualMachineSize> sizes = client.virtual_machine_sizes.list(location);
  for (const auto& size : sizes) {
    // Azure spells one size in more than one case (Standard_A2_V2, Standard_A2_v2).
    if (!size.name || !collab::ci_equal(*size.name, iSize)) continue;
    if (size.number_of_cores) return *size.number_of_cores;
    // The size is offered but cannot be counted: said once, and a later entry may still do.
    collab::getLogger("netscout")
        ->error("  **Error** VM size {} in {} has no numberOfCores", *size.name, location);
  }
  return -1;
}

}  // namespace netscout
