#include "collab/cross_cloud_common.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <utility>

namespace collab::CrossCloudBasekit {

namespace {
// Constructed on first use, so nothing here can fail during static initialisation.
std::optional<std::string>& dataPathOverride() {
  static std::optional<std::string> path;
  return path;
}

// The data folder of the tree this library was installed into, when there is one.  Found
// relative to the library file itself, so an installed tree can be moved as a whole.
std::optional<std::string> dataPathBesideLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&dataPathOverride), &info) == 0 || info.dli_fname == nullptr)
    return std::nullopt;
  std::error_code ec;
  const auto dir = std::filesystem::path(info.dli_fname).parent_path() / KX_DATA_DIR_FROM_LIB;
  if (!std::filesystem::is_directory(dir, ec)) return std::nullopt;
  auto canonical = std::filesystem::weakly_canonical(dir, ec);
  return (ec ? dir : canonical).string();
}
}  // namespace

std::string Common::get_data_path() {
  if (const auto& p = dataPathOverride()) return *p;
  if (auto beside = dataPathBesideLibrary()) return *beside;
  return KX_DEFAULT_DATA_DIR;
}

void Common::setDataPath(std::optional<std::string> path) { dataPathOverride() = std::move(path); }

}  // namespace collab::CrossCloudBasekit
