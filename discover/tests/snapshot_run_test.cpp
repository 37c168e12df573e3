// kx-discover --snapshot against the default mode, as real processes over estates that do not
// change during the run: the test estate, the demo and a generated one.  The logs, the
// Terraform files (byte for byte) and the reports are the same; only the request count, and
// the mode the summary and the report name, differ.  A run recorded with --snapshot replays.
#include "discover_fixture.hpp"
#include "fakearm/estate_generator.hpp"

namespace kxdiscover::test {
namespace {

// The report less what differs by design between two runs and between the two modes.
Json comparable(Json report) {
  for (const char* key : {"started", "finished", "command_line", "outputs"}) report.erase(key);
  for (const char* key : {"seconds", "azure_requests", "azure_retries", "mode", "snapshot_answers"})
    report["summary"].erase(key);
  return report;
}

struct Estate {
  const char* name;
  Json estate;
  /// The configuration, written into the test's folder as `<name>.yaml`.
  std::string config;
  /// Where the configuration puts the logs and Terraform files.
  std::string outputs;
  std::map<std::string, std::string> secrets;
};

std::vector<Estate> estates() {
  std::vector<Estate> all;
  all.push_back({"test", fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json"),
                 readFile(kSource + "/discover/tests/data/discovery.yaml"), "out", kSecrets});
  all.push_back({"demo",
                 fakearm::loadEstateFile(kSource + "/fakearm/estates/demo.json"),
                 readFile(kSource + "/examples/demo/discovery.yaml"),
                 "demo-out",
                 {{"KX_DEMO_READER_SECRET", "demo-reader-secret-not-a-real-one"},
                  {"KX_DEMO_PROD_SECRET", "demo-prod-secret-not-a-real-one"}}});
  fakearm::EstateParams params;
  params.seed = 17;
  params.subscriptions = 2;
  params.principals = 2;
  params.vnets = 30;
  params.configuredVnets = 10;
  params.routeTables = 60;
  params.logOutput = "./generated-out";
  params.terraformOutput = "./generated-out/terraform";
  fakearm::GeneratedEstate generated = fakearm::generateEstate(params);
  all.push_back({"generated", std::move(generated.estate), std::move(generated.config),
                 "generated-out", std::move(generated.secrets)});
  return all;
}

class SnapshotRunTest : public DiscoverTest {
 protected:
  // Serves `estate` in pages of a few items, so that listings run over several pages.
  void serveInPages(const Json& estate) {
    fakearm::ServerOptions options;
    options.pageSize = 7;
    server_.emplace(estate, std::move(options));
  }

  // One run with `mode` (extra options) into `<outputs>-<label>`; its report and result.
  std::pair<Json, ProgramResult> discover(const Estate& estate, const std::string& label,
                                          std::vector<std::string> mode) {
    mode.insert(mode.end(), {"--json", label + ".json", std::string(estate.name) + ".yaml"});
    ProgramResult result = run(mode, estate.secrets);
    EXPECT_EQ(result.status, 0) << result.err;
    fs::rename(path(estate.outputs), path(estate.outputs + "-" + label));
    return {report(label + ".json"), std::move(result)};
  }
};

TEST_F(SnapshotRunTest, WritesWhatTheDefaultModeWritesWithFewerRequests) {
  for (const Estate& estate : estates()) {
    SCOPED_TRACE(estate.name);
    std::ofstream(path(std::string(estate.name) + ".yaml")) << estate.config;
    serveInPages(estate.estate);
    const auto [byDefault, defaultRun] = discover(estate, "default", {});
    const auto [snapshot, snapshotRun] = discover(estate, "snapshot", {"--snapshot"});

    const fs::path defaults = path(estate.outputs + "-default");
    const fs::path snapshots = path(estate.outputs + "-snapshot");
    for (const char* log : {"log/kx.log", "log/kx.alert.log"}) {
      SCOPED_TRACE(log);
      EXPECT_FALSE(logLines(defaults / log).empty());
      EXPECT_EQ(logLines(snapshots / log), logLines(defaults / log));
    }
    const auto terraform = filesUnder(defaults / "terraform");
    EXPECT_FALSE(terraform.empty());
    EXPECT_EQ(filesUnder(snapshots / "terraform"), terraform);
    EXPECT_EQ(comparable(snapshot), comparable(byDefault));

    EXPECT_EQ(byDefault["summary"]["mode"], "default");
    EXPECT_EQ(byDefault["summary"]["snapshot_answers"], 0);
    EXPECT_EQ(snapshot["summary"]["mode"], "snapshot");
    const int fetched = snapshot["summary"]["azure_requests"];
    const int answered = snapshot["summary"]["snapshot_answers"];
    EXPECT_GT(answered, 0);
    EXPECT_EQ(fetched + answered, byDefault["summary"]["azure_requests"].get<int>())
        << "every request of the default mode fetched or answered from the snapshot";
    EXPECT_NE(snapshotRun.out.find("  snapshot        " + std::to_string(answered) +
                                   " answers from pages read earlier in the run\n"),
              std::string::npos)
        << snapshotRun.out;
    EXPECT_EQ(defaultRun.out.find("snapshot"), std::string::npos) << defaultRun.out;
    EXPECT_EQ(reportProblems(path("snapshot.json")), "");
  }
}

TEST_F(SnapshotRunTest, ARunRecordedWithTheSnapshotHoldsEachPageOnceAndReplays) {
  serveInPages(fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json"));
  ProgramResult recorded = run(
      {"--snapshot", "--record", "run.cassette.json", "--json", "recorded.json", "discovery.yaml"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  fs::rename(path("out"), path("recorded"));
  server_.reset();

  const Json cassette = Json::parse(readFile(path("run.cassette.json")));
  std::map<std::string, int> gets;
  for (const Json& exchange : cassette["exchanges"]) {
    if (exchange["request"]["method"] == "GET") ++gets[exchange["request"]["path"]];
  }
  ASSERT_FALSE(gets.empty());
  for (const auto& [page, times] : gets) EXPECT_EQ(times, 1) << page;
  // What was really fetched, and only that: the answers from the snapshot are not exchanges.
  EXPECT_EQ(cassette["exchanges"].size(),
            report("recorded.json")["summary"]["azure_requests"].get<std::size_t>());
  EXPECT_GT(report("recorded.json")["summary"]["snapshot_answers"].get<int>(), 0);

  const ProgramResult replayed = run({"--snapshot", "--replay", "run.cassette.json", "--json",
                                      "replayed.json", "--quiet", "discovery.yaml"},
                                     /*env=*/{});
  ASSERT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(logLines(path("out/log/kx.log")), logLines(path("recorded/log/kx.log")));
  EXPECT_EQ(filesUnder(path("out/terraform")), filesUnder(path("recorded/terraform")));
  EXPECT_EQ(comparable(report("replayed.json")), comparable(report("recorded.json")));
}

}  // namespace
}  // namespace kxdiscover::test
