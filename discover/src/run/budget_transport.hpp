#pragma once
// The run's transport that keeps every process of the run inside Azure's throttling budgets
// together: Resource Manager reads per subscription and principal, Resource Graph queries per
// principal (the rules: budget_rules.hpp; where they are kept: budget_ledger.hpp).
//
// Each read (a GET with a bearer token under "/subscriptions") and each Resource Graph query
// takes its share of its budget before it goes out and, when the budget is short, waits
// through the sleeper; its answer settles the share with Azure's own count.  Token requests
// are never held back; their answers teach the principal book whose tokens are whose.  Other
// requests pass untouched.
//
// A request started (`start`) while its budget is short is not held up in `start`: it is sent
// when its answer is asked for (`finish`), after what is left of its wait, so that the caller
// reads the page before it meanwhile.
#include <chrono>
#include <functional>
#include <memory>

#include "collab/azure/retry_policy.hpp"
#include "collab/azure/transport.hpp"
#include "run/budget_ledger.hpp"
#include "run/budget_rules.hpp"
#include "run/principal_book.hpp"

namespace kxdiscover {

struct BudgetOptions {
  ReadBudgetRules reads;
  QueryQuotaRules queries;
  /// Every wait goes through this (empty: the inner transport's `wait`, which the run's
  /// transport ends on a stop, as it ends the client layer's own waits).
  collab::azure::Sleeper sleeper;
  /// Empty: the steady clock.
  std::function<SteadyTime()> clock;
};

class BudgetTransport final : public collab::azure::Transport,
                              public std::enable_shared_from_this<BudgetTransport> {
 public:
  BudgetTransport(std::shared_ptr<collab::azure::Transport> inner,
                  std::shared_ptr<BudgetLedger> ledger, std::shared_ptr<PrincipalBook> principals,
                  BudgetOptions options = {});

  collab::azure::HttpResponse send(const collab::azure::HttpRequest& request) override;
  std::unique_ptr<collab::azure::PendingSend> start(
      const collab::azure::HttpRequest& request) override;
  bool offline() const noexcept override { return inner_->offline(); }
  /// The client layer's waits go down the stack, to the transport that ends them on a stop.
  void wait(std::chrono::milliseconds delay) override { inner_->wait(delay); }

 private:
  /// The budget a request draws on: its kind and the ledger key; kind None for the others.
  struct Share {
    enum class Kind { None, Read, Query } kind = Kind::None;
    std::uint64_t key = 0;
    /// The answer's header that reports a read budget.
    const char* header = nullptr;
  };
  /// Sent at once; settles when its answer is collected (or the transfer abandoned).
  class SettledSend;
  /// Sent when its answer is asked for, after what is left of its wait.
  class DeferredSend;

  Share shareOf(const collab::azure::HttpRequest& request) const;
  /// Takes the share; returns when the request may go.
  SteadyTime take(const Share& share);
  /// Settles the share with `response` (null: no answer).
  void settle(const Share& share, const collab::azure::HttpResponse* response);
  /// The answer `obtain` gets, the share settled with it (or with none when it throws).
  collab::azure::HttpResponse settled(const Share& share,
                                      const std::function<collab::azure::HttpResponse()>& obtain);
  /// Gives back the share of a request never sent.
  void giveBackShare(const Share& share);
  /// Waits through the sleeper until `when`.
  /// @throws what the wait throws when the run is stopped (the share is then the caller's to
  ///         give back).
  void waitUntil(SteadyTime when, const collab::azure::HttpRequest& request) const;
  SteadyTime now() const;

  std::shared_ptr<collab::azure::Transport> inner_;
  std::shared_ptr<BudgetLedger> ledger_;
  std::shared_ptr<PrincipalBook> principals_;
  BudgetOptions options_;
};

}  // namespace kxdiscover
