// kx-discover: the discovery command.  The commands live in the kxdiscover library; a
// subcommand is one more line here.
#include <iostream>

#include "cli.hpp"
#include "diff_command.hpp"

int main(int argc, char** argv) {
  kxdiscover::Cli cli;
  cli.setDefault(kxdiscover::makeRunCommand());
  cli.add("diff", "What changed between two reports", kxdiscover::makeDiffCommand());
  cli.add("html", "Make the HTML report of a recorded run from its JSON report",
          kxdiscover::makeHtmlCommand());
  return cli.main(argc, argv, std::cout, std::cerr);
}
