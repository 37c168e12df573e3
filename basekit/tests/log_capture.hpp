#pragma once
// Test helpers: capture a logger's lines in memory, and send them to standard error inside a
// death test so the expected-output regex can see them.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collab/log.hpp"

namespace basekit::testing {

/// Swaps the logger's sinks for one in-memory sink (at debug) and restores sinks and level on
/// destruction.  lines() gives each line as "level|message" (levels: debug, info, warning,
/// error, critical).
class LogCapture {
 public:
  explicit LogCapture(const std::string& name = "basekit") : logger_(collab::getLogger(name)) {
    savedSinks_ = logger_->sinks();
    savedLevel_ = logger_->level();
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(out_);
    sink->set_pattern("%l|%v");
    logger_->sinks() = {sink};
    logger_->set_level(spdlog::level::debug);
  }
  ~LogCapture() {
    logger_->sinks() = savedSinks_;
    logger_->set_level(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// The lines written since the last call.
  std::vector<std::string> lines() {
    std::vector<std::string> result;
    std::istringstream in(out_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    out_.str("");
    return result;
  }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::ostringstream out_;
  std::vector<spdlog::sink_ptr> savedSinks_;
  spdlog::level::level_enum savedLevel_{};
};

/// For the child of a death test: the basekit logger writes "level|message" lines to standard
/// error, and standard output goes there too.
inline void logToStderr() {
  std::fflush(stdout);
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_st>();
  sink->set_pattern("%l|%v");
  collab::getLogger("basekit")->sinks() = {sink};
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

/// Base fixture for Common's tests: basekit's lines captured; death tests re-run the binary.
class CommonTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  LogCapture log_;
};

}  // namespace basekit::testing
