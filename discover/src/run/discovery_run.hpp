#pragma once
// The state of one discovery run, shared by its two halves: run.cpp (set-up, outputs, the end)
// and subscription_run.cpp (the subscriptions and their VNets).
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/json.hpp"
#include "report/report.hpp"
#include "run/log_capture.hpp"
#include "run/options.hpp"
#include "run/progress.hpp"
#include "run/session.hpp"
#include "run/worker_pool.hpp"

namespace kxdiscover {

/// The logger the run writes its own lines to (failures, VNets not found, Terraform files).
inline constexpr const char* kRunLogger = "discover";

/// A step that failed; the run goes on with the next VNet or subscription.
struct StepFailure {
  std::string step;
  std::string message;
};

/// The names of `vnets`, in their order.
std::vector<std::string> namesOf(const std::vector<collab::azure::VirtualNetwork>& vnets);

class DiscoveryRun {
 public:
  DiscoveryRun(const RunOptions& options, const collab::Json& data, collab::Json subscriptionMap,
               AzureSession& session, Progress& progress, LineCapture& capture);

  /// Every account entry taken (all, or those --subscription names), in file order.
  void runAll(const std::vector<const collab::Json*>& accounts);
  /// The same with the subscriptions' steps and their VNets discovered by up to
  /// `pool.jobs()` worker processes (worker_run.cpp); the outputs are those of `runAll`, in
  /// the same order.  `workerOptions` are the options each worker's session is built with.
  void runAllInWorkers(const std::vector<const collab::Json*>& accounts, WorkerPool& pool,
                       const RunOptions& workerOptions);
  /// The cassettes the workers recorded, in the run's order (empty unless recording).
  const std::vector<std::string>& workerCassettes() const noexcept { return workerCassettes_; }
  /// The signal a worker was stopped by, when the run's own process got none.
  int workerStopSignal() const noexcept { return workerStopSignal_; }

  bool interrupted() const noexcept { return interrupted_; }
  bool failed() const noexcept { return !failures_.empty(); }
  RunFigures& figures() noexcept { return figures_; }
  std::vector<std::string>& terraformFiles() noexcept { return terraformFiles_; }
  /// The report's "subscriptions" and "failures" lists.
  collab::Json& subscriptionsReport() noexcept { return subscriptions_; }
  collab::Json failuresReport() const;

 private:
  class Workers;
  friend class Workers;

  /// What a subscription's steps leave for its VNets.
  struct SubscriptionReady {
    collab::azure::AzureCredential cred;
    std::vector<collab::azure::VirtualNetwork> azureVnets;
  };

  /// Lists the configured VNets of `account` that `report` does not hold yet as skipped.
  void addUnreached(const collab::Json& account, collab::Json& report);
  /// The progress, the count and the report entry of a subscription being started.
  collab::Json openSubscription(const collab::Json& account, std::size_t index, std::size_t count);
  /// Counts and files the report of a subscription whose steps and VNets are done; `lines` are
  /// its own lines (not its VNets'), `cutShort` whether a stop left some of it undone.
  void closeSubscription(const collab::Json& account, collab::Json report,
                         const CapturedLines& lines, bool cutShort);
  void runSubscription(const collab::Json& account, std::size_t index, std::size_t count);
  /// The subscription's steps; nullopt when one failed (recorded) or the run was stopped.
  std::optional<SubscriptionReady> subscriptionTask(const collab::Json& account,
                                                    const std::string& subscriptionId,
                                                    collab::Json& report);
  SubscriptionReady subscriptionSteps(const collab::Json& account,
                                      const std::string& subscriptionId, collab::Json& report);
  collab::azure::AzureCredential credentialOf(const std::string& subscriptionId) const;
  void failSubscription(const std::string& subscriptionId, const StepFailure& failure,
                        collab::Json& report);
  /// A VNet's report before its steps: identity, subnets and peerings as listed.
  static collab::Json vnetReportStart(const collab::azure::VirtualNetwork& vnet);
  void failVnet(const std::string& subscriptionId, const std::string& vnet,
                const StepFailure& failure, collab::Json& report);
  void runVnet(const collab::Json& account, const collab::azure::AzureCredential& cred,
               const collab::azure::VirtualNetwork& vnet, collab::Json& report);
  void vnetSteps(const collab::Json& account, const collab::azure::AzureCredential& cred,
                 const collab::azure::VirtualNetwork& vnet, collab::Json& report,
                 CapturedLines& lines);
  /// A configured VNet that Azure does not have; `azureNames` those it has, for a hint at
  /// one that differs in letter case only.
  void reportMissingVnet(const std::string& name, const std::string& subscriptionId,
                         const std::vector<std::string>& azureNames, collab::Json& report);
  /// Files a subscription the run did not reach, its VNets skipped.
  void skipSubscription(const collab::Json& account);
  std::string writeTerraform(const collab::Json& account, const std::string& subscriptionId,
                             const std::string& vnetName, const std::string& hcl);
  /// Where the VNet's Terraform file goes.
  /// @throws collab::InvalidValueError when a name would lead it out of its folder.
  std::string terraformPath(const collab::Json& account, const std::string& subscriptionId,
                            const std::string& vnetName) const;

  /// Enters a step: progress, and the name a failure is reported under.
  void enter(std::string_view step);
  /// Turns the exception in flight into a failure of the step under way, or notes the
  /// interruption when the operator asked to stop.
  std::optional<StepFailure> failureInFlight();
  /// Reports a failure in the log, on stderr and in the report; a subscription's own failure
  /// is also listed in its `report`.
  void recordFailure(const std::string& subscriptionId, const std::optional<std::string>& vnet,
                     const StepFailure& failure, collab::Json& report);
  /// Runs a subscription check that only reports: its failure is recorded, not raised.
  void checkStep(std::string_view step, const std::string& subscriptionId, collab::Json& report,
                 const std::function<void()>& check);
  void countFindings(const CapturedLines& lines, collab::Json& report);

  const RunOptions& options_;
  const collab::Json& data_;
  collab::Json subscriptionMap_;
  AzureSession& session_;
  Progress& progress_;
  LineCapture& capture_;

  std::string step_;
  bool interrupted_ = false;
  RunFigures figures_;
  std::vector<std::string> terraformFiles_;
  /// In a worker process: Terraform files are left staged (atomic_file.hpp) for the parent to
  /// put in place once it accepts the worker's result; those staged so.
  bool stageTerraform_ = false;
  std::vector<std::string> stagedTerraform_;
  collab::Json subscriptions_ = collab::Json::array();
  collab::Json failures_ = collab::Json::array();
  std::vector<std::string> workerCassettes_;
  int workerStopSignal_ = 0;
};

}  // namespace kxdiscover
