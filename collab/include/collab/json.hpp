#pragma once
// The one JSON value type of the system.  Configuration maps, VNet option maps and the
// dictionaries handed back to callers are insertion-ordered JSON values; JSON null is the
// absent value.
#include <nlohmann/json.hpp>

namespace collab {
using Json = nlohmann::ordered_json;
}  // namespace collab
