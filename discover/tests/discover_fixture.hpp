#pragma once
// kx-discover run as a real process, in a scratch folder, against the loopback Azure serving
// tests/data/estate.json; and the outside checks of its outputs: HashiCorp's HCL parser for
// the Terraform files, Python's jsonschema for the report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "collab/json.hpp"
#include "fakearm/estate_server.hpp"
#include "support/hcl_parser.hpp"

extern char** environ;

namespace kxdiscover::test {

namespace fs = std::filesystem;
using collab::Json;

inline const std::string kSource = KX_SOURCE_DIR;
inline const std::string kProd = "5e4d3c2b-1a09-4f8e-9d7c-6b5a4f3e2d1c";
inline const std::string kDev = "0b9f8e7d-6c5b-4a39-8281-706f5e4d3c2b";
/// The principals' secrets in estate.json, handed over as the configuration says.
inline const std::map<std::string, std::string> kSecrets{
    {"KX_TEST_READER_SECRET", "example-reader-secret"},
    {"KX_TEST_NARROW_SECRET", "example-narrow-secret"}};

inline std::string readFile(const fs::path& path) { return kx::test::readFileBytes(path); }

/// The lines of a log file without their time stamps ("2024-05-01 14:03:27.512 ").
inline std::vector<std::string> logLines(const fs::path& path) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);)
    lines.push_back(std::regex_replace(line, stamp, ""));
  return lines;
}

/// Fails the test at the first line where `actual` and the lines of the golden file differ.
inline void expectSameLines(const std::vector<std::string>& actual, const fs::path& golden) {
  const std::vector<std::string> expected = logLines(golden);
  for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
    const std::string got = i < actual.size() ? actual[i] : "<no line>";
    const std::string want = i < expected.size() ? expected[i] : "<no line>";
    if (got != want) {
      ADD_FAILURE() << golden.filename() << " line " << i + 1 << ":\n  expected: " << want
                    << "\n  actual:   " << got;
      return;
    }
  }
}

/// How many times `what` occurs in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

/// The shape of the access tokens the loopback Azure issues.
inline const std::regex kIssuedToken(R"(fakearm\.[0-9a-f]{48})");

struct ProgramResult {
  /// The exit status, or 128 + the signal that ended the process.
  int status = -1;
  std::string out;
  std::string err;
};

/// Where a program's standard output and error go, and the limits it runs under.
struct ProgramIo {
  /// Files opened for writing as its standard output and error; by default stdout.txt and
  /// stderr.txt in its folder, which `wait` reads back.
  std::optional<std::string> out;
  std::optional<std::string> err;
  /// A descriptor to use as standard output (and error, with `pipeBoth`) instead: the write
  /// end of a pipe whose reader is gone, say.
  int outFd = -1;
  bool pipeBoth = false;
  /// RLIMIT_FSIZE in bytes, with SIGXFSZ ignored so that a write past it fails with EFBIG as
  /// on a full disk.
  std::optional<rlim_t> fileSizeLimit;
};

/// kx-discover started in `cwd` with `args`, the environment of the tests without the secrets
/// plus `env` (which replaces a variable of the same name, PATH included), standard output and
/// error going to files in `cwd` (or where `io` says).
class Program {
 public:
  Program(const fs::path& cwd, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& env, const ProgramIo& io = {})
      : cwd_(cwd) {
    // Everything the child needs is built before fork: it may only exec after it.
    std::vector<std::string> argv{KX_DISCOVER_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('='));
      if (!kSecrets.contains(name) && !env.contains(name)) envp.push_back(entry);
    }
    for (const auto& [name, value] : env) envp.push_back(name + "=" + value);
    std::vector<char*> av, ev;
    for (auto& a : argv) av.push_back(a.data());
    for (auto& e : envp) ev.push_back(e.data());
    av.push_back(nullptr);
    ev.push_back(nullptr);
    const std::string out = io.out.value_or((cwd / "stdout.txt").string());
    const std::string err = io.err.value_or((cwd / "stderr.txt").string());
    const std::string dir = cwd.string();

    pid_ = ::fork();
    if (pid_ == 0) {
      const int o =
          io.outFd >= 0 ? io.outFd : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = io.pipeBoth ? o : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
        ::_exit(126);
      if (io.fileSizeLimit) {
        const rlimit limit{*io.fileSizeLimit, *io.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        ::signal(SIGXFSZ, SIG_IGN);
      }
      ::execve(av[0], av.data(), ev.data());
      ::_exit(127);
    }
  }

  pid_t pid() const { return pid_; }

  ProgramResult wait() {
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    return resultOf(raw);
  }

  /// The result once the program ends, or absent when it is still running after `limit`: it
  /// is then killed (a run that ignores a signal must not hang the tests).
  std::optional<ProgramResult> waitAtMost(std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (::waitpid(pid_, &raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        return std::nullopt;
      }
      ::usleep(20000);
    }
    return resultOf(raw);
  }

 private:
  ProgramResult resultOf(int raw) const {
    ProgramResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readFile(cwd_ / "stdout.txt");
    result.err = readFile(cwd_ / "stderr.txt");
    return result;
  }

  fs::path cwd_;
  pid_t pid_ = -1;
};

/// Every file under `folder`, by its path relative to it, with its bytes.
inline std::map<std::string, std::string> filesUnder(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).string()] = readFile(entry.path());
  }
  return files;
}

/// The children of process `parent`, from /proc.
inline std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(entry.path() / "stat");
    // "pid (comm) state ppid ...": the command name may hold spaces, so read after its ')'.
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

/// A fault that holds back requests of `operation` by `delay`: the `nth` matching one and
/// `times` in a row from it (0: all that follow).
inline fakearm::Fault delayFault(const std::string& operation, int nth, int times,
                                 std::chrono::milliseconds delay) {
  fakearm::Fault slow;
  slow.operation = operation;
  slow.nth = nth;
  slow.times = times;
  slow.action = fakearm::Fault::Action::Delay;
  slow.delay = delay;
  return slow;
}

/// A Terraform file read back by the HCL parser; fails the test when it does not parse (or
/// node or the parser is missing) and then answers null.
inline Json parseTerraform(const fs::path& file) { return kx::test::parseHcl(readFile(file)); }

/// The problems Python's jsonschema finds in `report` against docs/report.schema.json, one per
/// line; empty when it is valid.  Fails the test when python3 or jsonschema is missing.
inline std::string reportProblems(const fs::path& report) {
  const fs::path out = report.string() + ".problems";
  const std::string script =
      "import json, sys, jsonschema\n"
      "schema = json.load(open(sys.argv[1]))\n"
      "jsonschema.Draft202012Validator.check_schema(schema)\n"
      "report = json.load(open(sys.argv[2]))\n"
      "for e in jsonschema.Draft202012Validator(schema).iter_errors(report):\n"
      "    print(list(e.absolute_path), e.message)\n";
  const fs::path scriptFile = report.parent_path() / "validate.py";
  std::ofstream(scriptFile) << script;
  const int rc = kx::test::runShell("python3 '" + scriptFile.string() + "' '" + kSource +
                                    "/docs/report.schema.json' '" + report.string() + "' > '" +
                                    out.string() + "' 2>&1");
  if (rc != 0) {
    ADD_FAILURE() << "the report check did not run (python3-jsonschema comes from "
                     "scripts/setup-deps.sh): "
                  << readFile(out);
    return "not checked";
  }
  return readFile(out);
}

/// Checks that no output of a run in `dir` (every file but the configuration, standard output
/// and error) holds one of `secrets` or an issued token; answers how many outputs it read.
inline std::size_t expectNoSecretOrToken(const fs::path& dir, const ProgramResult& result,
                                         const std::vector<std::string>& secrets) {
  std::vector<std::pair<std::string, std::string>> outputs{{"stdout", result.out},
                                                           {"stderr", result.err}};
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() != "discovery.yaml")
      outputs.emplace_back(entry.path().string(), readFile(entry.path()));
  }
  for (const auto& [name, text] : outputs) {
    SCOPED_TRACE(name);
    for (const auto& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_FALSE(std::regex_search(text, kIssuedToken));
  }
  return outputs.size();
}

/// Each route's prefix by table (the copy's name) and route id; the HCL parser sorts keys, so
/// a comparison of two of these ignores their order.
inline nlohmann::json routePrefixes(const Json& tables) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [name, table] : tables.items()) {
    for (const auto& [id, route] : table.at("routes").items())
      out[name][id] = route.at("address_prefix").get<std::string>();
  }
  return out;
}

/// `report` without what differs between two runs by design: times, the command line and where
/// the outputs went.
inline Json comparable(Json report) {
  for (const char* key : {"started", "finished", "command_line", "outputs"}) report.erase(key);
  report["summary"].erase("seconds");
  return report;
}

class DiscoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("kx-discover-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(kSource + "/discover/tests/data/discovery.yaml", dir_ / "discovery.yaml");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  /// tests/data/estate.json, to change before serving it.
  static Json estate() {
    return fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  }
  void serve(fakearm::ServerOptions options = {}) { serve(estate(), std::move(options)); }
  void serve(const Json& served, fakearm::ServerOptions options = {}) {
    server_.emplace(served, std::move(options));
  }

  /// The endpoint options of the served estate, the installation data and then `args`.
  std::vector<std::string> arguments(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"--data-dir", kSource + "/data"};
    if (server_) {
      all.insert(all.end(), {"--arm-endpoint", server_->baseUrl(), "--login-endpoint",
                             server_->baseUrl() + "/"});
    }
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  ProgramResult run(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = kSecrets,
                    const ProgramIo& io = {}) {
    return Program(dir_, arguments(args), env, io).wait();
  }

  fs::path path(const std::string& relative) const { return dir_ / relative; }

  /// Checks that the Terraform file of every completed VNet of `rep` reads back as the route
  /// tables the report lists, route for route; answers how many files it read.
  std::size_t expectTerraformMatchesReport(const Json& rep) const {
    std::size_t files = 0;
    for (const Json& subscription : rep["subscriptions"]) {
      for (const Json& vnet : subscription["vnets"]) {
        if (vnet["status"] != "completed") continue;
        SCOPED_TRACE(vnet["name"].get<std::string>());
        ++files;
        const Json hcl = parseTerraform(path(vnet["terraform_file"].get<std::string>()));
        if (!hcl.is_object() || !hcl.contains("route_tables")) {
          ADD_FAILURE() << "no route_tables in " << vnet["terraform_file"];
          continue;
        }
        Json fromReport = Json::object();
        for (const Json& table : vnet["route_tables"])
          fromReport[table["copy_name"].get<std::string>()] = table["definition"];
        EXPECT_EQ(routePrefixes(hcl["route_tables"]), routePrefixes(fromReport));
      }
    }
    return files;
  }
  Json report(const std::string& relative = "report.json") const {
    return Json::parse(readFile(path(relative)));
  }

  fs::path dir_;
  std::optional<fakearm::EstateServer> server_;
};

}  // namespace kxdiscover::test
