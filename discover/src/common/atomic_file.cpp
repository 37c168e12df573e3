#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kxdiscover {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const fs::path& path, const std::string& what, int error = 0) {
  std::string message = "cannot write " + path.string() + ": " + what;
  if (error != 0) message += std::string(" (") + std::strerror(error) + ")";
  throw std::runtime_error(message);
}

// The file `path` names once its symbolic links are followed (a link's target may not exist).
fs::path followLinks(const fs::path& path) {
  fs::path at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::error_code ec;
    const fs::path link = fs::read_symlink(at, ec);
    if (ec) fail(path, "cannot read the symbolic link " + at.string(), ec.value());
    at = link.is_absolute() ? link : at.parent_path() / link;
  }
  fail(path, "too many levels of symbolic links", ELOOP);
}

std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// A character device or FIFO, opened to be written into as it is.
int openSpecial(const fs::path& path, const fs::path& target) {
  // Not blocking on a FIFO that nothing reads (ENXIO instead); blocking again for the writes.
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (error == ENXIO) fail(path, "it is a FIFO that nothing reads");
    fail(path, "cannot open it", error);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
    ::close(fd);
    fail(path, "it changed while it was opened");
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace

AtomicFile::AtomicFile(fs::path path) : path_(std::move(path)) {
  const fs::path target = followLinks(path_);
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
      fd_ = openSpecial(path_, target);
      return;
    }
    if (!S_ISREG(st.st_mode))
      kxdiscover::fail(path_, "it is " + kindOf(st.st_mode) + ", not replaced");
  }
  if (target.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec)
      kxdiscover::fail(path_, "cannot create folder " + target.parent_path().string(), ec.value());
  }
  target_ = target;
  temporary_ = stagedPath(path_, ::getpid());
  // Registered before it exists: a signal handler that removes a file not made yet is harmless.
  registration_.emplace(temporary_);
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  fd_ = ::open(temporary_.c_str(), flags, 0644);
  if (fd_ < 0 && errno == EEXIST) {
    // Left by an earlier process of the same number; never written through.
    ::unlink(temporary_.c_str());
    fd_ = ::open(temporary_.c_str(), flags, 0644);
  }
  if (fd_ < 0) kxdiscover::fail(path_, "cannot create " + temporary_.string(), errno);
}

AtomicFile::~AtomicFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void AtomicFile::fail(int error) {
  ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  kxdiscover::fail(path_, "writing failed", error);
}

void AtomicFile::write(std::string_view content) {
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t n = ::write(fd_, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) fail(EIO);
    written += static_cast<std::size_t>(n);
  }
}

int AtomicFile::close() {
  // A device or FIFO has taken everything already; a file is flushed to disk first.
  if (!temporary_.empty() && ::fsync(fd_) != 0) fail(errno);
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

void AtomicFile::commit() {
  int error = close();
  if (error == 0 && !temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0)
    error = errno;
  if (error != 0) {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    kxdiscover::fail(path_, "writing failed", error);
  }
}

bool AtomicFile::stage() {
  if (const int error = close(); error != 0) {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    kxdiscover::fail(path_, "writing failed", error);
  }
  return !temporary_.empty();
}

void writeFileAtomically(const fs::path& path, std::string_view content) {
  AtomicFile file(path);
  file.write(content);
  file.commit();
}

fs::path stagedPath(const fs::path& path, pid_t pid) {
  return followLinks(path).string() + ".tmp-" + std::to_string(pid);
}

bool writeFileStaged(const fs::path& path, std::string_view content) {
  AtomicFile file(path);
  file.write(content);
  return file.stage();
}

void placeStaged(const fs::path& path, pid_t pid) {
  const fs::path staged = stagedPath(path, pid);
  if (::rename(staged.c_str(), followLinks(path).c_str()) != 0) {
    const int error = errno;
    ::unlink(staged.c_str());
    fail(path, "cannot put " + staged.string() + " in place", error);
  }
}

void discardStaged(const fs::path& path, pid_t pid) noexcept {
  try {
    ::unlink(stagedPath(path, pid).c_str());
  } catch (...) {
    // A link that cannot be followed: nothing was written through it.
  }
}

}  // namespace kxdiscover
