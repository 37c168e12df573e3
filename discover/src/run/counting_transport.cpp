#include "run/counting_transport.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

namespace kxdiscover {

namespace az = collab::azure;

namespace {

std::string anonymousKey(const az::HttpRequest& request) {
  return request.method + ' ' + request.url + '\n' + request.body;
}

}  // namespace

CountingTransport::CountingTransport(std::shared_ptr<az::Transport> inner,
                                     std::function<bool()> stop, std::function<void()> onRequest)
    : inner_(std::move(inner)), stop_(std::move(stop)), onRequest_(std::move(onRequest)) {}

bool CountingTransport::isRetry(const az::HttpRequest& request) {
  if (std::optional<std::string> id = request.headers.get("x-ms-client-request-id")) {
    if (std::find(recentIds_.begin(), recentIds_.end(), *id) != recentIds_.end()) return true;
    recentIds_.push_back(std::move(*id));
    if (recentIds_.size() > kRecentIds) recentIds_.pop_front();
    return false;
  }
  return !lastFailedAnonymous_.empty() && lastFailedAnonymous_ == anonymousKey(request);
}

bool CountingTransport::admit(const az::HttpRequest& request) {
  if (stop_ && stop_())
    throw az::TransportError(request.method, request.url, "interrupted by the operator", false);
  std::lock_guard lock(mutex_);
  ++requests_;
  if (isRetry(request)) ++retries_;
  return !request.headers.contains("x-ms-client-request-id");
}

void CountingTransport::settle(const az::HttpRequest& request, bool anonymous, bool failed) {
  if (anonymous) {
    std::lock_guard lock(mutex_);
    lastFailedAnonymous_ = failed ? anonymousKey(request) : std::string();
  }
  if (onRequest_) onRequest_();
}

az::HttpResponse CountingTransport::send(const az::HttpRequest& request) {
  const bool anonymous = admit(request);
  az::HttpResponse response;
  try {
    response = inner_->send(request);
  } catch (...) {
    settle(request, anonymous, true);
    throw;
  }
  settle(request, anonymous, !response.ok());
  return response;
}

namespace {

// Settles the count when the answer is collected (or the transfer abandoned).
class CountedSend final : public az::PendingSend {
 public:
  using Settle = std::function<void(bool failed)>;
  CountedSend(std::unique_ptr<az::PendingSend> inner, Settle settle)
      : inner_(std::move(inner)), settle_(std::move(settle)) {}
  ~CountedSend() override {
    if (settle_) settle_(true);
  }
  void poll() override { inner_->poll(); }
  az::HttpResponse finish() override {
    Settle settle = std::exchange(settle_, nullptr);
    az::HttpResponse response;
    try {
      response = inner_->finish();
    } catch (...) {
      settle(true);
      throw;
    }
    settle(!response.ok());
    return response;
  }

 private:
  std::unique_ptr<az::PendingSend> inner_;
  Settle settle_;
};

}  // namespace

std::unique_ptr<az::PendingSend> CountingTransport::start(const az::HttpRequest& request) {
  const bool anonymous = admit(request);
  std::unique_ptr<az::PendingSend> inner;
  try {
    inner = inner_->start(request);
  } catch (...) {
    settle(request, anonymous, true);
    throw;
  }
  return std::make_unique<CountedSend>(
      std::move(inner), [this, request = anonymous ? request : az::HttpRequest{},
                         anonymous](bool failed) { settle(request, anonymous, failed); });
}

void CountingTransport::wait(std::chrono::milliseconds delay) {
  // A signal ends a sleep early only on the thread it reaches, so the flag is asked often.
  constexpr auto kSlice = std::chrono::milliseconds(50);
  const auto end = std::chrono::steady_clock::now() + delay;
  for (;;) {
    if (stop_ && stop_())
      throw az::TransportError("WAIT", "", "interrupted by the operator during a wait", false);
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kSlice, end - now));
  }
}

std::size_t CountingTransport::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t CountingTransport::retries() const {
  std::lock_guard lock(mutex_);
  return retries_;
}

}  // namespace kxdiscover
