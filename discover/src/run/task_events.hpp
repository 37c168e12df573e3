#pragma once
// What a worker process leaves for the parent of the run (worker_pool.hpp): the events of one
// task (a subscription's steps, or one VNet) in the order they happened, and the task's result.
//
// Events are log lines (logger, level, time, the message exactly as logged), progress steps and
// problem lines.  The secrets and tokens the worker obtained, which the parent never sees, are
// redacted from every line, problem and result before it leaves the worker (the parent then
// escapes the lines once, as it writes them).  Each is appended to the task's event file with one
// write as it happens, so a worker that dies leaves every event before its death; the parent
// replays them, in the configured order of the tasks, through its own loggers and progress. Records
// are length-prefixed bytes, never re-encoded: a message holding control characters or bytes that
// are not UTF-8 reaches the log files exactly as a single process would have written it.
//
// The result is a JSON value written as CBOR (text kept byte for byte) to a file of its own,
// renamed into place when complete: a task whose result file is absent did not finish.
#include <spdlog/common.h>
#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "collab/azure/virtual_network.hpp"
#include "collab/json.hpp"

namespace kxdiscover {

struct TaskEvent {
  enum class Kind : char { Line = 'L', Step = 'S', Problem = 'P' };
  Kind kind = Kind::Line;
  /// Line: the logger's name.
  std::string logger;
  /// Line: the level it was logged at.
  spdlog::level::level_enum level = spdlog::level::info;
  /// Line: system clock; Step: steady clock; nanoseconds since the clock's epoch.
  std::int64_t time = 0;
  std::string text;
};

class TaskEventWriter {
 public:
  /// Creates (or truncates) the event file.
  /// @throws std::runtime_error naming the path.
  explicit TaskEventWriter(const std::string& path);
  ~TaskEventWriter();
  TaskEventWriter(const TaskEventWriter&) = delete;
  TaskEventWriter& operator=(const TaskEventWriter&) = delete;

  void line(std::string_view logger, spdlog::level::level_enum level,
            std::chrono::system_clock::time_point time, std::string_view text);
  void step(std::string_view name, std::chrono::steady_clock::time_point time);
  void problem(std::string_view text);
  /// False once a write failed (a full disk): the task is then reported as failed.
  bool good() const noexcept { return good_; }

 private:
  void append(const TaskEvent& event);

  int fd_ = -1;
  bool good_ = true;
  std::mutex mutex_;
};

/// Reads an event file written by `TaskEventWriter`, up to its end or to the first record cut
/// short (the write a dying worker did not finish).
class TaskEventReader {
 public:
  /// An absent file reads as no event.
  explicit TaskEventReader(const std::string& path);
  std::optional<TaskEvent> next();

 private:
  std::ifstream in_;
};

/// A log sink that appends every line its logger passes to an event file.
class EventSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit EventSink(TaskEventWriter& writer) : writer_(writer) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  TaskEventWriter& writer_;
};

/// Writes `result` as CBOR to `path`, whole or not at all.
/// @throws std::runtime_error naming the path.
void writeTaskResult(const std::string& path, const collab::Json& result);
/// The result at `path`; nullopt when the file is absent or not a whole CBOR document.
std::optional<collab::Json> readTaskResult(const std::string& path);

/// A VNet as Resource Manager listed it, for the worker that discovers it.
collab::Json vnetToJson(const collab::azure::VirtualNetwork& vnet);
/// @throws nlohmann::json::exception for a value `vnetToJson` did not make.
collab::azure::VirtualNetwork vnetFromJson(const collab::Json& json);

}  // namespace kxdiscover
