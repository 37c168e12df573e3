#pragma once
// A bare TCP server on 127.0.0.1 speaking just enough HTTP/1.1 to answer or drop each request
// as a test decides: for the faults cpp-httplib will not stage, such as a kept-alive connection
// that the server closes after reading a request, without answering it.
//
// Each connection is served on its own thread; requests on one connection are read one after
// another (Content-Length bodies only).  Every request read is kept, answered or not, so a
// test can count exactly what reached the server.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

struct RawRequest {
  std::string method;
  std::string target;
  std::string body;
  /// 0 for the first connection accepted, 1 for the next, ...
  int connection = 0;
};

class RawLoopbackServer {
 public:
  /// Returns the bytes to write back, or absent to close the connection without answering.
  using Responder = std::function<std::optional<std::string>(const RawRequest&)>;

  /// Listens on a free port of 127.0.0.1 at once.
  explicit RawLoopbackServer(Responder responder);
  ~RawLoopbackServer();
  RawLoopbackServer(const RawLoopbackServer&) = delete;
  RawLoopbackServer& operator=(const RawLoopbackServer&) = delete;

  /// "http://127.0.0.1:<port>".
  std::string baseUrl() const;
  std::vector<RawRequest> requests() const;

  /// A complete keep-alive answer with `body` as JSON.
  static std::string answer(int status, const std::string& body = "{}");

 private:
  void acceptLoop();
  void serve(int socket, int connection);

  Responder responder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<RawRequest> seen_;
};

}  // namespace kx::test
