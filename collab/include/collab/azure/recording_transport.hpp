#pragma once
// Recording of real exchanges with Azure into a cassette file, for replay without a network.
//
// A cassette is one pretty-printed JSON document (format in docs/azure.md): the exchanges in
// call order, each with the request's method, path and query (no scheme or host, so a
// cassette replays under any endpoint), its headers sorted by name and its body, and the
// answer's status, sorted headers and body, or the transport failure that replaced it.  JSON
// bodies are stored as JSON, others as text.
//
// Bodies are stored decoded, so the transfer headers (Content-Encoding, Content-Length,
// Transfer-Encoding, Connection, Keep-Alive) are not kept.
//
// Secrets never reach the file: the Authorization, Cookie and X-IDENTITY-HEADER headers and
// Set-Cookie answers are dropped; `client_secret` (and the other credential fields of a token form)
// become "REDACTED"; `access_token`, `refresh_token` and `id_token` in answers become the
// placeholder `kRedactedToken`; query parameters that carry credentials (sig, code, token, ...) are
// redacted; and every secret or token value seen in any of those places (the bearer token of
// every Authorization header included, however it was obtained) is also scrubbed from all
// other recorded text, raw or percent-encoded.
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "collab/azure/transport.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

/// The access token value a replayed token answer carries.
inline constexpr const char* kRedactedToken = "REDACTED-ACCESS-TOKEN";

class COLLAB_EXPORT RecordingTransport final : public Transport {
 public:
  /// Records what passes through `inner` into the cassette at `path`.
  RecordingTransport(std::shared_ptr<Transport> inner, std::string path);
  /// Saves the cassette if exchanges were recorded since the last `save()`; a failure to write
  /// is logged, not thrown.
  ~RecordingTransport() override;

  HttpResponse send(const HttpRequest& request) override;
  /// Starts the request on the inner transport; the exchange is recorded when its answer is
  /// collected, so exchanges keep the order in which answers were taken.  A pending send
  /// abandoned unread leaves nothing in the cassette.
  std::unique_ptr<PendingSend> start(const HttpRequest& request) override;

  /// Writes the cassette file (replacing it).
  /// @throws std::runtime_error when the file cannot be written.
  void save();
  /// Hands the cassette's text to `write`, which puts it where it belongs (the command writes
  /// its outputs through one writer of its own), and then counts it as saved.
  /// @throws whatever `write` throws; the cassette then still counts as unsaved.
  void save(const std::function<void(std::string_view text)>& write);
  /// The cassette as it would be written.
  Json cassette() const;

 private:
  struct Exchange;
  Exchange describe(const HttpRequest& request) const;
  HttpResponse record(Exchange&& exchange, PendingSend& pending);
  void keep(Exchange&& exchange);

  std::shared_ptr<Transport> inner_;
  std::string path_;
  mutable std::mutex mutex_;
  Json exchanges_ = Json::array();
  std::set<std::string> secrets_;
  bool dirty_ = false;
};

}  // namespace collab::azure
