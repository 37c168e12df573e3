#pragma once
// Access to the named loggers ("basekit", "pathbook", "netscout", ...).
#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "collab/export.hpp"

namespace collab {

/// The logger registered under `name`, created (with the default sinks of the logging
/// configuration, or none) on first use.  Never null.
COLLAB_EXPORT std::shared_ptr<spdlog::logger> getLogger(const std::string& name);

}  // namespace collab
