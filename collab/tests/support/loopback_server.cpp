#include "support/loopback_server.hpp"

#include <stdexcept>

#include "collab/azure/http_message.hpp"

namespace kx::test {

std::string SeenRequest::header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (collab::azure::equalsIgnoreCase(n, name)) return v;
  }
  return {};
}

bool SeenRequest::hasHeader(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (collab::azure::equalsIgnoreCase(n, name)) return true;
  }
  return false;
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}

LoopbackServer::LoopbackServer(const TlsFiles& tls)
    : tls_(true),
      server_(std::make_unique<httplib::SSLServer>(tls.certFile.c_str(), tls.keyFile.c_str())) {
  if (!server_->is_valid()) throw std::runtime_error("TLS server rejected " + tls.certFile);
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::start() {
  server_->set_keep_alive_timeout(1);
  // After routing the body has been read; the answer is not written yet, so a client never
  // sees an answer before its request is on the list.
  server_->set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard lock(mutex_);
    seen_.push_back({req.method, req.target, req.headers, req.body, req.remote_port});
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a port on 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  for (int i = 0; i < 500 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void LoopbackServer::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

std::string LoopbackServer::baseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<SeenRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return seen_.size();
}

void LoopbackServer::clearRequests() {
  std::lock_guard lock(mutex_);
  seen_.clear();
}

}  // namespace kx::test
