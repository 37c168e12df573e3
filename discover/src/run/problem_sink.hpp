#pragma once
// A log sink that shows each line on standard error as a problem line of the command:
// "kx-discover: " + the message as the log file shows it (collab::safeLogText).
#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <ostream>

namespace kxdiscover {

class ProblemSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ProblemSink(std::ostream& out) : out_(out) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override { out_.flush(); }

 private:
  std::ostream& out_;
};

}  // namespace kxdiscover
