// The bundled demo (examples/demo), as scripts/demo.sh runs it: kx-discover replaying the
// committed cassette with no server and no credential writes the reviewed golden logs,
// Terraform files the HCL parser reads, a report the schema accepts, and nothing that holds a
// secret of the demo estate or a token.  examples/demo/record.sh regenerates the cassette and
// the golden logs when the estate changes.
#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const std::string kDemo = kSource + "/examples/demo/";

// The principals' secrets of the demo estate the cassette was recorded from.
std::vector<std::string> demoSecrets() {
  std::vector<std::string> secrets;
  const Json estate = Json::parse(readFile(kSource + "/fakearm/estates/demo.json"));
  for (const Json& tenant : estate.at("tenants")) {
    for (const Json& principal : tenant.at("principals"))
      secrets.push_back(principal.at("secret").get<std::string>());
  }
  return secrets;
}

TEST_F(DiscoverTest, TheDemoReplaysToTheGoldenLogsWithoutServerOrSecrets) {
  // Replayed from a copy in the run's folder, so that the scan below reads the cassette too.
  fs::copy_file(kDemo + "demo.cassette.json", path("demo.cassette.json"));
  const ProgramResult r =
      run({"--replay", "demo.cassette.json", "--json", "report.json", kDemo + "discovery.yaml"},
          /*env=*/{});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("6 discovered, 1 not found"), std::string::npos) << r.out;
  // Standard output and error (also as files), the cassette, two logs, six Terraform files and
  // the report.
  EXPECT_EQ(expectNoSecretOrToken(dir_, r, demoSecrets()), 14u);

  const std::string golden = kSource + "/discover/tests/data/golden/demo/";
  expectSameLines(logLines(path("demo-out/log/kx.log")), golden + "kx.log");
  expectSameLines(logLines(path("demo-out/log/kx.alert.log")), golden + "kx.alert.log");

  const Json rep = report();
  EXPECT_EQ(reportProblems(path("report.json")), "");
  EXPECT_EQ(rep["status"], "completed");
  EXPECT_EQ(expectTerraformMatchesReport(rep), 6u);
}

}  // namespace
}  // namespace kxdiscover::test
