// Listing a subscription's route tables through the typed client, against the plain fetch of
// the same pages.  A loopback server holds 5,000 route tables of 25 routes each in pages of
// 100, real ARM JSON shape.  `BM_RouteTablesListAll` builds a NetworkManagementClient and
// calls `route_tables.list_all()` (fetch, page parsing, typed objects); `BM_PlainPageFetch`
// fetches the same pages through the same pipeline and transport and only finds each next link
// by a text search.  The difference is the cost of reading the pages into typed objects.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "route_table_server.hpp"

namespace {

using namespace collab::azure;
using namespace kx::bench;
using Fixture = RouteTableServer;

// Identity encoding: a compressing loopback server would measure its own encoder.
std::shared_ptr<Transport> transport() {
  CurlTransportOptions options;
  options.acceptCompressed = false;
  return std::make_shared<CurlTransport>(options);
}

ArmPipelineOptions pipelineOptions() {
  ArmPipelineOptions options;
  options.resourceManager = Fixture::instance().base();
  return options;
}

void tablesPerSecond(benchmark::State& state) {
  state.counters["tables"] = benchmark::Counter(static_cast<double>(state.iterations()) * kTables,
                                                benchmark::Counter::kIsRate);
}

void BM_RouteTablesListAll(benchmark::State& state) {
  Fixture::instance();
  auto credential = std::make_shared<StaticTokenCredential>("bench-token");
  auto shared = transport();
  for (auto _ : state) {
    // Built per call, as the discovery operations do.
    NetworkManagementClient client(credential, kSubscription, pipelineOptions(), shared);
    std::vector<RouteTable> tables = client.route_tables.list_all();
    if (tables.size() != static_cast<std::size_t>(kTables)) state.SkipWithError("lost tables");
    benchmark::DoNotOptimize(tables.data());
  }
  tablesPerSecond(state);
}
BENCHMARK(BM_RouteTablesListAll)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainPageFetch(benchmark::State& state) {
  Fixture& fixture = Fixture::instance();
  ArmPipeline arm(std::make_shared<StaticTokenCredential>("bench-token"), pipelineOptions(),
                  transport());
  for (auto _ : state) {
    std::size_t bytes = 0;
    arm.forEachPage(fixture.firstPath(), [&](std::string_view, HttpResponse&& page) {
      bytes += page.body.size();
      return nextLinkByText(page.body);
    });
    benchmark::DoNotOptimize(bytes);
  }
  tablesPerSecond(state);
}
BENCHMARK(BM_PlainPageFetch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
