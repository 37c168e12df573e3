#pragma once
// Where the client layer finds Azure.
//
// Process-wide configuration: the endpoints default to the Azure public cloud; a driver (or a
// test) may replace them, for instance to point the whole layer to a loopback server.  Clients
// and credentials read them when they are built.
#include <string>

#include "collab/export.hpp"

namespace collab::azure {

struct AzureEndpoints {
  /// Azure Resource Manager, without a trailing slash.
  std::string resourceManager = "https://management.azure.com";
  /// Azure AD login host; ends with "/" so that appending a tenant id gives the authority.
  std::string login = "https://login.microsoftonline.com/";
  /// The classic service-management resource id tokens are requested for (v1 `resource`);
  /// the trailing slash is part of the id.
  std::string managementResource = "https://management.core.windows.net/";
};

/// A copy of the endpoints in force.
COLLAB_EXPORT AzureEndpoints currentEndpoints();
/// Replaces the endpoints for every client and credential built afterwards.
COLLAB_EXPORT void setEndpoints(AzureEndpoints endpoints);
/// Restores the public-cloud defaults.
COLLAB_EXPORT void resetEndpoints();

}  // namespace collab::azure
