#pragma once
// What the fuzz checks share: one failure type and the list of inputs the ordinary test
// binaries replay.
//
// A check takes one input and returns normally when the code under test behaved (it accepted
// the input, or refused it the documented way); anything else throws `CheckFailure` naming the
// broken promise.  The libFuzzer targets call the checks and abort on a failure; the gtest
// binaries call the same checks over the committed seeds and every crasher ever found, so
// plain CI replays them without a clang build.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kx::fuzz {

class CheckFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

inline void expect(bool condition, const std::string& promise) {
  if (!condition) throw CheckFailure(promise);
}

inline std::string readInput(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The committed inputs of `target`: its seeds and its regressions (crashers found by fuzzing),
/// under `root`/fuzz, sorted by path.
inline std::vector<std::filesystem::path> committedInputs(const std::filesystem::path& root,
                                                          std::string_view target) {
  std::vector<std::filesystem::path> files;
  for (const char* kind : {"seeds", "regressions"}) {
    const auto dir = root / "fuzz" / kind / target;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().filename() != "README.md") {
        files.push_back(entry.path());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace kx::fuzz
