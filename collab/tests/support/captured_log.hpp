#pragma once
// Captures what a named logger writes while the object lives.
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "collab/log.hpp"

namespace kx::test {

struct LogLine {
  spdlog::level::level_enum level;
  std::string text;
};

class CapturedLog {
 public:
  explicit CapturedLog(const std::string& logger)
      : logger_(collab::getLogger(logger)), sink_(std::make_shared<Sink>()) {
    savedLevel_ = logger_->level();
    logger_->set_level(spdlog::level::trace);
    logger_->sinks().push_back(sink_);
  }
  ~CapturedLog() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger_->set_level(savedLevel_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::vector<LogLine> lines() const {
    std::lock_guard lock(sink_->linesMutex);
    return sink_->lines;
  }
  std::vector<std::string> at(spdlog::level::level_enum level) const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      if (line.level == level) out.push_back(line.text);
    }
    return out;
  }

 private:
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    std::mutex linesMutex;
    std::vector<LogLine> lines;

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      std::lock_guard lock(linesMutex);
      lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}
  };

  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<Sink> sink_;
  spdlog::level::level_enum savedLevel_;
};

}  // namespace kx::test
