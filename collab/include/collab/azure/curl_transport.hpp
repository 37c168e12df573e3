#pragma once
// The libcurl implementation of `Transport`.
//
// TLS peer and host verification are always on; there is deliberately no way to turn them
// off.  A test that needs to trust a throw-away certificate names it in `extraCaFile`, which is
// trusted in addition to the system store.
//
// Plain http is refused unless the host is loopback (localhost, 127.0.0.0/8, ::1), so a
// mistyped endpoint can never send a bearer token in clear text.  The check happens before
// any connection is attempted.  The one exception, for a transport built to ask it, is Azure's
// instance metadata service, which serves managed identity tokens over plain http on a
// link-local address that never leaves the host; even there a request carrying an
// Authorization header is refused, and no proxy is used.
//
// Transfers run on libcurl's multi interface on the caller's thread: `start` sends the request
// and returns, and the answer is read when the caller polls or finishes it.  No thread is
// started.
//
// One `send` puts the request on the wire at most once.  When a reused connection closes before
// any answer, libcurl would send the request again on a new one, unseen by the retry policy;
// that second send is refused and the call fails with a retryable `TransportError`, leaving
// the decision (and the count) to the caller.
//
// Process-wide state: connections are kept alive and reused across calls and across
// `CurlTransport` objects through one small pool of curl handles sharing one connection cache,
// DNS cache and TLS session cache.  The pool is created on first use and released at process
// exit; it caches connections only, never any Azure object, token or client.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "collab/azure/transport.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// The link-local address of Azure's instance metadata service.
inline constexpr const char* kInstanceMetadataHost = "169.254.169.254";

struct CurlTransportOptions {
  /// A PEM file of certificates to trust besides the system store.
  std::optional<std::string> extraCaFile;
  /// Longest wait for a TCP + TLS connection.
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(20)};
  /// A transfer slower than `lowSpeedLimit` bytes per second for `lowSpeedTime` is abandoned
  /// as stalled.  There is no limit on the total duration of a transfer that keeps moving.
  long lowSpeedLimit = 1;
  std::chrono::seconds lowSpeedTime{60};
  /// Ask for gzip/deflate/br responses (decoded transparently).
  bool acceptCompressed = true;
  /// Allows plain http to `kInstanceMetadataHost`, for requests without an Authorization
  /// header, sent directly (never through a proxy).
  bool instanceMetadata = false;
  /// Asked while a transfer waits for the network (at least every 100 ms when set): true
  /// abandons the transfer, which then fails with a `TransportError` that is not retryable.
  /// The run sets it so that Ctrl-C cuts a slow answer short.
  std::function<bool()> stop;
};

class COLLAB_EXPORT CurlTransport final : public Transport {
 public:
  /// @throws InvalidValueError when `extraCaFile` cannot be read.
  explicit CurlTransport(CurlTransportOptions options = {});
  ~CurlTransport() override;

  /// @throws InvalidValueError for a URL that is not http(s), or plain http to a host that is
  ///         not loopback (nor the instance metadata service, where allowed); no connection
  ///         is attempted.
  /// @throws TransportError when no answer could be obtained.
  HttpResponse send(const HttpRequest& request) override;
  /// Sends the request as far as it can without waiting and returns; the answer is read by
  /// the pending send's `poll` and `finish`, on the caller's thread.  Same checks and
  /// failures as `send` (the URL checks throw here, transfer failures from `finish`).
  std::unique_ptr<PendingSend> start(const HttpRequest& request) override;

 private:
  CurlTransportOptions options_;
  /// System CA bundle plus `extraCaFile`, when one was given.
  std::string caBundle_;
};

/// Closes every kept-alive connection of the pool (when no transfer is under way), so that a
/// process forked afterwards inherits none: two processes writing to one connection would mix
/// their requests.  The next request connects afresh.
COLLAB_EXPORT void closeIdleConnections();

}  // namespace collab::azure
