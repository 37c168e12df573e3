#pragma once
// The budget entries of a run (budget_rules.hpp), kept where every process of the run can
// update them in turn.
//
// Shared: the file `budgets` in the run's shared folder, locked with flock(2) around each
// update (read, change, write back).  The kernel drops the lock of a process that dies, so a
// worker killed mid-update never leaves the ledger locked; the image is written in one pwrite
// and carries a checksum, so one it left half-written is recognised and replaced by an empty
// ledger (its budgets then go unpaced until Azure reports on them again, which the next answer
// does).  A process that forks opens the file anew: a lock held through an inherited
// descriptor would be shared with the parent and exclude nothing.
//
// Private: the same entries in memory, for a run of one process.
//
// Should the file become unusable (a full disk, a folder removed), the ledger says so once on
// the "netscout" logger and goes on in memory: the run is paced for its own process alone
// rather than failing.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "run/budget_rules.hpp"

namespace kxdiscover {

class BudgetLedger {
 public:
  /// The most entries kept; beyond, the one used least recently makes room.
  static constexpr std::size_t kMaxEntries = 256;

  /// A ledger private to this process.
  BudgetLedger() = default;
  /// A ledger shared through `folder`/budgets (the file is created when missing).
  explicit BudgetLedger(std::filesystem::path folder);
  ~BudgetLedger();
  BudgetLedger(const BudgetLedger&) = delete;
  BudgetLedger& operator=(const BudgetLedger&) = delete;

  /// Runs `change` on the entry of `key` (a fresh one the first time), with every other process
  /// and thread of the run kept out until it returns.
  void update(std::uint64_t key, const std::function<void(BudgetEntry&)>& change);

  /// The entry of `key` as it stands, if there is one (for tests and diagnostics).
  std::optional<BudgetEntry> find(std::uint64_t key);

 private:
  /// Locks the file (when shared) and loads its entries into `entries_`; false when the file
  /// cannot be used, the ledger then being in memory.
  bool lockAndLoad();
  void storeAndUnlock();
  void giveUpFile(const char* what);

  std::mutex mutex_;
  std::optional<std::filesystem::path> file_;
  int fd_ = -1;
  /// The process that opened `fd_`.
  long openedBy_ = 0;
  std::vector<BudgetEntry> entries_;
};

}  // namespace kxdiscover
