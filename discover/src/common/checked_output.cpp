#include "common/checked_output.hpp"

#include <cerrno>

namespace kxdiscover {

void CheckedOutput::noteFailure() {
  // errno still holds the reason of the write below that failed.
  if (!failed_) error_ = errno;
  failed_ = true;
}

CheckedOutput::int_type CheckedOutput::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  errno = 0;
  if (traits_type::eq_int_type(target_->sputc(traits_type::to_char_type(c)), traits_type::eof())) {
    noteFailure();
    return traits_type::eof();
  }
  return c;
}

std::streamsize CheckedOutput::xsputn(const char* data, std::streamsize size) {
  errno = 0;
  const std::streamsize written = target_->sputn(data, size);
  if (written < size) noteFailure();
  return written;
}

int CheckedOutput::sync() {
  errno = 0;
  if (target_->pubsync() == 0) return 0;
  noteFailure();
  return -1;
}

}  // namespace kxdiscover
