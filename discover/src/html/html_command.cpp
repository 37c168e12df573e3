// `kx-discover html REPORT.json`: the HTML report of a recorded run, made again from its JSON
// report (the page `--html` writes at the end of a run).
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/atomic_file.hpp"
#include "common/cli.hpp"
#include "common/output_paths.hpp"
#include "html/html_changes.hpp"
#include "html/html_report.hpp"
#include "run/options.hpp"

namespace kxdiscover {

namespace {

class HtmlCommand final : public Command {
 public:
  void configure(CLI::App& app) override {
    app.add_option("REPORT", report_, "The JSON report of a run (kx-discover --json)")
        ->required()
        ->type_name("REPORT.json")
        ->check(CLI::Validator(CLI::ExistingFile).description(""));
    app.add_option("-o,--output", output_, "The page to write (default: REPORT with .html)")
        ->type_name("PAGE");
    app.add_option("--previous", previous_,
                   "Add a section of the changes since this earlier JSON report")
        ->type_name("OLD.json");
  }

  int run(const std::vector<std::string>&, std::ostream& out, std::ostream& err) override {
    std::filesystem::path output = output_;
    if (output.empty()) output = std::filesystem::path(report_).replace_extension(".html");
    // The page never replaces a report it is made from.
    try {
      OutputPaths files;
      files.input("the report", report_);
      if (!previous_.empty()) files.input("the earlier report (--previous)", previous_);
      files.output("the page", output);
    } catch (const OutputPathError& e) {
      err << "kx-discover: " << e.what() << std::endl;
      return kExitUsage;
    }
    collab::Json report;
    try {
      std::ifstream in(report_, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      if (!in) throw std::runtime_error("cannot be read");
      report = collab::Json::parse(text.str());
    } catch (const std::exception& e) {
      err << "kx-discover: " << report_ << ": " << e.what() << std::endl;
      return kExitConfiguration;
    }
    HtmlReportOptions options;
    if (!previous_.empty()) {
      // Both reports are checked as `kx-discover diff` checks them; a stale or foreign earlier
      // report is refused rather than silently left out of the page.
      try {
        options.extraSections.push_back(
            changesSection(diffReports(loadReport(previous_), reportFromJson(report, report_))));
      } catch (const std::exception& e) {
        err << "kx-discover: " << e.what() << std::endl;
        return kExitConfiguration;
      }
    }
    try {
      writeFileAtomically(output, renderHtmlReport(report, options));
    } catch (const std::exception& e) {
      err << "kx-discover: " << report_ << ": " << e.what() << std::endl;
      return kExitConfiguration;
    }
    out << "kx-discover: HTML report " << output.string() << std::endl;
    return kExitCompleted;
  }

  int outputFailedStatus(int status) const override {
    return status == kExitCompleted ? kExitConfiguration : status;
  }

 private:
  std::string report_;
  std::string output_;
  std::string previous_;
};

}  // namespace

std::unique_ptr<Command> makeHtmlCommand() { return std::make_unique<HtmlCommand>(); }

}  // namespace kxdiscover
