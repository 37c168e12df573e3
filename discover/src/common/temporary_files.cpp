#include "common/temporary_files.hpp"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kxdiscover {

namespace {

// A slot is Free, then Filling while its path is copied in, Ready while the file may exist,
// and Claimed once a signal handler has taken it (the process is then about to end).
enum SlotState : int { kFree = 0, kFilling, kReady, kClaimed };

struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slots");

// Outputs are written one at a time; a few slots leave room for a worker thread or two.
constexpr int kSlots = 8;
// Zero-initialised static storage: no constructor runs before main.
Slot slots[kSlots];

}  // namespace

TemporaryFile::TemporaryFile(const std::filesystem::path& path) noexcept {
  const std::string& text = path.native();
  if (text.empty() || text.size() >= PATH_MAX) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
    slots[i].state.store(kReady, std::memory_order_release);
    slot_ = i;
    return;
  }
}

TemporaryFile::~TemporaryFile() {
  if (slot_ < 0) return;
  int expected = kReady;
  // A handler that claimed the slot is ending the process; the slot stays its own.
  slots[slot_].state.compare_exchange_strong(expected, kFree);
}

void removeTemporaryFiles() noexcept {
  for (Slot& slot : slots) {
    int expected = kReady;
    if (slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire))
      ::unlink(slot.path);
  }
}

}  // namespace kxdiscover
