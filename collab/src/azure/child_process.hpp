#pragma once
// Running a helper program (the Azure CLI) without a shell, with a time limit.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace collab::azure::detail {

struct ChildResult {
  /// The program could not be started (`startError` holds the errno, ENOENT when it is not
  /// on PATH).
  bool started = false;
  int startError = 0;
  /// It did not end within the time limit and was killed with its process group.
  bool timedOut = false;
  /// Its exit status, or 128 + the signal that ended it.
  int status = -1;
  /// What it wrote, each cut at the limit given.
  std::string out;
  std::string err;
};

/// Runs `argv` (argv[0] looked up on PATH as by execvp; arguments passed as they are, no
/// shell) with standard input from /dev/null and the caller's environment, in a process group
/// of its own, and collects its standard output and error (up to `limit` bytes each; the rest
/// is read and dropped).  When `timeout` passes first, the group is killed.
ChildResult runChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                     std::size_t limit = std::size_t{1} << 20);

}  // namespace collab::azure::detail
