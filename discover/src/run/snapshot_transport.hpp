#pragma once
// --snapshot: within one run, each distinct page of a subscription's resources is fetched from
// Azure once, and every later request for it, by any process of the run, is answered from that
// reading (the pages: page_store.hpp).  Every VNet then sees the estate as of one reading, and a
// run that lists the same route tables once per VNet asks Azure for them once.
//
// Answered from the snapshot: GETs with a bearer token of a path under
// "/subscriptions/{id}/" (listing pages and their next links), answered 200.  Never: token
// requests, Resource Graph queries (the discovery never repeats one within a run, and their rows
// depend on what the principal may see), tenant-level reads, polls of long-running operations,
// and any answer other than 200.  A page is keyed by its URL and, where the principal book knows
// it, the principal whose token asks (null book: the URL alone, as for a replay, whose tokens
// all look alike).
//
// A saved answer loses the headers that report throttling budgets: they described the moment it
// was fetched, and would mislead the pacing of the requests it now answers.
//
// Placed above the recorder, the counter and the budgets: a cassette holds what was really
// fetched, the request count counts it, and only real requests spend budget.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

#include "collab/azure/transport.hpp"
#include "run/page_store.hpp"
#include "run/principal_book.hpp"

namespace kxdiscover {

class SnapshotTransport final : public collab::azure::Transport {
 public:
  SnapshotTransport(std::shared_ptr<collab::azure::Transport> inner,
                    std::shared_ptr<PageStore> pages,
                    std::shared_ptr<const PrincipalBook> principals);

  collab::azure::HttpResponse send(const collab::azure::HttpRequest& request) override;
  std::unique_ptr<collab::azure::PendingSend> start(
      const collab::azure::HttpRequest& request) override;
  bool offline() const noexcept override { return inner_->offline(); }
  void wait(std::chrono::milliseconds delay) override { inner_->wait(delay); }

  /// Requests of this process answered from the snapshot rather than Azure.
  std::size_t answered() const noexcept { return answered_; }

 private:
  class SavingSend;

  /// The key of a request the snapshot may answer; absent for the others.
  std::optional<std::string> keyOf(const collab::azure::HttpRequest& request) const;
  /// The saved answer, counted.
  std::optional<collab::azure::HttpResponse> recall(const std::string& key);
  /// Waits for the page's lock unless this process holds another (two processes each holding
  /// one while waiting for the other's would wait for ever), and reads the page once more if
  /// the lock came after a wait.
  std::optional<PageStore::Lock> lockOrRecall(const std::string& key,
                                              std::optional<collab::azure::HttpResponse>& saved);
  void keep(const std::string& key, const collab::azure::HttpResponse& response);

  std::shared_ptr<collab::azure::Transport> inner_;
  std::shared_ptr<PageStore> pages_;
  std::shared_ptr<const PrincipalBook> principals_;
  std::atomic<std::size_t> answered_{0};
  /// Page locks this process holds (a fetch under way).
  std::atomic<int> held_{0};
};

}  // namespace kxdiscover
