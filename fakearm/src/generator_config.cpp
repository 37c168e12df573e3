// The discovery configuration written beside a generated estate.
#include <sstream>

#include "generator_parts.hpp"

namespace fakearm::detail {

namespace {

// A YAML double-quoted scalar: JSON's string escapes are valid there.
std::string quoted(const std::string& text) { return Json(text).dump(); }

}  // namespace

std::string discoveryConfig(const EstateParams& params, const EstatePlan& plan) {
  std::ostringstream out;
  out << "# Discovery configuration of a generated estate (seed " << params.seed << ").\n"
      << "# Secrets are read from the environment variables named below.\n"
      << "kind: discovery\n"
      << "log_output: " << quoted(params.logOutput) << "\n"
      << "config:\n"
      << "  configure_private_subnet: true\n"
      << "  configure_route_table_name:\n"
      << "    - key: base\n"
      << "      value: \"{vnet}-{snet}-rt\"\n"
      << "  configure_shared_route_table_name:\n"
      << "    - key: base\n"
      << "      value: \"{vnet}-shared-{rtb}\"\n"
      << "terraform:\n"
      << "  terraform_output: " << quoted(params.terraformOutput) << "\n"
      << "  account_folder: name\n"
      << "prestage:\n"
      << "  default_route_table: corvanta-default\n"
      << "azure_cred:\n";
  for (std::size_t p = 0; p < plan.principals.size(); ++p) {
    const PrincipalPlan& principal = plan.principals[p];
    // The first principal is the Corvanta account's, which serves every subscription without
    // an entry of its own.
    out << "  " << (p == 0 ? std::string("corvanta") : "sp" + std::to_string(p)) << ":\n";
    if (p > 0) {
      out << "    arm_subscription_id:\n";
      for (int s : principal.subscriptions) {
        out << "      - " << quoted(plan.subscriptions[s].id) << "\n";
      }
    }
    out << "    arm_application_secret_env: " << quoted(params.secretEnvPrefix + std::to_string(p))
        << "\n"
        << "    arm_application_id: " << quoted(principal.appId) << "\n"
        << "    arm_directory_id: " << quoted(plan.tenantId) << "\n";
  }
  out << "account_info:\n";
  for (std::size_t s = 0; s < plan.subscriptions.size(); ++s) {
    out << "  - subscription_id: " << quoted(plan.subscriptions[s].id) << "\n"
        << "    account_name: " << quoted("estate-" + std::to_string(s + 1)) << "\n"
        << "    filter_cidrs:\n"
        << "      - 100.64.0.0/10\n"
        << "    vnets:";
    bool any = false;
    for (const VnetPlan& vnet : plan.vnets) {
      if (!vnet.configured || vnet.subscription != static_cast<int>(s)) continue;
      out << "\n      " << quoted(vnet.name) << ":\n"
          << "        spoke_gw_size: " << quoted(params.gatewaySize) << "\n"
          << "        copy_quad_zero_route: false\n"
          << "        migrate_non_associated_subnet: true";
      any = true;
    }
    out << (any ? "\n" : " {}\n");
  }
  return out.str();
}

}  // namespace fakearm::detail
