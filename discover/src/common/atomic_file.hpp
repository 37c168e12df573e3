#pragma once
// The command's output files (report, page, cassette, Terraform files): whole or absent, and
// never a replaced device.
#include <filesystem>
#include <string_view>

namespace kxdiscover {

/// Writes `content` to `path`, creating missing parent folders.
///
///  - A regular file (or a path that does not exist yet) is written to a temporary file beside
///    it, flushed to disk and renamed over it, so a reader (or a run interrupted half-way) sees
///    the old file or the new one, never a mixture or a stub.  The temporary file is removed on
///    every path: on failure, and by the signal handler should a second Ctrl-C end the process
///    meanwhile (temporary_files.hpp).
///  - A symbolic link is followed: the file it names is written as above, the link stays.
///  - A character device or a FIFO (`/dev/stdout`, `/dev/null`, a shell's `>(...)`) is written
///    into as it is, never replaced; a FIFO that nothing reads is refused rather than waited
///    on.
///  - A folder, a block device or a socket is refused.
/// @throws std::runtime_error naming the path and the reason ("cannot write PATH: ..."); a
///         regular `path` is then left as it was.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);

}  // namespace kxdiscover
