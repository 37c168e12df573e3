// The diff subcommand: reads both reports, lists their changes as text or JSON.
#include "diff/diff_command.hpp"

#include <string>

#include "diff/report_diff.hpp"

namespace kxdiscover {

namespace {

class DiffCommand final : public Command {
 public:
  void configure(CLI::App& app) override {
    app.add_option("OLD", older_, "The earlier report (kx-discover --json)")->type_name("FILE");
    app.add_option("NEW", newer_, "The later report")->type_name("FILE");
    app.add_flag("--json", json_, "List the changes as JSON (docs/diff.md) instead of text");
    app.footer(
        "Compares two reports by Azure resource id, grouped by subscription and VNet; one line "
        "per change: + added, - gone, ~ changed.\n\nExit status: 0 no change; 1 changes "
        "listed; 2 usage error, or a report that cannot be read or is of another shape.");
  }

  int run(const std::vector<std::string>&, std::ostream& out, std::ostream& err) override {
    if (older_.empty() || newer_.empty()) {
      err << "kx-discover: diff needs two reports: kx-discover diff OLD.json NEW.json [--json]"
          << std::endl;
      return kDiffUnusable;
    }
    ReportDiff diff;
    try {
      diff = diffReports(loadReport(older_), loadReport(newer_));
    } catch (const ReportReadError& e) {
      err << "kx-discover: " << e.what() << std::endl;
      return kDiffUnusable;
    }
    if (json_)
      out << diffJson(diff).dump(2) << "\n";
    else
      out << diffText(diff);
    out << std::flush;
    return diff.changes.empty() ? kDiffSame : kDiffChanged;
  }

  // The listing is the product: one that did not reach standard output whole is no answer.
  int outputFailedStatus(int) const override { return kDiffUnusable; }

 private:
  std::string older_;
  std::string newer_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> makeDiffCommand() { return std::make_unique<DiffCommand>(); }

}  // namespace kxdiscover
