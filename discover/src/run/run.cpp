// A run from start to end: options, configuration, log files, the client layer, the
// subscriptions (subscription_run.cpp), then the cassette, the report and the summary.
#include "run/run.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "basekit/common.hpp"
#include "collab/config.hpp"
#include "collab/log.hpp"
#include "collab/log_text.hpp"
#include "collab/logconf.hpp"
#include "collab/text_form.hpp"
#include "common/atomic_file.hpp"
#include "html/html_changes.hpp"
#include "html/html_report.hpp"
#include "run/discovery_run.hpp"
#include "run/interrupt.hpp"
#include "run/problem_sink.hpp"
#include "run/run_files.hpp"
#include "run/summary.hpp"
#include "run/worker_pool.hpp"

namespace kxdiscover {

using basekit::Common;
using collab::Json;

namespace {

/// Lines of `logger` at error and above also go to `err` while it lives: the configuration
/// checks report before (or instead of) a usable log file.
class EchoErrors {
 public:
  EchoErrors(const std::string& logger, std::ostream& err)
      : logger_(collab::getLogger(logger)), sink_(std::make_shared<ProblemSink>(err)) {
    sink_->set_level(spdlog::level::err);
    logger_->sinks().push_back(sink_);
  }
  ~EchoErrors() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  EchoErrors(const EchoErrors&) = delete;
  EchoErrors& operator=(const EchoErrors&) = delete;

 private:
  std::shared_ptr<spdlog::logger> logger_;
  spdlog::sink_ptr sink_;
};

std::string handlerFile(const collab::logconf& conf, const char* handler) {
  return conf.logging_config["handlers"][handler]["filename"].get<std::string>();
}

// Points the log files at the configured folder and adds the run's own logger to both files;
// the files are checked against the run's other files before they are opened.
RunOutputs openLogs(const Json& data, OutputPaths& files) {
  collab::logconf& conf = Common::intLogLocationMgmtVnetCidr(data);
  conf.logging_config["loggers"][kRunLogger] = {
      {"level", "info"},
      {"handlers", Json::array({collab::logconf::MAIN_HANDLER, collab::logconf::ALERT_HANDLER})}};
  RunOutputs outputs;
  outputs.mainLog = handlerFile(conf, collab::logconf::MAIN_HANDLER);
  outputs.alertLog = handlerFile(conf, collab::logconf::ALERT_HANDLER);
  addLogFiles(files, outputs);
  conf.apply();
  return outputs;
}

}  // namespace

int runDiscovery(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const auto startedAt = std::chrono::system_clock::now();
  const auto start = Progress::Clock::now();
  auto fail = [&](int status, const std::string& message) {
    err << "kx-discover: " << collab::safeLogText(message) << std::endl;
    return status;
  };

  InterruptGuard interruptGuard;
  Progress progress(Progress::modeFor(options.quiet, STDERR_FILENO), err, start);
  std::optional<AzureSession> session;
  OutputPaths files;
  try {
    checkRunOptions(options);
    files = commandLineFiles(options);
    session.emplace(options, [&progress](std::size_t n) { progress.requests(n); });
  } catch (const UsageError& e) {
    return fail(kExitUsage, e.what());
  }
  // An earlier report that cannot be compared is found now, not after a long run; it is read
  // once and kept for the HTML report's changes section.
  std::optional<LoadedReport> previous;
  if (options.previous) {
    try {
      previous = loadReport(*options.previous);
    } catch (const ReportReadError& e) {
      return fail(kExitUsage, e.what());
    }
  }

  Json data;
  std::vector<const Json*> accounts;
  RunOutputs outputs;
  Json subscriptionMap;
  try {
    if (options.dataDir) Common::setDataPath(*options.dataDir);
    Common::loadInputJson();
  } catch (const std::exception& e) {
    return fail(kExitConfiguration, std::string("cannot read the Azure reference data: ") +
                                        e.what() + " (see --data-dir)");
  }
  try {
    collab::ConfigDocument document = collab::load_from_yaml(options.config);
    for (const auto& warning : document.warnings()) progress.problem("warning: " + warning.text());
    collab::YamlContext::get().set(std::move(document));
  } catch (const std::exception& e) {
    return fail(kExitConfiguration, e.what());
  }
  // Ends the process with status 1 for a configuration of another kind.
  Common::expectYamlType(collab::YamlContext::get(), std::string(collab::kDiscoveryConfigKind));
  data = collab::dump_to_dict(collab::YamlContext::get().document());
  try {
    accounts = selectAccounts(data, options);
  } catch (const UsageError& e) {
    return fail(kExitUsage, e.what());
  }
  if (const auto problem = terraformNameProblem(data, accounts))
    return fail(kExitConfiguration, *problem);
  try {
    outputs = openLogs(data, files);
  } catch (const std::exception& e) {
    return fail(kExitConfiguration, std::string("cannot open the log files: ") + e.what());
  }
  {
    // Ends the process with status 1, after its error line, for a missing or malformed
    // azure_cred section.
    EchoErrors echo("basekit", err);
    subscriptionMap = Common::getAzureSubscriptionInfo(data);
  }
  // An entry that chose how it signs in (or --auth) signs in now, so that a credential that
  // cannot work ends the run before any VNet is touched.
  try {
    std::vector<std::string> ids;
    for (const Json* account : accounts)
      ids.push_back(collab::textForm(account->value("subscription_id", Json())));
    session->signInUpFront(subscriptionMap, ids);
  } catch (const SignInError& e) {
    collab::getLogger(kRunLogger)->error("**Error** {}", e.what());
    return fail(kExitConfiguration, e.what());
  }

  LineCapture capture({"basekit", "pathbook", "netscout", "alert", kRunLogger});
  DiscoveryRun run(options, data, std::move(subscriptionMap), *session, progress, capture);
  // Worker processes, unless one would do: the parent then only forks, replays and reports.
  std::optional<WorkerPool> pool;
  if (const unsigned jobs = options.jobs.value_or(kDefaultJobs); jobs > 1) {
    try {
      pool.emplace(jobs);
    } catch (const std::exception& e) {
      progress.problem(std::string("warning: ") + e.what() + "; the run goes on in one process");
    }
  }
  if (pool) {
    RunOptions workerOptions = options;
    workerOptions.sharedStateDir = pool->folder();
    run.runAllInWorkers(accounts, *pool, workerOptions);
  } else {
    run.runAll(accounts);
  }
  progress.finish();
  bool failed = run.failed();

  try {
    if (pool && options.record)
      writeCassetteOfParts(run.workerCassettes(), *options.record);
    else
      session->saveCassette();
  } catch (const std::exception& e) {
    progress.problem(std::string("the cassette was not written: ") + e.what());
    failed = true;
  }
  // The shared folder goes now; a second stop signal from here on ends the run at once.
  const bool workers = pool.has_value();
  pool.reset();
  // A signal after the last request still counts (interrupt.hpp): the report and the page are
  // made from here on as the run stands now.  (A stop the pool held back is delivered above.)
  const int signal = stopSignal() ? stopSignal() : run.workerStopSignal();
  const bool interrupted = run.interrupted() || stopRequested();
  if (interrupted) {
    collab::getLogger(kRunLogger)
        ->warn("**Alert** run interrupted (signal {}){}", signal,
               run.interrupted() ? ": the subscriptions and VNets not reached were not discovered"
                                 : " after its last request: everything taken was discovered");
  }
  // The logs take no more lines from the run: a log that lost one fails the run.
  for (const auto& lost : collab::logconf::writeFailures()) {
    progress.problem("the log " + lost.path + " could not be written in full: " + lost.reason);
    failed = true;
  }
  if (options.record) outputs.cassette = *options.record;
  outputs.terraformFiles = run.terraformFiles();
  if (options.json) outputs.report = *options.json;
  if (options.html) outputs.html = *options.html;

  RunFigures& figures = run.figures();
  if (!workers) {
    figures.requests = session->requests();
    figures.retries = session->retries();
    figures.snapshotAnswers = session->snapshotAnswers();
  } else {
    figures.requests += session->requests();  // the sign-ins up front
  }
  figures.snapshot = options.snapshot;
  figures.seconds = std::chrono::duration<double>(Progress::Clock::now() - start).count();

  std::string status = interrupted ? "interrupted" : failed ? "failed" : "completed";
  if (options.json || options.html) {
    Json report{{"schema", kReportSchema},
                {"tool", {{"name", "kx-discover"}, {"version", KX_VERSION}}},
                {"started", isoTime(startedAt)},
                {"finished", isoTime(std::chrono::system_clock::now())},
                {"command_line", options.commandLine},
                {"configuration", options.config},
                {"status", status},
                {"interrupted", interrupted},
                {"summary", figuresOf(figures)},
                {"outputs", outputsOf(outputs)},
                {"subscriptions", run.subscriptionsReport()},
                {"failures", run.failuresReport()}};
    // A failure message may quote what a server echoed back.
    redactSecrets(report);
    auto write = [&](const std::string& path, const char* what, auto&& content) {
      try {
        writeFileAtomically(path, content());
      } catch (const std::exception& e) {
        progress.problem(std::string("the ") + what + " was not written: " + e.what());
        failed = true;
        if (!interrupted) status = "failed";
      }
    };
    if (options.json) write(*options.json, "report", [&] { return report.dump(2) + "\n"; });
    if (options.html)
      write(*options.html, "HTML report", [&] {
        HtmlReportOptions page;
        if (previous)
          page.extraSections.push_back(changesSection(diffReports(
              *previous,
              reportFromJson(report, options.json ? *options.json : std::string("this run")))));
        return renderHtmlReport(report, page);
      });
  }
  // A signal while the outputs were written ends the run as interrupted all the same.
  if (stopRequested()) status = "interrupted";
  if (!options.quiet)
    out << summaryText(status == "failed" ? "completed with failures" : status, figures, outputs)
        << std::flush;
  if (stopRequested()) return kExitSignalBase + stopSignal();
  if (interrupted) return kExitSignalBase + signal;
  return failed ? kExitFailures : kExitCompleted;
}

}  // namespace kxdiscover
