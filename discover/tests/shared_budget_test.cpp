// Budgets shared by the processes of one run: the ledger file taking real processes in turn
// (none of their updates lost, one killed inside the lock holding up nobody); four processes of
// one principal, each with its own session on the run's shared folder, meeting no throttling
// from kx-fake-arm serving Azure's budgets in small; and the command itself with four worker
// processes meeting none either; a stop ending a wait for the budget at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/arm_pipeline.hpp"
#include "collab/azure/azure_credential.hpp"
#include "collab/azure/curl_transport.hpp"
#include "collab/azure/transport.hpp"
#include "discover_fixture.hpp"
#include "fakearm/estate_generator.hpp"
#include "run/budget_ledger.hpp"
#include "run/budget_transport.hpp"
#include "run/counting_transport.hpp"
#include "run/request_scope.hpp"
#include "run/session.hpp"
#include "served_program.hpp"

namespace kxdiscover::test {
namespace {

namespace az = collab::azure;

// Runs `work` in `count` child processes (forked: what they need is set up before) and returns
// their exit statuses.
std::vector<int> inChildren(int count, const std::function<int(int)>& work) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 1;
      try {
        status = work(i);
      } catch (...) {
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  std::vector<int> statuses;
  for (pid_t pid : children) {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    statuses.push_back(WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw));
  }
  return statuses;
}

class SharedBudgetTest : public DiscoverTest {};

TEST_F(SharedBudgetTest, ProcessesTakeTheLedgerInTurn) {
  constexpr int kChildren = 4, kUpdates = 300;
  const std::vector<int> statuses = inChildren(kChildren, [&](int child) {
    BudgetLedger ledger(dir_);
    for (int i = 0; i < kUpdates; ++i) {
      ledger.update(1, [](BudgetEntry& entry) { entry.left += 1; });
      ledger.update(100 + child, [](BudgetEntry& entry) { entry.outstanding += 1; });
    }
    return 0;
  });
  EXPECT_EQ(statuses, std::vector<int>(kChildren, 0));
  BudgetLedger ledger(dir_);
  ASSERT_TRUE(ledger.find(1));
  EXPECT_EQ(ledger.find(1)->left, kChildren * kUpdates) << "an update was lost";
  for (int child = 0; child < kChildren; ++child)
    EXPECT_EQ(ledger.find(100 + child)->outstanding, kUpdates);

  // A process killed while it holds the ledger holds up nobody.
  int inside[2];
  ASSERT_EQ(::pipe(inside), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    BudgetLedger mine(dir_);
    mine.update(1, [&](BudgetEntry&) {
      const char c = 'x';
      if (::write(inside[1], &c, 1) != 1) ::_exit(2);
      ::pause();
    });
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(inside[0], &c, 1), 1);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ledger.update(1, [](BudgetEntry& entry) { entry.left += 1; });
  EXPECT_EQ(ledger.find(1)->left, kChildren * kUpdates + 1);
  ::close(inside[0]);
  ::close(inside[1]);

  // A file left half-written is recognised and replaced, not misread.
  std::ofstream(path("budgets"), std::ios::binary | std::ios::trunc) << "kxbudgt1 and then junk";
  EXPECT_FALSE(ledger.find(1));
  ledger.update(1, [](BudgetEntry& entry) { entry.left = 7; });
  EXPECT_EQ(BudgetLedger(dir_).find(1)->left, 7);
}

// Answers of the request log of kx-fake-arm by status, for the operation `operation`.
std::map<int, int> statusesOf(const fs::path& log, const std::string& operation) {
  std::map<int, int> statuses;
  std::istringstream lines(readFile(log));
  for (std::string line; std::getline(lines, line);) {
    const Json request = Json::parse(line);
    if (request["operation"] == operation) ++statuses[request["status"].get<int>()];
  }
  return statuses;
}

TEST_F(SharedBudgetTest, FourProcessesOfOnePrincipalMeetNoThrottling) {
  // Azure's budgets in small: 16 reads refilled at 20 a second, 4 queries a second.
  constexpr int kChildren = 4, kReads = 12, kQueries = 3;
  const std::string estate = kSource + "/discover/tests/data/estate.json";
  const std::vector<std::string> budgets = {"--read-budget", "16", "--refill",       "20",
                                            "--graph-quota", "4",  "--graph-window", "1"};
  // Each child reads and queries as fast as it can through its own session; a 429 (never
  // retried here) fails it.
  const auto children = [&](const std::string& url, bool shared, bool paced) {
    return inChildren(kChildren, [&](int) {
      RunOptions options;
      options.armEndpoint = url;
      options.loginEndpoint = url + "/";
      if (shared) options.sharedStateDir = (dir_ / "shared").string();
      BudgetOptions pacing;
      pacing.reads.reserve = 2;
      pacing.reads.refillPerSecond = 20;
      AzureSession session(options, nullptr, nullptr, pacing);
      const auto credential = az::AzureCredential::fromClientSecret(
          "72f988bf-0000-4000-8000-00000000c0de", "a0b1c2d3-0000-4000-8000-0000000000a1",
          kSecrets.at("KX_TEST_READER_SECRET"), kProd);
      az::ArmPipelineOptions arm;
      arm.retry.policy.maxAttempts = 1;
      arm.pacing.reserve = 0;  // the pipeline's own pacing, per client, is not under test
      // Unpaced: straight to curl, past the budgets.
      std::shared_ptr<az::Transport> transport;
      if (!paced) transport = std::make_shared<az::CurlTransport>();
      az::ArmPipeline pipeline(credential.getCSC(), arm, transport);
      int refused = 0;
      const auto call = [&](const std::function<void()>& request) {
        try {
          request();
        } catch (const az::ArmError&) {
          ++refused;
        }
      };
      for (int i = 0; i < kReads; ++i) {
        call([&] {
          pipeline.get("/subscriptions/" + kProd + "/resourcegroups?api-version=2021-04-01");
        });
      }
      for (int i = 0; i < kQueries; ++i) {
        call([&] {
          pipeline.post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                        R"({"query": "Resources | limit 1"})");
        });
      }
      return refused == 0 ? 0 : 1;
    });
  };

  {
    // The same load unpaced is throttled: the check below can fail.
    fakearm::test::ServedProgram server(estate, [&] {
      auto args = budgets;
      args.insert(args.end(), {"--request-log", path("unpaced.jsonl").string()});
      return args;
    }());
    ASSERT_FALSE(server.url().empty());
    children(server.url(), /*shared=*/false, /*paced=*/false);
    EXPECT_GT(statusesOf(path("unpaced.jsonl"), "resourceGroups.list")[429], 0);
    EXPECT_GT(statusesOf(path("unpaced.jsonl"), "resourceGraph")[429], 0);
  }

  fakearm::test::ServedProgram server(estate, [&] {
    auto args = budgets;
    args.insert(args.end(), {"--request-log", path("shared.jsonl").string()});
    return args;
  }());
  ASSERT_FALSE(server.url().empty());
  EXPECT_EQ(children(server.url(), /*shared=*/true, /*paced=*/true),
            std::vector<int>(kChildren, 0));
  EXPECT_EQ(statusesOf(path("shared.jsonl"), "resourceGroups.list"),
            (std::map<int, int>{{200, kChildren * kReads}}));
  EXPECT_EQ(statusesOf(path("shared.jsonl"), "resourceGraph"),
            (std::map<int, int>{{200, kChildren * kQueries}}));
}

TEST_F(SharedBudgetTest, FourWorkersOfTheCommandMeetNoThrottling) {
  // One subscription, so that every worker reads from one bucket, and eight configured VNets
  // to keep four workers busy side by side.
  fakearm::EstateParams params;
  params.seed = 23;
  params.vnets = 12;
  params.configuredVnets = 8;
  params.routeTables = 24;
  const fakearm::GeneratedEstate generated = fakearm::generateEstate(params);
  std::ofstream(path("generated.yaml")) << generated.config;
  // Azure's budgets in small: the read bucket refills at Azure's own rate (the command paces
  // on it), but holds only 25; 8 Resource Graph queries a second.  A short round trip keeps
  // the workers' requests in flight together.
  fakearm::ServerOptions options;
  options.throttle.emplace();
  options.throttle->reads = 25;
  options.throttle->readRefillPerSecond = 25;
  options.throttle->graphQueries = 8;
  options.throttle->graphWindow = std::chrono::seconds(1);
  options.latency = std::chrono::milliseconds(10);
  server_.emplace(generated.estate, options);

  fs::create_directories(path("tmp"));
  auto env = generated.secrets;
  env["TMPDIR"] = path("tmp").string();
  Program program(dir_, arguments({"--jobs", "4", "--json", "report.json", "generated.yaml"}), env);
  std::size_t mostWorkers = 0;
  for (int status = 0; ::waitpid(program.pid(), &status, WNOHANG) == 0;) {
    mostWorkers = std::max(mostWorkers, childrenOf(program.pid()).size());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The process is reaped already: its outputs are what is left to read.
  EXPECT_NE(readFile(path("report.json")), "") << readFile(path("stderr.txt"));
  EXPECT_EQ(mostWorkers, 4u) << "the run did not have four workers at once";

  std::map<int, int> statuses;
  std::size_t reads = 0, queries = 0;
  for (const auto& request : server_->requestLog()) {
    ++statuses[request.status];
    if (request.operation == "resourceGraph")
      ++queries;
    else if (request.method == "GET")
      ++reads;
  }
  EXPECT_EQ(statuses[429], 0) << "the workers were throttled";
  EXPECT_EQ(statuses[200], static_cast<int>(server_->requestLog().size()));
  // The budgets bind: half again as many reads as the bucket holds, and as many queries as one
  // window allows.
  EXPECT_GT(reads, 25u * 3 / 2);
  EXPECT_GT(queries, 8u * 3 / 2);
  const Json rep = report();
  EXPECT_EQ(rep["summary"]["vnets_discovered"], params.configuredVnets) << rep["summary"];
}

// Answers every request at once, reporting an empty read bucket.
class EmptyBucket final : public az::Transport {
 public:
  az::HttpResponse send(const az::HttpRequest&) override {
    ++sent;
    az::HttpResponse response;
    response.status = 200;
    response.headers.add("x-ms-ratelimit-remaining-subscription-reads", "0");
    response.body = "{}";
    return response;
  }
  int sent = 0;
};

TEST(BudgetTransport, AStopEndsABudgetWaitAndGivesItsShareBack) {
  // The stack the session builds: budgets over the run's transport, which ends waits on a stop.
  // The bucket refills so slowly that a wait not ended would outlast the test's time limit.
  const std::string subscription = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";
  az::HttpRequest read;
  read.method = "GET";
  read.url = "http://127.0.0.1:1/subscriptions/" + subscription + "/resourcegroups?api-version=1";
  read.headers.set("Authorization", "Bearer not-a-real-token");
  const std::uint64_t key = stableHash("reads|" + subscription + "|");
  const struct {
    const char* how;
    std::function<az::HttpResponse(az::Transport&)> send;
  } ways[] = {
      {"send", [&](az::Transport& t) { return t.send(read); }},
      {"start, then finish", [&](az::Transport& t) { return t.start(read)->finish(); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    auto bucket = std::make_shared<EmptyBucket>();
    bool stop = false;
    auto run = std::make_shared<CountingTransport>(
        bucket, [&] { return stop; }, nullptr);
    auto ledger = std::make_shared<BudgetLedger>();
    BudgetOptions options;
    options.reads.refillPerSecond = 0.001;
    auto budgets =
        std::make_shared<BudgetTransport>(run, ledger, std::make_shared<PrincipalBook>(), options);
    // The first read goes and learns that the bucket is empty.
    EXPECT_EQ(way.send(*budgets).status, 200);
    stop = true;
    EXPECT_THROW(way.send(*budgets), az::TransportError);
    EXPECT_EQ(bucket->sent, 1) << "a read went out past the budget";
    ASSERT_TRUE(ledger->find(key));
    EXPECT_EQ(ledger->find(key)->outstanding, 0) << "the stopped read kept its share";
  }
}

}  // namespace
}  // namespace kxdiscover::test
