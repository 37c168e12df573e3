#pragma once
// The command line of kx-discover: the run as the default command, plus subcommands.
//
// A command is one class: it adds its options to the CLI11 app it is given and runs once the
// line is parsed.  The run takes its options at the top level (`kx-discover [OPTIONS]
// CONFIG.yaml`); a subcommand is registered with one line in main.cpp and is chosen by its
// word (`kx-discover diff OLD.json NEW.json`).  A configuration file that happens to be named
// like a subcommand is given with a path (./diff).
#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kxdiscover {

class Command {
 public:
  virtual ~Command() = default;
  /// Adds the command's options and positionals to `app`.
  virtual void configure(CLI::App& app) = 0;
  /// Runs after a successful parse.  `args` is the command line as given.
  /// @returns the exit status.
  virtual int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) = 0;
  /// The exit status when standard output could not take all the command wrote (a closed
  /// pipe, a full device), given the status the command returned: by default 3 in place of
  /// success and the command's own status otherwise.
  virtual int outputFailedStatus(int status) const;
};

class Cli {
 public:
  Cli();

  /// The command that runs when no subcommand word is given.
  void setDefault(std::unique_ptr<Command> command);
  /// `kx-discover <name> ...`.
  void add(const std::string& name, const std::string& description,
           std::unique_ptr<Command> command);

  /// Parses and runs.  Help and --version exit 0; a line that does not parse exits 2.  No
  /// exception leaves: an unexpected one is reported and exits 3.  What a command writes to
  /// `out` is checked: when it could not all be written, one line on `err` says so and the
  /// status is the command's `outputFailedStatus`.
  int main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

 private:
  CLI::App app_;
  std::unique_ptr<Command> default_;
  std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> subcommands_;
};

/// The discovery run (run_command.cpp).
std::unique_ptr<Command> makeRunCommand();
/// `html REPORT.json`: the HTML report of a recorded run (html_command.cpp).
std::unique_ptr<Command> makeHtmlCommand();
/// `check-access CONFIG.yaml`: what each credential may read, before a run (access/).
std::unique_ptr<Command> makeCheckAccessCommand();

}  // namespace kxdiscover
