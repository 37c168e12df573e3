// The kx-fake-arm program as a script uses it: generate files, serve them, read the base URL
// from standard output, stop it with SIGTERM.
#include <gmock/gmock.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "fakearm/estate.hpp"
#include "served_program.hpp"
#include "support/test_certificate.hpp"

extern char** environ;

namespace fakearm {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int run(std::vector<std::string> args) {
  args.insert(args.begin(), KX_FAKE_ARM_PROGRAM);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KxFakeArmProgram, GeneratesTheSameFilesFromTheSameSeed) {
  kx::test::TempDir dir;
  for (const char* stem : {"a", "b"}) {
    ASSERT_EQ(
        run({"generate", "--seed", "3", "--vnets", "9", "--configured-vnets", "3", "--regions",
             "eastus,westeurope", "--out-estate", dir.file(stem + std::string(".json")),
             "--out-config", dir.file(stem + std::string(".yaml")), "--out-env",
             dir.file(stem + std::string(".env"))}),
        0);
  }
  EXPECT_EQ(readFile(dir.file("a.json")), readFile(dir.file("b.json")));
  EXPECT_EQ(readFile(dir.file("a.yaml")), readFile(dir.file("b.yaml")));
  const Json estate = loadEstateFile(dir.file("a.json"));
  EXPECT_EQ(estate["subscriptions"][0]["virtualNetworks"].size(), 9u);
  EXPECT_EQ(estate["subscriptions"][0]["vmSizes"].size(), 2u);
  const std::string secret = estate["tenants"][0]["principals"][0]["secret"];
  EXPECT_EQ(readFile(dir.file("a.env")), "export KX_FAKE_ARM_SECRET_0='" + secret + "'\n");

  EXPECT_NE(run({"generate", "--vnets", "2", "--configured-vnets", "5", "--out-estate",
                 dir.file("c.json"), "--out-config", dir.file("c.yaml")}),
            0);
}

// `kx-fake-arm serve` over the example estate with `extra` options.
class ServedProgram : public test::ServedProgram {
 public:
  explicit ServedProgram(const std::vector<std::string>& extra = {})
      : test::ServedProgram(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json", extra) {}
};

TEST(KxFakeArmProgram, ServesUntilTerminatedAndPrintsItsBaseUrl) {
  ServedProgram program;
  ASSERT_THAT(program.url(), ::testing::StartsWith("http://127.0.0.1:"));

  httplib::Client client(program.url());
  auto answer = client.Get("/subscriptions?api-version=2015-01-01");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 401);
  EXPECT_THAT(answer->body, ::testing::HasSubstr("AuthenticationFailed"));
  EXPECT_EQ(program.stop(), 0);
}

// The request log is what a benchmark script repeats: it must be readable while the server
// runs, in the order answered, with POST bodies but never a token request's secret.
TEST(KxFakeArmProgram, WritesEachRequestToTheRequestLogAsItIsAnswered) {
  kx::test::TempDir dir;
  ServedProgram program({"--request-log", dir.file("requests.jsonl")});
  ASSERT_THAT(program.url(), ::testing::StartsWith("http://127.0.0.1:"));
  const Json estate = loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
  const std::string tenant = estate["tenants"][0]["tenantId"];
  const std::string app = estate["tenants"][0]["principals"][0]["appId"];

  httplib::Client client(program.url());
  const std::string tokenBody = "grant_type=client_credentials&client_id=" + app +
                                "&client_secret=not-the-secret&resource=https%3A%2F%2Fmanagement."
                                "core.windows.net%2F";
  const std::string query = R"({"query": "Resources | limit 1"})";
  ASSERT_TRUE(client.Get("/subscriptions?api-version=2022-12-01"));
  ASSERT_TRUE(
      client.Post("/" + tenant + "/oauth2/token", tokenBody, "application/x-www-form-urlencoded"));
  ASSERT_TRUE(client.Post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                          query, "application/json"));

  std::vector<Json> lines;
  std::istringstream text(readFile(dir.file("requests.jsonl")));
  for (std::string line; std::getline(text, line);) lines.push_back(Json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  const std::vector<std::tuple<std::string, std::string, std::string, int>> expected = {
      {"GET", "/subscriptions?api-version=2022-12-01", "subscriptions.list", 401},
      {"POST", "/" + tenant + "/oauth2/token", "token", 401},
      {"POST", "/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
       "resourceGraph", 401},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& [method, target, operation, status] = expected[i];
    EXPECT_EQ(lines[i]["method"], method);
    EXPECT_EQ(lines[i]["target"], target);
    EXPECT_EQ(lines[i]["operation"], operation);
    EXPECT_EQ(lines[i]["status"], status);
  }
  EXPECT_FALSE(lines[0].contains("body"));
  EXPECT_FALSE(lines[1].contains("body"));
  EXPECT_THAT(readFile(dir.file("requests.jsonl")), Not(HasSubstr("not-the-secret")));
  EXPECT_EQ(lines[2].value("body", ""), query);
  EXPECT_EQ(program.stop(), 0);
}

std::vector<Json> requestLogLines(const std::string& path) {
  std::vector<Json> lines;
  std::istringstream text(readFile(path));
  for (std::string line; std::getline(text, line);) lines.push_back(Json::parse(line));
  return lines;
}

// Reads and Resource Graph are throttled each only when asked for, as Azure counts them: a
// bucket of reads with the remaining count on every answer, a number of queries per window
// with both quota headers, and 429 with Retry-After past either.
TEST(KxFakeArmProgram, ThrottlesEachBudgetOnlyWhenAsked) {
  const Json estate = loadEstateFile(std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json");
  const std::string tenant = estate["tenants"][0]["tenantId"];
  const Json& principal = estate["tenants"][0]["principals"][0];
  const std::string subscription = estate["subscriptions"][0]["subscriptionId"];
  const struct {
    std::vector<std::string> flags;
    bool reads, graph;
  } cases[] = {
      {{"--read-budget", "2", "--refill", "0"}, true, false},
      {{"--graph-quota", "2", "--graph-window", "60"}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags[0]);
    ServedProgram program(c.flags);
    httplib::Client client(program.url());
    auto token = client.Post(
        "/" + tenant + "/oauth2/token",
        "grant_type=client_credentials&client_id=" + principal["appId"].get<std::string>() +
            "&client_secret=" + principal["secret"].get<std::string>() +
            "&resource=https%3A%2F%2Fmanagement.core.windows.net%2F",
        "application/x-www-form-urlencoded");
    ASSERT_TRUE(token && token->status == 200);
    const httplib::Headers bearer = {
        {"Authorization", "Bearer " + Json::parse(token->body)["access_token"].get<std::string>()}};

    // Each kind: its request, whether it is throttled here, and the header of its count.
    const struct {
      std::function<httplib::Result()> send;
      bool throttled;
      const char* remaining;
    } kinds[] = {
        {[&] {
           return client.Get(
               "/subscriptions/" + subscription + "/resourcegroups?api-version=2021-04-01", bearer);
         },
         c.reads, "x-ms-ratelimit-remaining-subscription-reads"},
        {[&] {
           return client.Post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                              bearer, R"({"query": "Resources | limit 1"})", "application/json");
         },
         c.graph, "x-ms-user-quota-remaining"},
    };
    for (const auto& kind : kinds) {
      SCOPED_TRACE(kind.remaining);
      for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        auto answer = kind.send();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, kind.throttled && i == 2 ? 429 : 200);
        EXPECT_EQ(answer->has_header(kind.remaining), kind.throttled);
        if (!kind.throttled) continue;
        EXPECT_EQ(answer->get_header_value(kind.remaining), std::to_string(std::max(1 - i, 0)));
        EXPECT_EQ(answer->has_header("Retry-After"), i == 2);
      }
    }
    if (c.graph) {
      auto query =
          client.Post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01", bearer,
                      R"({"query": "Resources | limit 1"})", "application/json");
      ASSERT_TRUE(query);
      EXPECT_TRUE(std::regex_match(query->get_header_value("x-ms-user-quota-resets-after"),
                                   std::regex("00:0[01]:[0-5][0-9]")))
          << query->get_header_value("x-ms-user-quota-resets-after");
    }
    EXPECT_EQ(program.stop(), 0);
  }
}

// --latency-ms delays every answer as a distant endpoint would, each request on its own: four
// sent at once are all being served (in the request log, written when a request is served
// half-way through its round trip) before the first answer comes back.
TEST(KxFakeArmProgram, DelaysEveryAnswerWithoutHoldingTheOthersUp) {
  kx::test::TempDir dir;
  constexpr auto kLatency = std::chrono::milliseconds(1600);
  ServedProgram program({"--latency-ms", std::to_string(kLatency.count()), "--request-log",
                         dir.file("requests.jsonl")});
  ASSERT_THAT(program.url(), ::testing::StartsWith("http://127.0.0.1:"));
  std::atomic<bool> first{true};
  std::atomic<std::size_t> servedBeforeFirstAnswer{0};
  std::vector<std::chrono::steady_clock::duration> took(4);
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < took.size(); ++i) {
    clients.emplace_back([&, i] {
      httplib::Client client(program.url());
      client.set_read_timeout(std::chrono::seconds(30));
      const auto start = std::chrono::steady_clock::now();
      auto answer = client.Get("/subscriptions?api-version=2022-12-01");
      took[i] = std::chrono::steady_clock::now() - start;
      if (answer && first.exchange(false))
        servedBeforeFirstAnswer = requestLogLines(dir.file("requests.jsonl")).size();
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(servedBeforeFirstAnswer, took.size());
  for (const auto& duration : took) EXPECT_GE(duration, kLatency);
  EXPECT_EQ(program.stop(), 0);
}

}  // namespace
}  // namespace fakearm
