#pragma once
// Output files that are either whole or absent.
#include <filesystem>
#include <string_view>

namespace kxdiscover {

/// Writes `content` to `path`, creating missing parent folders: first to a temporary file
/// beside it, flushed to disk, then renamed over `path`.  A reader (or a run interrupted
/// half-way) therefore sees the old file or the new one, never a mixture or a stub.
/// @throws std::runtime_error naming the path and the system's reason; the temporary file is
///         removed and `path` is left as it was.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);

}  // namespace kxdiscover
