#pragma once
// The logging configuration of the run: which files the named loggers write, at which levels,
// with which line prefix.
//
// `logging_config` is a plain map the driver (and Common::intLogLocationMgmtVnetCidr) may
// edit before calling apply():
//
//   {
//     "format": "%Y-%m-%d %H:%M:%S.%e [%l] %v",
//     "handlers": {
//       "logConsoleHandler": {"level": "info",    "filename": "./log/kx.log"},
//       "alertHandler":      {"level": "warning", "filename": "./log/kx.alert.log"}
//     },
//     "loggers": {
//       "basekit":  {"level": "info", "handlers": ["logConsoleHandler", "alertHandler"]},
//       "pathbook": {"level": "info", "handlers": ["logConsoleHandler", "alertHandler"]},
//       "netscout": {"level": "info", "handlers": ["logConsoleHandler", "alertHandler"]},
//       "alert":    {"level": "warning", "handlers": ["alertHandler"]}
//     }
//   }
//
// So the main log takes every line at info and above of the three libraries' loggers and the
// alert log their lines at warning and above, plus the alert service's own lines (logger
// "alert", collab/alert.hpp), which go to the alert log only.  A line reads, for example,
//
//   2024-05-01 14:03:27.512 [warning]     Subscription ID :  0000-1111
//
// (date, time with milliseconds, the level in brackets, then the message as logged).  Level
// names: debug, info, warning (or warn), error, critical, plus trace and off; any case.
// Files are opened for appending, their folders created when missing, and every line is
// written as it is logged so a run that ends abruptly keeps its log.  The message part of each
// line is written through `safeLogText` (collab/log_text.hpp): secrets redacted, control
// characters escaped, so one log call is one line.  A line that cannot be written (a full
// disk, a file size limit) does not interrupt the caller; the file keeps the lines before it,
// takes no more, and `writeFailures()` names it.
#include <spdlog/common.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab {

/// The logging configuration cannot be applied: an unknown level or handler, a handler
/// without a file name, or a log file that cannot be opened (the message names the handler
/// and the path).
class COLLAB_EXPORT LogConfigError : public std::runtime_error {
 public:
  explicit LogConfigError(const std::string& message) : std::runtime_error(message) {}
};

/// A log file that lost lines: the path and the system's reason.
struct LogWriteFailure {
  std::string path;
  std::string reason;
};

class COLLAB_EXPORT logconf {
 public:
  static constexpr const char* LINE_PATTERN = "%Y-%m-%d %H:%M:%S.%e [%l] %v";
  static constexpr const char* MAIN_HANDLER = "logConsoleHandler";
  static constexpr const char* ALERT_HANDLER = "alertHandler";
  static constexpr const char* DEFAULT_MAIN_LOG = "./log/kx.log";
  static constexpr const char* DEFAULT_ALERT_LOG = "./log/kx.alert.log";

  /// The run's logging configuration (created with the defaults on first use).
  static logconf& get();

  /// A holder with the default configuration shown above.
  logconf();

  /// The default configuration shown above.
  static Json defaultConfig();

  /// Opens every handler's file and gives each configured logger exactly the sinks of the
  /// handlers it lists (replacing whatever it had) and its level.  All files are opened
  /// before any logger is touched: on failure the loggers keep what they had.
  /// @throws LogConfigError naming the handler, level or path at fault.
  void apply() const;

  /// The log files of the registered loggers that could not take a line in full since they
  /// were opened, each once, in path order; empty when every line was written.
  static std::vector<LogWriteFailure> writeFailures();

  /// Sets the level of the logger registered under `loggerName` (created when missing).
  /// @throws InvalidValueError for an unknown level name.
  static void setLevel(const std::string& loggerName, std::string_view level);

  /// The spdlog level of a level name (see above).
  /// @throws InvalidValueError for an unknown level name.
  static spdlog::level::level_enum parseLevel(std::string_view level);

  Json logging_config;
};

}  // namespace collab
