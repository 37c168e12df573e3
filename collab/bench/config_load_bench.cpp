// Loading large configuration files: a valid discovery configuration of many accounts and
// VNets (about 3 MB), and plain maps of growing size, whose times show that loading grows in
// step with the file (the counter "bytes_per_second" stays flat as the map grows).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "collab/config.hpp"

namespace {

namespace fs = std::filesystem;

// Writes `text` to a scratch file named after the benchmark, once per process.
fs::path scratchFile(const std::string& name, const std::string& text) {
  const fs::path path = fs::temp_directory_path() / ("kx-bench-config-" + name + ".yaml");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

// `accounts` accounts of `vnets` VNets each, every VNet with the options operators set most.
std::string discoveryConfig(int accounts, int vnets) {
  std::string out =
      "kind: discovery\n"
      "log_output: ./out\n"
      "config:\n"
      "  configure_gw_name: true\n"
      "  configure_route_table_name:\n"
      "    - {key: base, value: \"{vnet}-{snet}-rt\"}\n"
      "account_info:\n";
  for (int a = 0; a < accounts; ++a) {
    const std::string id = std::to_string(a);
    out += "  - subscription_id: 00000000-0000-0000-0000-" + std::string(12 - id.size(), '0') + id +
           "\n    account_name: account-" + id +
           "\n    turbo: true\n    filter_cidrs: [100.64.0.0/10]\n    vnets:\n";
    for (int v = 0; v < vnets; ++v) {
      const std::string n = std::to_string(v);
      out += "      vnet-" + id + "-" + n +
             ":\n"
             "        spoke_gw_size: Standard_D3_v2\n"
             "        inspection: false\n"
             "        copy_quad_zero_route: true\n"
             "        spoke_routes: [10." +
             std::to_string(v % 250) + ".0.0/16, 10." + std::to_string(a % 250) +
             ".128.0/17]\n"
             "        subnet_groups:\n"
             "          - subnet_name: web\n"
             "          - subnet_name: app\n"
             "        route_table_tags:\n"
             "          - {Key: owner, Value: network-team}\n";
    }
  }
  return out;
}

void BM_LoadLargeDiscoveryConfig(benchmark::State& state) {
  const std::string text = discoveryConfig(200, 40);  // 8,000 VNets
  const fs::path path = scratchFile("discovery", text);
  for (auto _ : state) {
    const collab::ConfigDocument doc = collab::load_from_yaml(path);
    if (doc.data()["account_info"].size() != 200) state.SkipWithError("wrong account count");
    benchmark::DoNotOptimize(doc.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.counters["file_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_LoadLargeDiscoveryConfig)->Unit(benchmark::kMillisecond);

// A map of state.range(0) keys under a kind without a schema.
void BM_LoadFlatMap(benchmark::State& state) {
  const auto keys = static_cast<int>(state.range(0));
  std::string text = "kind: scratch\n";
  for (int i = 0; i < keys; ++i) text += "k" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  const fs::path path = scratchFile("map" + std::to_string(keys), text);
  for (auto _ : state) {
    const collab::ConfigDocument doc = collab::load_from_yaml(path);
    if (doc.data().size() != static_cast<std::size_t>(keys) + 1)
      state.SkipWithError("wrong key count");
    benchmark::DoNotOptimize(doc.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetComplexityN(keys);
}
BENCHMARK(BM_LoadFlatMap)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(199998)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
