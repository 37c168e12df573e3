#pragma once
// What the discovery operations log, kept per step of the run.
//
// The operations report refused routes, gateways and findings only as log lines; the run
// attaches one more sink to the loggers for its whole length and points it, step by step, at
// the list of the subscription or VNet under way.  The lines reach the log files exactly as
// before: the capture only reads them, and keeps each one as the log file shows it.
#include <spdlog/common.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kxdiscover {

struct CapturedLine {
  std::string logger;
  spdlog::level::level_enum level = spdlog::level::info;
  /// The message as the log file shows it (secrets redacted, control characters escaped:
  /// collab::safeLogText), without the log file's prefix.
  std::string text;
};

using CapturedLines = std::vector<CapturedLine>;

class LineCapture {
 public:
  /// Adds the capture sink to each named logger (after the logging configuration is applied,
  /// which replaces every logger's sinks).
  explicit LineCapture(const std::vector<std::string>& loggers);
  /// Takes the sink off the loggers again.
  ~LineCapture();
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  /// Lines from now on are appended to `into`; null drops them.  Returns the previous target.
  CapturedLines* redirect(CapturedLines* into);

  /// Gives every logger that writes anywhere `output` in place of its sinks, the capture's
  /// own kept: a worker process hands its lines to the parent instead of writing the files.
  void divertOutput(const spdlog::sink_ptr& output);

  class Sink;

 private:
  std::vector<std::string> loggers_;
  std::shared_ptr<Sink> sink_;
};

/// Sends a capture's lines to `into` for the scope's lifetime, then back where they went.
class CaptureScope {
 public:
  CaptureScope(LineCapture& capture, CapturedLines& into)
      : capture_(capture), previous_(capture.redirect(&into)) {}
  ~CaptureScope() { capture_.redirect(previous_); }
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;

 private:
  LineCapture& capture_;
  CapturedLines* previous_;
};

}  // namespace kxdiscover
