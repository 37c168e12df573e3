#include "collab/log.hpp"

#include <spdlog/spdlog.h>

namespace collab {

std::shared_ptr<spdlog::logger> getLogger(const std::string& name) {
  if (auto existing = spdlog::get(name)) return existing;
  // Until the logging configuration is applied a logger has no sinks: nothing is written.
  auto created = std::make_shared<spdlog::logger>(name);
  created->set_level(spdlog::level::info);
  spdlog::register_logger(created);
  return created;
}

}  // namespace collab
