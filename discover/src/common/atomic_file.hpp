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

/// The same for a file written piece by piece (one too large to hold whole): `commit()` puts it
/// in place; destroyed uncommitted, it removes its temporary file and leaves `path` as it was.
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

 private:
  [[noreturn]] void fail(int error);

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  int fd_ = -1;
};

}  // namespace kxdiscover
