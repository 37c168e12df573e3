#include "run/log_capture.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "collab/log.hpp"
#include "collab/log_text.hpp"

namespace kxdiscover {

class LineCapture::Sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  CapturedLines* redirect(CapturedLines* into) {
    std::lock_guard lock(mutex_);
    CapturedLines* previous = target_;
    target_ = into;
    return previous;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!target_) return;
    // The text as the log file shows it, so the report lists and counts the same lines.
    target_->push_back(CapturedLine{
        std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
        collab::safeLogText(std::string_view(msg.payload.data(), msg.payload.size()))});
  }
  void flush_() override {}

 private:
  CapturedLines* target_ = nullptr;
};

LineCapture::LineCapture(const std::vector<std::string>& loggers)
    : loggers_(loggers), sink_(std::make_shared<Sink>()) {
  for (const auto& name : loggers_) collab::getLogger(name)->sinks().push_back(sink_);
}

LineCapture::~LineCapture() {
  for (const auto& name : loggers_) {
    auto& sinks = collab::getLogger(name)->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
}

CapturedLines* LineCapture::redirect(CapturedLines* into) { return sink_->redirect(into); }

void LineCapture::divertOutput(const spdlog::sink_ptr& output) {
  spdlog::apply_all([&](const std::shared_ptr<spdlog::logger>& logger) {
    auto& sinks = logger->sinks();
    const bool captured = std::find(sinks.begin(), sinks.end(), sink_) != sinks.end();
    const bool writes = sinks.size() > (captured ? 1u : 0u);
    sinks.clear();
    if (writes) sinks.push_back(output);
    if (captured) sinks.push_back(sink_);
  });
}

}  // namespace kxdiscover
