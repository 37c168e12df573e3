#pragma once
// The options of a discovery run and the exit statuses of the command.
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/json.hpp"

namespace CLI {
class App;
}  // namespace CLI

namespace kxdiscover {

/// Exit statuses of kx-discover (documented in README.md and docs/report.md).
enum ExitStatus : int {
  kExitCompleted = 0,      ///< every subscription and VNet taken was discovered
  kExitConfiguration = 1,  ///< the configuration (or the installation's data) cannot be used
  kExitUsage = 2,          ///< the command line is wrong
  kExitFailures = 3,       ///< some subscription or VNet failed; the others completed
  kExitSignalBase = 128,   ///< plus the signal's number: interrupted (130 for Ctrl-C)
};

/// Worker processes when --jobs is not given: enough to keep one principal's read budget busy
/// at Azure's round-trip times (docs/kx-discover.md, "Worker processes").
inline constexpr unsigned kDefaultJobs = 4;
/// More only wait on the principal's budgets.
inline constexpr unsigned kMaxJobs = 32;

struct RunOptions {
  std::string config;
  std::optional<std::string> armEndpoint;
  std::optional<std::string> loginEndpoint;
  std::optional<std::string> caFile;
  /// Signs every azure_cred entry in with this method instead of its own (--auth).
  std::optional<std::string> auth;
  std::optional<std::string> record;
  std::optional<std::string> replay;
  std::optional<std::string> dataDir;
  std::optional<std::string> json;
  /// The HTML report (html_report.hpp).
  std::optional<std::string> html;
  /// An earlier JSON report: the HTML report then lists the changes since it.
  std::optional<std::string> previous;
  /// Only these subscriptions; all of account_info when empty.
  std::vector<std::string> subscriptions;
  bool quiet = false;
  /// Ask each VPN and ExpressRoute gateway for the routes it learned (--learned-routes)...
  bool learnedRoutes = false;
  /// ...and wait this many seconds at most for each (--learned-routes-timeout).
  std::optional<unsigned> learnedRoutesTimeout;
  /// Worker processes that discover VNets (and subscriptions) side by side (--jobs).
  std::optional<unsigned> jobs;
  /// Each distinct listing page is fetched from Azure once in the run and answered from that
  /// reading afterwards (--snapshot); by default every call asks Azure.
  bool snapshot = false;
  /// A folder shared by the processes of one run (the parent and its workers): the read and
  /// Resource Graph budgets they share and, with `snapshot`, the pages read.  Set by the run
  /// itself, never by the operator.
  std::optional<std::string> sharedStateDir;
  /// The arguments as given, for the report.
  std::vector<std::string> commandLine;
};

/// The command line cannot be used; exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Checks what the option parser cannot: --record and --replay together, and the endpoints
/// (absolute http(s) URLs; plain http only to a loopback host, as the client layer sends
/// tokens nowhere else in clear text).
/// @throws UsageError naming the option.
void checkRunOptions(const RunOptions& options);

/// The options that say how to reach Azure and sign in, shared by the run and check-access:
/// --subscription, --auth, --arm-endpoint, --login-endpoint, --ca-file.
void addAzureOptions(CLI::App& app, RunOptions& options);

/// The account entries to take: all of account_info, or those --subscription names, in file
/// order.
/// @throws UsageError for a --subscription the configuration has no account entry for.
std::vector<const collab::Json*> selectAccounts(const collab::Json& data,
                                                const RunOptions& options);

/// The host of an absolute URL, brackets of an IPv6 literal kept; empty when it has none.
std::string_view urlHost(std::string_view url);

/// How the gateways' learned routes are waited for: the time limit of `options`.
collab::azure::OperationPolling learnedRoutesPolling(const RunOptions& options);

}  // namespace kxdiscover
