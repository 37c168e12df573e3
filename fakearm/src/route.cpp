// Which operation a request path names, and how to leave a connection without an answer.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

#include "server_impl.hpp"
#include "text.hpp"

namespace fakearm::detail {

namespace {

bool is(const std::vector<std::string>& s, std::size_t i, const char* word) {
  return i < s.size() && iequals(s[i], word);
}

}  // namespace

Route classify(const std::string& path) {
  std::vector<std::string> s = split(path, '/');
  Route route;
  if (s.empty() || !s[0].empty()) return route;
  s.erase(s.begin());
  // "/subscriptions/" and ".../serviceLimits/" name the same collection as without the slash.
  if (s.size() > 1 && s.back().empty()) s.pop_back();
  for (const auto& segment : s) {
    if (segment.empty()) return route;
  }
  const std::size_t n = s.size();

  if ((n == 3 && is(s, 1, "oauth2") && is(s, 2, "token")) ||
      (n == 4 && is(s, 1, "oauth2") && is(s, 2, "v2.0") && is(s, 3, "token"))) {
    route.operation = "token";
    route.method = "POST";
    route.tenant = s[0];
    return route;
  }
  // The managed identity endpoints of the machine the server stands for.
  if (n == 4 && is(s, 0, "metadata") && is(s, 1, "identity") && is(s, 2, "oauth2") &&
      is(s, 3, "token")) {
    route.operation = "managedIdentity.metadata";
    route.method = "GET";
    return route;
  }
  if (n == 2 && is(s, 0, "msi") && is(s, 1, "token")) {
    route.operation = "managedIdentity.identityEndpoint";
    route.method = "GET";
    return route;
  }
  if (n == 3 && is(s, 0, "providers") && is(s, 1, "Microsoft.ResourceGraph") &&
      is(s, 2, "resources")) {
    route.operation = "resourceGraph";
    route.method = "POST";
    return route;
  }
  if (!is(s, 0, "subscriptions")) return route;
  route.method = "GET";
  if (n == 1) {
    route.operation = "subscriptions.list";
    return route;
  }
  route.subscription = s[1];
  if (n == 3 && is(s, 2, "resourcegroups")) {
    route.operation = "resourceGroups.list";
  } else if (n == 5 && is(s, 2, "providers") && is(s, 3, "Microsoft.Authorization") &&
             is(s, 4, "permissions")) {
    route.operation = "permissions.list";
  } else if (n == 4 && is(s, 2, "providers")) {
    route.operation = "providers.get";
    route.provider = s[3];
  } else if (n == 5 && is(s, 2, "providers") && is(s, 3, "Microsoft.Network") &&
             (is(s, 4, "routeTables") || is(s, 4, "virtualNetworks"))) {
    route.operation = is(s, 4, "routeTables") ? "routeTables.listAll" : "virtualNetworks.listAll";
  } else if (n == 7 && is(s, 2, "resourceGroups") && is(s, 4, "providers") &&
             is(s, 5, "Microsoft.Authorization") && is(s, 6, "permissions")) {
    route.operation = "permissions.list";
    route.group = s[3];
  } else if (n >= 7 && is(s, 2, "resourceGroups") && is(s, 4, "providers") &&
             is(s, 5, "Microsoft.Network")) {
    route.group = s[3];
    if (n == 7 && is(s, 6, "routeTables")) {
      route.operation = "routeTables.list";
    } else if (n == 7 && is(s, 6, "virtualNetworks")) {
      route.operation = "virtualNetworks.list";
    } else if (n == 7 && is(s, 6, "virtualNetworkGateways")) {
      route.operation = "virtualNetworkGateways.list";
    } else if (n == 9 && is(s, 6, "virtualNetworkGateways") && is(s, 8, "getLearnedRoutes")) {
      route.operation = "virtualNetworkGateways.getLearnedRoutes";
      route.method = "POST";
      route.gateway = s[7];
    }
  } else if (n == 8 && is(s, 2, "providers") && is(s, 3, "Microsoft.Network") &&
             is(s, 4, "locations") && (is(s, 6, "operationResults") || is(s, 6, "operations"))) {
    route.operation = is(s, 6, "operations") ? "operations.get" : "operationResults.get";
    route.location = s[5];
    route.operationId = s[7];
  } else if (n == 7 && is(s, 2, "providers") && is(s, 3, "Microsoft.Compute") &&
             is(s, 4, "locations") && is(s, 6, "vmSizes")) {
    route.operation = "virtualMachineSizes.list";
    route.location = s[5];
  } else if ((n == 9 || n == 10) && is(s, 2, "providers") && is(s, 3, "Microsoft.Capacity") &&
             is(s, 4, "resourceProviders") && is(s, 6, "locations") && is(s, 8, "serviceLimits")) {
    route.operation = n == 9 ? "serviceLimits.list" : "serviceLimits.get";
    route.provider = s[5];
    route.location = s[7];
    if (n == 10) route.name = s[9];
  }
  return route;
}

void shutdownConnections(int localPort, std::optional<int> remotePort) {
  // httplib does not hand its sockets out: find them among the process's descriptors by their
  // ports and shut them down; whatever httplib writes afterwards goes nowhere.
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return;
  while (dirent* entry = readdir(fds)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || fd < 0 || fd == dirfd(fds)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        local.ss_family != AF_INET || peer.ss_family != AF_INET) {
      continue;
    }
    const auto* l = reinterpret_cast<const sockaddr_in*>(&local);
    const auto* p = reinterpret_cast<const sockaddr_in*>(&peer);
    if (ntohs(l->sin_port) == localPort && (!remotePort || ntohs(p->sin_port) == *remotePort)) {
      shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
  }
  closedir(fds);
}

}  // namespace fakearm::detail
