#include "counting_transport.hpp"

#include <optional>
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
  if (std::optional<std::string> id = request.headers.get("x-ms-client-request-id"))
    return !requestIds_.insert(*id).second;
  return !lastFailedAnonymous_.empty() && lastFailedAnonymous_ == anonymousKey(request);
}

az::HttpResponse CountingTransport::send(const az::HttpRequest& request) {
  if (stop_ && stop_())
    throw az::TransportError(request.method, request.url, "interrupted by the operator", false);
  const bool anonymous = !request.headers.contains("x-ms-client-request-id");
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    if (isRetry(request)) ++retries_;
  }
  const auto remember = [&](bool failed) {
    if (!anonymous) return;
    std::lock_guard lock(mutex_);
    lastFailedAnonymous_ = failed ? anonymousKey(request) : std::string();
  };
  az::HttpResponse response;
  try {
    response = inner_->send(request);
  } catch (...) {
    remember(true);
    if (onRequest_) onRequest_();
    throw;
  }
  remember(!response.ok());
  if (onRequest_) onRequest_();
  return response;
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
