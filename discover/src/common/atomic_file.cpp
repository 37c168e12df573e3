#include "common/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kxdiscover {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const fs::path& path, const std::string& what, int error) {
  throw std::runtime_error("cannot write " + path.string() + ": " + what + " (" +
                           std::strerror(error) + ")");
}

}  // namespace

AtomicFile::AtomicFile(fs::path path)
    : path_(std::move(path)), temporary_(path_.string() + ".tmp-" + std::to_string(::getpid())) {
  if (path_.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(path_.parent_path(), ec);
    if (ec)
      kxdiscover::fail(path_, "cannot create folder " + path_.parent_path().string(), ec.value());
  }
  fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) kxdiscover::fail(path_, "cannot create " + temporary_.string(), errno);
}

AtomicFile::~AtomicFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temporary_.c_str());
}

void AtomicFile::fail(int error) {
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
  kxdiscover::fail(path_, "writing failed", error);
}

void AtomicFile::write(std::string_view content) {
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t n = ::write(fd_, content.data() + written, content.size() - written);
    if (n < 0 && errno != EINTR) fail(errno);
    if (n > 0) written += static_cast<std::size_t>(n);
  }
}

void AtomicFile::commit() {
  if (::fsync(fd_) != 0) fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary_.c_str());
    kxdiscover::fail(path_, "writing failed", error);
  }
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary_.c_str());
    kxdiscover::fail(path_, "writing failed", error);
  }
}

void writeFileAtomically(const fs::path& path, std::string_view content) {
  AtomicFile file(path);
  file.write(content);
  file.commit();
}

}  // namespace kxdiscover
