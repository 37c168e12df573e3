#include "netscout/net_scout.hpp"

#include "collab/azure/resource_id.hpp"

namespace netscout {

std::string NetScout::idComponent(std::string_view resourceId, int index) {
  return collab::azure::resourceIdComponent(resourceId, index);
}

}  // namespace netscout
