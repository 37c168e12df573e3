#pragma once
// The learned-routes part of a VNet's section: a table per gateway asked (--learned-routes),
// with the routes Azure gave or why there are none.
#include <string>

#include "collab/json.hpp"

namespace kxdiscover::html {

/// Appends the part for `vnet` (a report's VNet entry) to `out`; nothing when its
/// `learned_routes` member is missing or null (the run did not ask).
void learnedRoutesPart(std::string& out, const collab::Json& vnet);

}  // namespace kxdiscover::html
