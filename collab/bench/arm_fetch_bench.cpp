// Plain fetch of a subscription's route tables over loopback: 5,000 tables of 25 routes in
// pages of 100, real ARM JSON shape, through CurlTransport (and through the ARM pipeline),
// without parsing the bodies.  The next link is found by a text search from the end of the
// page, so the figures measure the transport alone.  Reported: bytes/s of decoded body and
// tables/s.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/arm_json.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/curl_transport.hpp"

namespace {

using namespace collab::azure;

constexpr int kTables = 5000;
constexpr int kPerPage = 100;
constexpr int kRoutes = 25;
constexpr int kPages = kTables / kPerPage;

class Fixture {
 public:
  static Fixture& instance() {
    static Fixture fixture;
    return fixture;
  }
  std::string firstUrl() const {
    return base_ +
           "/subscriptions/s/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  }
  const std::string& base() const { return base_; }
  std::size_t totalBytes() const { return totalBytes_; }

 private:
  Fixture() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    base_ = "http://127.0.0.1:" + std::to_string(port_);
    for (int p = 0; p < kPages; ++p) {
      collab::Json values = collab::Json::array();
      for (int t = 0; t < kPerPage; ++t) {
        values.push_back(kx::test::routeTableJson(
            "8f1c2b3a-4d5e-6f70-8192-a3b4c5d6e7f8", "rg-" + std::to_string(t % 7),
            "rt-" + std::to_string(p * kPerPage + t), kRoutes));
      }
      std::optional<std::string> next;
      if (p + 1 < kPages) {
        next = base_ + "/page?api-version=2024-05-01&$skiptoken=" + std::to_string(p + 1);
      }
      pages_.push_back(kx::test::listPage(std::move(values), next).dump());
      totalBytes_ += pages_.back().size();
    }
    server_.Get("/subscriptions/s/providers/Microsoft.Network/routeTables",
                [this](const httplib::Request&, httplib::Response& res) {
                  res.set_content(pages_[0], "application/json");
                });
    server_.Get("/page", [this](const httplib::Request& req, httplib::Response& res) {
      res.set_content(pages_.at(std::stoul(req.get_param_value("$skiptoken"))), "application/json");
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Fixture() {
    server_.stop();
    thread_.join();
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::string base_;
  std::vector<std::string> pages_;
  std::size_t totalBytes_ = 0;
};

// The next link without parsing: ARM puts it last on the page.
std::optional<std::string> nextLinkByText(const std::string& body) {
  static const std::string key = "\"nextLink\":\"";
  std::size_t at = body.rfind(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  return body.substr(at, body.find('"', at) - at);
}

void report(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["tables"] = benchmark::Counter(static_cast<double>(state.iterations()) * kTables,
                                                benchmark::Counter::kIsRate);
}

void BM_CurlTransportFetch(benchmark::State& state) {
  Fixture& fixture = Fixture::instance();
  // Identity encoding: a compressing loopback server (httplib's brotli at full quality) would
  // make the server's encoder the bottleneck rather than the transport.
  CurlTransportOptions options;
  options.acceptCompressed = false;
  CurlTransport transport(options);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::optional<std::string> url = fixture.firstUrl();
    while (url) {
      HttpRequest request{"GET", *url, {{"Accept", "application/json"}}, {}};
      HttpResponse page = transport.send(request);
      bytes += page.body.size();
      url = nextLinkByText(page.body);
      benchmark::DoNotOptimize(page.body.data());
    }
  }
  report(state, bytes);
}
BENCHMARK(BM_CurlTransportFetch)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ArmPipelineFetch(benchmark::State& state) {
  Fixture& fixture = Fixture::instance();
  CurlTransportOptions transportOptions;
  transportOptions.acceptCompressed = false;
  ArmPipelineOptions options;
  options.resourceManager = fixture.base();
  ArmPipeline arm(std::make_shared<StaticTokenCredential>("bench-token"), options,
                  std::make_shared<CurlTransport>(transportOptions));
  std::size_t bytes = 0;
  for (auto _ : state) {
    arm.forEachPage(fixture.firstUrl(), [&](std::string_view, HttpResponse&& page) {
      bytes += page.body.size();
      return nextLinkByText(page.body);
    });
  }
  report(state, bytes);
}
BENCHMARK(BM_ArmPipelineFetch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
