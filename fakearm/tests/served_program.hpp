#pragma once
// `kx-fake-arm serve` as a script runs it: a real process serving an estate, its base URL read
// from its standard output; stopped with SIGTERM by `stop()` (or when destroyed), which
// returns its exit status.  Needs KX_FAKE_ARM_PROGRAM, the program's path.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace fakearm::test {

class ServedProgram {
 public:
  ServedProgram(const std::string& estate, const std::vector<std::string>& extra = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {KX_FAKE_ARM_PROGRAM, "serve", estate};
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
  ServedProgram(const ServedProgram&) = delete;
  ServedProgram& operator=(const ServedProgram&) = delete;

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

}  // namespace fakearm::test
