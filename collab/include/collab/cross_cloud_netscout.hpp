#pragma once
// The cross-cloud base of the discovery class.  It carries nothing the Azure discovery uses;
// it exists so every cloud's NetScout shares one root.
#include "collab/export.hpp"

namespace collab::CrossCloudDiscovery {

class COLLAB_EXPORT NetScout {
 protected:
  NetScout() = default;
};

}  // namespace collab::CrossCloudDiscovery
