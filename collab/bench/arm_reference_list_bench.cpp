// Listing the route tables of the reference estate (4,000 tables of 25 routes, 40 pages of
// about a megabyte) from the loopback Azure, fakearm's EstateServer, as the discovery does:
// a NetworkManagementClient built per call, `route_tables.list_all()`.  Beside it the floor:
// the same pages fetched through the same transport and pipeline, the next link found by a
// text search, nothing parsed.  Identity encoding, so the server's compression is not timed.
//
// `listing_peak_MiB` is how far one listing raises the process's resident size at its peak
// above what it was before (server, estate and pages already resident): the memory one listing
// needs.  Freed heap is trimmed and the kernel's high-water mark reset before each listing
// (/proc/self/clear_refs).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/management_clients.hpp"
#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"

namespace {

using namespace collab::azure;

// A "VmRSS:" or "VmHWM:" line of /proc/self/status, in MiB.
double statusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;
  }
  return 0;
}

// Gives freed heap back to the system, resets the peak resident size to the current one and
// returns the current one, in MiB.
double resetPeakResident() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
  return statusMiB("VmRSS:");
}

// The served reference estate with the client layer pointed at it, made once.
struct Reference {
  static Reference& instance() {
    static Reference reference;
    return reference;
  }

  std::shared_ptr<Transport> transport;
  std::unique_ptr<fakearm::EstateServer> server;
  std::unique_ptr<AzureCredential> credential;
  std::string subscription;
  std::size_t tables = 0;

 private:
  Reference() {
    fakearm::GeneratedEstate generated = fakearm::generateEstate(fakearm::referenceEstateParams());
    const fakearm::Json& estate = generated.estate;
    tables = estate["subscriptions"][0]["routeTables"].size();
    subscription = estate["subscriptions"][0]["subscriptionId"];
    server = std::make_unique<fakearm::EstateServer>(estate);
    AzureEndpoints endpoints;
    endpoints.resourceManager = server->baseUrl();
    endpoints.login = server->baseUrl() + "/";
    setEndpoints(endpoints);
    CurlTransportOptions options;
    options.acceptCompressed = false;
    transport = std::make_shared<CurlTransport>(options);
    const fakearm::Json& principal = estate["tenants"][0]["principals"][0];
    credential = std::make_unique<AzureCredential>(AzureCredential::fromClientSecret(
        estate["tenants"][0]["tenantId"], principal["appId"], principal["secret"], subscription,
        ClientSecretCredentialOptions{transport, {}, {}, std::chrono::minutes(5)}));
  }
};

void BM_ReferenceRouteTablesListAll(benchmark::State& state) {
  Reference& ref = Reference::instance();
  // Warm: the token, the connection, every page resident on the server's side.
  {
    NetworkManagementClient(ref.credential->getCSC(), ref.subscription, {}, ref.transport)
        .route_tables.list_all();
  }
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const double before = resetPeakResident();
    state.ResumeTiming();
    {
      NetworkManagementClient client(ref.credential->getCSC(), ref.subscription, {},
                                     ref.transport);
      std::vector<RouteTable> tables = client.route_tables.list_all();
      if (tables.size() != ref.tables) state.SkipWithError("lost tables");
      benchmark::DoNotOptimize(tables.data());
    }
    state.PauseTiming();
    peak = std::max(peak, statusMiB("VmHWM:") - before);
    state.ResumeTiming();
  }
  state.counters["listing_peak_MiB"] = peak;
  state.counters["tables"] = benchmark::Counter(
      static_cast<double>(state.iterations() * ref.tables), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferenceRouteTablesListAll)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReferencePlainPageFetch(benchmark::State& state) {
  Reference& ref = Reference::instance();
  ArmPipeline arm(ref.credential->getCSC(), {}, ref.transport);
  const std::string first = "/subscriptions/" + ref.subscription +
                            "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  static const std::string key = "\"nextLink\":\"";
  std::size_t bytes = 0;
  for (auto _ : state) {
    arm.forEachPage(first, [&](std::string_view, HttpResponse&& page) {
      bytes += page.body.size();
      std::optional<std::string> next;
      if (std::size_t at = page.body.rfind(key); at != std::string::npos) {
        at += key.size();
        next = page.body.substr(at, page.body.find('"', at) - at);
        if (next->empty()) next.reset();
      }
      return next;
    });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ReferencePlainPageFetch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
