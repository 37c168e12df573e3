// What writing one log line costs now that every message is redacted and escaped on its way
// into the file: the text step alone (a clean route line, a hostile one) with a run's worth of
// registered secrets, and a whole line through the logging configuration into a log file,
// against spdlog's own file sink writing the same line unchanged.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>

#include "collab/log.hpp"
#include "collab/log_text.hpp"
#include "collab/logconf.hpp"
#include "collab/secret_registry.hpp"

namespace {

namespace fs = std::filesystem;

const std::string kClean = "    10.200.16.0/20           VirtualAppliance              10.10.254.4";
const std::string kHostile =
    "    Storage\n2024-05-01 14:03:27.512 [error] **Error** forged\x1b[2J  Internet  None";

// A few secrets and tokens, as a run of several subscriptions registers them.
void registerSecrets() {
  for (int i = 0; i < 6; ++i)
    collab::SecretRegistry::instance().add("secret-or-token-" + std::to_string(i) +
                                           std::string(40, 'x'));
}

void BM_SafeLogText(benchmark::State& state, const std::string& text) {
  registerSecrets();
  for (auto _ : state) benchmark::DoNotOptimize(collab::safeLogText(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_SafeLogText, clean_route_line, kClean);
BENCHMARK_CAPTURE(BM_SafeLogText, hostile_route_line, kHostile);

fs::path scratch(const char* name) {
  const fs::path path = fs::temp_directory_path() / ("kx-bench-" + std::string(name) + ".log");
  fs::remove(path);
  return path;
}

// A line through the logging configuration: redacted, escaped, one write(2).
void BM_LogLineThroughConfiguredSink(benchmark::State& state) {
  registerSecrets();
  const fs::path path = scratch("configured");
  collab::logconf conf;
  conf.logging_config["handlers"][collab::logconf::MAIN_HANDLER]["filename"] = path.string();
  conf.logging_config["handlers"][collab::logconf::ALERT_HANDLER]["filename"] = "/dev/null";
  conf.apply();
  auto logger = collab::getLogger("netscout");
  for (auto _ : state) logger->info(kClean);
  fs::remove(path);
}
BENCHMARK(BM_LogLineThroughConfiguredSink);

// The same line through spdlog's file sink, flushed per line as the configuration did before.
void BM_LogLineThroughSpdlogFileSink(benchmark::State& state) {
  const fs::path path = scratch("spdlog");
  auto logger = std::make_shared<spdlog::logger>(
      "bench-spdlog", std::make_shared<spdlog::sinks::basic_file_sink_mt>(path.string()));
  logger->set_pattern(collab::logconf::LINE_PATTERN);
  logger->flush_on(spdlog::level::trace);
  for (auto _ : state) logger->info(kClean);
  fs::remove(path);
}
BENCHMARK(BM_LogLineThroughSpdlogFileSink);

}  // namespace

BENCHMARK_MAIN();
