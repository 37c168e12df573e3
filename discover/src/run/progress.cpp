#include "run/progress.hpp"

#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "collab/log_text.hpp"

namespace kxdiscover {

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string elapsed(Progress::Clock::duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  return fmt::format("{:02}:{:02}", s / 60, s % 60);
}

std::size_t terminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

Progress::Mode Progress::modeFor(bool quiet, int fd) {
  if (quiet) return Mode::Quiet;
  return ::isatty(fd) ? Mode::Live : Mode::Lines;
}

Progress::Progress(Mode mode, std::ostream& out, Clock::time_point start)
    : mode_(mode), out_(out), start_(start) {}

std::string Progress::where(bool brief) const {
  constexpr std::size_t kBriefId = 8;
  std::string text = "subscription " + subscriptionCount_ + " ";
  text += brief && subscriptionId_.size() > kBriefId ? subscriptionId_.substr(0, kBriefId) + "..."
                                                     : subscriptionId_;
  if (!vnet_.empty()) text += ", " + vnet_;
  return text;
}

void Progress::subscription(std::size_t index, std::size_t count, const std::string& id) {
  std::lock_guard lock(mutex_);
  subscriptionCount_ = fmt::format("{}/{}", index, count);
  subscriptionId_ = collab::safeLogText(id);
  vnet_.clear();
  step_.clear();
  draw(true);
}

void Progress::vnet(std::size_t index, std::size_t count, const std::string& name) {
  std::lock_guard lock(mutex_);
  vnet_ = fmt::format("VNet {}/{} {}", index, count, collab::safeLogText(name));
  step_.clear();
  draw(true);
}

void Progress::step(std::string_view name) { step(name, Clock::now()); }

void Progress::step(std::string_view name, Clock::time_point at) {
  if (relay_.step) return relay_.step(name, at);
  std::lock_guard lock(mutex_);
  step_ = name;
  if (mode_ == Mode::Lines)
    out_ << fmt::format("kx-discover: [{}] {}: {}\n", elapsed(at - start_), where(false), step_)
         << std::flush;
  draw(true);
}

void Progress::relayTo(Relay relay) {
  std::lock_guard lock(mutex_);
  relay_ = std::move(relay);
}

void Progress::requests(std::size_t count) {
  std::lock_guard lock(mutex_);
  requests_ = count;
  draw(false);
}

void Progress::problem(std::string_view line) {
  if (relay_.problem) return relay_.problem(line);
  std::lock_guard lock(mutex_);
  clearLine();
  out_ << "kx-discover: " << collab::safeLogText(line) << '\n' << std::flush;
  draw(true);
}

void Progress::finish() {
  std::lock_guard lock(mutex_);
  clearLine();
  mode_ = mode_ == Mode::Live ? Mode::Quiet : mode_;
}

void Progress::clearLine() {
  if (mode_ != Mode::Live || !drawn_) return;
  out_ << "\r\x1b[K" << std::flush;
  drawn_ = false;
}

void Progress::draw(bool force) {
  if (mode_ != Mode::Live) return;
  const auto now = Clock::now();
  if (!force && now - lastDraw_ < kRedrawEvery) return;
  lastDraw_ = now;
  std::string text = fmt::format("[{}] {}", elapsed(now - start_), where(true));
  if (!step_.empty()) text += " | " + step_;
  text += fmt::format(" | {} requests", requests_);
  // Never wider than the terminal, or the line would wrap and stop redrawing in place.
  const std::size_t width = terminalWidth() - 1;
  if (text.size() > width) text.resize(width);
  out_ << "\r\x1b[K" << text << std::flush;
  drawn_ = true;
}

}  // namespace kxdiscover
