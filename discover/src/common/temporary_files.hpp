#pragma once
// Temporary files that a signal must not leave behind.
//
// An output is written to a temporary name and renamed into place (atomic_file.hpp).  Should
// the process be ended by a signal in between (a second Ctrl-C), the signal handler removes
// every temporary file registered here before the process dies.  The list is a small fixed
// set of slots in static storage (nothing allocated, nothing done before main), each claimed
// and released with atomic operations, so the handler may read it: it only claims a slot
// that is fully written, unlinks that path and never frees anything.
#include <filesystem>

namespace kxdiscover {

/// Registers a temporary file for its lifetime (it does not create or remove the file).
class TemporaryFile {
 public:
  /// Registers `path`.  When every slot is taken (more files under way at once than the run
  /// ever writes) or the path is too long, the file is simply not registered.
  explicit TemporaryFile(const std::filesystem::path& path) noexcept;
  /// Unregisters the file; the caller has renamed or removed it.
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool registered() const noexcept { return slot_ >= 0; }

 private:
  int slot_ = -1;
};

/// Unlinks every registered file.  Async-signal-safe: meant for a signal handler that is
/// about to end the process.
void removeTemporaryFiles() noexcept;

}  // namespace kxdiscover
