#pragma once
// The command's output files (report, page, cassette, Terraform files): whole or absent, and
// never a replaced device.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "common/temporary_files.hpp"

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

/// A file one process writes and another puts in place: a worker process's Terraform file,
/// which counts only once its parent accepts the worker's result.
///
/// `writeFileStaged` writes `content` as `writeFileAtomically` does but leaves it, flushed to
/// disk, under its temporary name beside the file `path` names (`stagedPath(path, getpid())`),
/// and answers true; a device or FIFO is written into as it is (nothing to put in place), and
/// it answers false.  `placeStaged` then renames the file staged by process `pid` over the
/// one `path` names, and `discardStaged` removes it (or the part of it written when the
/// process died).
/// @throws std::runtime_error as `writeFileAtomically`.
bool writeFileStaged(const std::filesystem::path& path, std::string_view content);
std::filesystem::path stagedPath(const std::filesystem::path& path, pid_t pid);
/// @throws std::runtime_error naming `path` when the staged file cannot be put in place.
void placeStaged(const std::filesystem::path& path, pid_t pid);
void discardStaged(const std::filesystem::path& path, pid_t pid) noexcept;

/// The same for a file written piece by piece (one too large to hold whole): `commit()` puts it
/// in place; destroyed uncommitted, it removes its temporary file and leaves `path` as it was.
/// (A device or FIFO is written into piece by piece as it comes.)
class AtomicFile {
 public:
  /// @throws std::runtime_error as `writeFileAtomically`.
  explicit AtomicFile(std::filesystem::path path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  /// @throws std::runtime_error as `writeFileAtomically`.
  void write(std::string_view content);
  /// @throws std::runtime_error as `writeFileAtomically`.
  void commit();
  /// Flushes the file to disk and leaves it under its temporary name (writeFileStaged); false
  /// for a device or FIFO, which took everything already.
  /// @throws std::runtime_error as `writeFileAtomically`.
  bool stage();

 private:
  [[noreturn]] void fail(int error);
  /// Flushes (a file) and closes; the error, 0 when none.
  int close();

  std::filesystem::path path_;
  /// The file `path_` names, its links followed, and the temporary file beside it; both empty
  /// for a device or FIFO, written into as it is.
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::optional<TemporaryFile> registration_;
  int fd_ = -1;
};

}  // namespace kxdiscover
