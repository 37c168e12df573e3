// The gzip form of a served page, made once.
#include <zlib.h>

#include <stdexcept>

#include "served_estate.hpp"

namespace fakearm::detail {

namespace {

std::string gzip(const std::string& text) {
  z_stream stream{};
  // 15 window bits + 16: a gzip wrapper rather than zlib's own.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("cannot initialise gzip compression");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("gzip compression of a page failed");
  out.resize(stream.total_out);
  return out;
}

}  // namespace

const std::string& Page::gzipped() const {
  std::call_once(once_, [this] { gzip_ = gzip(body_); });
  return gzip_;
}

}  // namespace fakearm::detail
