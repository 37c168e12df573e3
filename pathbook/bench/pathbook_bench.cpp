// Throughput of route intake (Pathbook::add) and of HCL rendering (Pathbook::toHcl).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <random>
#include <string_view>
#include <vector>
#include <streambuf>

#include "basekit/common.hpp"
#include "pathbook/pathbook.hpp"

namespace {

using collab::CvtRoute;
using pathbook::Pathbook;

Pathbook configuredTable() {
  Pathbook t("rt-bench", collab::azure::Tags{{"Name", "bench"}, {"env", "prod"}}, "vnet1", "sub1",
             std::nullopt);
  t.setRegion("eastus");
  t.addFilters({"10.200.0.0/16", "10.201.0.0/16", "172.20.0.0/14", "192.168.200.0/24",
                "100.64.0.0/10", "198.18.0.0/15", "203.0.113.0/24", "10.250.0.0/16", "fd00::/8",
                "2001:db8:ffff::/48"});
  t.addServiceTags({"AzureCloud", "Storage\\.", "Sql", "AzureMonitor", "EventHub"});
  return t;
}

// A realistic mix: mostly network destinations (private and public, some filtered, some
// IPv6), with a few service tags, default routes and private ranges.
std::vector<CvtRoute> makeRoutes(std::size_t n, bool networksOnly) {
  std::mt19937 rng(42);
  std::vector<CvtRoute> routes;
  routes.reserve(n);
  const char* tags[] = {"AzureCloud.WestEurope", "Storage.EastUS", "AppService", "Sql.NorthEurope",
                        "AzureKeyVault"};
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned r = rng() % 100;
    std::string dest;
    if (networksOnly || r < 90) {
      const unsigned k = rng() % 10;
      if (k < 5)
        dest = "10." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ".0/24";
      else if (k < 8)
        dest = std::to_string(1 + rng() % 223) + "." + std::to_string(rng() % 256) + ".0.0/16";
      else if (k < 9)
        dest = "2001:db8:" + std::to_string(rng() % 9999) + "::/48";
      else
        dest = "172.2" + std::to_string(rng() % 4) + "." + std::to_string(rng() % 256) + ".0/24";
    } else if (r < 97) {
      dest = tags[rng() % 5];
    } else {
      dest = "0.0.0.0/0";
    }
    routes.emplace_back("azure-" + std::to_string(i), std::move(dest), "VirtualAppliance",
                        "10.0.0.4");
  }
  return routes;
}

void addRoutes(benchmark::State& state, bool networksOnly) {
  const std::vector<CvtRoute> source = makeRoutes(100000, networksOnly);
  std::size_t accepted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<CvtRoute> routes = source;
    auto table = std::make_unique<Pathbook>(configuredTable());
    state.ResumeTiming();
    for (auto& r : routes) benchmark::DoNotOptimize(table->add(std::move(r)));
    state.PauseTiming();
    accepted = table->routes.size();
    table.reset();
    routes.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
  state.counters["accepted"] = static_cast<double>(accepted);
}

void BM_AddNetworkRoutes(benchmark::State& state) { addRoutes(state, true); }
void BM_AddMixedRoutes(benchmark::State& state) { addRoutes(state, false); }
BENCHMARK(BM_AddNetworkRoutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddMixedRoutes)->Unit(benchmark::kMillisecond);

// The same 100,000 network routes spread over tables of 400 routes, the most an Azure route
// table holds: the size discovery actually meets.
void BM_AddNetworkRoutesAzureSizedTables(benchmark::State& state) {
  const std::vector<CvtRoute> source = makeRoutes(100000, true);
  constexpr std::size_t kPerTable = 400;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<CvtRoute> routes = source;
    std::vector<Pathbook> tables(source.size() / kPerTable, configuredTable());
    state.ResumeTiming();
    for (std::size_t i = 0; i < routes.size(); ++i)
      benchmark::DoNotOptimize(tables[i / kPerTable].add(std::move(routes[i])));
    state.PauseTiming();
    tables.clear();
    routes.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_AddNetworkRoutesAzureSizedTables)->Unit(benchmark::kMillisecond);

// A buffered stream that counts and discards, like a file stream without the disk.
class CountingBuf : public std::streambuf {
 public:
  CountingBuf() { setp(buf_, buf_ + sizeof buf_); }
  std::size_t bytes() const { return flushed_ + static_cast<std::size_t>(pptr() - pbase()); }

 protected:
  int_type overflow(int_type c) override {
    flushed_ += static_cast<std::size_t>(pptr() - pbase());
    benchmark::DoNotOptimize(buf_[0]);
    setp(buf_, buf_ + sizeof buf_);
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }

 private:
  char buf_[1 << 16];
  std::size_t flushed_ = 0;
};

void BM_RenderHcl(benchmark::State& state) {
  basekit::Common::setDataPath(std::string(KX_SOURCE_DIR) + "/data");
  basekit::Common::loadInputJson();
  std::vector<Pathbook> tables;
  tables.reserve(10000);
  const std::vector<CvtRoute> routes = makeRoutes(8, true);
  for (int i = 0; i < 10000; ++i) {
    Pathbook t("rt-" + std::to_string(i),
               collab::azure::Tags{{"env", "prod"}, {"owner", "net-ops"}},
               "vnet-" + std::to_string(i % 50), "sub1", std::nullopt);
    t.setRegion(i % 2 ? "eastus" : "westeurope");
    t.addAdditonalTags(collab::Json::parse(R"([{"Key": "cost-center", "Value": "4711"}])"));
    for (const auto& r : routes) t.add(r);
    tables.push_back(std::move(t));
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    CountingBuf buf;
    std::ostream out(&buf);
    for (const auto& t : tables) t.toHcl(out, 2);
    bytes += buf.bytes();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["tables"] = static_cast<double>(tables.size());
}
BENCHMARK(BM_RenderHcl)->Unit(benchmark::kMillisecond);

}  // namespace

// Every iteration builds and frees a table of 100,000 routes (about 20 MB).  By default glibc
// hands freed memory back to the kernel, so each iteration would also pay the first-touch page
// faults of that memory again, which on a virtual machine cost several times the intake itself
// (run with --no-warm-heap to see that figure).  A discovery run grows its memory once; keeping
// freed memory in the process measures what add itself costs.
int main(int argc, char** argv) {
  bool warmHeap = true;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--no-warm-heap")
      warmHeap = false;
    else
      args.push_back(argv[i]);
  }
  if (warmHeap) {
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
