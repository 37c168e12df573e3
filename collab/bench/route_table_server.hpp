#pragma once
// A loopback Resource Manager serving one subscription's route tables for the listing
// benchmarks: 5,000 tables of 25 routes each in pages of 100, real ARM JSON shape, the pages
// built once and linked by nextLink.
#include <httplib.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/arm_json.hpp"

namespace kx::bench {

constexpr int kTables = 5000;
constexpr int kPerPage = 100;
constexpr int kRoutes = 25;
constexpr int kPages = kTables / kPerPage;
inline const char* const kSubscription = "8f1c2b3a-4d5e-6f70-8192-a3b4c5d6e7f8";

class RouteTableServer {
 public:
  static RouteTableServer& instance() {
    static RouteTableServer server;
    return server;
  }
  const std::string& base() const { return base_; }
  std::string firstPath() const {
    return std::string("/subscriptions/") + kSubscription +
           "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  }
  std::string firstUrl() const { return base_ + firstPath(); }
  std::size_t totalBytes() const { return totalBytes_; }

 private:
  RouteTableServer() {
    const int port = server_.bind_to_any_port("127.0.0.1");
    base_ = "http://127.0.0.1:" + std::to_string(port);
    for (int p = 0; p < kPages; ++p) {
      collab::Json values = collab::Json::array();
      for (int t = 0; t < kPerPage; ++t) {
        values.push_back(kx::test::routeTableJson(kSubscription, "rg-" + std::to_string(t % 7),
                                                  "rt-" + std::to_string(p * kPerPage + t),
                                                  kRoutes));
      }
      std::optional<std::string> next;
      if (p + 1 < kPages) {
        next = base_ + "/page?api-version=2024-05-01&$skiptoken=" + std::to_string(p + 1);
      }
      pages_.push_back(kx::test::listPage(std::move(values), next).dump());
      totalBytes_ += pages_.back().size();
    }
    server_.Get(
        std::string("/subscriptions/") + kSubscription + "/providers/Microsoft.Network/routeTables",
        [this](const httplib::Request&, httplib::Response& res) {
          res.set_content(pages_[0], "application/json");
        });
    server_.Get("/page", [this](const httplib::Request& req, httplib::Response& res) {
      res.set_content(pages_.at(std::stoul(req.get_param_value("$skiptoken"))), "application/json");
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~RouteTableServer() {
    server_.stop();
    thread_.join();
  }

  httplib::Server server_;
  std::thread thread_;
  std::string base_;
  std::vector<std::string> pages_;
  std::size_t totalBytes_ = 0;
};

// The next link without parsing: ARM puts it last on the page.
inline std::optional<std::string> nextLinkByText(const std::string& body) {
  static const std::string key = "\"nextLink\":\"";
  std::size_t at = body.rfind(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  return body.substr(at, body.find('"', at) - at);
}

}  // namespace kx::bench
