#include "run/problem_sink.hpp"

#include "collab/log_text.hpp"

namespace kxdiscover {

void ProblemSink::sink_it_(const spdlog::details::log_msg& msg) {
  out_ << "kx-discover: "
       << collab::safeLogText(std::string_view(msg.payload.data(), msg.payload.size())) << '\n'
       << std::flush;
}

}  // namespace kxdiscover
