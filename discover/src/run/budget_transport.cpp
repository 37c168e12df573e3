#include "run/budget_transport.hpp"

#include <utility>

#include "collab/log.hpp"
#include "run/request_scope.hpp"

namespace kxdiscover {

namespace az = collab::azure;
using std::chrono::nanoseconds;

BudgetTransport::BudgetTransport(std::shared_ptr<az::Transport> inner,
                                 std::shared_ptr<BudgetLedger> ledger,
                                 std::shared_ptr<PrincipalBook> principals, BudgetOptions options)
    : inner_(std::move(inner)),
      ledger_(std::move(ledger)),
      principals_(std::move(principals)),
      options_(std::move(options)) {}

SteadyTime BudgetTransport::now() const {
  return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

BudgetTransport::Share BudgetTransport::shareOf(const az::HttpRequest& request) const {
  Share share;
  if (!bearerToken(request)) return share;
  const std::string path = lowerPath(request.url);
  const std::string principal = principals_->principalOf(request);
  if (request.method == "POST" && path == "/providers/microsoft.resourcegraph/resources") {
    share.kind = Share::Kind::Query;
    share.key = stableHash("graph|" + principal);
  } else if (request.method == "GET" && path == "/subscriptions") {
    share.kind = Share::Kind::Read;
    share.key = stableHash("reads|tenant|" + principal);
    share.header = "x-ms-ratelimit-remaining-tenant-reads";
  } else if (request.method == "GET") {
    // A subscription's own resource counts against it; so does the subscription itself.
    std::optional<std::string> subscription = subscriptionOf(path);
    if (!subscription && path.rfind("/subscriptions/", 0) == 0)
      subscription = path.substr(std::string_view("/subscriptions/").size());
    if (!subscription) return share;
    share.kind = Share::Kind::Read;
    share.key = stableHash("reads|" + *subscription + "|" + principal);
    share.header = "x-ms-ratelimit-remaining-subscription-reads";
  }
  return share;
}

SteadyTime BudgetTransport::take(const Share& share) {
  const SteadyTime at = now();
  nanoseconds wait(0);
  ledger_->update(share.key, [&](BudgetEntry& entry) {
    wait = share.kind == Share::Kind::Read ? takeRead(entry, at, options_.reads)
                                           : takeQuery(entry, at, options_.queries);
  });
  return at + wait;
}

void BudgetTransport::settle(const Share& share, const az::HttpResponse* response) {
  const SteadyTime at = now();
  if (share.kind == Share::Kind::Read) {
    std::optional<int> remaining;
    if (response) {
      if (auto header = response->headers.get(share.header)) remaining = parseRemaining(*header);
    }
    ledger_->update(share.key,
                    [&](BudgetEntry& entry) { settleRead(entry, at, remaining, options_.reads); });
    return;
  }
  std::optional<int> remaining;
  std::optional<nanoseconds> resetsAfter;
  if (response) {
    if (auto header = response->headers.get("x-ms-user-quota-remaining"))
      remaining = parseRemaining(*header);
    if (auto header = response->headers.get("x-ms-user-quota-resets-after"))
      resetsAfter = parseResetsAfter(*header);
  }
  ledger_->update(share.key,
                  [&](BudgetEntry& entry) { settleQuery(entry, at, remaining, resetsAfter); });
}

void BudgetTransport::giveBackShare(const Share& share) {
  ledger_->update(share.key, [](BudgetEntry& entry) { giveBack(entry); });
}

void BudgetTransport::waitUntil(SteadyTime when, const az::HttpRequest& request) const {
  const SteadyTime at = now();
  if (when <= at) return;
  // Whole milliseconds, rounded up: never sooner than the budget allows.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - at);
  collab::getLogger("netscout")
      ->debug("ARM {} {}: waiting {:.3f} s for the run's shared {} budget", request.method,
              az::pathAndQuery(request.url, true), static_cast<double>(wait.count()) / 1000.0,
              lowerPath(request.url) == "/providers/microsoft.resourcegraph/resources"
                  ? "Resource Graph"
                  : "read");
  if (options_.sleeper) {
    options_.sleeper(wait);
  } else {
    inner_->wait(wait);
  }
}

az::HttpResponse BudgetTransport::settled(const Share& share,
                                          const std::function<az::HttpResponse()>& obtain) {
  az::HttpResponse response;
  try {
    response = obtain();
  } catch (...) {
    settle(share, nullptr);
    throw;
  }
  settle(share, &response);
  return response;
}

az::HttpResponse BudgetTransport::send(const az::HttpRequest& request) {
  const Share share = shareOf(request);
  if (share.kind == Share::Kind::None) {
    az::HttpResponse response = inner_->send(request);
    principals_->learn(request, response);
    return response;
  }
  const SteadyTime when = take(share);
  try {
    waitUntil(when, request);
  } catch (...) {
    // Stopped while waiting: the request is never sent.
    giveBackShare(share);
    throw;
  }
  return settled(share, [&] { return inner_->send(request); });
}

class BudgetTransport::SettledSend final : public az::PendingSend {
 public:
  SettledSend(std::shared_ptr<BudgetTransport> owner, Share share,
              std::unique_ptr<az::PendingSend> inner)
      : owner_(std::move(owner)), share_(share), inner_(std::move(inner)) {}
  ~SettledSend() override {
    // Abandoned: the request went out, so its share is spent; only no answer will tell.
    if (inner_) owner_->settle(share_, nullptr);
  }
  void poll() override {
    if (inner_) inner_->poll();
  }
  az::HttpResponse finish() override {
    std::unique_ptr<az::PendingSend> inner = std::move(inner_);
    return owner_->settled(share_, [&] { return inner->finish(); });
  }

 private:
  std::shared_ptr<BudgetTransport> owner_;
  Share share_;
  std::unique_ptr<az::PendingSend> inner_;
};

class BudgetTransport::DeferredSend final : public az::PendingSend {
 public:
  DeferredSend(std::shared_ptr<BudgetTransport> owner, Share share, az::HttpRequest request,
               SteadyTime when)
      : owner_(std::move(owner)), share_(share), request_(std::move(request)), when_(when) {}
  ~DeferredSend() override {
    if (!sent_) owner_->giveBackShare(share_);
  }
  az::HttpResponse finish() override {
    // Stopped while waiting, the request is never sent and the destructor gives its share back.
    owner_->waitUntil(when_, request_);
    sent_ = true;
    return owner_->settled(share_, [&] { return owner_->inner_->send(request_); });
  }

 private:
  std::shared_ptr<BudgetTransport> owner_;
  Share share_;
  az::HttpRequest request_;
  SteadyTime when_;
  bool sent_ = false;
};

std::unique_ptr<az::PendingSend> BudgetTransport::start(const az::HttpRequest& request) {
  const Share share = shareOf(request);
  if (share.kind == Share::Kind::None) return inner_->start(request);
  const SteadyTime when = take(share);
  if (when > now()) return std::make_unique<DeferredSend>(shared_from_this(), share, request, when);
  std::unique_ptr<az::PendingSend> inner;
  try {
    inner = inner_->start(request);
  } catch (...) {
    settle(share, nullptr);
    throw;
  }
  return std::make_unique<SettledSend>(shared_from_this(), share, std::move(inner));
}

}  // namespace kxdiscover
