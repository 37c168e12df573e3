#include "access/access_check.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <vector>

#include "basekit/common.hpp"
#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_requests.hpp"
#include "collab/azure/effective_permissions.hpp"
#include "collab/azure/http_message.hpp"
#include "collab/azure/management_clients.hpp"
#include "collab/azure/resource_id.hpp"
#include "collab/config.hpp"
#include "collab/text_form.hpp"
#include "run/session.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using collab::Json;

namespace {

constexpr const char* kProvidersApiVersion = "2021-04-01";

// The reads of a discovery run and what each one serves.
const std::pair<const char*, const char*> kReads[] = {
    {"Microsoft.Network/virtualNetworks/read", "VNets"},
    {"Microsoft.Network/routeTables/read", "route tables"},
    {"Microsoft.Network/virtualNetworkGateways/read", "gateways"},
    {"Microsoft.Resources/subscriptions/resourceGroups/read", "resource groups"},
    {"Microsoft.Compute/locations/vmSizes/read", "VM sizes"},
    {"Microsoft.Capacity/resourceProviders/locations/serviceLimits/read", "vCPU quota"},
};

// Lines of one finding: "  <label padded> <text>".
void line(std::ostream& out, const std::string& label, const std::string& text) {
  out << "  " << label << std::string(label.size() < 19 ? 19 - label.size() : 1, ' ') << text
      << "\n";
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// What one entry's sign-in gave: the subscriptions it can read (by lower-case id: name, state),
// or why it could not sign in.
struct EntryAccess {
  std::optional<az::AzureCredential> credential;
  std::map<std::string, std::pair<std::string, std::string>> readable;
};

class AccessCheck {
 public:
  AccessCheck(const AccessCheckOptions& options, AzureSession& session, std::ostream& out)
      : options_(options), session_(session), out_(out) {}

  int run(const Json& data, const std::vector<const Json*>& accounts) {
    const Json subscriptionMap = basekit::Common::getAzureSubscriptionInfo(data);
    std::vector<std::pair<std::string, std::optional<Json>>> taken;
    for (const Json* account : accounts) {
      const std::string id = collab::textForm(account->value("subscription_id", Json()));
      taken.emplace_back(id, basekit::Common::getSubscription(subscriptionMap, id));
    }
    // Each entry once, in the file's order: all of them, or those the taken subscriptions use.
    for (const auto& [name, entry] : data["azure_cred"].items()) {
      const Json* record = nullptr;
      for (const auto& [id, r] : subscriptionMap.items())
        if (r.value("apps", "") == name) record = &r;
      const bool serves = std::any_of(taken.begin(), taken.end(), [&](const auto& t) {
        return t.second && t.second->value("apps", "") == name;
      });
      if (record && (options_.run.subscriptions.empty() || serves)) signIn(name, *record);
    }
    std::size_t ready = 0;
    for (const auto& [id, record] : taken) ready += checkSubscription(id, record);
    out_ << "\nkx-discover check-access: " << entries_.size() - signInFailures_ << " of "
         << entries_.size() << " credential entries signed in, " << ready << " of " << taken.size()
         << " subscription(s) ready\n";
    if (signInFailures_) return kExitConfiguration;
    return ready == taken.size() ? kExitCompleted : kExitFailures;
  }

 private:
  void signIn(const std::string& name, const Json& record) {
    out_ << session_.describe(record) << ": ";
    EntryAccess access;
    try {
      az::AzureCredential credential = session_.credentialFor(record, "");
      credential.getCSC()->getToken();
      access.credential = credential;
    } catch (const std::exception& e) {
      out_ << "sign-in failed: " << e.what() << "\n";
      ++signInFailures_;
      entries_[name] = std::move(access);
      return;
    }
    out_ << "signed in\n";
    try {
      az::ArmPipeline arm(access.credential->getCSC());
      const Json listed =
          arm.listAll(std::string("/subscriptions?api-version=") + az::kSubscriptionsApiVersion);
      line(out_, "can read", std::to_string(listed.size()) + " subscription(s)");
      for (const Json& s : listed) {
        const std::string id = s.value("subscriptionId", "");
        access.readable[lower(id)] = {s.value("displayName", ""), s.value("state", "")};
        out_ << "    " << id << "  " << s.value("displayName", "") << " ("
             << s.value("state", "unknown state") << ")\n";
      }
    } catch (const std::exception& e) {
      line(out_, "can read", std::string("unknown: listing subscriptions failed: ") + e.what());
    }
    entries_[name] = std::move(access);
  }

  // Writes the subscription's findings; true when it has what a discovery needs.
  bool checkSubscription(const std::string& id, const std::optional<Json>& record) {
    out_ << "subscription " << id;
    if (!record) {
      out_ << ": not ready\n";
      line(out_, "credentials", "no azure_cred entry lists it and there is no 'corvanta' entry");
      return false;
    }
    const std::string name = record->value("apps", "");
    out_ << " via azure_cred entry '" << name << "'";
    const EntryAccess& entry = entries_[name];
    if (!entry.credential) {
      out_ << ": not checked, its entry cannot sign in\n";
      return false;
    }
    std::vector<std::pair<std::string, std::string>> findings;
    std::vector<std::string> missing;
    auto problem = [&](const std::string& label, const std::string& text) {
      findings.emplace_back(label, text);
      missing.push_back(label);
    };
    const auto listed = entry.readable.find(lower(id));
    if (!entry.readable.empty() && listed == entry.readable.end()) {
      problem("role",
              "none: the principal cannot see this subscription; give it Reader on "
              "/subscriptions/" +
                  id);
    } else {
      if (listed != entry.readable.end() && listed->second.second != "Enabled")
        findings.emplace_back("state", listed->second.second);
      checkReads(id, *entry.credential, findings, problem);
    }
    out_ << ": " << (missing.empty() ? "ready" : "not ready") << "\n";
    for (const auto& [label, text] : findings) line(out_, label, text);
    return missing.empty();
  }

  // Whether the principal may ask the subscription's gateways for their learned routes: a role
  // on the subscription, or else one on each resource group holding a gateway (Network
  // Contributor is usually given there), which the subscription's permissions do not show.
  static std::string learnedRoutesVerdict(az::ArmPipeline& arm, const std::string& id,
                                          const az::EffectivePermissions& atSubscription,
                                          const std::optional<az::QueryResponse>& gateways) {
    const std::string lacks = std::string("not allowed: ") + kLearnedRoutesAction;
    const std::string grant =
        "Network Contributor on the gateways' resource groups, or a custom "
        "role with that action";
    if (atSubscription.allows(kLearnedRoutesAction)) return "allowed";
    // Resource groups by their lower-case names, each once, as Resource Graph wrote them.
    std::map<std::string, std::string> groups;
    if (gateways && gateways->data.is_array()) {
      for (const Json& row : gateways->data) {
        const Json* gatewayId = row.is_object() && row.contains("id") ? &row["id"] : nullptr;
        if (!gatewayId || !gatewayId->is_string()) continue;
        try {
          const std::string group = az::resourceIdComponent(gatewayId->get<std::string>(), 4);
          groups.emplace(lower(group), group);
        } catch (const std::exception&) {
          // Not a resource group's resource: nothing to check there.
        }
      }
    }
    if (groups.empty()) return lacks + " (Reader lacks it: " + grant + ")";
    std::string without;
    for (const auto& [key, group] : groups) {
      if (!az::EffectivePermissions::ofResourceGroup(arm, id, group).allows(kLearnedRoutesAction))
        without += (without.empty() ? "" : ", ") + group;
    }
    std::string all;
    for (const auto& [key, group] : groups) all += (all.empty() ? "" : ", ") + group;
    if (without.empty()) return "allowed on the gateways' resource groups (" + all + ")";
    return lacks + " on resource group(s) " + without + " (Reader lacks it: " + grant + ")";
  }

  template <typename Problem>
  void checkReads(const std::string& id, const az::AzureCredential& credential,
                  std::vector<std::pair<std::string, std::string>>& findings, Problem&& problem) {
    const az::AzureCredential cred(id, credential.getCSC(), credential.getSPC());
    az::ArmPipeline arm(cred.getCSC());
    // Resource Graph first: the gateways it finds tell where the learned-routes action is
    // needed.  Its finding is written after the permissions'.
    std::optional<az::QueryResponse> gateways;
    std::string graphFailure;
    try {
      az::ResourceGraphClient graph(cred.getCSC());
      az::QueryRequest query;
      query.subscriptions = {id};
      query.query =
          "Resources | where type =~ 'microsoft.network/virtualnetworkgateways' | project id";
      gateways = graph.resources(query);
    } catch (const std::exception& e) {
      graphFailure = e.what();
    }
    try {
      const auto permissions = az::EffectivePermissions::ofSubscription(arm, id);
      std::string lacking;
      for (const auto& [action, what] : kReads) {
        if (!permissions.allows(action))
          lacking += (lacking.empty() ? "" : ", ") + std::string(action) + " (" + what + ")";
      }
      if (lacking.empty())
        findings.emplace_back("reads", "allowed");
      else
        problem("reads", "not allowed: " + lacking + "; the Reader role allows them");
      const std::string text = learnedRoutesVerdict(arm, id, permissions, gateways);
      const bool learned = text.starts_with("allowed");
      if (!learned && options_.learnedRoutes)
        problem("learned routes", text);
      else
        findings.emplace_back("learned routes",
                              text + (learned || options_.learnedRoutes
                                          ? ""
                                          : "; needed only to ask gateways for learned routes"));
    } catch (const std::exception& e) {
      problem("permissions", std::string("cannot be read: ") + e.what());
    }
    if (gateways)
      findings.emplace_back("Resource Graph",
                            "readable, " + std::to_string(gateways->total_records) + " gateway(s)");
    else
      problem("Resource Graph", "not readable: " + graphFailure);
    try {
      const Json provider =
          Json::parse(arm.get("/subscriptions/" + id +
                              "/providers/Microsoft.Capacity?api-version=" + kProvidersApiVersion)
                          .body,
                      nullptr, false);
      const std::string state =
          provider.is_object() ? provider.value("registrationState", "unknown") : "unknown";
      if (state == "Registered")
        findings.emplace_back("Microsoft.Capacity", "registered");
      else
        problem("Microsoft.Capacity",
                state +
                    ": register it (az provider register --namespace Microsoft.Capacity "
                    "--subscription " +
                    id + "); the vCPU quota check needs it");
    } catch (const std::exception& e) {
      problem("Microsoft.Capacity", std::string("registration unknown: ") + e.what());
    }
  }

  const AccessCheckOptions& options_;
  AzureSession& session_;
  std::ostream& out_;
  std::map<std::string, EntryAccess> entries_;
  std::size_t signInFailures_ = 0;
};

}  // namespace

int checkAccess(const AccessCheckOptions& options, std::ostream& out, std::ostream& err) {
  auto fail = [&](int status, const std::string& message) {
    err << "kx-discover check-access: " << message << std::endl;
    return status;
  };
  checkRunOptions(options.run);
  std::optional<AzureSession> session;
  session.emplace(options.run, nullptr);

  Json data;
  try {
    collab::ConfigDocument document = collab::load_from_yaml(options.run.config);
    if (document.getLabel() != collab::kDiscoveryConfigKind)
      return fail(kExitConfiguration, options.run.config + " is of kind '" + document.getLabel() +
                                          "', not 'discovery'");
    data = collab::dump_to_dict(document);
  } catch (const std::exception& e) {
    return fail(kExitConfiguration, e.what());
  }
  const std::vector<const Json*> accounts = selectAccounts(data, options.run);
  if (!data.contains("azure_cred") || !data["azure_cred"].is_object())
    return fail(kExitConfiguration, "**Error** YAML missing 'azure_cred' definition");
  out << "kx-discover check-access: " << options.run.config << "\n";
  return AccessCheck(options, *session, out).run(data, accounts);
}

}  // namespace kxdiscover
