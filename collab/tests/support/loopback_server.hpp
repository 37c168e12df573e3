#pragma once
// A real HTTP or HTTPS server on 127.0.0.1 for tests of the Azure client layer.
//
// Handlers are added through `server()` before `start()`; the server listens on a free port
// of 127.0.0.1 only, serves from its own thread and stops when destroyed.  Every request that
// reaches it is kept (method, target, headers, body, client port) so tests can check what was
// sent and whether connections were reused.
#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

struct SeenRequest {
  std::string method;
  /// Path and query as sent.
  std::string target;
  httplib::Headers headers;
  std::string body;
  int remotePort = 0;

  /// The first header called `name` (any case), or "" when missing.
  std::string header(const std::string& name) const;
  bool hasHeader(const std::string& name) const;
};

struct TlsFiles {
  std::string certFile;
  std::string keyFile;
};

class LoopbackServer {
 public:
  /// Plain http.
  LoopbackServer();
  /// https with the given certificate and key.
  explicit LoopbackServer(const TlsFiles& tls);
  ~LoopbackServer();

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return *server_; }

  /// Binds a free port on 127.0.0.1 and serves until `stop()`.
  void start();
  /// Stops serving and joins the thread; idempotent.
  void stop();

  int port() const { return port_; }
  /// "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string baseUrl() const;

  std::vector<SeenRequest> requests() const;
  std::size_t requestCount() const;
  void clearRequests();

 private:
  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

}  // namespace kx::test
