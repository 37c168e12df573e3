#pragma once
// Text comparison the discovery needs beyond plain equality.
#include <string_view>

#include "collab/export.hpp"

namespace collab {

/// True when `a` and `b` are equal ignoring the letter case of ASCII letters (Azure names are
/// ASCII; other bytes must be equal as they are).
COLLAB_EXPORT bool ci_equal(std::string_view a, std::string_view b) noexcept;

}  // namespace collab
