// The default command: the discovery run and its options.
#include "cli.hpp"
#include "options.hpp"
#include "run.hpp"

namespace kxdiscover {

namespace {

class RunCommand final : public Command {
 public:
  void configure(CLI::App& app) override {
    app.add_option("CONFIG", options_.config,
                   "The discovery configuration (YAML, kind: discovery)");
    app.add_option("--subscription", options_.subscriptions,
                   "Only this subscription of account_info; repeat for more")
        ->allow_extra_args(false)
        ->type_name("ID");
    app.add_option("--json", options_.json, "Write the JSON report (docs/report.md) to this file")
        ->type_name("REPORT");
    app.add_option("--record", options_.record,
                   "Record the Azure traffic into this cassette (secrets and tokens removed)")
        ->type_name("CASSETTE");
    app.add_option("--replay", options_.replay,
                   "Answer every Azure request from this cassette: no network, no credentials")
        ->type_name("CASSETTE")
        ->check(CLI::ExistingFile);
    app.add_option("--arm-endpoint", options_.armEndpoint,
                   "Azure Resource Manager endpoint (default https://management.azure.com)")
        ->type_name("URL");
    app.add_option("--login-endpoint", options_.loginEndpoint,
                   "Azure AD login endpoint (default https://login.microsoftonline.com/)")
        ->type_name("URL");
    app.add_option("--ca-file", options_.caFile,
                   "Trust the certificates of this PEM file besides the system's")
        ->type_name("PEM")
        ->check(CLI::ExistingFile);
    app.add_option("--data-dir", options_.dataDir,
                   "Folder of the Azure reference data (azure_data/input.json); default: the "
                   "installed one")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--quiet", options_.quiet, "No progress and no summary; problems still on stderr");
  }

  int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) override {
    if (options_.config.empty())
      throw UsageError("a configuration file is required: kx-discover [OPTIONS] CONFIG.yaml");
    options_.commandLine = args;
    return runDiscovery(options_, out, err);
  }

 private:
  RunOptions options_;
};

}  // namespace

std::unique_ptr<Command> makeRunCommand() { return std::make_unique<RunCommand>(); }

}  // namespace kxdiscover
