#include "run/page_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "run/request_scope.hpp"

namespace kxdiscover {

namespace az = collab::azure;

namespace {

// A page file: the magic, the length of the description that follows (key, status, headers),
// the description, then the body to the end of the file.
constexpr char kMagic[8] = {'k', 'x', 'p', 'a', 'g', 'e', '1', '\n'};
// Room after a body read back, for the page parser's padding (as the curl transport leaves).
constexpr std::size_t kBodySlack = 128;
// A description longer than this is not one this code wrote.
constexpr std::uint64_t kLargestDescription = 16 << 20;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool readAt(int fd, void* data, std::size_t size, off_t offset) {
  auto* out = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

template <class T>
void append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendText(std::string& out, std::string_view text) {
  append(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

// Reads the description back, every length checked against what is left.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  template <class T>
  bool read(T& value) {
    if (data_.size() < sizeof value) return false;
    std::memcpy(&value, data_.data(), sizeof value);
    data_.remove_prefix(sizeof value);
    return true;
  }
  bool readText(std::string& text) {
    std::uint32_t size = 0;
    if (!read(size) || data_.size() < size) return false;
    text.assign(data_.substr(0, size));
    data_.remove_prefix(size);
    return true;
  }
  bool done() const { return data_.empty(); }

 private:
  std::string_view data_;
};

}  // namespace

PageStore::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the flock
}

PageStore::PageStore(std::filesystem::path folder) : folder_(std::move(folder) / "pages") {
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
}

std::filesystem::path PageStore::pathOf(const std::string& key, const char* suffix) const {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx%s", static_cast<unsigned long long>(stableHash(key)),
                suffix);
  return folder_ / name;
}

std::optional<az::HttpResponse> PageStore::load(const std::string& key) const {
  const Fd fd(::open(pathOf(key, ".page").c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::nullopt;
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);

  char magic[sizeof kMagic];
  std::uint64_t describedIn = 0;
  const std::uint64_t start = sizeof magic + sizeof describedIn;
  if (fileSize < start || !readAt(fd.get(), magic, sizeof magic, 0) ||
      std::memcmp(magic, kMagic, sizeof kMagic) != 0 ||
      !readAt(fd.get(), &describedIn, sizeof describedIn, sizeof magic) ||
      describedIn > kLargestDescription || describedIn > fileSize - start) {
    return std::nullopt;
  }
  std::string description(describedIn, '\0');
  if (!readAt(fd.get(), description.data(), description.size(), static_cast<off_t>(start)))
    return std::nullopt;

  Reader reader(description);
  std::string storedKey;
  az::HttpResponse response;
  std::uint32_t headers = 0;
  if (!reader.readText(storedKey) || storedKey != key || !reader.read(response.status) ||
      !reader.read(headers)) {
    return std::nullopt;  // another key with the same hash, or not a page
  }
  for (std::uint32_t i = 0; i < headers; ++i) {
    std::string name, value;
    if (!reader.readText(name) || !reader.readText(value)) return std::nullopt;
    response.headers.add(std::move(name), std::move(value));
  }
  if (!reader.done()) return std::nullopt;

  const std::uint64_t bodyAt = start + describedIn;
  const std::size_t bodySize = fileSize - bodyAt;
  response.body.reserve(bodySize + kBodySlack);
  response.body.resize(bodySize);
  if (!readAt(fd.get(), response.body.data(), bodySize, static_cast<off_t>(bodyAt)))
    return std::nullopt;
  return response;
}

void PageStore::save(const std::string& key, const az::HttpResponse& response) const {
  std::string head(kMagic, sizeof kMagic);
  std::string description;
  appendText(description, key);
  append(description, response.status);
  append(description, static_cast<std::uint32_t>(response.headers.fields().size()));
  for (const auto& [name, value] : response.headers.fields()) {
    appendText(description, name);
    appendText(description, value);
  }
  append(head, static_cast<std::uint64_t>(description.size()));
  head += description;

  const std::filesystem::path page = pathOf(key, ".page");
  const std::filesystem::path partial =
      page.string() + "." + std::to_string(::getpid()) + ".partial";
  Fd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) return;
  const bool written = writeAll(fd.get(), head) && writeAll(fd.get(), response.body);
  if (::close(fd.release()) != 0 || !written || ::rename(partial.c_str(), page.c_str()) != 0) {
    ::unlink(partial.c_str());
  }
}

std::optional<PageStore::Lock> PageStore::lock(const std::string& key, bool wait) const {
  Fd fd(::open(pathOf(key, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::nullopt;
  while (::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return Lock(fd.release());
}

}  // namespace kxdiscover
