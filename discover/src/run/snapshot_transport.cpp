#include "run/snapshot_transport.hpp"

#include <utility>

#include "run/request_scope.hpp"

namespace kxdiscover {

namespace az = collab::azure;

namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         az::equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// Headers of a saved answer that described the budgets at the moment it was fetched.
bool reportsBudget(std::string_view name) {
  return startsWithIgnoringCase(name, "x-ms-ratelimit-") ||
         startsWithIgnoringCase(name, "x-ms-user-quota-") ||
         az::equalsIgnoreCase(name, "Retry-After");
}

}  // namespace

SnapshotTransport::SnapshotTransport(std::shared_ptr<az::Transport> inner,
                                     std::shared_ptr<PageStore> pages,
                                     std::shared_ptr<const PrincipalBook> principals)
    : inner_(std::move(inner)), pages_(std::move(pages)), principals_(std::move(principals)) {}

std::optional<std::string> SnapshotTransport::keyOf(const az::HttpRequest& request) const {
  if (request.method != "GET" || !bearerToken(request)) return std::nullopt;
  const std::string path = lowerPath(request.url);
  if (!subscriptionOf(path)) return std::nullopt;
  // Long-running operations are polled at one URL until their status changes.
  for (const char* poll :
       {"/operationresults/", "/operations/", "/operationstatuses/", "/asyncoperations/"}) {
    if (path.find(poll) != std::string::npos) return std::nullopt;
  }
  std::string key = "GET " + request.url + "\n";
  if (principals_) key += principals_->principalOf(request);
  return key;
}

std::optional<az::HttpResponse> SnapshotTransport::recall(const std::string& key) {
  std::optional<az::HttpResponse> saved = pages_->load(key);
  if (!saved) return std::nullopt;
  az::HttpHeaders kept;
  for (auto& [name, value] : saved->headers.fields()) {
    if (!reportsBudget(name)) kept.add(name, value);
  }
  saved->headers = std::move(kept);
  ++answered_;
  return saved;
}

std::optional<PageStore::Lock> SnapshotTransport::lockOrRecall(
    const std::string& key, std::optional<az::HttpResponse>& saved) {
  std::optional<PageStore::Lock> lock = pages_->lock(key, held_ == 0);
  // Whoever held the lock may have saved the page meanwhile.
  if (lock) saved = recall(key);
  return lock;
}

void SnapshotTransport::keep(const std::string& key, const az::HttpResponse& response) {
  if (response.status == 200) pages_->save(key, response);
}

az::HttpResponse SnapshotTransport::send(const az::HttpRequest& request) {
  const std::optional<std::string> key = keyOf(request);
  if (!key) return inner_->send(request);
  if (std::optional<az::HttpResponse> saved = recall(*key)) return std::move(*saved);
  std::optional<az::HttpResponse> saved;
  std::optional<PageStore::Lock> lock = lockOrRecall(*key, saved);
  if (saved) return std::move(*saved);
  ++held_;
  az::HttpResponse response;
  try {
    response = inner_->send(request);
  } catch (...) {
    --held_;
    throw;
  }
  keep(*key, response);
  --held_;
  return response;
}

class SnapshotTransport::SavingSend final : public az::PendingSend {
 public:
  SavingSend(SnapshotTransport& owner, std::string key, std::optional<PageStore::Lock> lock,
             std::unique_ptr<az::PendingSend> inner)
      : owner_(owner), key_(std::move(key)), lock_(std::move(lock)), inner_(std::move(inner)) {
    ++owner_.held_;
  }
  ~SavingSend() override { release(); }
  void poll() override { inner_->poll(); }
  az::HttpResponse finish() override {
    az::HttpResponse response;
    try {
      response = inner_->finish();
    } catch (...) {
      release();
      throw;
    }
    owner_.keep(key_, response);
    release();
    return response;
  }

 private:
  SnapshotTransport& owner_;
  std::string key_;
  std::optional<PageStore::Lock> lock_;
  std::unique_ptr<az::PendingSend> inner_;
  bool holding_ = true;

  void release() {
    if (!std::exchange(holding_, false)) return;
    lock_.reset();
    --owner_.held_;
  }
};

std::unique_ptr<az::PendingSend> SnapshotTransport::start(const az::HttpRequest& request) {
  const std::optional<std::string> key = keyOf(request);
  if (!key) return inner_->start(request);
  if (std::optional<az::HttpResponse> saved = recall(*key))
    return std::make_unique<az::FinishedSend>(std::move(*saved));
  std::optional<az::HttpResponse> saved;
  std::optional<PageStore::Lock> lock = lockOrRecall(*key, saved);
  if (saved) return std::make_unique<az::FinishedSend>(std::move(*saved));
  return std::make_unique<SavingSend>(*this, *key, std::move(lock), inner_->start(request));
}

}  // namespace kxdiscover
