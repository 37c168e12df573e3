#include "common/output_paths.hpp"

#include <sys/stat.h>

#include <optional>
#include <system_error>

#include "collab/log_text.hpp"

namespace kxdiscover {

namespace fs = std::filesystem;

namespace {

struct Identity {
  std::optional<struct stat> existing;
  fs::path resolved;
};

Identity identify(const fs::path& path) {
  Identity id;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) id.existing = st;
  std::error_code ec;
  id.resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) id.resolved = fs::absolute(path, ec).lexically_normal();
  return id;
}

bool special(const Identity& id) {
  return id.existing && (S_ISCHR(id.existing->st_mode) || S_ISFIFO(id.existing->st_mode));
}

std::string quoted(const fs::path& path) {
  return "'" + collab::escapeControls(path.string()) + "'";
}

}  // namespace

bool sameOutputFile(const fs::path& a, const fs::path& b) {
  const Identity x = identify(a);
  const Identity y = identify(b);
  if (special(x) || special(y)) return false;
  if (x.existing && y.existing)
    return x.existing->st_dev == y.existing->st_dev && x.existing->st_ino == y.existing->st_ino;
  return !x.existing && !y.existing && x.resolved == y.resolved;
}

void OutputPaths::input(std::string what, const fs::path& path) {
  entries_.push_back(Entry{std::move(what), path, true});
}

void OutputPaths::output(std::string what, const fs::path& path) {
  for (const Entry& entry : entries_) {
    if (!sameOutputFile(entry.path, path)) continue;
    throw OutputPathError(what + " " + quoted(path) + " is the same file as " + entry.what + " " +
                          quoted(entry.path) + (entry.input ? ", which it would replace" : ""));
  }
  entries_.push_back(Entry{std::move(what), path, false});
}

}  // namespace kxdiscover
