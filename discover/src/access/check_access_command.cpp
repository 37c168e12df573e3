// The check-access subcommand: signs in the way a run would and tells, before a long run,
// what each subscription lets its credential read (access_check.hpp).
#include "access/access_check.hpp"
#include "common/cli.hpp"

namespace kxdiscover {

namespace {

class CheckAccessCommand final : public Command {
 public:
  void configure(CLI::App& app) override {
    app.add_option("CONFIG", options_.run.config,
                   "The discovery configuration (YAML, kind: discovery)")
        ->type_name("FILE");
    addAzureOptions(app, options_.run);
    app.add_flag("--learned-routes", options_.learnedRoutes,
                 "Also require the permission to ask gateways for their learned routes");
    app.footer(
        "Signs in with every azure_cred entry (those of the --subscription ones when given) "
        "the way a run would, lists the subscriptions each can read, and checks for each "
        "account_info subscription, without changing anything: a role on it, the reads a "
        "discovery makes, Resource Graph and its gateways, the Microsoft.Capacity "
        "registration and the learned-routes action.\n\nExit status: 0 ready; 1 configuration "
        "error, or an entry cannot sign in; 2 usage error; 3 some subscription lacks a role, "
        "permission or registration (each named, with what to grant).");
  }

  int run(const std::vector<std::string>&, std::ostream& out, std::ostream& err) override {
    if (options_.run.config.empty())
      throw UsageError("a configuration file is required: kx-discover check-access CONFIG.yaml");
    return checkAccess(options_, out, err);
  }

 private:
  AccessCheckOptions options_;
};

}  // namespace

std::unique_ptr<Command> makeCheckAccessCommand() { return std::make_unique<CheckAccessCommand>(); }

}  // namespace kxdiscover
