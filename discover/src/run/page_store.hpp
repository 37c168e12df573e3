#pragma once
// The pages of a snapshot on disk, in the run's shared folder, where every process of the run
// finds what any of them read.
//
// One file per page, `pages/<hash>.page`, holding the request's key, the answer's status,
// headers and body; written to a temporary name and renamed into place, so a reader finds a
// page whole or not at all.  A page's lock file, `pages/<hash>.lock`, is held with flock(2)
// while one process fetches it, so that the others wait for its reading instead of fetching the
// page too; the kernel drops the lock of a process that dies.  The pages live as long as the
// folder: the run removes it at its end.
//
// Nothing here throws on a disk problem: a page that cannot be written or read is simply not
// in the snapshot, and is fetched from Azure as without one.
#include <filesystem>
#include <optional>
#include <string>

#include "collab/azure/http_message.hpp"

namespace kxdiscover {

class PageStore {
 public:
  /// Keeps pages in `folder`/pages (created when missing).
  explicit PageStore(std::filesystem::path folder);

  /// The answer saved under `key`, if any.
  std::optional<collab::azure::HttpResponse> load(const std::string& key) const;
  /// Saves `response` under `key`, replacing what was there.
  void save(const std::string& key, const collab::azure::HttpResponse& response) const;

  /// Holds the lock of one page until destroyed.
  class Lock {
   public:
    explicit Lock(int fd) : fd_(fd) {}
    Lock(Lock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Lock& operator=(Lock&&) = delete;
    ~Lock();

   private:
    int fd_;
  };
  /// The lock of the page of `key`: waits for it when `wait` is set, answers absent at once
  /// otherwise when another process holds it.  Absent too when the lock file cannot be used.
  std::optional<Lock> lock(const std::string& key, bool wait) const;

  const std::filesystem::path& folder() const noexcept { return folder_; }

 private:
  std::filesystem::path pathOf(const std::string& key, const char* suffix) const;

  std::filesystem::path folder_;
};

}  // namespace kxdiscover
