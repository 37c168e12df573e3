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

#include "fakearm/estate.hpp"
#include "support/test_certificate.hpp"

extern char** environ;

namespace fakearm {
namespace {

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

TEST(KxFakeArmProgram, ServesUntilTerminatedAndPrintsItsBaseUrl) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string program = KX_FAKE_ARM_PROGRAM;
  std::string command = "serve";
  std::string estate = std::string(KX_SOURCE_DIR) + "/fakearm/estates/example.json";
  char* argv[] = {program.data(), command.data(), estate.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);

  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  ASSERT_THAT(line, ::testing::StartsWith("http://127.0.0.1:"));

  httplib::Client client(line);
  auto answer = client.Get("/subscriptions?api-version=2015-01-01");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 401);
  EXPECT_THAT(answer->body, ::testing::HasSubstr("AuthenticationFailed"));

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace fakearm
