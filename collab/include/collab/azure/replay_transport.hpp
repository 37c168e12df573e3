#pragma once
// Replay of a recorded cassette with no network at all.
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "collab/azure/recording_transport.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

/// A request the cassette cannot answer.  Not retryable.
class COLLAB_EXPORT ReplayMissError : public TransportError {
 public:
  ReplayMissError(std::string method, std::string_view url, std::string detail);
};

/// Answers each request with the recorded answer of the first unused exchange of the same
/// method, path and query, and body (secrets redacted on both sides before comparing), so
/// repeated identical requests replay in the order they were recorded.  Host and scheme are
/// ignored.  A recorded transport failure is thrown again as a `TransportError`.
class COLLAB_EXPORT ReplayTransport final : public Transport {
 public:
  /// @throws std::runtime_error when the file cannot be read or is not a cassette.
  explicit ReplayTransport(const std::string& path);
  /// From a cassette already in memory (see `RecordingTransport::cassette()`).
  explicit ReplayTransport(const Json& cassette, std::string name = "in-memory cassette");

  /// @throws ReplayMissError for a request the cassette lacks or has no unused answer for.
  HttpResponse send(const HttpRequest& request) override;
  /// A replay sends nothing.
  bool offline() const noexcept override { return true; }

  /// Number of recorded exchanges not replayed yet.
  std::size_t remaining() const;

 private:
  std::string name_;
  Json exchanges_;
  std::vector<bool> used_;
  mutable std::mutex mutex_;
};

}  // namespace collab::azure
