#include "common/cli.hpp"

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

int Cli::main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> args(argv, argv + argc);
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app_.exit(e, out, err);
    return status == 0 ? kExitCompleted : kExitUsage;
  }
  try {
    for (auto& [sub, command] : subcommands_) {
      if (sub->parsed()) return command->run(args, out, err);
    }
    return default_->run(args, out, err);
  } catch (const UsageError& e) {
    err << "kx-discover: " << e.what() << "\nRun with --help for more information." << std::endl;
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "kx-discover: unexpected failure: " << e.what() << std::endl;
    return kExitFailures;
  } catch (...) {
    err << "kx-discover: unexpected failure" << std::endl;
    return kExitFailures;
  }
}

}  // namespace kxdiscover
