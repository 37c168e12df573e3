#pragma once
// Standard output as a checked output: a stream buffer in front of another that remembers the
// first write (or flush) that failed and the system's reason, so that a summary or listing
// lost to a closed pipe or a full device makes the command fail instead of passing in silence.
#include <streambuf>

namespace kxdiscover {

class CheckedOutput final : public std::streambuf {
 public:
  explicit CheckedOutput(std::streambuf* target) : target_(target) {}

  bool failed() const noexcept { return failed_; }
  /// The error number of the first failure (0 when the system gave none).
  int error() const noexcept { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override;

 private:
  void noteFailure();

  std::streambuf* target_;
  bool failed_ = false;
  int error_ = 0;
};

}  // namespace kxdiscover
