#pragma once
// The seam between the Azure client layer and the network.
//
// A `Transport` sends one request and returns whatever the server answered, 2xx or not; the
// layers above decide what a status means.  Only a failure to obtain an answer at all (no
// connection, a dropped connection, a stall, a TLS verification failure) is an exception,
// `TransportError`.  Retries, tokens and request ids are layered on top (`ArmPipeline`);
// record and replay are two more transports (`RecordingTransport`, `ReplayTransport`).
//
// A request may also be started and its answer collected later (`start`, `PendingSend`), so
// that a caller can read one list page while the next one arrives, on its own thread.
#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "collab/azure/http_message.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// No answer was obtained for a request.  Carries the method, the URL with query values
/// redacted, and the underlying library's error text.  `retryable()` is true for failures that
/// a new attempt may cure (refused, reset or dropped connections, time-outs) and false for
/// those it cannot (certificate refused, malformed URL, a request a cassette lacks).
class COLLAB_EXPORT TransportError : public std::runtime_error {
 public:
  TransportError(std::string method, std::string_view url, std::string detail, bool retryable);

  const std::string& method() const noexcept { return method_; }
  /// The request URL with query values redacted.
  const std::string& url() const noexcept { return url_; }
  const std::string& detail() const noexcept { return detail_; }
  bool retryable() const noexcept { return retryable_; }

 private:
  std::string method_;
  std::string url_;
  std::string detail_;
  bool retryable_;
};

/// A request on its way: `Transport::start` has sent it (or begun to), and `finish` collects
/// the answer.  Nothing runs in the background: the transfer moves on inside `poll` and
/// `finish`, and in between the system's socket buffers hold what arrives.  Destroying a
/// pending send that was not finished abandons the transfer (its connection is closed); the
/// request is never sent again.
class COLLAB_EXPORT PendingSend {
 public:
  virtual ~PendingSend();
  /// Takes in what has arrived so far, without waiting.  Cheap enough to call often.
  virtual void poll() {}
  /// Waits for the whole answer and returns it, whatever its status.  Called at most once.
  /// @throws TransportError when no answer could be obtained.
  virtual HttpResponse finish() = 0;
};

/// A pending send whose outcome is already known: an answer, or the failure to get one.
class COLLAB_EXPORT FinishedSend final : public PendingSend {
 public:
  explicit FinishedSend(HttpResponse response) : response_(std::move(response)) {}
  explicit FinishedSend(std::exception_ptr failure) : failure_(std::move(failure)) {}
  HttpResponse finish() override;

 private:
  HttpResponse response_;
  std::exception_ptr failure_;
};

class COLLAB_EXPORT Transport {
 public:
  virtual ~Transport();
  /// Sends `request` and returns the server's answer whatever its status.
  /// @throws TransportError when no answer could be obtained.
  virtual HttpResponse send(const HttpRequest& request) = 0;
  /// Sends `request` and returns before the answer is in, when the transport can; its
  /// `finish` gives what `send` would have given.  The request is put on the wire at most
  /// once, as by `send`.  The default calls `send` at once and keeps its outcome (a
  /// `TransportError` is thrown by `finish`), so a decorator that does not override it still
  /// sees every request, only without the overlap.
  /// @throws whatever `send` throws before anything is sent (an unusable URL, ...).
  virtual std::unique_ptr<PendingSend> start(const HttpRequest& request);
  /// True for a transport that answers from recorded data and sends nothing anywhere.  The
  /// pipeline keeps list pages on the Resource Manager endpoint so that the bearer token
  /// cannot leave it; with nothing sent there is nothing to protect, and a cassette's next
  /// links, recorded under one endpoint, may be replayed under another.
  virtual bool offline() const noexcept { return false; }
  /// Waits `delay` before a retry or a paced request of the client layer (when the retry
  /// options bring no sleeper of their own).  The default sleeps the calling thread.  A
  /// transport that can be told to stop (the run's, on Ctrl-C) may end the wait early by
  /// throwing a `TransportError` that is not retryable.
  virtual void wait(std::chrono::milliseconds delay);
};

/// The transport clients and credentials use when none is handed to them: a `CurlTransport`
/// unless replaced.  Process-wide configuration like the endpoints, so that a driver can route
/// a whole run through a `RecordingTransport` or a `ReplayTransport`.
COLLAB_EXPORT std::shared_ptr<Transport> defaultTransport();
/// Replaces the default transport; null restores a `CurlTransport`.
COLLAB_EXPORT void setDefaultTransport(std::shared_ptr<Transport> transport);

}  // namespace collab::azure
