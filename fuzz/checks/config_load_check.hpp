#pragma once
// The configuration loader: any file is loaded or refused with one ConfigError that names the
// file and a place inside it; nothing else escapes.  A loaded document is labelled with its
// kind, and loading the same bytes again gives the same document.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "collab/config.hpp"
#include "collab/config_error.hpp"

namespace kx::fuzz {

namespace detail {

// A scratch file of this process, removed when the check returns.
class ScratchFile {
 public:
  explicit ScratchFile(std::string_view bytes)
      : path_(std::filesystem::temp_directory_path() /
              ("kx-fuzz-config-" + std::to_string(::getpid()) + ".yaml")) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    expect(static_cast<bool>(out), "cannot write the scratch file " + path_.string());
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Lines as the loader counts them: LF, CR LF and a lone CR each end one.
inline int lineCount(std::string_view text) {
  int lines = 1;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
      ++lines;
  return lines;
}

}  // namespace detail

inline void checkConfigLoad(std::string_view input) {
  const detail::ScratchFile file(input);
  const std::string name = file.path().string();
  std::optional<collab::ConfigDocument> loaded;
  try {
    loaded.emplace(collab::load_from_yaml(file.path()));
  } catch (const collab::ConfigError& e) {
    const std::string message = e.what();
    expect(e.file() == name, "the error names another file: " + message);
    expect(message.rfind(name + ":", 0) == 0,
           "the message does not start with the file: " + message);
    expect(e.line() >= 0 && e.column() >= 0, "a negative place: " + message);
    expect(e.line() > 0 || e.column() == 0, "a column without a line: " + message);
    expect(e.line() <= detail::lineCount(input) + 1, "a line past the end of the file: " + message);
    expect(!e.problem().empty() && !e.expected().empty() && !e.found().empty(),
           "an error without problem, expected or found: " + message);
    return;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("loading threw something other than ConfigError: ") + e.what());
  }
  const collab::Json& data = loaded->data();
  expect(data.is_object(), "a loaded document that is not a map");
  const auto kind = data.find("kind");
  expect(kind != data.end() && kind->is_string() && *kind == loaded->getLabel() &&
             !loaded->getLabel().empty(),
         "the label is not the document's kind");
  // Compared as text: a .nan value is not equal to itself.
  std::string text;
  try {
    text = data.dump();
  } catch (const collab::Json::exception& e) {
    throw CheckFailure(std::string("the loaded document cannot be written as JSON: ") + e.what());
  }
  const collab::ConfigDocument again = collab::load_from_yaml(file.path());
  expect(again.data().dump() == text && again.warnings().size() == loaded->warnings().size(),
         "loading the same file twice gives different documents");
}

}  // namespace kx::fuzz
