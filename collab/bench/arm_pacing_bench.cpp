// A run needing eight times Azure's read budget, in real time: 2,000 reads (50 listings of 40
// pages, each through a client of its own as the discovery builds them) against the loopback
// Azure throttling as Resource Manager does (250 reads, refilled 25 a second).  The budget
// alone imposes reads / refill = 80 s; the target is at most 1.1 times that, every listing
// complete, and, when paced (`reserve` > 0), no 429 at all.  About 70 s per case:
//   arm_pacing_bench --benchmark_filter=Paced/reserve:20
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "collab/azure/azure_credential.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"

namespace {

using namespace collab::azure;

constexpr int kTables = 400;
constexpr int kPageSize = 10;
constexpr int kListings = 50;
constexpr double kRefill = 25;

void BM_PacedReads(benchmark::State& state) {
  fakearm::EstateParams params;
  params.vnets = 20;
  params.routeTables = kTables;
  params.routesPerTable = 5;
  const fakearm::Json estate = fakearm::generateEstate(params).estate;
  fakearm::ServerOptions options;
  options.throttle = fakearm::ThrottleOptions{};
  options.pageSizes["routeTables.listAll"] = kPageSize;
  options.keepRequestLog = false;
  fakearm::EstateServer server(estate, options);
  AzureEndpoints endpoints;
  endpoints.resourceManager = server.baseUrl();
  endpoints.login = server.baseUrl() + "/";
  setEndpoints(endpoints);
  auto transport = std::make_shared<CurlTransport>();
  const std::string subscription = estate["subscriptions"][0]["subscriptionId"];
  const fakearm::Json& principal = estate["tenants"][0]["principals"][0];
  AzureCredential credential = AzureCredential::fromClientSecret(
      estate["tenants"][0]["tenantId"], principal["appId"], principal["secret"], subscription,
      ClientSecretCredentialOptions{transport, {}, {}, std::chrono::minutes(5)});
  ArmPipelineOptions pipeline;
  pipeline.pacing.reserve = static_cast<int>(state.range(0));
  pipeline.pacing.refillPerSecond = kRefill;

  for (auto _ : state) {
    for (int run = 0; run < kListings; ++run) {
      NetworkManagementClient client(credential.getCSC(), subscription, pipeline, transport);
      if (client.route_tables.list_all().size() != static_cast<std::size_t>(kTables)) {
        state.SkipWithError("a listing lost tables");
        return;
      }
    }
  }
  const double reads = static_cast<double>(server.operationCount("routeTables.listAll"));
  state.counters["reads"] = reads;
  state.counters["budget_s"] = reads / kRefill;
  state.counters["throttled"] = static_cast<double>(server.operationCount("routeTables.listAll")) -
                                kListings * (kTables / kPageSize);
  resetEndpoints();
}
BENCHMARK(BM_PacedReads)
    ->ArgName("reserve")
    ->Arg(20)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
