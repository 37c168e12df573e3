#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace collab::azure::detail {

namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Both ends closed on exec; the child's copies are made by its file actions.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    read = std::make_unique<Fd>(fds[0]);
    write = std::make_unique<Fd>(fds[1]);
  }
  std::unique_ptr<Fd> read;
  std::unique_ptr<Fd> write;
};

// Spawn attributes and file actions, released whatever happens.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                     std::size_t limit) {
  ChildResult result;
  if (argv.empty()) return result;
  Pipe out, err;

  SpawnSetup setup;
  ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&setup.actions, out.write->get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&setup.actions, err.write->get(), STDERR_FILENO);
  // A group of its own, so that a program that starts others (az is a script) ends whole; the
  // signals the caller may ignore or catch are the program's to handle as usual.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigemptyset(&empty);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
  ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  ::posix_spawnattr_setsigmask(&setup.attributes, &empty);
  ::posix_spawnattr_setpgroup(&setup.attributes, 0);
  ::posix_spawnattr_setflags(
      &setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  std::vector<std::string> copies(argv);
  for (auto& a : copies) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
  out.write->reset();
  err.write->reset();
  if (spawned != 0) {
    result.startError = spawned;
    return result;
  }
  result.started = true;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out.read->get(), POLLIN, 0}, {err.read->get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {  // cannot wait for it any more: end it rather than hang
      result.timedOut = true;
      break;
    }
    if (ready == 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        const std::size_t room = limit - std::min(limit, sinks[i]->size());
        sinks[i]->append(buffer, std::min(room, static_cast<std::size_t>(n)));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (result.timedOut) ::kill(-pid, SIGKILL);
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return result;
}

}  // namespace collab::azure::detail
