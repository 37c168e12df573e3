#include "run/learned_routes.hpp"

#include <exception>
#include <string>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/learned_routes.hpp"
#include "collab/log.hpp"
#include "collab/text_compare.hpp"
#include "run/discovery_run.hpp"
#include "run/interrupt.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using collab::Json;

namespace {

constexpr const char* kAction = "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";

// A member of a report object as text, "" when it is missing or not text.
std::string textOf(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <class T>
Json orNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json();
}

Json routesOf(const std::vector<az::GatewayRoute>& routes) {
  Json out = Json::array();
  for (const az::GatewayRoute& r : routes) {
    out.push_back(Json{{"prefix", orNull(r.network)},
                       {"next_hop", orNull(r.next_hop)},
                       {"origin", orNull(r.origin)},
                       {"as_path", orNull(r.as_path)},
                       {"weight", orNull(r.weight)},
                       {"source_peer", orNull(r.source_peer)},
                       {"local_address", orNull(r.local_address)}});
  }
  return out;
}

// What a refusal lacks: the action itself (the POST), or reading the operation's result (a
// poll, which lies on the subscription's location rather than on the gateway).
std::string missingRole(const az::ArmError& error, const std::string& resourceGroup,
                        const std::string& subscriptionId) {
  if (error.method() == "POST")
    return "it needs Network Contributor on resource group " + resourceGroup +
           ", or a custom role with " + kAction;
  return "it needs Microsoft.Network/locations/operationResults/read on subscription " +
         subscriptionId + " (Reader on the subscription includes it)";
}

}  // namespace

Json learnedRoutesOf(const az::AzureCredential& cred, const Json& gateways,
                     const az::OperationPolling& polling) {
  auto log = collab::getLogger(kRunLogger);
  Json entries = Json::array();
  const auto vng = gateways.is_object() ? gateways.find("vng") : gateways.end();
  const bool asked = vng != gateways.end() && vng->is_object() &&
                     (collab::ci_equal(textOf(*vng, "type"), "Vpn") ||
                      collab::ci_equal(textOf(*vng, "type"), "ExpressRoute"));
  log->info("- Learned routes");
  if (!asked) {
    log->info("  none asked: the VNet has no VPN or ExpressRoute gateway");
    return entries;
  }

  const std::string name = textOf(*vng, "name");
  const std::string group = textOf(*vng, "resource_group");
  // Azure's texts go into the log as they are: the log's sinks escape what would break a line
  // and redact what the run must not show, as for every other line.
  const std::string what = "gateway " + name + " (" + textOf(*vng, "type") + ", " + group + ")";
  Json entry{{"name", name},
             {"id", vng->value("id", Json())},
             {"type", textOf(*vng, "type")},
             {"resource_group", group},
             {"status", "completed"},
             {"message", nullptr},
             {"routes", nullptr}};
  try {
    const az::LearnedRoutes learned =
        az::awaitLearnedRoutes(cred.getCSC(), cred.getSubId(), group, name, polling);
    if (learned.completed) {
      entry["routes"] = routesOf(learned.routes);
      log->info("  {}: {} route(s)", what, learned.routes.size());
    } else {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(polling.timeLimit).count();
      entry["status"] = "timed_out";
      entry["message"] = "Azure had not answered after " + std::to_string(seconds) +
                         " s of waiting, the time limit (--learned-routes-timeout)";
      log->warn("  **Alert** learned routes of {} not read: {}", what,
                entry["message"].get<std::string>());
    }
  } catch (const std::exception& error) {
    if (stopRequested()) throw;
    const auto* arm = dynamic_cast<const az::ArmError*>(&error);
    if (arm && arm->status() == 403) {
      entry["status"] = "refused";
      entry["message"] =
          "the principal may not " +
          std::string(arm->method() == "POST" ? "ask for them" : "read the operation's result") +
          " (HTTP 403 " + arm->code() + "); " + missingRole(*arm, group, cred.getSubId());
      log->warn("  **Alert** learned routes of {} not read: {}", what,
                entry["message"].get<std::string>());
    } else {
      entry["status"] = "failed";
      entry["message"] = error.what();
      log->error("  **Error** learned routes of {} not read: {}", what, error.what());
    }
  }
  entries.push_back(std::move(entry));
  return entries;
}

}  // namespace kxdiscover
