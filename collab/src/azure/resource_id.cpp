#include "collab/azure/resource_id.hpp"

#include <vector>

#include "collab/errors.hpp"

namespace collab::azure {

std::string resourceIdComponent(std::string_view resourceId, int index) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = resourceId.find('/', start);
    parts.push_back(
        resourceId.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  const long n = static_cast<long>(parts.size());
  const long i = index < 0 ? n + index : index;
  if (i < 0 || i >= n)
    throw IndexRangeError("resource id '" + std::string(resourceId) + "' has no component " +
                          std::to_string(index));
  return std::string(parts[static_cast<std::size_t>(i)]);
}

}  // namespace collab::azure
