#pragma once
// Names from the configuration or from Azure (an account name, a VNet name) that become one
// component of an output path: `<terraform_output>/<account>/<vnet>.tfvars`.
#include <optional>
#include <string>
#include <string_view>

namespace kxdiscover {

/// Why `name` cannot be one component of a path inside the folder it is meant for, or absent
/// when it can: it must not be empty, "." or "..", hold a "/", a control character or a
/// direction mark (collab/log_text.hpp), nor be longer than `room` bytes (a file name holds
/// 255 at most, less the extension added to it).
std::optional<std::string> fileNameProblem(std::string_view name, std::size_t room = 255);

}  // namespace kxdiscover
