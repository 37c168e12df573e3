#pragma once
// Scalars by the YAML 1.2 core schema.  yaml-cpp itself would read yes/no/on/off as booleans,
// which YAML 1.2 does not; the loader resolves each plain scalar with these instead.
#include <optional>
#include <string_view>

#include "collab/json.hpp"

namespace collab::config {

/// true, True, TRUE, false, False, FALSE.
std::optional<bool> coreBool(std::string_view s);
/// Empty, ~, null, Null, NULL.
bool coreNull(std::string_view s);

enum class IntParse { kNotInt, kOutOfRange, kOk };
/// [-+]?[0-9]+, 0o[0-7]+, 0x[0-9a-fA-F]+ into a signed or unsigned 64-bit integer.
IntParse coreInt(std::string_view s, Json& out);
/// Decimal and exponent forms, .inf, -.inf, .nan; a value past the range of a double becomes
/// infinity or zero by its magnitude.
std::optional<double> coreFloat(std::string_view s);

}  // namespace collab::config
