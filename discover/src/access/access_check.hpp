#pragma once
// kx-discover check-access: before a long run, whether each credential entry signs in and
// whether each subscription lets it read what a discovery reads.
//
// Every azure_cred entry (only those serving the --subscription ones when given) signs in the
// way the run would (its method, or --auth) and lists the subscriptions it can read.  Then, per
// account_info subscription, without changing anything in Azure:
//   - is it among those its entry can read (a role on it);
//   - do its effective permissions (Microsoft.Authorization/permissions) allow every read a
//     discovery makes;
//   - does Resource Graph answer for it, and how many gateways it finds there;
//   - is Microsoft.Capacity registered (the vCPU quota check needs it);
//   - may it ask a gateway for its learned routes (a POST action Reader lacks).
// Each missing piece is named with what to grant or register.
#include <ostream>

#include "run/options.hpp"

namespace kxdiscover {

/// The action that asks a gateway for the routes it learned.
inline constexpr const char* kLearnedRoutesAction =
    "Microsoft.Network/virtualNetworkGateways/getLearnedRoutes/action";

struct AccessCheckOptions {
  RunOptions run;
  /// The learned-routes action is required too, not only reported.
  bool learnedRoutes = false;
};

/// Runs the check, writing its findings to `out` and problems of the command itself to `err`.
/// @returns 0 when every entry signed in and every subscription has what a discovery needs;
///          1 for a configuration that cannot be used or an entry that cannot sign in; 2 for
///          a usage error; 3 when some subscription lacks a role, permission or registration.
int checkAccess(const AccessCheckOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kxdiscover
