// The default command: the discovery run and its options.
#include <optional>
#include <string>

#include "common/cli.hpp"
#include "run/options.hpp"
#include "run/run.hpp"

namespace kxdiscover {

namespace {

class RunCommand final : public Command {
 public:
  void configure(CLI::App& app) override {
    app.add_option("CONFIG", options_.config, "The discovery configuration (YAML, kind: discovery)")
        ->type_name("FILE");
    addAzureOptions(app, options_);
    // The options that take one text each: name, field, help, what the value is, and the check
    // CLI11 makes of it (a file or folder that must exist), if any.
    const struct {
      const char* name;
      std::optional<std::string>* field;
      const char* help;
      const char* value;
      const CLI::Validator* check;
    } texts[] = {
        {"--json", &options_.json, "Write the JSON report (docs/report.md) to this file", "REPORT",
         nullptr},
        {"--html", &options_.html,
         "Write the HTML report (one self-contained page with the topology) to this file", "PAGE",
         nullptr},
        {"--previous", &options_.previous,
         "With --html: add the changes since this earlier JSON report", "OLD.json",
         &CLI::ExistingFile},
        {"--record", &options_.record,
         "Record the Azure traffic into this cassette (secrets and tokens removed)", "CASSETTE",
         nullptr},
        {"--replay", &options_.replay,
         "Answer every Azure request from this cassette: no network, no credentials", "CASSETTE",
         &CLI::ExistingFile},
        {"--data-dir", &options_.dataDir,
         "Folder of the Azure reference data (azure_data/input.json); default: the installed one",
         "DIR", &CLI::ExistingDirectory},
    };
    for (const auto& text : texts) {
      CLI::Option* option =
          app.add_option(text.name, *text.field, text.help)->type_name(text.value);
      // Checked without the check's own word added to the value's name in the help.
      if (text.check) option->check(CLI::Validator(*text.check).description(""));
    }
    app.add_option("--jobs", options_.jobs,
                   "Worker processes discovering VNets and subscriptions side by side (default " +
                       std::to_string(kDefaultJobs) + "; 1: all in this process)")
        ->type_name("N")
        ->check(CLI::Range(1u, kMaxJobs).description(""));
    app.add_flag("--quiet", options_.quiet, "No progress and no summary; problems still on stderr");
    app.add_flag("--snapshot", options_.snapshot,
                 "Fetch each distinct listing page from Azure once in the run and answer repeated "
                 "requests from that reading (default: every call asks Azure)");
    app.add_flag("--learned-routes", options_.learnedRoutes,
                 "Ask each VNet's VPN or ExpressRoute gateway for the routes it learned (needs "
                 "more than Reader: docs/azure.md)");
    app.add_option("--learned-routes-timeout", options_.learnedRoutesTimeout,
                   "With --learned-routes: wait at most this long for each gateway's routes "
                   "(default 120)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0u, 3600u).description(""));
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
