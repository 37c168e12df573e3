// What signing in costs, per token, against the loopback Azure: a client secret, a
// certificate's signed assertion (RS256, 2048-bit key; the server checks the signature), the
// assertion alone, and handing out a token still fresh, which is what every other call of a
// run pays:
//   sign_in_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "collab/azure/client_assertion_credential.hpp"
#include "collab/azure/client_certificate.hpp"
#include "collab/azure/client_secret_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "fakearm/estate_server.hpp"

namespace {

using namespace collab::azure;
namespace fs = std::filesystem;

// A served estate whose reader holds a fresh certificate, and the PEM file of its key.
struct Fixture {
  Fixture() {
    const fs::path dir =
        fs::temp_directory_path() / ("kx-sign-in-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    pem = (dir / "app.pem").string();
    const std::string key = (dir / "key.pem").string(), cert = (dir / "cert.pem").string();
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=bench -days 1"
        " -keyout '" +
        key + "' -out '" + cert + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
    std::ostringstream certificate, both;
    certificate << std::ifstream(cert).rdbuf();
    both << certificate.str() << std::ifstream(key).rdbuf();
    std::ofstream(pem) << both.str();
    fakearm::Json estate =
        fakearm::loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
    estate["tenants"][0]["principals"][0]["certificates"] = {certificate.str()};
    fakearm::ServerOptions serverOptions;
    serverOptions.keepRequestLog = false;
    server = std::make_unique<fakearm::EstateServer>(estate, serverOptions);
    tenant = estate["tenants"][0]["tenantId"];
    app = estate["tenants"][0]["principals"][0]["appId"];
    secret = estate["tenants"][0]["principals"][0]["secret"];
    options.transport = std::make_shared<CurlTransport>();
    options.endpoints = AzureEndpoints{server->baseUrl(), server->baseUrl() + "/",
                                       "https://management.core.windows.net/"};
    fs::remove(key);
  }
  std::unique_ptr<fakearm::EstateServer> server;
  std::string pem, tenant, app, secret;
  CredentialOptions options;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void BM_SecretSignIn(benchmark::State& state) {
  Fixture& f = fixture();
  ClientSecretCredential credential(f.tenant, f.app, f.secret, f.options);
  for (auto _ : state) benchmark::DoNotOptimize(credential.getToken(/*forceRefresh=*/true));
}
BENCHMARK(BM_SecretSignIn)->Unit(benchmark::kMillisecond);

void BM_CertificateSignIn(benchmark::State& state) {
  Fixture& f = fixture();
  ClientAssertionCredential credential(
      f.tenant, f.app, certificateAssertions(ClientCertificate::load(f.pem, std::nullopt), f.app),
      f.options);
  for (auto _ : state) benchmark::DoNotOptimize(credential.getToken(/*forceRefresh=*/true));
}
BENCHMARK(BM_CertificateSignIn)->Unit(benchmark::kMillisecond);

void BM_CertificateAssertion(benchmark::State& state) {
  const auto certificate = ClientCertificate::load(fixture().pem, std::nullopt);
  const auto now = std::chrono::system_clock::now();
  for (auto _ : state)
    benchmark::DoNotOptimize(certificate->assertion("app", "https://login/t/oauth2/token", now));
}
BENCHMARK(BM_CertificateAssertion)->Unit(benchmark::kMicrosecond);

void BM_FreshTokenReused(benchmark::State& state) {
  Fixture& f = fixture();
  ClientSecretCredential credential(f.tenant, f.app, f.secret, f.options);
  credential.getToken();
  for (auto _ : state) benchmark::DoNotOptimize(credential.getToken());
}
BENCHMARK(BM_FreshTokenReused)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
