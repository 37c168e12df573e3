// The loopback Azure at the reference size (2,000 VNets, 4,000 route tables of 25 routes,
// 200 configured VNets): making the estate, laying it out for serving, and fetching every
// route-table page over one keep-alive connection, plain and gzip-compressed.  The fetch is the
// server's side of the floor a client is measured against.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>

#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"

namespace {

const fakearm::GeneratedEstate& referenceEstate() {
  static const fakearm::GeneratedEstate estate =
      fakearm::generateEstate(fakearm::referenceEstateParams());
  return estate;
}

void BM_GenerateReferenceEstate(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(fakearm::generateEstate(fakearm::referenceEstateParams()));
  }
}
BENCHMARK(BM_GenerateReferenceEstate)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ServeReferenceEstate(benchmark::State& state) {
  const fakearm::Json& estate = referenceEstate().estate;
  for (auto _ : state) {
    fakearm::EstateServer server(estate);
    benchmark::DoNotOptimize(server.port());
  }
}
BENCHMARK(BM_ServeReferenceEstate)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_FetchRouteTablePages(benchmark::State& state) {
  static const auto server = std::make_unique<fakearm::EstateServer>(referenceEstate().estate);
  const fakearm::Json& estate = referenceEstate().estate;
  const fakearm::Json& principal = estate["tenants"][0]["principals"][0];
  const std::string tenant = estate["tenants"][0]["tenantId"];
  const std::string subscription = estate["subscriptions"][0]["subscriptionId"];

  httplib::Client client(server->baseUrl());
  client.set_keep_alive(true);
  client.set_decompress(state.range(0) != 0);
  auto token = client.Post(
      "/" + tenant + "/oauth2/token",
      "grant_type=client_credentials&client_id=" + principal["appId"].get<std::string>() +
          "&client_secret=" + principal["secret"].get<std::string>() +
          "&resource=https%3A%2F%2Fmanagement.core.windows.net%2F",
      "application/x-www-form-urlencoded");
  if (!token || token->status != 200) {
    state.SkipWithError("no token");
    return;
  }
  const httplib::Headers headers = {
      {"Authorization",
       "Bearer " + fakearm::Json::parse(token->body)["access_token"].get<std::string>()}};
  const std::string first = "/subscriptions/" + subscription +
                            "/providers/Microsoft.Network/routeTables?api-version=2024-05-01";
  const std::string key = "\"nextLink\":\"";
  std::size_t bytes = 0, pages = 0;
  for (auto _ : state) {
    std::string target = first;
    while (!target.empty()) {
      auto page = client.Get(target, headers);
      if (!page || page->status != 200) {
        state.SkipWithError("a page failed");
        return;
      }
      bytes += page->body.size();
      ++pages;
      // The next link is the page's last member.
      const std::size_t at = page->body.rfind(key);
      target.clear();
      if (at != std::string::npos) {
        const std::string link = page->body.substr(
            at + key.size(), page->body.find('"', at + key.size()) - at - key.size());
        target = link.substr(server->baseUrl().size());
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["pages"] =
      benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FetchRouteTablePages)->Arg(0)->Arg(1)->ArgName("gzip")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
