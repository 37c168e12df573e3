// kx-discover: the discovery command.  The commands live in the kxdiscover library; a
// subcommand is one more line here.
#include <csignal>
#include <iostream>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/cli.hpp"
#include "diff/diff_command.hpp"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // A discovery reads the same large listing once per VNet; the JSON parser's buffers for
  // each listing are several megabytes and short-lived.  glibc raises its mmap threshold
  // after the first such buffer is freed and then carves the next ones out of the heap, where
  // they leave holes the heap never gives back (about 20 MiB of peak RSS on a 4,000-table
  // estate).  A fixed threshold keeps buffers of 4 MiB and more in their own mappings,
  // returned when freed; the ~1 MiB page bodies stay on the heap, where reuse is cheap.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
#endif
  // A closed pipe on standard output or error (`kx-discover ... | head`) and a file size
  // limit are write errors the command reports, not signals that end it before its files are
  // written.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  kxdiscover::Cli cli;
  cli.setDefault(kxdiscover::makeRunCommand());
  cli.add("diff", "What changed between two reports", kxdiscover::makeDiffCommand());
  cli.add("html", "Make the HTML report of a recorded run from its JSON report",
          kxdiscover::makeHtmlCommand());
  cli.add("check-access", "Sign in and check what each subscription lets the credentials read",
          kxdiscover::makeCheckAccessCommand());
  return cli.main(argc, argv, std::cout, std::cerr);
}
