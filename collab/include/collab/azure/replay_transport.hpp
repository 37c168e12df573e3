#pragma once
// Replay of a recorded cassette with no network at all.
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
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
  /// @throws std::runtime_error when the file cannot be read or is not a cassette, or not a
  ///         usable one (see `parseCassette` and the constructor below).
  explicit ReplayTransport(const std::string& path);
  /// From a cassette already in memory (see `RecordingTransport::cassette()`).
  /// @throws std::runtime_error when it is not a cassette, is of a `version` other than the one
  ///         this program writes, or holds an exchange replay could not use.
  explicit ReplayTransport(const Json& cassette, std::string name = "in-memory cassette");

  /// The JSON document of the cassette text `text` (called `name` in messages).
  /// @throws std::runtime_error when it is not JSON, or nests deeper than kMaxJsonNesting
  ///         levels ("not a usable cassette"), which the replay could not copy or compare.
  static Json parseCassette(std::string_view text, const std::string& name);

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
