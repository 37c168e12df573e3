// The command's output files: what the writer does with each kind of file it is pointed at
// (a FIFO with a reader: the cassette of hostile_outputs_test), which names an output may not
// share, and the temporary files a second Ctrl-C must not leave behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "common/atomic_file.hpp"
#include "common/output_paths.hpp"
#include "common/temporary_files.hpp"
#include "run/interrupt.hpp"

namespace kxdiscover {
namespace {

namespace fs = std::filesystem;

class OutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kx-outputs-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static mode_t kindOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
  }
  // Names in the folder that hold ".tmp-": a temporary file left behind.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
      if (entry.path().filename().string().find(".tmp-") != std::string::npos)
        out.push_back(entry.path().string());
    return out;
  }

  fs::path dir_;
};

TEST_F(OutputFiles, EachKindOfTargetIsWrittenThroughReplacedOrRefused) {
  // One folder holding every kind of target, each written once.
  std::ofstream(dir_ / "r.json") << "old";
  // A second name of the file about to be replaced: a reader that opened the old file keeps
  // it whole only when the new one is written beside it and renamed over, never in place.
  fs::create_hard_link(dir_ / "r.json", dir_ / "r-as-read.json");
  std::ofstream(dir_ / "target.json") << "old";
  fs::create_symlink("target.json", dir_ / "link.json");
  fs::create_directories(dir_ / "sub");
  fs::create_symlink("sub/later.json", dir_ / "dangling.json");
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  fs::create_directories(dir_ / "folder.json");
  struct Case {
    fs::path target;
    const char* error;  // empty: written
    mode_t kindAfter;
    fs::path holds;  // the file that then holds the content
  };
  const Case cases[] = {
      {dir_ / "new" / "r.json", "", S_IFREG, dir_ / "new" / "r.json"},
      {dir_ / "r.json", "", S_IFREG, dir_ / "r.json"},
      {dir_ / "link.json", "", S_IFLNK, dir_ / "target.json"},
      {dir_ / "dangling.json", "", S_IFLNK, dir_ / "sub" / "later.json"},
      {"/dev/null", "", S_IFCHR, {}},
      {"/dev/full", "No space left on device", S_IFCHR, {}},
      {dir_ / "fifo", "a FIFO that nothing reads", S_IFIFO, {}},
      {dir_ / "folder.json", "it is a folder", S_IFDIR, {}},
  };
  const std::string content = "{\"report\": 1}\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    std::string error;
    try {
      writeFileAtomically(c.target, content);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (*c.error) {
      EXPECT_NE(error.find("cannot write " + c.target.string()), std::string::npos) << error;
    } else {
      EXPECT_EQ(error, "");
    }
    EXPECT_EQ(kindOf(c.target), c.kindAfter);
    if (!c.holds.empty()) {
      EXPECT_EQ(read(c.holds), content);
    }
  }
  EXPECT_EQ(read(dir_ / "r-as-read.json"), "old");
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(OutputFiles, AnOutputMayNotReplaceAnInputOrAnotherOutput) {
  std::ofstream(dir_ / "discovery.yaml") << "kind: discovery\n";
  fs::create_symlink("discovery.yaml", dir_ / "alias.yaml");
  fs::create_hard_link(dir_ / "discovery.yaml", dir_ / "hard.yaml");
  struct Case {
    const char* what;
    std::vector<std::string> outputs;  // relative to the folder, or absolute
    bool refused;
  };
  const Case cases[] = {
      {"the configuration itself", {"discovery.yaml"}, true},
      {"another spelling", {"./sub/../discovery.yaml"}, true},
      {"a symbolic link to it", {"alias.yaml"}, true},
      {"a hard link to it", {"hard.yaml"}, true},
      {"two outputs, one file", {"report.json", "./report.json"}, true},
      {"distinct files", {"report.json", "report.html", "run.cassette.json"}, false},
      {"a device twice", {"/dev/null", "/dev/null"}, false},
  };
  fs::create_directories(dir_ / "sub");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OutputPaths paths;
    paths.input("the configuration", dir_ / "discovery.yaml");
    bool refused = false;
    try {
      for (const auto& output : c.outputs) paths.output("output", dir_ / output);
    } catch (const OutputPathError& e) {
      refused = true;
      EXPECT_NE(std::string(e.what()).find("is the same file as"), std::string::npos) << e.what();
    }
    EXPECT_EQ(refused, c.refused);
  }
}

TEST_F(OutputFiles, ASignalThatEndsTheProcessRemovesItsTemporaryFilesFirst) {
  // The run's second stop signal, and the signal a worker's parent ends it with.
  const std::pair<bool, int> cases[] = {{false, SIGTERM}, {true, kEndWorkerSignal}};
  for (const auto& [worker, ending] : cases) {
    SCOPED_TRACE(ending);
    const fs::path temporary = dir_ / "report.json.tmp-1";
    const fs::path kept = dir_ / "report.json";
    std::ofstream(temporary) << "half";
    std::ofstream(kept) << "whole";
    const pid_t child = ::fork();
    if (child == 0) {
      // Only what a signal handler's process may do after fork: no gtest here.
      std::optional<InterruptGuard> guard;
      if (worker) {
        installWorkerStopHandlers();
      } else {
        guard.emplace();
      }
      TemporaryFile registration(temporary);
      ::raise(SIGINT);
      if (!stopRequested() || !registration.registered()) ::_exit(10);
      ::raise(worker ? SIGINT : SIGTERM);  // a worker takes a repeated stop in its stride
      if (worker) ::raise(ending);
      ::_exit(11);  // not reached: the process ends of `ending`
    }
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFSIGNALED(raw)) << "exit status " << WEXITSTATUS(raw);
    EXPECT_EQ(WTERMSIG(raw), ending);
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_EQ(read(kept), "whole");
  }
}

}  // namespace
}  // namespace kxdiscover
