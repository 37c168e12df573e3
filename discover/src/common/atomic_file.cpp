#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/temporary_files.hpp"

namespace kxdiscover {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const fs::path& path, const std::string& what, int error = 0) {
  std::string message = "cannot write " + path.string() + ": " + what;
  if (error != 0) message += std::string(" (") + std::strerror(error) + ")";
  throw std::runtime_error(message);
}

// Every byte of `content` to `fd`; 0 or the error number of the write that failed.
int writeAll(int fd, std::string_view content) {
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
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

// A character device or FIFO: written into, never replaced.
void writeInto(const fs::path& path, const fs::path& target, std::string_view content) {
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
  int error = writeAll(fd, content);
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) fail(path, "writing failed", error);
}

// A regular file: a temporary beside it, renamed over it.
void replace(const fs::path& path, const fs::path& target, std::string_view content) {
  if (target.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) fail(path, "cannot create folder " + target.parent_path().string(), ec.value());
  }
  const fs::path temporary = target.string() + ".tmp-" + std::to_string(::getpid());
  // Registered before it exists: a signal handler that removes a file not made yet is harmless.
  const TemporaryFile registration(temporary);
  const int openFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(temporary.c_str(), openFlags, 0644);
  if (fd < 0 && errno == EEXIST) {
    // Left by an earlier process of the same number; never written through.
    ::unlink(temporary.c_str());
    fd = ::open(temporary.c_str(), openFlags, 0644);
  }
  if (fd < 0) fail(path, "cannot create " + temporary.string(), errno);

  int error = writeAll(fd, content);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    fail(path, "writing failed", error);
  }
}

}  // namespace

void writeFileAtomically(const fs::path& path, std::string_view content) {
  const fs::path target = followLinks(path);
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return writeInto(path, target, content);
    if (!S_ISREG(st.st_mode)) fail(path, "it is " + kindOf(st.st_mode) + ", not replaced");
  }
  replace(path, target, content);
}

}  // namespace kxdiscover
