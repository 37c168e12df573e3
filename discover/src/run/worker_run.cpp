// A run whose subscriptions and VNets are discovered by worker processes (--jobs N above 1).
//
// A task is either the steps of one subscription (banner, credential and token, list_vnet,
// quota, unused route tables) or one configured VNet of it; a subscription's VNet tasks exist
// once its own task has ended and listed them.  Up to N workers run at once, each task in a
// worker forked for it (worker_pool.hpp), the earliest task in the configured order first.
//
// The parent talks to no Azure endpoint.  It goes through the tasks in the configured order,
// waiting for each, and replays what the worker left (task_events.hpp) through its own
// loggers and progress, then merges the task's result into the run's report and figures: the
// outputs are those of a run in one process, line for line.  A worker that dies fails its task
// with the step it was in; a stop signal is passed on to every worker and no further one is
// started, and whatever the workers finished is still reported.
//
// A worker leaves its VNet's Terraform file staged beside its place (atomic_file.hpp): the
// parent puts it in place when it accepts the worker's result, and removes it when the worker
// died or failed, so that no file stands for a VNet the run reports failed.
#include <string.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "basekit/common.hpp"
#include "collab/log.hpp"
#include "collab/text_form.hpp"
#include "common/atomic_file.hpp"
#include "run/discovery_run.hpp"
#include "run/interrupt.hpp"
#include "run/task_events.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using basekit::Common;
using collab::Json;

namespace {

// The figures a VNet task changes, in the order they travel in its result.
std::size_t RunFigures::*const kVnetFigures[] = {
    &RunFigures::vnetsDiscovered, &RunFigures::vnetsFailed, &RunFigures::vnetsSkipped,
    &RunFigures::routeTables,     &RunFigures::routesKept,  &RunFigures::routesRefused,
    &RunFigures::alerts,          &RunFigures::errors,
};

std::string idOf(const Json& account) {
  return collab::textForm(account.value("subscription_id", Json()));
}

void append(Json& list, const Json& more) {
  for (const Json& item : more) list.push_back(item);
}

}  // namespace

class DiscoveryRun::Workers {
 public:
  Workers(DiscoveryRun& run, WorkerPool& pool, const RunOptions& workerOptions,
          const std::vector<const Json*>& accounts)
      : run_(run), pool_(pool), options_(workerOptions), accounts_(accounts) {}
  ~Workers() { pool_.beforeDying(nullptr); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  void runAll();

 private:
  enum class State { Pending, Running, Ended };
  struct Task {
    std::size_t account = 0;
    /// 0 for the subscription's steps, 1 + the VNet's place among the configured ones.
    std::size_t place = 0;
    /// A VNet task's VNet, as the subscription's task listed it.
    Json vnet;
    State state = State::Pending;
    /// Its worker, once started.
    pid_t pid = 0;
    WorkerPool::Ended ended;
    /// Why the worker could not be started.
    std::string startError;
  };

  std::string file(std::size_t task, const char* what) const {
    return pool_.folder() + "/task-" + std::to_string(task) + what;
  }
  /// Starts pending tasks, earliest first, while a worker is free and no stop was asked.
  void dispatch();
  /// Waits for `task` to end; false when it was never started (the run was stopped).
  bool await(std::size_t task);
  void onEnded(const WorkerPool::Ended& ended);

  /// In the worker: runs the task and leaves its events and result.
  int work(std::size_t task);
  Json subscriptionWork(DiscoveryRun& worker, const Task& task);
  Json vnetWork(DiscoveryRun& worker, const Task& task);

  /// Replays the task's events through the parent's loggers and progress; answers the last
  /// step it entered.
  std::string replay(std::size_t task);
  /// The result of a task that ended, or the failure that stands for it.
  std::optional<Json> resultOf(std::size_t task, const std::string& lastStep, StepFailure& failure);
  /// Counts a task's requests, and the stop it reports.
  void tally(const Json& result);
  void runSubscription(std::size_t a);
  void runVnet(std::size_t a, std::size_t task, Json& report, bool& cutShort);
  /// Adds the task's part of the cassette, when it recorded one, to the run's.
  void noteCassette(std::size_t task);
  /// Puts the Terraform file the VNet task's worker staged in place; false (and `failure`
  /// says why) when it cannot be.
  bool placeTerraform(std::size_t task, const Json& result, StepFailure& failure);
  /// Removes what the VNet task's worker staged, or began to, for its Terraform file.
  void discardTerraform(std::size_t task) noexcept;

  DiscoveryRun& run_;
  WorkerPool& pool_;
  const RunOptions& options_;
  const std::vector<const Json*>& accounts_;
  std::vector<Task> tasks_;
  /// Per account: its task, its result once ended, and its VNets' tasks by name.
  std::vector<std::size_t> subscriptionTask_;
  std::vector<std::optional<Json>> subscriptionResult_;
  std::vector<std::map<std::string, std::size_t>> vnetTasks_;
};

void DiscoveryRun::runAllInWorkers(const std::vector<const Json*>& accounts, WorkerPool& pool,
                                   const RunOptions& workerOptions) {
  Workers(*this, pool, workerOptions, accounts).runAll();
}

void DiscoveryRun::Workers::dispatch() {
  while (pool_.running() < pool_.jobs() && !pool_.stopping() && !stopRequested() &&
         !run_.interrupted_) {
    std::optional<std::size_t> next;
    for (std::size_t i = 0; i < tasks_.size(); ++i) {
      const Task& t = tasks_[i];
      if (t.state != State::Pending) continue;
      if (!next ||
          std::pair(t.account, t.place) < std::pair(tasks_[*next].account, tasks_[*next].place))
        next = i;
    }
    if (!next) return;
    Task& task = tasks_[*next];
    task.state = State::Running;
    try {
      task.pid = pool_.start(*next, [this, i = *next] { return work(i); });
    } catch (const std::exception& e) {
      task.state = State::Ended;
      task.startError = e.what();
    }
  }
}

bool DiscoveryRun::Workers::await(std::size_t task) {
  while (true) {
    dispatch();
    const Task& t = tasks_[task];
    if (t.state == State::Ended) return true;
    if (t.state == State::Pending && pool_.running() == 0) return false;
    for (const WorkerPool::Ended& ended : pool_.wait()) onEnded(ended);
  }
}

void DiscoveryRun::Workers::onEnded(const WorkerPool::Ended& ended) {
  Task& task = tasks_[ended.task];
  task.state = State::Ended;
  task.ended = ended;
  if (task.place != 0) return;
  const std::size_t a = task.account;  // tasks_ grows below
  // A subscription's task lists its VNets: they can start now.
  std::optional<Json> result = readTaskResult(file(ended.task, ".result"));
  if (result && result->value("ready", false)) {
    const Json configured = Common::getSubscriptionVnets(*accounts_[a]);
    const Json& found = (*result)["vnets"];
    std::size_t place = 0;
    for (const auto& [name, entry] : configured.items()) {
      ++place;
      const auto it = std::find_if(found.begin(), found.end(),
                                   [&, &n = name](const Json& v) { return v["name"] == n; });
      if (it == found.end()) continue;
      Task vnetTask;
      vnetTask.account = a;
      vnetTask.place = place;
      vnetTask.vnet = *it;
      vnetTasks_[a][name] = tasks_.size();
      tasks_.push_back(std::move(vnetTask));
    }
  }
  subscriptionResult_[a] = std::move(result);
}

int DiscoveryRun::Workers::work(std::size_t index) {
  const Task& task = tasks_[index];
  TaskEventWriter events(file(index, ".events"));
  run_.capture_.divertOutput(std::make_shared<EventSink>(events));
  run_.progress_.relayTo(
      {[&](std::string_view step, Progress::Clock::time_point at) { events.step(step, at); },
       [&](std::string_view line) { events.problem(line); }});
  RunOptions options = options_;
  if (options.record) options.record = file(index, ".cassette");
  Json result;
  try {
    AzureSession session(options, {}, run_.session_.replayed());
    session.adoptSignIns(run_.session_);
    DiscoveryRun worker(options, run_.data_, run_.subscriptionMap_, session, run_.progress_,
                        run_.capture_);
    worker.stageTerraform_ = true;
    result = task.place == 0 ? subscriptionWork(worker, task) : vnetWork(worker, task);
    result["requests"] = session.requests();
    result["retries"] = session.retries();
    result["snapshot_answers"] = session.snapshotAnswers();
    result["signal"] = stopSignal();
    try {
      session.saveCassette();
    } catch (const std::exception& e) {
      result["cassette_error"] = e.what();
    }
  } catch (const std::exception& e) {
    result = Json{{"error", e.what()}};
  }
  if (!events.good()) result = Json{{"error", "its events could not be written for the run"}};
  writeTaskResult(file(index, ".result"), result);
  return 0;
}

Json DiscoveryRun::Workers::subscriptionWork(DiscoveryRun& worker, const Task& task) {
  const Json& account = *accounts_[task.account];
  // The parts of the subscription's report its steps fill in.
  Json part{{"status", "completed"},
            {"failures", Json::array()},
            {"regions", Json::array()},
            {"quota_unchecked_regions", Json::array()}};
  std::optional<SubscriptionReady> ready = worker.subscriptionTask(account, idOf(account), part);
  Json result{{"part", part},
              {"failures", worker.failures_},
              {"interrupted", worker.interrupted_},
              {"ready", ready.has_value()}};
  if (ready) {
    // Every name, for the hint at a configured VNet that differs in letter case only; the
    // configured VNets whole, for their workers.
    result["names"] = namesOf(ready->azureVnets);
    result["vnets"] = Json::array();
    const Json configured = Common::getSubscriptionVnets(account);
    for (const auto& vnet : ready->azureVnets) {
      if (configured.contains(vnet.name)) result["vnets"].push_back(vnetToJson(vnet));
    }
  }
  return result;
}

Json DiscoveryRun::Workers::vnetWork(DiscoveryRun& worker, const Task& task) {
  const Json& account = *accounts_[task.account];
  const az::VirtualNetwork vnet = vnetFromJson(task.vnet);
  Json report;
  try {
    // Named for a failure, but not shown: a run in one process has no such step per VNet.
    worker.step_ = "credentials";
    const az::AzureCredential cred = worker.credentialOf(idOf(account));
    worker.runVnet(account, cred, vnet, report);
  } catch (...) {
    // The credential its subscription's task built from the same configuration.
    report = vnetReportStart(vnet);
    if (std::optional<StepFailure> failure = worker.failureInFlight())
      worker.failVnet(idOf(account), vnet.name, *failure, report);
  }
  Json figures = Json::array();
  for (auto field : kVnetFigures) figures.push_back(worker.figures_.*field);
  return Json{{"report", std::move(report)},       {"figures", std::move(figures)},
              {"failures", worker.failures_},      {"terraform", worker.terraformFiles_},
              {"staged", worker.stagedTerraform_}, {"interrupted", worker.interrupted_}};
}

std::string DiscoveryRun::Workers::replay(std::size_t task) {
  const std::string path = file(task, ".events");
  std::string lastStep;
  TaskEventReader reader(path);
  while (std::optional<TaskEvent> event = reader.next()) {
    switch (event->kind) {
      case TaskEvent::Kind::Line:
        collab::getLogger(event->logger)
            ->log(std::chrono::system_clock::time_point(
                      std::chrono::duration_cast<std::chrono::system_clock::duration>(
                          std::chrono::nanoseconds(event->time))),
                  spdlog::source_loc{}, event->level, event->text);
        break;
      case TaskEvent::Kind::Step:
        run_.progress_.step(event->text, Progress::Clock::time_point(
                                             std::chrono::duration_cast<Progress::Clock::duration>(
                                                 std::chrono::nanoseconds(event->time))));
        lastStep = event->text;
        break;
      case TaskEvent::Kind::Problem:
        run_.progress_.problem(event->text);
        break;
    }
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return lastStep;
}

std::optional<Json> DiscoveryRun::Workers::resultOf(std::size_t index, const std::string& lastStep,
                                                    StepFailure& failure) {
  const Task& task = tasks_[index];
  failure.step = lastStep.empty() ? "worker" : lastStep;
  std::optional<Json> result =
      task.place == 0 ? subscriptionResult_[task.account] : readTaskResult(file(index, ".result"));
  if (!task.startError.empty()) {
    failure.message = task.startError;
  } else if (task.ended.signal != 0) {
    failure.message = "its worker process was killed by signal " +
                      std::to_string(task.ended.signal) + " (" + ::strsignal(task.ended.signal) +
                      ")";
  } else if (!result || task.ended.status != 0) {
    failure.message = "its worker process ended (status " + std::to_string(task.ended.status) +
                      ") without a result";
  } else if (result->contains("error")) {
    failure.message = "its worker failed: " + collab::textForm((*result)["error"]);
  } else {
    return result;
  }
  return std::nullopt;
}

void DiscoveryRun::Workers::tally(const Json& result) {
  run_.figures_.requests += result.value("requests", std::size_t{0});
  run_.figures_.retries += result.value("retries", std::size_t{0});
  run_.figures_.snapshotAnswers += result.value("snapshot_answers", std::size_t{0});
  run_.progress_.requests(run_.figures_.requests);
  if (result.value("interrupted", false)) {
    run_.interrupted_ = true;
    if (!run_.workerStopSignal_) run_.workerStopSignal_ = result.value("signal", 0);
  }
  if (result.contains("cassette_error"))
    run_.progress_.problem("a worker's part of the cassette was not written: " +
                           collab::textForm(result["cassette_error"]));
}

void DiscoveryRun::Workers::runAll() {
  // A second signal ends the parent at once: the files its workers staged go with it.
  pool_.beforeDying([this] {
    for (std::size_t i = 0; i < tasks_.size(); ++i) discardTerraform(i);
  });
  subscriptionResult_.resize(accounts_.size());
  vnetTasks_.resize(accounts_.size());
  for (std::size_t a = 0; a < accounts_.size(); ++a) {
    subscriptionTask_.push_back(tasks_.size());
    tasks_.push_back(Task{a, 0, Json(), State::Pending, 0, {}, {}});
  }
  for (std::size_t a = 0; a < accounts_.size(); ++a) runSubscription(a);
}

void DiscoveryRun::Workers::runSubscription(std::size_t a) {
  const Json& account = *accounts_[a];
  const std::size_t task = subscriptionTask_[a];
  if (stopRequested()) run_.interrupted_ = true;
  if (!await(task)) {
    run_.skipSubscription(account);
    return;
  }
  Json report = run_.openSubscription(account, a + 1, accounts_.size());
  const std::string subscriptionId = report["id"].get<std::string>();
  CapturedLines lines;
  std::optional<Json> result;
  {
    CaptureScope scope(run_.capture_, lines);
    StepFailure failure;
    result = resultOf(task, replay(task), failure);
    if (result) {
      for (const char* key : {"status", "failures", "regions", "quota_unchecked_regions"})
        report[key] = (*result)["part"][key];
      append(run_.failures_, (*result)["failures"]);
    } else {
      run_.failSubscription(subscriptionId, failure, report);
    }
  }
  noteCassette(task);
  bool cutShort = false;
  if (result) {
    tally(*result);
    cutShort = result->value("interrupted", false);
  }
  if (result && result->value("ready", false)) {
    const Json configured = Common::getSubscriptionVnets(account);
    const std::vector<std::string> names = (*result)["names"].get<std::vector<std::string>>();
    std::size_t place = 0;
    for (const auto& [name, entry] : configured.items()) {
      ++place;
      if (stopRequested()) run_.interrupted_ = true;
      const auto found = vnetTasks_[a].find(name);
      // After a stop, only the VNets a worker took are reported; the others are not reached
      // (one that Azure does not have included, as in a run in one process).
      const bool reached = found == vnetTasks_[a].end() ? !run_.interrupted_ : await(found->second);
      if (!reached) {
        cutShort = true;
        continue;
      }
      run_.progress_.vnet(place, configured.size(), name);
      if (found != vnetTasks_[a].end()) {
        runVnet(a, found->second, report, cutShort);
        continue;
      }
      Json vnetReport;
      run_.reportMissingVnet(name, subscriptionId, names, vnetReport);
      report["vnets"].push_back(std::move(vnetReport));
    }
  }
  subscriptionResult_[a].reset();
  run_.closeSubscription(account, std::move(report), lines, cutShort);
}

void DiscoveryRun::Workers::runVnet(std::size_t a, std::size_t task, Json& report, bool& cutShort) {
  const std::string subscriptionId = idOf(*accounts_[a]);
  // The lines are kept only for a worker that left no result: the others counted their own.
  CapturedLines lines;
  StepFailure failure;
  std::optional<Json> result;
  {
    CaptureScope scope(run_.capture_, lines);
    result = resultOf(task, replay(task), failure);
    if (result && !placeTerraform(task, *result, failure)) result.reset();
    if (!result) {
      discardTerraform(task);
      // Its lines up to the end are in the logs; the failure is filed as the VNet's own.
      const az::VirtualNetwork vnet = vnetFromJson(tasks_[task].vnet);
      Json vnetReport = vnetReportStart(vnet);
      run_.failVnet(subscriptionId, vnet.name, failure, vnetReport);
      report["vnets"].push_back(std::move(vnetReport));
    }
  }
  noteCassette(task);
  if (!result) {
    run_.countFindings(lines, report["vnets"].back());
    return;
  }
  tally(*result);
  if (result->value("interrupted", false)) cutShort = true;
  const Json& figures = (*result)["figures"];
  for (std::size_t i = 0; i < std::size(kVnetFigures) && i < figures.size(); ++i)
    run_.figures_.*kVnetFigures[i] += figures[i].get<std::size_t>();
  append(run_.failures_, (*result)["failures"]);
  for (const Json& path : (*result)["terraform"])
    run_.terraformFiles_.push_back(path.get<std::string>());
  report["vnets"].push_back(std::move((*result)["report"]));
  tasks_[task].vnet = Json();
}

bool DiscoveryRun::Workers::placeTerraform(std::size_t task, const Json& result,
                                           StepFailure& failure) {
  try {
    for (const Json& path : result.value("staged", Json::array()))
      placeStaged(path.get<std::string>(), tasks_[task].pid);
    return true;
  } catch (const std::exception& e) {
    failure.step = "terraform";
    failure.message = e.what();
    return false;
  }
}

void DiscoveryRun::Workers::discardTerraform(std::size_t task) noexcept {
  const Task& t = tasks_[task];
  // A VNet task whose result was taken has no VNet left (runVnet).
  if (t.place == 0 || t.pid == 0 || t.vnet.is_null()) return;
  try {
    const Json& account = *accounts_[t.account];
    discardStaged(run_.terraformPath(account, idOf(account), t.vnet.at("name").get<std::string>()),
                  t.pid);
  } catch (...) {
    // A name that cannot name a file: nothing was written for it.
  }
}

void DiscoveryRun::Workers::noteCassette(std::size_t task) {
  const std::string cassette = file(task, ".cassette");
  if (options_.record && std::filesystem::exists(cassette))
    run_.workerCassettes_.push_back(cassette);
}

}  // namespace kxdiscover
