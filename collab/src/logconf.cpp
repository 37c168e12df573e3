#include "collab/logconf.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "log_file_sink.hpp"

namespace collab {

namespace {

const Json& member(const Json& map, const char* key, const std::string& where) {
  if (!map.is_object()) throw LogConfigError("logging configuration: " + where + " is not a map");
  auto it = map.find(key);
  if (it == map.end()) throw LogConfigError("logging configuration: " + where + " has no " + key);
  return *it;
}

spdlog::level::level_enum levelOf(const Json& entry, const std::string& where) {
  auto it = entry.find("level");
  if (it == entry.end()) return spdlog::level::info;
  if (!it->is_string())
    throw LogConfigError("logging configuration: " + where + " level is not a text");
  try {
    return logconf::parseLevel(it->get_ref<const std::string&>());
  } catch (const InvalidValueError& e) {
    throw LogConfigError("logging configuration: " + where + ": " + e.what());
  }
}

}  // namespace

logconf& logconf::get() {
  static logconf instance;
  return instance;
}

logconf::logconf() : logging_config(defaultConfig()) {}

Json logconf::defaultConfig() {
  const Json bothHandlers = Json::array({MAIN_HANDLER, ALERT_HANDLER});
  Json config = Json::object();
  config["format"] = LINE_PATTERN;
  config["handlers"][MAIN_HANDLER] = {{"level", "info"}, {"filename", DEFAULT_MAIN_LOG}};
  config["handlers"][ALERT_HANDLER] = {{"level", "warning"}, {"filename", DEFAULT_ALERT_LOG}};
  for (const char* name : {"basekit", "pathbook", "netscout"})
    config["loggers"][name] = {{"level", "info"}, {"handlers", bothHandlers}};
  // The alert service writes to the alert log only.
  config["loggers"]["alert"] = {{"level", "warning"}, {"handlers", Json::array({ALERT_HANDLER})}};
  return config;
}

spdlog::level::level_enum logconf::parseLevel(std::string_view level) {
  std::string lower(level);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const std::map<std::string, spdlog::level::level_enum, std::less<>> names = {
      {"trace", spdlog::level::trace},       {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},         {"warning", spdlog::level::warn},
      {"warn", spdlog::level::warn},         {"error", spdlog::level::err},
      {"critical", spdlog::level::critical}, {"off", spdlog::level::off},
  };
  if (auto it = names.find(lower); it != names.end()) return it->second;
  throw InvalidValueError("unknown log level '" + std::string(level) + "'");
}

void logconf::setLevel(const std::string& loggerName, std::string_view level) {
  getLogger(loggerName)->set_level(parseLevel(level));
}

void logconf::apply() const {
  const std::string pattern = logging_config.is_object() && logging_config.contains("format") &&
                                      logging_config["format"].is_string()
                                  ? logging_config["format"].get<std::string>()
                                  : std::string(LINE_PATTERN);

  // Open every handler's file first, so a failure leaves the loggers as they were.
  std::map<std::string, spdlog::sink_ptr, std::less<>> sinks;
  for (const auto& [name, entry] : member(logging_config, "handlers", "the top level").items()) {
    const std::string where = "handler " + name;
    const Json& filename = member(entry, "filename", where);
    if (!filename.is_string() || filename.get_ref<const std::string&>().empty())
      throw LogConfigError("logging configuration: " + where + " filename is not a path text");
    const auto& path = filename.get_ref<const std::string&>();
    const auto level = levelOf(entry, where);
    std::shared_ptr<detail::LogFileSink> sink;
    try {
      sink = std::make_shared<detail::LogFileSink>(path);
    } catch (const std::exception& e) {
      throw LogConfigError("log handler " + name + ": cannot open log file '" + path +
                           "' for appending (" + e.what() + ")");
    }
    sink->set_level(level);
    sink->set_pattern(pattern);
    sinks.emplace(name, std::move(sink));
  }

  struct Plan {
    std::string logger;
    spdlog::level::level_enum level;
    std::vector<spdlog::sink_ptr> sinks;
  };
  std::vector<Plan> plans;
  for (const auto& [name, entry] : member(logging_config, "loggers", "the top level").items()) {
    const std::string where = "logger " + name;
    Plan plan{name, levelOf(entry, where), {}};
    if (auto it = entry.find("handlers"); it != entry.end()) {
      if (!it->is_array())
        throw LogConfigError("logging configuration: " + where + " handlers is not a list");
      for (const auto& handler : *it) {
        auto found =
            handler.is_string() ? sinks.find(handler.get_ref<const std::string&>()) : sinks.end();
        if (found == sinks.end())
          throw LogConfigError("logging configuration: " + where + " names unknown handler " +
                               handler.dump());
        plan.sinks.push_back(found->second);
      }
    }
    plans.push_back(std::move(plan));
  }

  for (auto& plan : plans) {
    auto logger = getLogger(plan.logger);
    logger->sinks() = std::move(plan.sinks);
    logger->set_level(plan.level);
    logger->flush_on(spdlog::level::trace);
  }
}

std::vector<LogWriteFailure> logconf::writeFailures() {
  std::vector<LogWriteFailure> failures;
  std::set<const detail::LogFileSink*> seen;
  spdlog::apply_all([&](const std::shared_ptr<spdlog::logger>& logger) {
    for (const auto& sink : logger->sinks()) {
      auto* file = dynamic_cast<detail::LogFileSink*>(sink.get());
      if (!file || !seen.insert(file).second) continue;
      if (std::optional<int> error = file->failure())
        failures.push_back(LogWriteFailure{file->path(), std::strerror(*error)});
    }
  });
  std::sort(failures.begin(), failures.end(),
            [](const LogWriteFailure& a, const LogWriteFailure& b) { return a.path < b.path; });
  return failures;
}

}  // namespace collab
