#pragma once
// Names taken out of Azure resource ids.  An id such as
//   /subscriptions/S/resourceGroups/RG/providers/Microsoft.Network/virtualNetworks/V/subnets/N
// split at every "/" gives, by position: "" (0), subscriptions, S (2), resourceGroups, RG (4),
// providers, the namespace, the type, V (8), subnets, N (10).  Ids are split this way only.
#include <string>
#include <string_view>

#include "collab/export.hpp"

namespace collab::azure {

/// Component `index` of `resourceId` split at every "/" (the first component is the empty
/// text before the leading "/"); a negative index counts from the end, -1 being the last.
/// @throws collab::IndexRangeError naming the id when it has no such component.
COLLAB_EXPORT std::string resourceIdComponent(std::string_view resourceId, int index);

}  // namespace collab::azure
