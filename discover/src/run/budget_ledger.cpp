#include "run/budget_ledger.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "collab/log.hpp"
#include "run/request_scope.hpp"

namespace kxdiscover {

namespace {

// The file: this header, then `count` entries.
struct FileHeader {
  char magic[8];
  std::uint32_t count;
  std::uint32_t checksum;
};
static_assert(sizeof(FileHeader) == 16);

constexpr char kMagic[8] = {'k', 'x', 'b', 'u', 'd', 'g', 't', '1'};

std::uint32_t checksumOf(const std::vector<BudgetEntry>& entries) {
  const std::uint64_t hash = stableHash(std::string_view(
      reinterpret_cast<const char*>(entries.data()), entries.size() * sizeof(BudgetEntry)));
  return static_cast<std::uint32_t>(hash ^ (hash >> 32) ^ entries.size());
}

bool lockFile(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

BudgetLedger::BudgetLedger(std::filesystem::path folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  file_ = folder / "budgets";
}

BudgetLedger::~BudgetLedger() {
  if (fd_ >= 0) ::close(fd_);
}

void BudgetLedger::giveUpFile(const char* what) {
  collab::getLogger("netscout")
      ->warn(
          "the run's shared budget file {} cannot be {} ({}); budgets are kept for this "
          "process alone",
          file_->string(), what, std::strerror(errno));
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  file_.reset();
}

bool BudgetLedger::lockAndLoad() {
  if (!file_) return false;
  const long self = static_cast<long>(::getpid());
  if (fd_ >= 0 && openedBy_ != self) {
    // Inherited across fork: the lock would be the parent's too.
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) {
    fd_ = ::open(file_->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      giveUpFile("opened");
      return false;
    }
    openedBy_ = self;
  }
  if (!lockFile(fd_, LOCK_EX)) {
    giveUpFile("locked");
    return false;
  }
  entries_.clear();
  FileHeader header{};
  const ssize_t got = ::pread(fd_, &header, sizeof header, 0);
  if (got == static_cast<ssize_t>(sizeof header) &&
      std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 && header.count <= kMaxEntries) {
    entries_.resize(header.count);
    const auto bytes = static_cast<ssize_t>(header.count * sizeof(BudgetEntry));
    if (::pread(fd_, entries_.data(), static_cast<std::size_t>(bytes), sizeof header) != bytes ||
        checksumOf(entries_) != header.checksum) {
      // Half-written by a process that died: start afresh; Azure's next answers refill it.
      entries_.clear();
    }
  }
  return true;
}

void BudgetLedger::storeAndUnlock() {
  if (!file_ || fd_ < 0) return;
  std::vector<char> image(sizeof(FileHeader) + entries_.size() * sizeof(BudgetEntry));
  FileHeader header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.count = static_cast<std::uint32_t>(entries_.size());
  header.checksum = checksumOf(entries_);
  std::memcpy(image.data(), &header, sizeof header);
  if (!entries_.empty())
    std::memcpy(image.data() + sizeof header, entries_.data(),
                entries_.size() * sizeof(BudgetEntry));
  const bool written =
      ::pwrite(fd_, image.data(), image.size(), 0) == static_cast<ssize_t>(image.size());
  lockFile(fd_, LOCK_UN);
  if (!written) giveUpFile("written");
}

void BudgetLedger::update(std::uint64_t key, const std::function<void(BudgetEntry&)>& change) {
  std::lock_guard lock(mutex_);
  const bool shared = lockAndLoad();
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [key](const BudgetEntry& entry) { return entry.key == key; });
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxEntries) {
      it = std::min_element(
          entries_.begin(), entries_.end(),
          [](const BudgetEntry& a, const BudgetEntry& b) { return a.lastUsed < b.lastUsed; });
      *it = BudgetEntry{};
    } else {
      it = entries_.emplace(entries_.end());
    }
    it->key = key;
  }
  change(*it);
  if (shared) storeAndUnlock();
}

std::optional<BudgetEntry> BudgetLedger::find(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  const bool shared = lockAndLoad();
  std::optional<BudgetEntry> found;
  for (const BudgetEntry& entry : entries_) {
    if (entry.key == key) found = entry;
  }
  if (shared) lockFile(fd_, LOCK_UN);
  return found;
}

}  // namespace kxdiscover
