#include "collab/cross_cloud_common.hpp"

#include <utility>

namespace collab::CrossCloudBasekit {

namespace {
// Constructed on first use, so nothing here can fail during static initialisation.
std::optional<std::string>& dataPathOverride() {
  static std::optional<std::string> path;
  return path;
}
}  // namespace

std::string Common::get_data_path() {
  if (const auto& p = dataPathOverride()) return *p;
  return KX_DEFAULT_DATA_DIR;
}

void Common::setDataPath(std::optional<std::string> path) { dataPathOverride() = std::move(path); }

}  // namespace collab::CrossCloudBasekit
