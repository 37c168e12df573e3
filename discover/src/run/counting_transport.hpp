#pragma once
// The run's transport: counts the requests sent to Azure and the retries among them, refuses
// to send anything once the operator asked the run to stop, and ends the client layer's waits
// (before a retry, before a paced read) as soon as the operator asks.
//
// Retries are recognised from the requests themselves rather than from log lines: the ARM
// pipeline keeps one x-ms-client-request-id across every attempt of a logical call (its
// retries and its repeat after a 401), so a request id seen before is a retry.  Token requests
// carry no request id; one that repeats the previous token request word for word after that
// request failed (an error status or no answer) is the credential's retry.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "collab/azure/transport.hpp"

namespace kxdiscover {

class CountingTransport final : public collab::azure::Transport {
 public:
  /// `stop` is asked before each request; when it answers true the request is not sent and a
  /// non-retryable TransportError ("interrupted") ends the operation.  `onRequest` is called
  /// after each request (progress display); either may be empty.
  CountingTransport(std::shared_ptr<collab::azure::Transport> inner, std::function<bool()> stop,
                    std::function<void()> onRequest);

  collab::azure::HttpResponse send(const collab::azure::HttpRequest& request) override;
  /// Counted when started, like `send`; the progress call comes when the answer is collected
  /// or the transfer abandoned.
  std::unique_ptr<collab::azure::PendingSend> start(
      const collab::azure::HttpRequest& request) override;
  bool offline() const noexcept override { return inner_->offline(); }
  /// Sleeps `delay` in short slices, asking `stop` before each; when it answers true the wait
  /// ends with a non-retryable TransportError ("interrupted").
  void wait(std::chrono::milliseconds delay) override;

  /// Requests handed to the inner transport, retries included.
  std::size_t requests() const;
  /// Of those, the repeats of a call already sent.
  std::size_t retries() const;

 private:
  /// Checks for a stop, counts the request; true when it carries no request id.
  bool admit(const collab::azure::HttpRequest& request);
  /// After the answer (or its failure): remembers a failed anonymous request, reports progress.
  void settle(const collab::azure::HttpRequest& request, bool anonymous, bool failed);
  bool isRetry(const collab::azure::HttpRequest& request);

  std::shared_ptr<collab::azure::Transport> inner_;
  std::function<bool()> stop_;
  std::function<void()> onRequest_;
  mutable std::mutex mutex_;
  std::size_t requests_ = 0;
  std::size_t retries_ = 0;
  // Request ids of the latest calls.  A call's attempts all carry its id and come while the
  // call is under way, with at most one other call (a listing's next page) started meanwhile,
  // so a short window finds every repeat without keeping one id per request of a long run.
  static constexpr std::size_t kRecentIds = 64;
  std::deque<std::string> recentIds_;
  // The last request without a request id that failed, as method, URL and body.
  std::string lastFailedAnonymous_;
};

}  // namespace kxdiscover
