#include "collab/azure/transport.hpp"

#include <mutex>
#include <thread>
#include <utility>

#include "collab/azure/curl_transport.hpp"

namespace collab::azure {

namespace {
std::string transportMessage(const std::string& method, const std::string& url,
                             const std::string& detail) {
  return method + " " + url + " failed: " + detail;
}

struct DefaultTransportSlot {
  std::mutex mutex;
  std::shared_ptr<Transport> transport;
};

DefaultTransportSlot& defaultSlot() {
  static DefaultTransportSlot slot;
  return slot;
}
}  // namespace

TransportError::TransportError(std::string method, std::string_view url, std::string detail,
                               bool retryable)
    : std::runtime_error(transportMessage(method, redactUrl(url), detail)),
      method_(std::move(method)),
      url_(redactUrl(url)),
      detail_(std::move(detail)),
      retryable_(retryable) {}

PendingSend::~PendingSend() = default;

HttpResponse FinishedSend::finish() {
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return std::move(response_);
}

Transport::~Transport() = default;

std::unique_ptr<PendingSend> Transport::start(const HttpRequest& request) {
  HttpResponse response;
  try {
    response = send(request);
  } catch (const TransportError&) {
    return std::make_unique<FinishedSend>(std::current_exception());
  }
  return std::make_unique<FinishedSend>(std::move(response));
}

void Transport::wait(std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); }

std::shared_ptr<Transport> defaultTransport() {
  DefaultTransportSlot& slot = defaultSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.transport) slot.transport = std::make_shared<CurlTransport>();
  return slot.transport;
}

void setDefaultTransport(std::shared_ptr<Transport> transport) {
  DefaultTransportSlot& slot = defaultSlot();
  std::lock_guard lock(slot.mutex);
  slot.transport = std::move(transport);
}

}  // namespace collab::azure
