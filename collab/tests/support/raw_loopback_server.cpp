#include "support/raw_loopback_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "collab/azure/http_message.hpp"

namespace kx::test {

namespace {

constexpr int kPollMs = 20;

// Waits until `socket` is readable or the server stops; false when it stops.
bool waitReadable(int socket, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd fd{socket, POLLIN, 0};
    int ready = ::poll(&fd, 1, kPollMs);
    if (ready > 0) return true;
    if (ready < 0) return false;
  }
  return false;
}

// Reads one request (head and Content-Length body) into `request`, keeping what follows in
// `pending`.  False when the peer closed or the server stops first.
bool readRequest(int socket, const std::atomic<bool>& stopping, std::string& pending,
                 RawRequest& request) {
  auto fill = [&] {
    char chunk[4096];
    if (!waitReadable(socket, stopping)) return false;
    ssize_t got = ::recv(socket, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending.append(chunk, static_cast<std::size_t>(got));
    return true;
  };
  std::size_t headEnd;
  while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return false;
  }
  std::string head = pending.substr(0, headEnd);
  pending.erase(0, headEnd + 4);
  std::size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  std::size_t space = line.find(' ');
  request.method = line.substr(0, space);
  request.target = line.substr(space + 1, line.rfind(' ') - space - 1);
  std::size_t length = 0;
  for (std::size_t at = lineEnd; at != std::string::npos && at < head.size();) {
    std::size_t next = head.find("\r\n", at + 2);
    std::string field = head.substr(at + 2, next == std::string::npos ? next : next - at - 2);
    std::size_t colon = field.find(':');
    if (colon != std::string::npos &&
        collab::azure::equalsIgnoreCase(field.substr(0, colon), "Content-Length")) {
      length = std::stoul(field.substr(colon + 1));
    }
    at = next;
  }
  while (pending.size() < length) {
    if (!fill()) return false;
  }
  request.body = pending.substr(0, length);
  pending.erase(0, length);
  return true;
}

}  // namespace

RawLoopbackServer::RawLoopbackServer(Responder responder) : responder_(std::move(responder)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) throw std::runtime_error("cannot open a socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

RawLoopbackServer::~RawLoopbackServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& connection : connections_) connection.join();
  ::close(listener_);
}

void RawLoopbackServer::acceptLoop() {
  int accepted = 0;
  while (waitReadable(listener_, stopping_)) {
    int socket = ::accept(listener_, nullptr, nullptr);
    if (socket < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, socket, index = accepted++] { serve(socket, index); });
  }
}

void RawLoopbackServer::serve(int socket, int connection) {
  std::string pending;
  for (;;) {
    RawRequest request;
    request.connection = connection;
    if (!readRequest(socket, stopping_, pending, request)) break;
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(request);
    }
    std::optional<std::string> reply = responder_(request);
    if (!reply) break;
    if (::send(socket, reply->data(), reply->size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(reply->size())) {
      break;
    }
  }
  ::close(socket);
}

std::string RawLoopbackServer::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<RawRequest> RawLoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::string RawLoopbackServer::answer(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Answer\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace kx::test
