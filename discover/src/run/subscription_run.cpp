// The subscriptions of a run and, in each, its configured VNets: the order of the typical run,
// each step's failure reported and the run going on with the next VNet or subscription.
#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "basekit/common.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "collab/log_text.hpp"
#include "collab/text_compare.hpp"
#include "collab/text_form.hpp"
#include "common/atomic_file.hpp"
#include "common/file_names.hpp"
#include "netscout/net_scout.hpp"
#include "report/log_reading.hpp"
#include "run/discovery_run.hpp"
#include "run/interrupt.hpp"
#include "run/learned_routes.hpp"
#include "run/run_files.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using basekit::Common;
using collab::Json;
using netscout::NetScout;

namespace {

// The gateway size the quota check counts with, when the configuration names none.
constexpr const char* kDefaultInstanceSize = "Standard_D3_v2";

auto runLog() { return collab::getLogger(kRunLogger); }

// A configured VNet the run did not discover (not found in Azure, or not reached).
Json vnetEntry(std::string name, const char* status) {
  return Json{{"name", std::move(name)},
              {"status", status},
              {"alerts", Json::array()},
              {"errors", Json::array()}};
}

Json subscriptionEntry(const Json& account, const char* status) {
  return Json{{"id", collab::textForm(account.value("subscription_id", Json()))},
              {"account_name", account.value("account_name", Json())},
              {"status", status},
              {"failures", Json::array()},
              {"regions", Json::array()},
              {"quota_unchecked_regions", Json::array()},
              {"vnets", Json::array()},
              {"alerts", Json::array()},
              {"errors", Json::array()}};
}

}  // namespace

std::vector<std::string> namesOf(const std::vector<az::VirtualNetwork>& vnets) {
  std::vector<std::string> names;
  names.reserve(vnets.size());
  for (const auto& vnet : vnets) names.push_back(vnet.name);
  return names;
}

DiscoveryRun::DiscoveryRun(const RunOptions& options, const Json& data, Json subscriptionMap,
                           AzureSession& session, Progress& progress, LineCapture& capture)
    : options_(options),
      data_(data),
      subscriptionMap_(std::move(subscriptionMap)),
      session_(session),
      progress_(progress),
      capture_(capture) {}

void DiscoveryRun::runAll(const std::vector<const Json*>& accounts) {
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    if (stopRequested()) interrupted_ = true;
    if (!interrupted_) {
      runSubscription(*accounts[i], i + 1, accounts.size());
      continue;
    }
    skipSubscription(*accounts[i]);
  }
}

void DiscoveryRun::skipSubscription(const Json& account) {
  Json report = subscriptionEntry(account, "skipped");
  addUnreached(account, report);
  subscriptions_.push_back(std::move(report));
}

void DiscoveryRun::addUnreached(const Json& account, Json& report) {
  const Json configured = Common::getSubscriptionVnets(account);
  figures_.vnets += configured.size();
  for (const auto& [name, entry] : configured.items()) {
    const Json& done = report["vnets"];
    const bool reached = std::any_of(done.begin(), done.end(),
                                     [&, &n = name](const Json& v) { return v["name"] == n; });
    if (reached) continue;
    report["vnets"].push_back(vnetEntry(name, "skipped"));
    ++figures_.vnetsSkipped;
  }
}

void DiscoveryRun::enter(std::string_view step) {
  step_ = step;
  progress_.step(step);
}

std::optional<StepFailure> DiscoveryRun::failureInFlight() {
  std::string message;
  try {
    throw;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "an unknown failure";
  }
  // A request refused because the operator asked to stop is no failure of Azure or the VNet.
  if (stopRequested()) {
    interrupted_ = true;
    return std::nullopt;
  }
  return StepFailure{step_, message};
}

void DiscoveryRun::recordFailure(const std::string& subscriptionId,
                                 const std::optional<std::string>& vnet, const StepFailure& failure,
                                 Json& report) {
  const std::string cause = failure.step + " failed: " + failure.message;
  if (vnet) {
    runLog()->error("  **Error** VNet {} not discovered: {}", *vnet, cause);
    progress_.problem("subscription " + subscriptionId + ", VNet " + *vnet + ": " + cause);
  } else {
    runLog()->error("  **Error** subscription {}: {}", subscriptionId, cause);
    progress_.problem("subscription " + subscriptionId + ": " + cause);
    report["failures"].push_back(Json{{"step", failure.step}, {"message", failure.message}});
  }
  failures_.push_back(Json{{"subscription", subscriptionId},
                           {"vnet", vnet ? Json(*vnet) : Json()},
                           {"step", failure.step},
                           {"message", failure.message}});
}

Json DiscoveryRun::failuresReport() const { return failures_; }

void DiscoveryRun::checkStep(std::string_view step, const std::string& subscriptionId, Json& report,
                             const std::function<void()>& check) {
  if (stopRequested()) {
    interrupted_ = true;
    return;
  }
  enter(step);
  try {
    check();
  } catch (...) {
    if (std::optional<StepFailure> failure = failureInFlight())
      recordFailure(subscriptionId, std::nullopt, *failure, report);
  }
}

void DiscoveryRun::countFindings(const CapturedLines& lines, Json& report) {
  report["alerts"] = findingsOf(lines, Finding::Alert);
  report["errors"] = findingsOf(lines, Finding::Error);
  figures_.alerts += report["alerts"].size();
  figures_.errors += report["errors"].size();
}

Json DiscoveryRun::openSubscription(const Json& account, std::size_t index, std::size_t count) {
  const std::string subscriptionId = collab::textForm(account.value("subscription_id", Json()));
  progress_.subscription(index, count, subscriptionId);
  ++figures_.subscriptions;
  return subscriptionEntry(account, "completed");
}

void DiscoveryRun::closeSubscription(const Json& account, Json report, const CapturedLines& lines,
                                     bool cutShort) {
  if (report["status"] == "failed" || !report["failures"].empty()) ++figures_.subscriptionsFailed;
  if (cutShort && report["status"] == "completed") report["status"] = "interrupted";
  countFindings(lines, report);
  addUnreached(account, report);
  subscriptions_.push_back(std::move(report));
}

void DiscoveryRun::runSubscription(const Json& account, std::size_t index, std::size_t count) {
  Json report = openSubscription(account, index, count);
  const std::string subscriptionId = report["id"].get<std::string>();
  CapturedLines lines;
  std::optional<SubscriptionReady> ready;
  {
    CaptureScope scope(capture_, lines);
    ready = subscriptionTask(account, subscriptionId, report);
  }
  if (ready) {
    const Json configured = Common::getSubscriptionVnets(account);
    std::size_t index = 0;
    for (const auto& [name, entry] : configured.items()) {
      if (stopRequested()) interrupted_ = true;
      if (interrupted_) break;
      progress_.vnet(++index, configured.size(), name);
      const auto found = std::find_if(ready->azureVnets.begin(), ready->azureVnets.end(),
                                      [&, &n = name](const auto& v) { return v.name == n; });
      Json vnetReport;
      if (found == ready->azureVnets.end())
        reportMissingVnet(name, subscriptionId, namesOf(ready->azureVnets), vnetReport);
      else
        runVnet(account, ready->cred, *found, vnetReport);
      report["vnets"].push_back(std::move(vnetReport));
    }
  }
  closeSubscription(account, std::move(report), lines, interrupted_);
}

std::optional<DiscoveryRun::SubscriptionReady> DiscoveryRun::subscriptionTask(
    const Json& account, const std::string& subscriptionId, Json& report) {
  try {
    return subscriptionSteps(account, subscriptionId, report);
  } catch (...) {
    if (std::optional<StepFailure> failure = failureInFlight())
      failSubscription(subscriptionId, *failure, report);
  }
  return std::nullopt;
}

void DiscoveryRun::failSubscription(const std::string& subscriptionId, const StepFailure& failure,
                                    Json& report) {
  report["status"] = "failed";
  recordFailure(subscriptionId, std::nullopt, failure, report);
}

DiscoveryRun::SubscriptionReady DiscoveryRun::subscriptionSteps(const Json& account,
                                                                const std::string& subscriptionId,
                                                                Json& report) {
  enter("subscription banner");
  Common::logSubscription(subscriptionId);

  enter("credentials");
  az::AzureCredential cred = credentialOf(subscriptionId);
  enter("token");
  // Fetched once here so that a subscription whose token cannot be had is reported as such;
  // the credential keeps the token for the clients that follow.
  cred.getCSC()->getToken();

  enter("list_vnet");
  const Json configured = Common::getSubscriptionVnets(account);
  std::set<std::string> names;
  for (const auto& [name, entry] : configured.items()) names.insert(name);
  az::NetworkManagementClient network(cred.getCSC(), cred.getSubId());
  NetScout::list_vnet(network, names);
  // list_vnet only logs; the run needs the VNet objects themselves.
  std::vector<az::VirtualNetwork> azureVnets = network.virtual_networks.list_all();

  std::vector<std::string> regions;
  for (const auto& vnet : azureVnets) {
    if (names.contains(vnet.name) &&
        std::find(regions.begin(), regions.end(), vnet.location) == regions.end())
      regions.push_back(vnet.location);
  }
  report["regions"] = regions;
  // The quota and unused-table checks only report: when one fails, the failure is recorded
  // and the VNets are still discovered.  A failure ends the quota check, so the regions it
  // did not reach are named: a shortfall there is unknown, not absent.
  std::vector<std::string> unchecked = regions;
  checkStep("vCPU quota", subscriptionId, report, [&] {
    const Json& config = data_.value("config", Json::object());
    const Json size = config.contains("gateway_instance_size") ? config["gateway_instance_size"]
                                                               : Json(kDefaultInstanceSize);
    try {
      NetScout::discoverCpuQuotaInRegion(network, names, cred, collab::textForm(size), &unchecked);
    } catch (...) {
      if (!unchecked.empty() && !stopRequested()) {
        std::string list;
        for (const auto& region : unchecked) list += (list.empty() ? "" : ", ") + region;
        runLog()->warn(
            "  **Alert** vCPU quota not checked in {}: the quota check ended at a failure", list);
        report["quota_unchecked_regions"] = unchecked;
      }
      throw;
    }
  });
  checkStep("route tables without subnet", subscriptionId, report, [&] {
    for (const auto& region : regions)
      NetScout::discover_route_table_without_subnet_in_region(network, region);
  });
  return SubscriptionReady{std::move(cred), std::move(azureVnets)};
}

az::AzureCredential DiscoveryRun::credentialOf(const std::string& subscriptionId) const {
  const std::optional<Json> record = Common::getSubscription(subscriptionMap_, subscriptionId);
  if (!record)
    throw CredentialError("azure_cred has no entry listing subscription " + subscriptionId +
                          " and no 'corvanta' entry to fall back on");
  return session_.credentialFor(*record, subscriptionId);
}

void DiscoveryRun::reportMissingVnet(const std::string& name, const std::string& subscriptionId,
                                     const std::vector<std::string>& azureNames, Json& report) {
  std::string hint;
  for (const auto& azureName : azureNames) {
    if (collab::ci_equal(azureName, name))
      hint = " (it has " + azureName + ", which differs in letter case)";
  }
  report = vnetEntry(name, "not_found");
  CapturedLines lines;
  {
    CaptureScope scope(capture_, lines);
    runLog()->warn(
        "  **Alert** VNet {} is configured but subscription {} has no VNet of that name{}", name,
        subscriptionId, hint);
  }
  progress_.problem("warning: VNet " + name + " not found in subscription " + subscriptionId +
                    hint);
  countFindings(lines, report);
  ++figures_.vnetsNotFound;
}

Json DiscoveryRun::vnetReportStart(const az::VirtualNetwork& vnet) {
  Json report = vnetIdentity(vnet);
  report["status"] = "completed";
  report["failed_step"] = nullptr;
  report["failure"] = nullptr;
  report["subnets"] = subnetsOf(vnet, {});
  report["peerings"] = peeringsOf(vnet);
  report["gateways"] = nullptr;
  report["learned_routes"] = nullptr;
  report["route_tables"] = Json::array();
  report["refused_routes"] = Json::array();
  report["terraform_file"] = nullptr;
  return report;
}

void DiscoveryRun::failVnet(const std::string& subscriptionId, const std::string& vnet,
                            const StepFailure& failure, Json& report) {
  report["status"] = "failed";
  report["failed_step"] = failure.step;
  report["failure"] = failure.message;
  ++figures_.vnetsFailed;
  recordFailure(subscriptionId, vnet, failure, report);
}

void DiscoveryRun::runVnet(const Json& account, const az::AzureCredential& cred,
                           const az::VirtualNetwork& vnet, Json& report) {
  report = vnetReportStart(vnet);
  CapturedLines lines;
  {
    CaptureScope scope(capture_, lines);
    try {
      vnetSteps(account, cred, vnet, report, lines);
      ++figures_.vnetsDiscovered;
    } catch (...) {
      if (std::optional<StepFailure> failure = failureInFlight()) {
        failVnet(cred.getSubId(), vnet.name, *failure, report);
      } else {
        report["status"] = "interrupted";
        ++figures_.vnetsSkipped;
      }
    }
  }
  countFindings(lines, report);
}

void DiscoveryRun::vnetSteps(const Json& account, const az::AzureCredential& cred,
                             const az::VirtualNetwork& vnet, Json& report, CapturedLines& lines) {
  const std::string& subscriptionId = cred.getSubId();

  enter("options");
  // The VNet option map in its three layers, then what the discovery reads besides.
  const Json vnetsInYaml = Common::getSubscriptionVnets(account);
  Json yaml = Json::object();
  yaml["subscriptionMap"] = subscriptionMap_;
  Common::readGlobalConfigOption(data_, yaml);
  Common::readAccountOption(account, yaml);
  Common::readVnetOption(vnetsInYaml, vnet, yaml);
  yaml["filter_cidrs"] = Common::getFilterCidrs(account);
  yaml["route_table_tags"] = vnetsInYaml[vnet.name].value("route_table_tags", Json::array());
  yaml["default_route_table"] = Common::getPreStageDefaultPathbook(data_);

  Common::logVnetHeader(vnet);
  enter("discoverSpokeGw");
  const bool migratedBefore = NetScout::discoverSpokeGw(cred, vnet);
  enter("discoverVnet");
  NetScout::discoverVnet(vnet, cred);
  report["gateways"] = gatewaysOf(gatewayOf(lines), subscriptionId, migratedBefore);
  if (options_.learnedRoutes) {
    enter("learned routes");
    report["learned_routes"] =
        learnedRoutesOf(cred, report["gateways"], learnedRoutesPolling(options_));
  }
  enter("discoverSubnets");
  const collab::Subnets subnets = NetScout::discoverSubnets(vnet, yaml);
  enter("validateSubnetGroups");
  NetScout::validateSubnetGroups(subnets.subnetMap(), yaml);

  enter("discover_route_tables");
  Common::logPathbookHeader();
  auto discovered = NetScout::discover_route_tables(cred, yaml, vnet);
  const auto found = discovered.find(vnet.name);
  const pathbook::CvtPathbooks tables =
      found == discovered.end() ? pathbook::CvtPathbooks(vnet.name) : std::move(found->second);
  const std::vector<RefusedRoute> refused = refusedRoutes(lines);

  Json routeTables = Json::array();
  std::map<std::string, std::string> gatewayGroups;
  std::size_t routesKept = 0;
  tables.forEach([&](const pathbook::Pathbook& table) {
    routeTables.push_back(routeTableOf(table, vnet));
    for (const auto& info : table.getSubnetGwGroupInfos())
      gatewayGroups[info.subnetName] = info.group;
    routesKept += table.routes.size();
  });

  enter("terraform");
  std::ostringstream hcl;
  tables.toHcl(hcl, 0);
  const std::string file = writeTerraform(account, subscriptionId, vnet.name, hcl.str());
  runLog()->info("- Terraform: {} ({} route table(s))", file, tables.size());

  report["subnets"] = subnetsOf(vnet, gatewayGroups);
  report["route_tables"] = std::move(routeTables);
  report["refused_routes"] = refusedRoutesOf(refused);
  report["terraform_file"] = file;
  figures_.routeTables += tables.size();
  figures_.routesKept += routesKept;
  figures_.routesRefused += refused.size();
}

std::string DiscoveryRun::terraformPath(const Json& account, const std::string& subscriptionId,
                                        const std::string& vnetName) const {
  // The configured names were checked before the run (run_files.hpp); these come from Azure
  // (or a replay) and from the subscription record, and are checked again where they are used.
  // Azure VNet names hold letters, digits, "_", "." and "-" only: anything else in a file name
  // would be a fault somewhere upstream, not a name to write to.
  if (auto problem = fileNameProblem(vnetName, 255 - kTerraformExtension.size()))
    throw collab::InvalidValueError("VNet name '" + collab::escapeControls(vnetName) +
                                    "' cannot name a file: " + *problem);
  const std::optional<Json> record =
      Common::getSubscription(subscriptionMap_, subscriptionId, account);
  if (!record) throw collab::MissingKeyError(subscriptionId, "subscription map");
  const std::string folder = Common::getTargetLocation(*record, data_);
  // getTargetLocation joins terraform_output, "/" and one name: that name must stay one
  // component inside terraform_output.
  const std::string root = collab::textForm(data_.at("terraform").at("terraform_output")) + "/";
  const std::string name = folder.substr(std::min(root.size(), folder.size()));
  if (!folder.starts_with(root) || fileNameProblem(name))
    throw collab::InvalidValueError(
        "the Terraform folder '" + collab::escapeControls(folder) + "' is not one folder inside '" +
        collab::escapeControls(root) +
        "': " + fileNameProblem(name).value_or("it does not start with it"));
  // A variable-definitions file per VNet: "route_tables = {...}" is the value of the spoke
  // module's route_tables variable, given to Terraform with -var-file.
  return folder + "/" + vnetName + std::string(kTerraformExtension);
}

std::string DiscoveryRun::writeTerraform(const Json& account, const std::string& subscriptionId,
                                         const std::string& vnetName, const std::string& hcl) {
  const std::string path = terraformPath(account, subscriptionId, vnetName);
  if (!stageTerraform_)
    writeFileAtomically(path, hcl);
  else if (writeFileStaged(path, hcl))
    stagedTerraform_.push_back(path);
  terraformFiles_.push_back(path);
  return path;
}

}  // namespace kxdiscover
