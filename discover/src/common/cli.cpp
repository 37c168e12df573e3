#include "common/cli.hpp"

#include <cstring>

#include "collab/log_text.hpp"
#include "common/checked_output.hpp"
#include "run/options.hpp"

namespace kxdiscover {

namespace {

constexpr const char* kDescription =
    "kx-discover: discover the Azure subscriptions and VNets a discovery configuration names, "
    "write the discovery log (kx.log, kx.alert.log), one Terraform file of route tables per "
    "VNet, and optionally a JSON report.";

constexpr const char* kFooter = R"(Examples:
  kx-discover discovery.yaml
      every subscription of the configuration, with the credentials its azure_cred names
  kx-discover --subscription 11111111-2222-3333-4444-555555555555 --json report.json discovery.yaml
      one subscription only (repeat --subscription for more), with a JSON report
  kx-discover --record run.cassette.json discovery.yaml
      record the run's Azure traffic (secrets and tokens removed) for replay
  kx-discover --replay run.cassette.json discovery.yaml
      replay a recording: no network and no credentials needed
  kx-discover --auth azure-cli discovery.yaml
      sign in with your own Azure CLI login (az login) instead of the entries' secrets
  kx-discover check-access discovery.yaml
      sign in and check the roles, permissions and registrations a run needs, changing nothing
  kx-discover --learned-routes --json report.json discovery.yaml
      also the routes each VPN and ExpressRoute gateway learned (a role beyond Reader)
  kx-discover --arm-endpoint http://127.0.0.1:8080 --login-endpoint http://127.0.0.1:8080/ discovery.yaml
      talk to a loopback Azure (kx-fake-arm serve)

Each azure_cred entry signs in the way its arm_auth_method says: by default with the application
secret in the environment variable its arm_application_secret_env names; or client-certificate,
workload-identity, managed-identity, azure-cli (docs/configuration.md). An entry that chooses
its method, or any entry under --auth, signs in before the run touches a VNet.

Exit status: 0 everything completed; 1 configuration error, or an entry that chose its sign-in
method (or --auth) cannot sign in; 2 usage error; 3 some subscription or VNet failed (the others
completed); 130 interrupted by Ctrl-C (143 by SIGTERM).)";

}  // namespace

Cli::Cli() : app_(kDescription, "kx-discover") {
  app_.footer(kFooter);
  app_.set_version_flag("--version", std::string("kx-discover ") + KX_VERSION);
  app_.require_subcommand(0, 1);
}

void Cli::setDefault(std::unique_ptr<Command> command) {
  default_ = std::move(command);
  default_->configure(app_);
}

void Cli::add(const std::string& name, const std::string& description,
              std::unique_ptr<Command> command) {
  CLI::App* sub = app_.add_subcommand(name, description);
  command->configure(*sub);
  subcommands_.emplace_back(sub, std::move(command));
}

int Command::outputFailedStatus(int status) const {
  return status == kExitCompleted ? kExitFailures : status;
}

int Cli::main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> args(argv, argv + argc);
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app_.exit(e, out, err);
    return status == 0 ? kExitCompleted : kExitUsage;
  }
  Command* command = default_.get();
  for (auto& [sub, candidate] : subcommands_) {
    if (sub->parsed()) command = candidate.get();
  }
  CheckedOutput checked(out.rdbuf());
  std::ostream checkedOut(&checked);
  int status = kExitFailures;
  try {
    status = command->run(args, checkedOut, err);
  } catch (const UsageError& e) {
    err << "kx-discover: " << collab::safeLogText(e.what())
        << "\nRun with --help for more information." << std::endl;
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "kx-discover: unexpected failure: " << collab::safeLogText(e.what()) << std::endl;
  } catch (...) {
    err << "kx-discover: unexpected failure" << std::endl;
  }
  checkedOut.flush();
  if (!checked.failed()) return status;
  err << "kx-discover: standard output could not be written in full";
  if (checked.error() != 0) err << " (" << std::strerror(checked.error()) << ")";
  err << std::endl;
  return command->outputFailedStatus(status);
}

}  // namespace kxdiscover
