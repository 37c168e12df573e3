// Reading a large subscription's route tables: 5,000 tables of 25 routes each, delivered as
// Resource Manager pages of 100 tables, read with the simdjson page parser and, for
// comparison, with nlohmann (plain DOM parse, and parse plus mapping to the typed objects).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "../tests/azure_parse_generator.hpp"
#include "collab/azure/arm_parse.hpp"

namespace {

using collab::Json;
using namespace collab::azure;

constexpr std::size_t kTables = 5000;
constexpr std::size_t kTablesPerPage = 100;
constexpr std::size_t kRoutesPerTable = 25;

const std::vector<std::string>& pages() {
  static const std::vector<std::string> generated = [] {
    std::vector<std::string> out;
    for (std::size_t first = 0; first < kTables; first += kTablesPerPage) {
      testing::RouteTablePageSpec spec;
      spec.tables = kTablesPerPage;
      spec.routes_per_table = kRoutesPerTable;
      spec.seed = static_cast<std::uint32_t>(first + 1);
      spec.first_index = first;
      spec.with_next_link = first + kTablesPerPage < kTables;
      out.push_back(testing::generateRouteTablePage(spec));
    }
    return out;
  }();
  return generated;
}

std::int64_t totalBytes() {
  std::int64_t n = 0;
  for (const auto& p : pages()) n += static_cast<std::int64_t>(p.size());
  return n;
}

void report(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * totalBytes());
  state.counters["tables/s"] = benchmark::Counter(static_cast<double>(kTables) * state.iterations(),
                                                  benchmark::Counter::kIsRate);
  state.counters["pages"] = static_cast<double>(pages().size());
}

// The way a listing runs: one parser for all pages of the subscription.
void BM_ArmPageParser_RouteTables(benchmark::State& state) {
  pages();  // generated once, outside the timed loop
  for (auto _ : state) {
    ArmPageParser parser;
    std::vector<RouteTable> tables;
    for (const auto& page : pages()) parser.parseRouteTablePage(page, tables);
    if (tables.size() != kTables) state.SkipWithError("wrong table count");
    benchmark::DoNotOptimize(tables.data());
  }
  report(state);
}
BENCHMARK(BM_ArmPageParser_RouteTables)->Unit(benchmark::kMillisecond);

// A new parser per page, as a caller that does not keep one would do.
void BM_ArmPageParser_RouteTablesFreshParserPerPage(benchmark::State& state) {
  pages();  // generated once, outside the timed loop
  for (auto _ : state) {
    std::vector<RouteTable> tables;
    for (const auto& page : pages()) ArmPageParser().parseRouteTablePage(page, tables);
    benchmark::DoNotOptimize(tables.data());
  }
  report(state);
}
BENCHMARK(BM_ArmPageParser_RouteTablesFreshParserPerPage)->Unit(benchmark::kMillisecond);

void BM_Nlohmann_ParseOnly(benchmark::State& state) {
  pages();  // generated once, outside the timed loop
  for (auto _ : state) {
    for (const auto& page : pages()) {
      auto doc = nlohmann::json::parse(page);
      benchmark::DoNotOptimize(doc);
    }
  }
  report(state);
}
BENCHMARK(BM_Nlohmann_ParseOnly)->Unit(benchmark::kMillisecond);

void BM_Nlohmann_ParseAndMap(benchmark::State& state) {
  pages();  // generated once, outside the timed loop
  for (auto _ : state) {
    std::vector<RouteTable> tables;
    for (const auto& page : pages()) {
      const auto doc = nlohmann::json::parse(page);
      for (const auto& t : doc.at("value")) {
        RouteTable table;
        table.name = t.at("name").get<std::string>();
        table.id = t.at("id").get<std::string>();
        table.location = t.at("location").get<std::string>();
        if (auto it = t.find("tags"); it != t.end() && it->is_object()) {
          Tags tags;
          for (const auto& [k, v] : it->items()) tags.set(k, v.get<std::string>());
          table.tags = std::move(tags);
        }
        const auto& p = t.at("properties");
        table.disable_bgp_route_propagation = p.value("disableBgpRoutePropagation", false);
        for (const auto& r : p.at("routes")) {
          const auto& rp = r.at("properties");
          Route route{r.at("name").get<std::string>(), r.at("id").get<std::string>(),
                      rp.at("addressPrefix").get<std::string>(),
                      rp.at("nextHopType").get<std::string>(), std::nullopt};
          if (auto ip = rp.find("nextHopIpAddress"); ip != rp.end()) {
            route.next_hop_ip_address = ip->get<std::string>();
          }
          table.routes.push_back(std::move(route));
        }
        if (auto s = p.find("subnets"); s != p.end()) {
          table.subnets.emplace();
          for (const auto& ref : *s) table.subnets->push_back({ref.at("id").get<std::string>()});
        }
        tables.push_back(std::move(table));
      }
    }
    benchmark::DoNotOptimize(tables.data());
  }
  report(state);
}
BENCHMARK(BM_Nlohmann_ParseAndMap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
