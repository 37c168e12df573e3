// kx-discover with worker processes (--jobs): the same outputs as one process, line for line
// and byte for byte, on the demo, the test estate (recorded by workers, replayed by one
// process) and a generated estate; output files replaced, never rewritten in place; a worker
// killed mid-VNet or before it reports failing that VNet only, its Terraform file not left; Ctrl-C
// and SIGTERM with workers running leaving complete files, an honest report and no shared folder
// behind.
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>

#include <csignal>
#include <thread>

#include "discover_fixture.hpp"
#include "fakearm/estate_generator.hpp"

namespace kxdiscover::test {
namespace {

// Times, the command line, where the outputs went and the request count (a worker fetches its
// own token) differ between two runs by design.
Json comparable(Json report) {
  for (const char* key : {"started", "finished", "command_line", "outputs"}) report.erase(key);
  for (const char* key : {"seconds", "azure_requests"}) report["summary"].erase(key);
  return report;
}

std::string withoutElapsed(const std::string& err) {
  static const std::regex elapsed(R"(\[\d\d:\d\d\] )");
  return std::regex_replace(err, elapsed, "");
}

// Every file under `folder`, by its path relative to it.
std::map<std::string, std::string> filesUnder(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), folder).string()] = readFile(entry.path());
  }
  return files;
}

// The children of process `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = readFile(entry.path() / "stat");
    // "pid (comm) state ppid ...": the command name may hold spaces, so read after its ')'.
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

// The worker of `parent` whose task's events mention `text`, once one does (10 s at most).
std::optional<pid_t> workerMentioning(pid_t parent, const std::string& text) {
  for (int i = 0; i < 200; ++i) {
    for (pid_t child : childrenOf(parent)) {
      std::error_code ec;
      for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd", ec)) {
        const fs::path target = fs::read_symlink(fd.path(), ec);
        if (ec || target.extension() != ".events") continue;
        if (readFile(target).find(text) != std::string::npos) return child;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

class WorkerTest : public DiscoverTest {
 protected:
  // The run's shared folders go to a TMPDIR of the test's own, to be found if left behind.
  std::map<std::string, std::string> environment(std::map<std::string, std::string> env) {
    fs::create_directories(path("tmp"));
    env["TMPDIR"] = path("tmp").string();
    return env;
  }

  // A slow route-table listing, so that workers are caught in the middle of a VNet.
  void serveSlowly() {
    serve();
    server_->addFault(delayFault("routeTables.listAll", 1, 0, std::chrono::milliseconds(250)));
  }

  // Runs with `jobs` and moves what the run wrote under jobs-<N>/.
  ProgramResult runWith(const std::string& jobs, std::vector<std::string> args,
                        const std::map<std::string, std::string>& env, const std::string& out) {
    args.insert(args.begin(), {"--jobs", jobs, "--json", "report.json"});
    const ProgramResult r = run(args, environment(env));
    const fs::path into = path("jobs-" + jobs);
    fs::create_directories(into);
    fs::rename(path(out), into / "out");
    fs::rename(path("report.json"), into / "report.json");
    EXPECT_TRUE(fs::is_empty(path("tmp"))) << "a shared folder was left behind";
    return r;
  }

  // The outputs of one process (in jobs-1/) and of workers (in `many`'s folder).
  void expectSameOutputs(const ProgramResult& one, const ProgramResult& many,
                         const std::string& jobs) {
    expectSameOutputs(one, path("jobs-1"), many, path("jobs-" + jobs));
  }
  void expectSameOutputs(const ProgramResult& one, const fs::path& a, const ProgramResult& many,
                         const fs::path& b) {
    EXPECT_EQ(one.status, many.status) << many.err;
    for (const char* log : {"out/log/kx.log", "out/log/kx.alert.log"}) {
      SCOPED_TRACE(log);
      EXPECT_EQ(logLines(a / log), logLines(b / log));
    }
    // The Terraform files byte for byte, and no other file.
    const auto terraform = filesUnder(a / "out/terraform");
    EXPECT_GT(terraform.size(), 2u);
    EXPECT_EQ(filesUnder(b / "out/terraform"), terraform);
    const Json single = Json::parse(readFile(a / "report.json"));
    const Json workers = Json::parse(readFile(b / "report.json"));
    EXPECT_EQ(comparable(workers), comparable(single));
    EXPECT_EQ(withoutElapsed(many.err), withoutElapsed(one.err));
    // A worker's token is one more request than one process sends.
    EXPECT_GE(workers["summary"]["azure_requests"], single["summary"]["azure_requests"]);
  }
};

TEST_F(WorkerTest, WorkersWriteWhatOneProcessWrites) {
  struct Case {
    const char* what;
    const char* jobs;
    const char* out;                                  // the configuration's log_output
    std::function<std::vector<std::string>()> setUp;  // the arguments after the options
    std::map<std::string, std::string> env;
  };
  const fakearm::GeneratedEstate generated = [] {
    fakearm::EstateParams params;
    params.seed = 17;
    params.subscriptions = 3;
    params.vnets = 30;
    params.configuredVnets = 7;
    params.routeTables = 24;
    return fakearm::generateEstate(params);
  }();
  const std::string demo = kSource + "/examples/demo/";
  const Case cases[] = {
      {"the demo, replayed",
       "4",
       "demo-out",
       [&] {
         return std::vector<std::string>{"--replay", demo + "demo.cassette.json",
                                         demo + "discovery.yaml"};
       },
       {}},
      {"a generated estate", "3", "out",
       [&] {
         server_.emplace(generated.estate);
         std::ofstream(path("generated.yaml")) << generated.config;
         return std::vector<std::string>{"generated.yaml"};
       },
       generated.secrets},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> args = c.setUp();
    const ProgramResult one = runWith("1", args, c.env, c.out);
    ASSERT_EQ(one.status, 0) << one.err;
    // The files of the first run stand where the second writes; a reader holding them (here
    // a second link) must keep the old content: files are replaced, never rewritten in place.
    const Json written = Json::parse(readFile(path("jobs-1/report.json")))["outputs"]["terraform"];
    for (const Json& file : written) {
      fs::create_directories(path(file.get<std::string>()).parent_path());
      std::ofstream(path(file.get<std::string>())) << "old";
      fs::create_hard_link(path(file.get<std::string>()),
                           path("held-" + fs::path(file.get<std::string>()).filename().string()));
    }
    const ProgramResult many = runWith(c.jobs, args, c.env, c.out);
    expectSameOutputs(one, many, c.jobs);
    for (const Json& file : written)
      EXPECT_EQ(readFile(path("held-" + fs::path(file.get<std::string>()).filename().string())),
                "old");
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().starts_with("held-")) fs::remove(entry.path());
    }
    fs::remove_all(path("jobs-1"));
    fs::remove_all(path(std::string("jobs-") + c.jobs));
    server_.reset();
  }
}

TEST_F(WorkerTest, ACassetteRecordedByWorkersReplaysInOneProcess) {
  serve();
  const ProgramResult recorded =
      runWith("4", {"--record", "run.cassette.json", "discovery.yaml"}, kSecrets, "out");
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  server_.reset();
  const ProgramResult replayed =
      runWith("1", {"--replay", "run.cassette.json", "discovery.yaml"}, {}, "out");
  expectSameOutputs(replayed, path("jobs-1"), recorded, path("jobs-4"));
}

// Waits (10 s at most) until a file whose name starts with `prefix` is closed after writing in
// the folder `watch` watches (an inotify descriptor).
bool awaitWritten(int watch, const std::string& prefix) {
  alignas(inotify_event) char buffer[4096];
  for (int i = 0; i < 1000; ++i) {
    pollfd ready{watch, POLLIN, 0};
    if (::poll(&ready, 1, 10) <= 0) continue;
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).starts_with(prefix)) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return false;
}

TEST_F(WorkerTest, AKilledWorkerFailsItsVnetAndTheOthersComplete) {
  // Killed in the middle of its VNet, or once its Terraform file is written but before it
  // reports its result: either way its VNet failed and no file of it is left.
  for (const bool afterItsFile : {false, true}) {
    SCOPED_TRACE(afterItsFile ? "after its Terraform file" : "in the middle of its VNet");
    ProgramResult r;
    // The kill after the file races the worker's last few steps: when the worker wins (it
    // ended before the kill), the run is tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
      fs::remove_all(path("out"));
      fs::create_directories(path("out/terraform/prod"));
      const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      ASSERT_GE(::inotify_add_watch(watch, path("out/terraform/prod").c_str(), IN_CLOSE_WRITE), 0);
      serveSlowly();
      Program program(dir_,
                      arguments({"--jobs", "4", "--json", "report.json", "--html", "report.html",
                                 "discovery.yaml"}),
                      environment(kSecrets));
      const std::optional<pid_t> worker = workerMentioning(program.pid(), "Vnet Name : spoke-a");
      ASSERT_TRUE(worker) << "no worker took spoke-a";
      if (afterItsFile) {
        EXPECT_TRUE(awaitWritten(watch, "spoke-a.tfvars"));
      }
      ::kill(*worker, SIGKILL);
      ::close(watch);
      r = program.wait();
      server_.reset();
      if (r.err.find("killed by signal 9") != std::string::npos) break;
    }

    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("VNet spoke-a: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("its worker process was killed by signal 9"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("3 discovered, 1 not found, 1 failed\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(path("tmp")));
    for (const auto& entry : fs::directory_iterator(path("out/terraform/prod")))
      EXPECT_FALSE(entry.path().filename().string().starts_with("spoke-a.")) << entry.path();

    EXPECT_EQ(reportProblems(path("report.json")), "");
    const Json rep = report();
    EXPECT_EQ(rep["status"], "failed");
    EXPECT_EQ(rep["summary"]["vnets_failed"], 1);
    EXPECT_EQ(rep["summary"]["vnets_skipped"], 0);
    ASSERT_EQ(rep["failures"].size(), 1u);
    EXPECT_EQ(rep["failures"][0]["vnet"], "spoke-a");
    const Json& prod = rep["subscriptions"][0];
    EXPECT_EQ(prod["status"], "completed");
    for (std::size_t i : {0u, 2u}) EXPECT_EQ(prod["vnets"][i]["status"], "completed") << i;
    EXPECT_EQ(prod["vnets"][1]["status"], "failed");
    EXPECT_EQ(prod["vnets"][1]["terraform_file"], nullptr);
    EXPECT_EQ(rep["subscriptions"][1]["vnets"][0]["status"], "completed");
    EXPECT_EQ(expectTerraformMatchesReport(rep), 3u);
    EXPECT_EQ(rep["outputs"]["terraform"].size(), 3u);

    const auto log = logLines(path("out/log/kx.log"));
    const auto failure = std::find_if(log.begin(), log.end(), [](const std::string& line) {
      return line.starts_with("[error]   **Error** VNet spoke-a not discovered: ");
    });
    ASSERT_NE(failure, log.end());
    // Its lines up to its death come first, after the VNet before it and before the one after.
    const auto banner = std::find_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find("Vnet Name : spoke-a") != std::string::npos;
    });
    const auto next = std::find_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find("Vnet Name : spoke-b") != std::string::npos;
    });
    EXPECT_LT(banner, failure);
    EXPECT_LT(failure, next);
    EXPECT_NE(readFile(path("report.html")).find("killed by signal 9"), std::string::npos);
  }
}

TEST_F(WorkerTest, AFailureTextFromAzureIsEscapedInThePage) {
  fakearm::Fault hostile;
  hostile.operation = "virtualNetworks.listAll";
  hostile.status = 403;
  hostile.code = "Denied<script>alert(1)</script>";
  serve();
  server_->addFault(hostile);
  const ProgramResult r =
      run({"--jobs", "2", "--html", "report.html", "discovery.yaml"}, environment(kSecrets));
  EXPECT_EQ(r.status, 3) << r.err;
  const std::string page = readFile(path("report.html"));
  EXPECT_NE(page.find("Denied&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<script>alert(1)"), std::string::npos);
}

TEST_F(WorkerTest, AStopSignalWithWorkersRunningLeavesCompleteFiles) {
  const struct {
    int signal;
    int status;
  } cases[] = {{SIGINT, 130}, {SIGTERM, 143}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    serveSlowly();
    Program program(dir_, arguments({"--jobs", "2", "--json", "report.json", "discovery.yaml"}),
                    environment(kSecrets));
    const fs::path first = path("out/terraform/prod/hub-vnet.tfvars");
    for (int i = 0; i < 400 && !fs::exists(first); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(fs::exists(first)) << "the run did not finish a VNet";
    ::kill(program.pid(), c.signal);
    const ProgramResult r = program.wait();

    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.out.find("discovery interrupted"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(path("tmp"))) << "the shared folder was left behind";
    EXPECT_TRUE(childrenOf(program.pid()).empty());
    EXPECT_EQ(reportProblems(path("report.json")), "");
    const Json rep = report();
    EXPECT_EQ(rep["status"], "interrupted");
    // The subscription cut short says so; every file written is whole and in the report.
    EXPECT_EQ(rep["subscriptions"][0]["status"], "interrupted");
    EXPECT_EQ(rep["subscriptions"][0]["vnets"][0]["status"], "completed");
    std::set<std::string> reported;
    for (const Json& file : rep["outputs"]["terraform"])
      reported.insert(fs::weakly_canonical(path(file.get<std::string>())).string());
    for (const auto& entry : fs::recursive_directory_iterator(path("out"))) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
      if (entry.path().extension() == ".tfvars") {
        EXPECT_TRUE(reported.contains(fs::weakly_canonical(entry.path()).string())) << entry.path();
      }
    }
    EXPECT_EQ(expectTerraformMatchesReport(rep), reported.size());
    const auto log = logLines(path("out/log/kx.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("**Alert** run interrupted (signal " + std::to_string(c.signal)),
              std::string::npos)
        << log.back();
    fs::remove_all(path("out"));
    fs::remove(path("report.json"));
    server_.reset();
  }
}

}  // namespace
}  // namespace kxdiscover::test
