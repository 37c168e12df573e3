#pragma once
// What a run shows on standard error while it works.
//
//  - Live (stderr is a terminal): one line, redrawn in place, with the subscription i of n, the
//    VNet j of m, the step under way, the Azure requests so far and the elapsed time.
//  - Lines (stderr is a file or pipe, as in CI): one plain line per step.
//  - Quiet (--quiet): nothing.
// Problems (a failed VNet, a VNet not found) are printed in every mode; on a terminal the live
// line is cleared first and drawn again below them.  Names and problem texts are shown as the
// log shows them (collab::safeLogText): secrets redacted, control characters escaped, so
// nothing from Azure can move the cursor, recolour the terminal or forge a line.
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace kxdiscover {

class Progress {
 public:
  enum class Mode { Quiet, Lines, Live };
  using Clock = std::chrono::steady_clock;

  /// Quiet when asked; otherwise Live when `fd` is a terminal, Lines when not.
  static Mode modeFor(bool quiet, int fd);

  Progress(Mode mode, std::ostream& out, Clock::time_point start = Clock::now());

  void subscription(std::size_t index, std::size_t count, const std::string& id);
  void vnet(std::size_t index, std::size_t count, const std::string& name);
  void step(std::string_view name);
  /// A step a worker process entered at `at` (shown now, timed as it happened).
  void step(std::string_view name, Clock::time_point at);
  /// The request counter moved; redraws the live line at most ten times a second.
  void requests(std::size_t count);
  /// Prints one problem line, whatever the mode.
  void problem(std::string_view line);
  /// Clears the live line for good.
  void finish();

  /// In a worker process: steps and problems go to these instead of the stream, for the
  /// parent to show in the run's order.
  struct Relay {
    std::function<void(std::string_view step, Clock::time_point at)> step;
    std::function<void(std::string_view line)> problem;
  };
  void relayTo(Relay relay);

 private:
  /// "subscription i/n <id>, VNet j/m <name>"; `brief` shortens the id (to fit a terminal).
  std::string where(bool brief) const;
  void draw(bool force);
  void clearLine();

  Relay relay_;
  Mode mode_;
  std::ostream& out_;
  Clock::time_point start_;
  Clock::time_point lastDraw_{};
  std::mutex mutex_;
  std::string subscriptionCount_;
  std::string subscriptionId_;
  std::string vnet_;
  std::string step_;
  std::size_t requests_ = 0;
  bool drawn_ = false;
};

}  // namespace kxdiscover
