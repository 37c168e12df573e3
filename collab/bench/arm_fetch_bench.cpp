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

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/curl_transport.hpp"
#include "route_table_server.hpp"

namespace {

using namespace collab::azure;
using namespace kx::bench;
using Fixture = RouteTableServer;

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
