#pragma once
// The sink behind each handler of the logging configuration: one log file, appended to.
//
// Each line is written with a single write(2) as it is logged, the message part passed
// through `safeLogText` first (secrets redacted, control characters escaped), so one log call
// is one line of the file whatever its text holds.  A write that fails or comes up short (a
// full disk, a file size limit, an I/O error) is not an exception in the middle of the
// discovery: the sink keeps the reason, writes nothing more to that file (what it holds stays
// a clean run of whole lines up to the failure) and the driver asks `failure()` at the end.
#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <optional>
#include <string>

namespace collab::detail {

class LogFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  /// Opens `path` for appending, creating it and its missing folders.  A symbolic link is
  /// followed, a character device or a FIFO (with a reader) written into as it is; a folder,
  /// a block device, a socket or a FIFO nobody reads is refused.
  /// @throws std::runtime_error with the reason.
  explicit LogFileSink(std::string path);
  ~LogFileSink() override;
  LogFileSink(const LogFileSink&) = delete;
  LogFileSink& operator=(const LogFileSink&) = delete;

  const std::string& path() const noexcept { return path_; }
  /// The error number of the first write that failed, absent while every line was written.
  std::optional<int> failure();

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::string path_;
  int fd_ = -1;
  bool regular_ = false;
  std::optional<int> failure_;
};

}  // namespace collab::detail
