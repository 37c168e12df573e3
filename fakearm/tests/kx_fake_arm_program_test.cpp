// The kx-fake-arm program as a script uses it: generate files, serve them, read the base URL
// from standard output, stop it with SIGTERM.
#include <gmock/gmock.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "fakearm/estate.hpp"
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

// `kx-fake-arm serve` over the example estate with `extra` options, its base URL read from its
// standard output; stopped with SIGTERM by `stop()`, which returns its exit status.
class ServedProgram {
 public:
  explicit ServedProgram(std::vector<std::string> extra = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {KX_FAKE_ARM_PROGRAM, "serve",
                                     std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char c = 0;
    while (pid_ != 0 && read(out[0], &c, 1) == 1 && c != '\n') url_ += c;
    close(out[0]);
  }
  ~ServedProgram() { stop(); }
  const std::string& url() const { return url_; }
  int stop() {
    if (pid_ == 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = 0;
  std::string url_;
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

}  // namespace
}  // namespace fakearm
