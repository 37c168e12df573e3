#include "log_file_sink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "collab/log_text.hpp"

namespace collab::detail {

LogFileSink::LogFileSink(std::string path) : path_(std::move(path)) {
  const std::filesystem::path file(path_);
  if (file.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) throw std::runtime_error("cannot create its folder: " + ec.message());
  }
  // Not blocking on a FIFO without a reader (ENXIO instead); blocking again for the writes.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
               0644);
  if (fd_ < 0) {
    const int error = errno;
    if (error == ENXIO) throw std::runtime_error("it is a FIFO or socket that nothing reads");
    throw std::runtime_error(std::strerror(error));
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || S_ISBLK(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("it is a block device");
  }
  regular_ = S_ISREG(st.st_mode);
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
}

LogFileSink::~LogFileSink() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<int> LogFileSink::failure() {
  std::lock_guard lock(mutex_);
  return failure_;
}

void LogFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  if (failure_) return;
  const std::string text = safeLogText(std::string_view(msg.payload.data(), msg.payload.size()));
  spdlog::details::log_msg safe(msg);
  safe.payload = spdlog::string_view_t(text.data(), text.size());
  spdlog::memory_buf_t line;
  formatter_->format(safe, line);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = n < 0 ? errno : EIO;
      // The part of the line that went in is taken out again, so the file ends with a whole
      // line; unless someone else appended meanwhile (our end is then not the file's end).
      const auto written = static_cast<off_t>(line.size() - left);
      const off_t end = ::lseek(fd_, 0, SEEK_CUR);
      struct stat st {};
      if (regular_ && written > 0 && end >= written && ::fstat(fd_, &st) == 0 &&
          st.st_size == end) {
        // Best effort: the failure above is what gets reported either way.
        const int truncated = ::ftruncate(fd_, end - written);
        static_cast<void>(truncated);
      }
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace collab::detail
