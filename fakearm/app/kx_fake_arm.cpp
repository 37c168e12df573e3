// kx-fake-arm: serves an estate as a loopback Azure, or generates one.
//
//   kx-fake-arm serve ESTATE.json [--port N] [--tls-cert F --tls-key F]
//                     [--read-budget N --refill R] [--graph-quota N --graph-window S]
//                     [--latency-ms N] [--page-size N] [--print-port] [--verbose]
//                     [--request-log FILE]
//   kx-fake-arm generate [--seed S] [--reference] [--vnets N ...] --out-estate F --out-config F
//                        [--out-env F]
#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "fakearm/estate_generator.hpp"
#include "fakearm/estate_server.hpp"

namespace {

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write '" + path + "'");
}

// One JSON object a line, written and flushed as each request is recorded, so that a script
// can read the requests of one run while the server goes on serving (and repeat them: the
// bodies of POSTs are there, those of token requests never are).
std::function<void(const fakearm::RequestRecord&)> requestLogWriter(const std::string& path) {
  auto out = std::make_shared<std::ofstream>(path, std::ios::binary | std::ios::trunc);
  if (!*out) throw std::runtime_error("cannot write '" + path + "'");
  const auto start = std::chrono::steady_clock::now();
  return [out, start](const fakearm::RequestRecord& request) {
    // When it was served, for a script that wants to see the run's pace.
    const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    fakearm::Json line = {{"method", request.method},
                          {"target", request.target},
                          {"operation", request.operation},
                          {"status", request.status},
                          {"ms", at.count()}};
    if (!request.body.empty()) line["body"] = request.body;
    *out << line.dump() << '\n';
    out->flush();
  };
}

int serve(const std::string& estatePath, fakearm::ServerOptions options, bool printPort,
          bool verbose) {
  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // reach sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  fakearm::EstateServer server(fakearm::loadEstateFile(estatePath), std::move(options));
  if (printPort) {
    std::cout << server.port() << std::endl;
  } else {
    std::cout << server.baseUrl() << std::endl;
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop();
  if (verbose) {
    for (const auto& request : server.requestLog()) {
      std::cerr << request.method << " " << request.target << " " << request.status << " "
                << request.operation << "\n";
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A loopback Azure (token endpoint and Resource Manager) serving a described "
      "estate, and a generator of synthetic estates."};
  app.require_subcommand(1);

  auto* serveCmd = app.add_subcommand("serve",
                                      "Serve an estate on 127.0.0.1 until killed; "
                                      "prints the base URL once listening.");
  std::string estatePath;
  fakearm::ServerOptions options;
  std::string tlsCert, tlsKey;
  int readBudget = 0;
  double refill = 25;
  int graphQuota = 0;
  int graphWindow = 5;
  int latencyMs = 0;
  bool printPort = false, verbose = false;
  std::string requestLog;
  serveCmd->add_option("estate", estatePath, "Estate JSON file")
      ->required()
      ->check(CLI::ExistingFile);
  serveCmd->add_option("--port", options.port, "Port (default: a free one)")
      ->check(CLI::Range(0, 65535));
  auto* certOpt = serveCmd
                      ->add_option("--tls-cert", tlsCert,
                                   "Serve HTTPS with this PEM "
                                   "certificate")
                      ->check(CLI::ExistingFile);
  auto* keyOpt =
      serveCmd->add_option("--tls-key", tlsKey, "...and this PEM key")->check(CLI::ExistingFile);
  certOpt->needs(keyOpt);
  keyOpt->needs(certOpt);
  auto* budgetOpt = serveCmd
                        ->add_option("--read-budget", readBudget,
                                     "Throttle as Azure does: reads per subscription "
                                     "bucket (Azure: 250)")
                        ->check(CLI::PositiveNumber);
  serveCmd->add_option("--refill", refill, "Reads refilled per second (Azure: 25)")
      ->check(CLI::NonNegativeNumber)
      ->needs(budgetOpt);
  auto* graphOpt = serveCmd
                       ->add_option("--graph-quota", graphQuota,
                                    "Limit Resource Graph as Azure does: queries per window and "
                                    "principal (Azure: 15)")
                       ->check(CLI::PositiveNumber);
  serveCmd
      ->add_option("--graph-window", graphWindow, "Seconds per Resource Graph window (Azure: 5)")
      ->check(CLI::Range(1, 3600))
      ->needs(graphOpt);
  serveCmd
      ->add_option("--latency-ms", latencyMs,
                   "Delay every answer by this round trip, as a distant endpoint would "
                   "(requests in flight wait side by side)")
      ->check(CLI::Range(0, 600000));
  serveCmd->add_option("--page-size", options.pageSize, "Items per list page")
      ->check(CLI::PositiveNumber);
  serveCmd->add_flag("--print-port", printPort, "Print the port alone instead of the base URL");
  serveCmd->add_flag("--verbose", verbose, "List every request on standard error when stopped");
  serveCmd->add_option(
      "--request-log", requestLog,
      "Write every request to this file (emptied first) as it is answered, one "
      "JSON object a line: method, target, operation, status and the body of a POST (never "
      "of a token request)");

  auto* generateCmd = app.add_subcommand("generate",
                                         "Write a synthetic estate and its "
                                         "discovery configuration.");
  fakearm::EstateParams params;
  bool reference = false;
  std::string outEstate, outConfig, outEnv;
  std::string regions;
  generateCmd->add_flag("--reference", reference,
                        "Start from the reference estate (2,000 VNets, 4,000 tables of 25 "
                        "routes, 200 configured VNets); other options then override it");
  generateCmd->add_option("--seed", params.seed, "Seed");
  // Every count, remembered so that --reference can fill in those not given.
  std::vector<std::pair<CLI::Option*, int fakearm::EstateParams::*>> counts;
  auto count = [&](const char* flag, int fakearm::EstateParams::*member, const char* help) {
    counts.emplace_back(
        generateCmd->add_option(flag, params.*member, help)->check(CLI::NonNegativeNumber), member);
  };
  count("--subscriptions", &fakearm::EstateParams::subscriptions, "Subscriptions");
  count("--principals", &fakearm::EstateParams::principals, "Service principals");
  count("--resource-groups", &fakearm::EstateParams::resourceGroups, "Per subscription");
  count("--vnets", &fakearm::EstateParams::vnets, "VNets in all");
  count("--configured-vnets", &fakearm::EstateParams::configuredVnets,
        "VNets named in the configuration");
  count("--subnets", &fakearm::EstateParams::subnetsPerVnet, "Per VNet (1 to 12)");
  count("--peerings", &fakearm::EstateParams::peerings, "Peered VNet pairs");
  count("--route-tables", &fakearm::EstateParams::routeTables, "Route tables in all");
  count("--routes", &fakearm::EstateParams::routesPerTable, "Per table");
  count("--vpn-gateways", &fakearm::EstateParams::vpnGateways, "VPN gateways");
  count("--er-gateways", &fakearm::EstateParams::expressRouteGateways, "ExpressRoute gateways");
  count("--migrated-vnets", &fakearm::EstateParams::migratedVnets,
        "Configured VNets holding a spoke gateway of an earlier migration");
  generateCmd->add_option("--regions", regions, "Comma-separated, e.g. eastus,westus2");
  auto* interestingOpt = generateCmd
                             ->add_option("--interesting", params.interesting,
                                          "Share of route tables with an unusual shape (0 to 1)")
                             ->check(CLI::Range(0.0, 1.0));
  generateCmd->add_option("--gateway-size", params.gatewaySize);
  generateCmd->add_option("--out-estate", outEstate, "Estate JSON to write")->required();
  generateCmd->add_option("--out-config", outConfig, "Discovery YAML to write")->required();
  generateCmd->add_option("--out-env", outEnv,
                          "Shell file exporting the principals' secrets, to source");

  CLI11_PARSE(app, argc, argv);

  try {
    if (*serveCmd) {
      // A long run keeps only the counts unless the requests are to be listed.
      options.keepRequestLog = verbose;
      if (!requestLog.empty()) options.onRequest = requestLogWriter(requestLog);
      if (!tlsCert.empty()) options.tls = fakearm::TlsFiles{tlsCert, tlsKey};
      // Reads (and writes) and Resource Graph are throttled each on request only.
      if (*budgetOpt || *graphOpt) {
        fakearm::ThrottleOptions throttle;
        throttle.reads = *budgetOpt ? readBudget : 0;
        throttle.writes = *budgetOpt ? throttle.writes : 0;
        throttle.readRefillPerSecond = refill;
        throttle.graphQueries = *graphOpt ? graphQuota : 0;
        throttle.graphWindow = std::chrono::seconds(graphWindow);
        options.throttle = throttle;
      }
      options.latency = std::chrono::milliseconds(latencyMs);
      // Enough request threads for many clients' kept-alive connections at once: each holds
      // a thread while it is open, and a slow answer holds it longer.
      options.threads = 64;
      return serve(estatePath, std::move(options), printPort, verbose);
    }
    if (reference) {
      // The reference sizes, under whatever the command line gave.
      const fakearm::EstateParams base = fakearm::referenceEstateParams(params.seed);
      for (const auto& [option, member] : counts) {
        if (option->count() == 0) params.*member = base.*member;
      }
      if (interestingOpt->count() == 0) params.interesting = base.interesting;
      if (regions.empty()) params.regions = base.regions;
    }
    if (!regions.empty()) {
      params.regions.clear();
      std::stringstream list(regions);
      for (std::string region; std::getline(list, region, ',');) {
        if (!region.empty()) params.regions.push_back(region);
      }
    }
    const fakearm::GeneratedEstate generated = fakearm::generateEstate(params);
    writeFile(outEstate, generated.estate.dump(1) + "\n");
    writeFile(outConfig, generated.config);
    if (!outEnv.empty()) {
      std::string env;
      for (const auto& [name, secret] : generated.secrets) {
        env += "export " + name + "='" + secret + "'\n";
      }
      writeFile(outEnv, env);
    }
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "kx-fake-arm: " << error.what() << "\n";
    return 1;
  }
}
