#pragma once
// The files one command reads and writes, so that no output replaces an input or another
// output: `kx-discover --json discovery.yaml discovery.yaml` would otherwise overwrite its own
// configuration with the report.
//
// Two names are the same file when they reach the same existing file (links and other
// spellings included: device and inode compared), or, for a file not there yet, when they
// resolve to the same absolute path.  A character device or FIFO is written into, never
// replaced, so it may be named more than once (`--json /dev/null --html /dev/null`).
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxdiscover {

/// An output names the same file as an input or an earlier output.
class OutputPathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OutputPaths {
 public:
  /// A file the command reads; `what` names it in messages ("the configuration").
  void input(std::string what, const std::filesystem::path& path);
  /// A file the command writes.
  /// @throws OutputPathError when it is the same file as an input or an earlier output.
  void output(std::string what, const std::filesystem::path& path);

 private:
  struct Entry {
    std::string what;
    std::filesystem::path path;
    bool input = false;
  };
  std::vector<Entry> entries_;
};

/// True when `a` and `b` name the same file that writing one would replace (see above).
bool sameOutputFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kxdiscover
