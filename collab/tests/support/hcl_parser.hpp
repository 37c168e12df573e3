#pragma once
// Reads rendered Terraform back with HashiCorp's HCL parser (npm @cdktf/hcl2json, run through
// tools/hcl2json.js under node), so tests check their HCL against the real grammar rather than
// against our own idea of it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "collab/json.hpp"

namespace kx::test {

/// The whole file at `path`, or "" when it cannot be read.
inline std::string readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Runs `command` through the shell; its exit status, or -1 when it did not exit normally.
inline int runShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct HclParserRun {
  int rc;  // 0 parsed, 1 does not parse, 2 parser missing, 127 node missing
  std::string out, err;
};

/// Runs the parser over `hcl`, written to a file of its own in the temporary folder.
inline HclParserRun runHclParser(const std::string& hcl) {
  namespace fs = std::filesystem;
  const auto& readFile = readFileBytes;
  const auto& run = runShell;
  const fs::path dir = fs::temp_directory_path() / ("kx-hcl-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "tables.tf", std::ios::binary) << hcl;
  if (run("node --version > /dev/null 2>&1") != 0) return {127, "", ""};
  const std::string script = std::string(KX_SOURCE_DIR) + "/tools/hcl2json.js";
  HclParserRun r;
  r.rc = run("node '" + script + "' '" + (dir / "tables.tf").string() + "' > '" +
             (dir / "out.json").string() + "' 2> '" + (dir / "err.txt").string() + "'");
  r.out = readFile(dir / "out.json");
  r.err = readFile(dir / "err.txt");
  fs::remove_all(dir);
  return r;
}

/// `hcl` as the parser reads it, in JSON.  Fails the test (never skips) when node or the parser
/// is missing or the text does not parse, and then answers null.
inline collab::Json parseHcl(const std::string& hcl) {
  const HclParserRun r = runHclParser(hcl);
  if (r.rc == 127) {
    ADD_FAILURE() << "node is not installed; the HCL parse test needs node and the npm package "
                     "@cdktf/hcl2json (scripts/setup-deps.sh installs both)";
  } else if (r.rc == 2) {
    ADD_FAILURE() << "the HCL parser is not installed (cd tools && npm install): " << r.err;
  } else if (r.rc != 0) {
    ADD_FAILURE() << "the rendered HCL does not parse (exit " << r.rc << "): " << r.err << "\n"
                  << hcl;
  } else {
    return collab::Json::parse(r.out);
  }
  return nullptr;
}

/// `text` as the parser hands it back: literal "${" and "%{" in their escaped form ("$${",
/// "%%{"), as Terraform's JSON syntax writes them; other escapes come back decoded.
inline std::string asParsed(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((text[i] == '$' || text[i] == '%') && i + 1 < text.size() && text[i + 1] == '{')
      out += text[i];
    out += text[i];
  }
  return out;
}

/// `j` without the order of its object keys, to compare with what the parser gives: it sorts
/// them (the order is what golden texts pin).
inline nlohmann::json unordered(const collab::Json& j) { return nlohmann::json::parse(j.dump()); }

}  // namespace kx::test
