#pragma once
// The discovery run: the configuration, every configured subscription and VNet in turn, the
// log files, the Terraform files, the report and the summary.
#include <ostream>

#include "run/options.hpp"

namespace kxdiscover {

/// Runs the discovery `options` describe, writing the summary to `out` and progress and
/// problems to `err`.  Never throws: every failure becomes a message and an exit status
/// (ExitStatus).  The configuration checks of the libraries may end the process themselves
/// with status 1 (a configuration of the wrong kind, a missing azure_cred section).
int runDiscovery(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kxdiscover
