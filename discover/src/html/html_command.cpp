// `kx-discover html REPORT.json`: the HTML report of a recorded run, made again from its JSON
// report (the page `--html` writes at the end of a run).
#include <filesystem>
#include <system_error>

#include "common/atomic_file.hpp"
#include "common/cli.hpp"
#include "diff/report_diff.hpp"
#include "html/html_changes.hpp"
#include "html/html_report.hpp"
#include "run/options.hpp"

namespace kxdiscover {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFooter = R"(Examples:
  kx-discover html report.json
      writes report.html beside it
  kx-discover html today.json -o today.html --previous reviewed.json
      with a section of the changes since the reviewed report

Exit status: 0 the page was written; 1 a report cannot be used: unreadable, not JSON, nested
too deep, not a kx-discover report, of another shape version, or a member that breaks the
schema (the first problem is named); 2 usage error: an unknown option, no report, a report that
does not exist, or a page that would replace one of its reports; 3 the page could not be made
or written.)";

// Whether `a` and `b` name the same file: the same file now, or the same path once resolved
// (for a page that does not exist yet).
bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

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
    app.footer(kFooter);
  }

  int run(const std::vector<std::string>&, std::ostream& out, std::ostream& err) override {
    fs::path output = output_;
    if (output.empty()) output = fs::path(report_).replace_extension(".html");
    // A page written over its own report would lose the report for good.
    for (const std::string* input : {&report_, &previous_}) {
      if (input->empty() || !sameFile(output, *input)) continue;
      err << "kx-discover: the page " << output.string() << " would replace the report " << *input
          << (output_.empty() ? "; name the page with -o" : "") << std::endl;
      return kExitUsage;
    }
    HtmlReportOptions options;
    LoadedReport report;
    try {
      report = loadReport(report_);
      checkReport(report);
      if (!previous_.empty()) {
        // A stale or foreign earlier report is refused rather than silently left out.
        const LoadedReport previous = loadReport(previous_);
        options.extraSections.push_back(changesSection(diffReports(previous, report)));
      }
    } catch (const ReportReadError& e) {
      err << "kx-discover: " << e.what() << std::endl;
      return kExitConfiguration;
    }
    try {
      writeFileAtomically(output, renderHtmlReport(report.body, options));
    } catch (const std::exception& e) {
      err << "kx-discover: the HTML report " << output.string() << " was not written: " << e.what()
          << std::endl;
      return kExitFailures;
    }
    out << "kx-discover: HTML report " << output.string() << std::endl;
    return kExitCompleted;
  }

 private:
  std::string report_;
  std::string output_;
  std::string previous_;
};

}  // namespace

std::unique_ptr<Command> makeHtmlCommand() { return std::make_unique<HtmlCommand>(); }

}  // namespace kxdiscover
